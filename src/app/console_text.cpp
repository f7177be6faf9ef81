#include "app/console_text.h"

#include <cstdio>

namespace app {

std::string PrintableLine(std::string_view text) {
  std::string out;
  char b[8];
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\r') continue;
    if (c == '\n') {
      out += ' ';
    } else if (c < 0x20 || c == 0x7F) {
      std::snprintf(b, sizeof b, "\\x%02X", c);
      out += b;
    } else {
      out += ch;
    }
  }
  return out;
}

std::string HexBytes(const std::uint8_t* bytes, std::size_t n) {
  std::string text;
  char b[4];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, i == 0 ? "%02X" : " %02X", bytes[i]);
    text += b;
  }
  return text;
}

}  // namespace app
