#include "scsi/changing_commands.h"

#include <algorithm>
#include <iterator>

#include "scsi/flash_types.h"
#include "scsi/vendor_opcodes.h"

namespace device {

namespace {

// Serial-flash opcodes that program or erase, as the raw command path
// carries them (the sector and block erases most parts know included).
constexpr std::uint8_t kSpiChanging[] = {kSpiPageProgram, kSpiAaiByteProgram, kSpiAaiWordProgram,
                                         kSpiChipErase,   0x60, 0x20, 0x52, 0xD8};

// Vendor frame operations that program or erase.
constexpr std::uint8_t kVendorChanging[] = {kOpRomStartErase, kOpRomProgram, kOpRomPreErase,
                                            kOpWrite,         kOpChipErase,  kOpSectorErase,
                                            kOpSpiWriteData};

template <std::size_t N>
bool In(const std::uint8_t (&set)[N], std::uint8_t value) {
  return std::find(std::begin(set), std::end(set), value) != std::end(set);
}

}  // namespace

bool MayChangeStoredData(const std::uint8_t* cdb, int cdbLength) {
  if (cdb == nullptr || cdbLength < 1) return false;
  const auto at = [&](int i) -> std::uint8_t { return i < cdbLength ? cdb[i] : 0; };
  switch (at(0)) {
    case kVendorFrameCode:
      if (at(1) != kVendorFrameKind) return false;
      if (at(2) == kOpSpiCommand) return In(kSpiChanging, at(5));
      return In(kVendorChanging, at(2));
    case kMemoryFrameCode:
      return at(11) == kMemOpBlockWrite;
    case kAtaPassThrough12:  // to the storage controller
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
