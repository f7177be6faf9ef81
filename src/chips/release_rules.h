// Whether the running firmware is a release build, or shows as "Internal
// code": a release bit in chip memory, a list of known internal version
// texts, and the chip marker in the flash contents. The device reads come
// through readers the caller supplies; only the ones a rule needs are made.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace identify {

using MemoryReader =
    std::function<bool(std::uint32_t address, std::uint8_t* out, std::uint32_t n)>;

struct ReleaseReads {
  MemoryReader readChipMemory;  // ReadChipMemory
  MemoryReader readFlashBlock;  // ReadFlashBlock
  MemoryReader readFlash;       // ReadFlash
  // ReadChipParameters with 20 bytes into out: its yield (byte 8, 0 on failure).
  std::function<int(std::uint8_t* out20)> readChipParameters;
};

// The chip types whose version must earn its display; all others are release.
bool HasReleaseRule(int chipType);
// Where the release bit lives: 4 bytes at this chip-memory address.
std::uint32_t ReleaseBitAddress(int chipType);
// The release bit in those 4 bytes.
bool ReleaseBitSet(int chipType, const std::uint8_t* memory4);
// Versions the maker's internal builds carry; never shown as a version.
bool IsInternalVersionText(int chipType, const std::string& version);

// Internal: the version text must be replaced by "Internal code".
enum class FirmwareBuild { Internal = 0, Release = 1 };

FirmwareBuild IsReleaseFirmwareWith(const ReleaseReads& reads, int chipType,
                                    const std::string& version, int flashTypeCode);

}  // namespace identify
