// The update for bridge chips whose firmware sits at the bottom of a small
// serial flash, with a 512-byte NVRAM record at 0x8000 kept for images up to
// 32 KB.
#pragma once

#include "engine/procedure_verbs.h"
#include "engine/run_window.h"

namespace program {

inline constexpr std::uint32_t kNvramRecordAddress = 0x8000;
inline constexpr std::uint32_t kNvramRecordSize = 512;
inline constexpr std::uint32_t kMinimumImage = 0x8000;
inline constexpr std::uint32_t kSectorEraseLimit = 0x10000;
// The largest image: the 24-bit address range of the serial flash.
inline constexpr std::uint32_t kLargestImage = 0x1000000;

}  // namespace program
