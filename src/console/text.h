// Texts the console writes where one line must stay one line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace app {

// A text on one line: line breaks become spaces, other control characters
// are spelt out as PrintableText does, so that no text can break or forge a
// line.
std::string PrintableLine(std::string_view text);
// Bytes as two hex digits each, separated by spaces ("FF 04 10").
std::string HexBytes(const std::uint8_t* bytes, std::size_t n);
// The local time as records and sidecars write it (2026-12-09T05:30:55).
std::string LocalTimeText();
// Without the spaces and line breaks at its end (TrimRight) or the spaces at
// its start (TrimLeft).
std::string TrimRight(std::string text);
std::string TrimLeft(const std::string& text);
// Status texts may carry line breaks ("Read Fail!!\r\n"): one line each.
std::string OneLine(const std::string& text);
// A device's text for the running text, or "-" when there is none.
std::string Shown(const std::string& text);

}  // namespace app
