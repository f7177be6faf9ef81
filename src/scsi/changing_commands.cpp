#include "scsi/changing_commands.h"

#include <algorithm>
#include <iterator>

#include "scsi/flash_types.h"

namespace device {

namespace {

// Serial-flash opcodes that program or erase, as the raw command path
// carries them (the sector and block erases most parts know included).
constexpr std::uint8_t kSpiChanging[] = {kSpiPageProgram, kSpiAaiByteProgram, kSpiAaiWordProgram,
                                         kSpiChipErase,   0x60, 0x20, 0x52, 0xD8};

// Vendor frame (FF 04 op) operations: internal-ROM start-erase, program and
// pre-erase; flash write, chip erase, sector erase; raw serial-flash data.
constexpr std::uint8_t kVendorChanging[] = {0x01, 0x02, 0x04, 0x11, 0x13, 0x14, 0x22};
constexpr std::uint8_t kVendorSpiCommand = 0x20;
// ATA pass-through(12) vendor features: flash write, chip erase, raw command.
constexpr std::uint8_t kAtaWriteFlash = 0xE9;
constexpr std::uint8_t kAtaEraseChip = 0xE7;
constexpr std::uint8_t kAtaSpiCommand = 0xE1;

template <std::size_t N>
bool In(const std::uint8_t (&set)[N], std::uint8_t value) {
  return std::find(std::begin(set), std::end(set), value) != std::end(set);
}

}  // namespace

bool MayChangeStoredData(const std::uint8_t* cdb, int cdbLength) {
  if (cdb == nullptr || cdbLength < 1) return false;
  const auto at = [&](int i) -> std::uint8_t { return i < cdbLength ? cdb[i] : 0; };
  switch (at(0)) {
    case 0xFF:  // vendor frame
      if (at(1) != 0x04) return false;
      if (at(2) == kVendorSpiCommand) return In(kSpiChanging, at(5));
      return In(kVendorChanging, at(2));
    case 0xDF:  // memory frame: the block write (it erases on the way)
      return at(11) == 0xFB;
    case 0xA1:  // ATA pass-through(12) to the storage controller
      if (at(3) == kAtaSpiCommand) return In(kSpiChanging, at(5));
      return at(3) == kAtaWriteFlash || at(3) == kAtaEraseChip;
    case 0x8A:  // WRITE(16)
      return true;
    case 0x85:  // ATA pass-through(16): WRITE DMA EXT
      return at(14) == 0x35;
    default:
      return false;
  }
}

}  // namespace device
