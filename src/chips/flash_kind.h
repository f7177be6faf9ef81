// The serial-flash kinds a chip reports for its flash (the flash type code,
// 0..11), named for the procedures and the command builders that depend on
// them, with the name and erase geometry of each.
#pragma once

#include <array>
#include <cstdint>

namespace device {

enum class FlashKind : std::int32_t {
  Unknown = 0,
  Pmc = 1,
  Sst = 2,
  StEonMxic = 3,
  Atmel = 4,
  Mxic = 5,
  Winbond = 6,
  Amic = 7,
  Eon = 8,
  Esmt = 9,
  Sanyo = 10,
  GigaDevice = 11,
};

inline constexpr int kFlashKindCount = 12;

// The code a chip reports and a ChipState keeps for a kind.
constexpr std::int32_t Code(FlashKind kind) { return static_cast<std::int32_t>(kind); }
constexpr bool IsKind(std::int32_t code, FlashKind kind) { return code == Code(kind); }

struct FlashKindRow {
  FlashKind kind = FlashKind::Unknown;
  const char* name = "";  // shown as the flash type; at most 19 characters
  std::uint32_t eraseBlockSize = 0;
  std::uint32_t eraseSectorSize = 0;
};

inline constexpr std::array<FlashKindRow, kFlashKindCount> kFlashKindTable = {{
    {FlashKind::Unknown, "Unknown", 0x8000, 0x1000},
    {FlashKind::Pmc, "PMC", 0x8000, 0x1000},
    {FlashKind::Sst, "SST", 0x8000, 0x1000},
    {FlashKind::StEonMxic, "ST/EON/MXIC", 0x10000, 0x8000},
    {FlashKind::Atmel, "ATMEL", 0x10000, 0x8000},
    {FlashKind::Mxic, "MXIC", 0x10000, 0x1000},
    {FlashKind::Winbond, "WINBOND", 0x10000, 0x1000},
    {FlashKind::Amic, "AMIC", 0x10000, 0x1000},
    {FlashKind::Eon, "EON", 0x10000, 0x8000},
    {FlashKind::Esmt, "ESMT", 0x10000, 0x1000},
    {FlashKind::Sanyo, "SANYO", 0x10000, 0x1000},
    {FlashKind::GigaDevice, "GIGADEVICE", 0x10000, 0x1000},
}};

// Rows are looked up by code: each sits at its own.
constexpr bool FlashKindRowsInCodeOrder() {
  for (int code = 0; code < kFlashKindCount; ++code)
    if (Code(kFlashKindTable[static_cast<std::size_t>(code)].kind) != code) return false;
  return true;
}
static_assert(FlashKindRowsInCodeOrder(), "flash kind rows out of code order");

}  // namespace device
