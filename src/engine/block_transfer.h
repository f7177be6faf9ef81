// The block flash transfer steps of the chips that take the block commands
// (types 8, 9, 11, 12, 16, and 7 on IEEE 1394): chunked range reads and
// writes, and the erase-on-write bookkeeping. WriteFlashBlock erases as part
// of the command, so the host keeps count of how far the flash has been
// erased and asks for the next erase exactly when a write reaches its end.
#pragma once

#include <cstdint>

#include "engine/run_window.h"
#include "engine/shared_steps.h"

namespace program {

// n rounded up to whole units.
constexpr std::uint32_t RoundUp(std::uint32_t n, std::uint32_t unit) {
  return (n + unit - 1) / unit * unit;
}

// Where a chip type keeps its 4 KB NVRAM area and how much flash its backup
// and erase-only runs cover.
struct BlockChipLayout {
  bool hasNvram = false;
  std::uint32_t nvramOffset = 0;
  std::uint32_t flashExtent = 0;
};
inline constexpr std::uint32_t kBlockNvramSize = 4096;
BlockChipLayout BlockLayoutFor(const RunWindow& window);

// Erase modes of the bookkeeping (low 7 bits; bit 7 goes to the chip as is).
inline constexpr std::uint8_t kEraseNone = 0;
inline constexpr std::uint8_t kEraseSector = 1;
inline constexpr std::uint8_t kEraseBlock = 2;
inline constexpr std::uint8_t kEraseChip = 3;

// Sets both erased counts for a write that starts at `start`: the region
// below it counts as handled, the first unit at or above it is still to be
// erased. Every write that erases calls this first.
void StartErasedRegionAt(EraseGeometry& geometry, std::uint32_t start);

// The erase code for a write at `address`; advances the erased count when the
// write reaches the end of the erased region.
std::uint8_t EraseCodeForAddress(EraseGeometry& geometry, std::uint32_t address, std::uint8_t mode);
// The part of `length` at `address` that lies inside the erased region; 0
// when the address is at or past the erased end (nothing may be written).
std::uint32_t ClipToErasedRegion(EraseGeometry& geometry, std::uint32_t address,
                                 std::uint32_t length, std::uint8_t mode);

// Chunked by the block size setting, 512-byte rounded, one dot per chunk.
bool ReadFlashRange(RunWindow& window, const char* path, std::uint32_t address,
                    std::uint8_t* destination, std::uint32_t length);
bool WriteFlashRange(RunWindow& window, const char* path, std::uint32_t address,
                     const std::uint8_t* source, std::uint32_t length, std::uint8_t mode);

// The backup-only run of these chips. skip 4096 leaves the NVRAM area out.
bool BackupFlashImage(RunWindow& window, const char* path, std::uint32_t skip);

inline constexpr const char* kDefaultBlockBackupFile = kDefaultBackupFileCapitalF;

}  // namespace program
