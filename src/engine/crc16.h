// The CRC-16 that stamps and checks firmware banks: polynomial 0x1021, not
// reflected, fed a 32-bit little-endian word at a time, top nibble first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace program {

std::uint16_t Crc16AddWord(std::uint16_t crc, std::uint32_t word);
// Covers length / 4 whole words; 1 to 3 trailing bytes are not covered.
std::uint16_t Crc16OfWords(const std::uint8_t* buffer, std::size_t length, std::uint16_t start);

}  // namespace program
