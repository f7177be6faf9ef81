// The serial-flash kinds a chip reports for its flash (the flash type code,
// 0..11), named for the procedures and the command builders that depend on
// them.
#pragma once

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

}  // namespace device
