#include "engine/crc16.h"

namespace program {

std::uint16_t Crc16AddWord(std::uint16_t crc, std::uint32_t word) {
  std::uint32_t c = crc;
  for (int shift = 28; shift >= 0; shift -= 4) {
    const std::uint32_t t = ((c >> 12) ^ (word >> shift)) & 0xF;
    c = ((c << 4) ^ (t << 12) ^ (t << 5) ^ t) & 0xFFFF;
  }
  return static_cast<std::uint16_t>(c);
}

std::uint16_t Crc16OfWords(const std::uint8_t* buffer, std::size_t length, std::uint16_t start) {
  std::uint16_t crc = start;
  for (std::size_t i = 0; i < length / 4; ++i) {
    const std::uint8_t* p = buffer + 4 * i;
    const std::uint32_t word = static_cast<std::uint32_t>(p[0]) |
                               static_cast<std::uint32_t>(p[1]) << 8 |
                               static_cast<std::uint32_t>(p[2]) << 16 |
                               static_cast<std::uint32_t>(p[3]) << 24;
    crc = Crc16AddWord(crc, word);
  }
  return crc;
}

}  // namespace program
