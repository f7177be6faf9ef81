// One entry of the window's device table: the path every command opens and
// what the refresh learnt about it.
#pragma once

#include <cstdint>

namespace device {

inline constexpr int kMaxDevices = 16;
inline constexpr int kPathSlotSize = 256;  // enumeration slot, terminator included
inline constexpr int kMaxPathLength = kPathSlotSize - 1;
inline constexpr int kDriveLettersSize = 15;

// The bus a candidate enclosure is attached by, as discovery found it.
enum class BusKind : std::uint8_t { Other, Usb, Ieee1394 };

struct DeviceRecord {
  char path[257] = {};
  BusKind bus = BusKind::Other;
  char driveLetters[kDriveLettersSize] = {};
  std::int32_t vendorModeFlag = 0;
  std::uint32_t recoveryChecked = 0;
  std::int32_t companion847 = 0;
  std::int32_t companion842 = 0;
};

// The path table the enumerators fill: 16 slots of 256 bytes.
using PathTable = char[kMaxDevices][kPathSlotSize];

}  // namespace device
