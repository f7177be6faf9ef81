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
  return std::memcmp(p, marker, 4) == 0 && std::memcmp(p + 4, number, 3) == 0;
}

}  // namespace

bool HasReleaseRule(int chipType) {
  using enum ChipType;
  switch (device::AsChipType(chipType)) {
    case Tx40779: case Txr842: case Txr845: case Txr846: case Txv961: case Txv929: case Txv927: case Txr659: case Tx40779E:
      return true;
    default:
      return false;
  }
}

std::uint32_t ReleaseBitAddress(int chipType) {
  return device::IsBankChip(chipType) ? 0x70F0 : 0x7038;
}

bool ReleaseBitSet(int chipType, const std::uint8_t* m) {
  using enum ChipType;
  switch (device::AsChipType(chipType)) {
    case Tx40779: case Txr659: case Tx40779E: return (m[2] & 0x01) != 0;
    case Txr842: case Txr845: case Txr846: return (m[2] & 0x04) != 0;
    case Txv961: return (m[2] & 0x10) != 0;
    case Txv929: case Txv927: return (m[3] & 0x01) != 0;
    default: return false;
  }
}

bool IsInternalVersionText(int chipType, const std::string& v) {
  using enum ChipType;
  switch (device::AsChipType(chipType)) {
    case Txr845: case Txr846:
      return v == "7.07.00.16.00" || v == "11.19.02.16.00" || v == "4.10.02.16.00";
    case Txv961:
      return v == "9.18.01.16.00" || v == "12.01.02.16.00" || v == "2.05.11.16.00" ||
             v == "4.08.11.16.00" || v == "5.13.11.16.00";
    case Txv929: case Txv927:
      return v == "49.48.48.48" || v == "49.48.48.49";
    case Txr659: case Tx40779E:
      return v == "2.00.00" || v == "0.160.144";
    default:
      return false;
  }
}

int IsReleaseFirmwareWith(const ReleaseReads& reads, int chipType, const std::string& version,
                          int flashTypeCode) {
  if (!HasReleaseRule(chipType)) return 1;

  std::uint8_t m[4];
  if (!CallRead(reads.readChipMemory, ReleaseBitAddress(chipType), m, 4)) return 0;
  if (!ReleaseBitSet(chipType, m)) return 0;
  if (IsInternalVersionText(chipType, version)) return 0;

  using enum ChipType;
  switch (device::AsChipType(chipType)) {
    case Tx40779:
    case Txr842: {
      std::uint8_t block[10];
      if (!CallRead(reads.readChipMemory, 0xC000, block, sizeof block)) return 0;
      return MarkerNames(block, kBridgeMarker, device::AsChipType(chipType) == Tx40779 ? "779" : "842") ? 1 : 0;
    }
    case Txr845:
    case Txr846:
    case Txv961: {
      std::uint8_t block[0x400];
      if (!CallRead(reads.readFlashBlock, 0x1000, block, sizeof block)) return 0;
      if (std::memcmp(block, kBridgeMarker, 4) != 0) return 0;
      if (device::AsChipType(chipType) == Txv961) return std::memcmp(block + 4, "961", 3) == 0 ? 1 : 0;
      return std::memcmp(block + 4, "846", 3) == 0 || std::memcmp(block + 4, "845", 3) == 0 ? 1
                                                                                          : 0;
    }
    case Txv929:
    case Txv927: {
      if (flashTypeCode == 0) return 1;
      std::uint8_t params[20] = {};
      const int yield = reads.readChipParameters ? reads.readChipParameters(params) : 0;
      if (yield != 0) return params[19];
      std::uint8_t block[0x400];
      // The marker sits in the last 1 KB of the first bank.
      const std::uint32_t address = device::ChipRowFor(chipType).bankEnd - 0x400;
      if (!CallRead(reads.readFlashBlock, address, block, sizeof block)) return 0;
      return MarkerNames(block + 0x3F0, kBridgeMarker, ChipShortCode(chipType)) ? 1 : 0;
    }
    case Txr659:
    case Tx40779E: {
      std::uint8_t block[0x400];
      if (!CallRead(reads.readFlash, 0x4000, block, sizeof block)) return 0;
      return MarkerNames(block, kMakerMarker, ChipShortCode(chipType)) ? 1 : 0;
    }
    default:
      return 0;
  }
}

}  // namespace identify
