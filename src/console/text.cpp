#include "console/text.h"

#include <cstdio>
#include <ctime>

#include "console/console.h"

namespace app {

std::string PrintableLine(std::string_view text) {
  std::string line;
  for (const char c : text) {
    if (c == '\r') continue;
    line += c == '\n' ? ' ' : c;
  }
  return PrintableText(line);
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

std::string LocalTimeText() {
  char text[32] = "";
  const std::time_t now = std::time(nullptr);
  if (const std::tm* local = std::localtime(&now))
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", local);
  return text;
}

}  // namespace app
