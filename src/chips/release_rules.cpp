#include "chips/release_rules.h"

#include <cstring>

#include "chips/names.h"

namespace identify {

namespace {

constexpr std::uint8_t kBridgeMarker[4] = {0x55, 0xAA, 0xAA, 0x55};
constexpr std::uint8_t kMakerMarker[4] = {0x55, 0xAA, 0x54, 0x58};

bool CallRead(const MemoryReader& read, std::uint32_t address, std::uint8_t* out,
              std::uint32_t n) {
  std::memset(out, 0, n);
  return read && read(address, out, n);
}

bool MarkerNames(const std::uint8_t* p, const std::uint8_t* marker, const char* number) {
  return number != nullptr && std::memcmp(p, marker, 4) == 0 &&
         std::memcmp(p + 4, number, 3) == 0;
}

// The block of `length` bytes at `address` names the chip (or its second
// number) behind `marker` at its byte `at`.
struct MarkerPlace {
  std::uint32_t address;
  std::uint32_t length;
  std::uint32_t at;
};

bool BlockNamesChip(const MemoryReader& read, MarkerPlace place, const std::uint8_t* marker,
                    int chipType) {
  std::uint8_t block[0x400];
  if (!CallRead(read, place.address, block, place.length)) return false;
  const std::uint8_t* p = block + place.at;
  const char* alsoNumber = device::ChipRowFor(chipType).release.alsoNumber;
  return MarkerNames(p, marker, ChipShortCode(chipType)) || MarkerNames(p, marker, alsoNumber);
}

FirmwareBuild BuildOf(bool release) {
  return release ? FirmwareBuild::Release : FirmwareBuild::Internal;
}

// The release marker once the release bit is set and the version is no internal one.
FirmwareBuild MarkedBuild(const ReleaseReads& reads, int chipType, int flashTypeCode) {
  using enum device::ReleaseMarker;
  switch (device::ChipRowFor(chipType).release.marker) {
    case NoRule: return FirmwareBuild::Release;
    case ChipMemory:
      return BuildOf(BlockNamesChip(reads.readChipMemory, {0xC000, 10, 0}, kBridgeMarker, chipType));
    case FlashBlock:
      return BuildOf(BlockNamesChip(reads.readFlashBlock, {0x1000, 0x400, 0}, kBridgeMarker, chipType));
    case BankTail: {
      if (flashTypeCode == 0) return FirmwareBuild::Release;
      std::uint8_t params[20] = {};
      const int yield = reads.readChipParameters ? reads.readChipParameters(params) : 0;
      if (yield != 0) return BuildOf(params[19] != 0);
      // The marker sits in the last 1 KB of the first bank.
      const std::uint32_t address = device::ChipRowFor(chipType).bankEnd - 0x400;
      return BuildOf(
          BlockNamesChip(reads.readFlashBlock, {address, 0x400, 0x3F0}, kBridgeMarker, chipType));
    }
    case MakerMarker:
      return BuildOf(BlockNamesChip(reads.readFlash, {0x4000, 0x400, 0}, kMakerMarker, chipType));
  }
  return FirmwareBuild::Internal;
}

}  // namespace

bool HasReleaseRule(int chipType) {
  return device::ChipRowFor(chipType).release.marker != device::ReleaseMarker::NoRule;
}

std::uint32_t ReleaseBitAddress(int chipType) {
  return device::IsBankChip(chipType) ? 0x70F0 : 0x7038;
}

bool ReleaseBitSet(int chipType, const std::uint8_t* m) {
  const device::ReleaseRule& rule = device::ChipRowFor(chipType).release;
  return rule.bitMask != 0 && (m[rule.bitByte] & rule.bitMask) != 0;
}

bool IsInternalVersionText(int chipType, const std::string& v) {
  for (const char* internal : device::ChipRowFor(chipType).release.internalVersions)
    if (internal != nullptr && v == internal) return true;
  return false;
}

FirmwareBuild IsReleaseFirmwareWith(const ReleaseReads& reads, int chipType,
                                    const std::string& version, int flashTypeCode) {
  if (!HasReleaseRule(chipType)) return FirmwareBuild::Release;

  std::uint8_t m[4];
  if (!CallRead(reads.readChipMemory, ReleaseBitAddress(chipType), m, 4) ||
      !ReleaseBitSet(chipType, m) || IsInternalVersionText(chipType, version))
    return FirmwareBuild::Internal;
  return MarkedBuild(reads, chipType, flashTypeCode);
}

}  // namespace identify
