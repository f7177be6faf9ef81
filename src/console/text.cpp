#include "console/text.h"

#include <cctype>
#include <cstdio>
#include <ctime>

#include "console/console.h"

namespace app {

namespace {

// Line breaks become spaces ("\r\n" one space).
std::string JoinLines(std::string_view text) {
  std::string line;
  for (const char c : text) {
    if (c == '\r') continue;
    line += c == '\n' ? ' ' : c;
  }
  return line;
}

}  // namespace

std::string PrintableLine(std::string_view text) { return PrintableText(JoinLines(text)); }

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

std::string TrimRight(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == '\n'))
    text.pop_back();
  return text;
}

std::string TrimLeft(const std::string& text) {
  const std::size_t first = text.find_first_not_of(' ');
  return first == std::string::npos ? std::string() : text.substr(first);
}

std::string OneLine(const std::string& text) { return JoinLines(TrimRight(text)); }

std::string Shown(const std::string& text) { return text.empty() ? "-" : PrintableText(text); }

std::string PrintableText(const std::string& text) {
  std::string out;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      out += c;
      continue;
    }
    char escape[5];
    std::snprintf(escape, sizeof escape, "\\%03o", byte);
    out += escape;
  }
  return out;
}

bool ChipNameMatches(const std::string& shown, const std::string& wanted) {
  const auto lower = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  };
  const std::string name = lower(TrimRight(shown));
  const std::string want = lower(TrimRight(TrimLeft(wanted)));
  const std::string series = " series";
  if (want.empty() || name.empty()) return false;
  if (want == name) return true;
  return name.size() > series.size() &&
         name.compare(name.size() - series.size(), series.size(), series) == 0 &&
         want == name.substr(0, name.size() - series.size());
}

}  // namespace app
