// Steps shared by the procedures that keep a chip's firmware in a reserved
// area near the end of the attached disk: the guard that keeps every write
// inside the disk's tail, and the piece write / read-back / compare over ATA
// DMA48 or SCSI READ/WRITE(16).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/run_window.h"

namespace program {

inline constexpr std::uint32_t kDiskPiece = 0x10000;  // bytes per disk command
// The area must lie in the last 16 MiB of the disk and past its first MiB,
// where partition tables and user data live.
inline constexpr std::uint64_t kDiskTailBytes = 16ull << 20;
inline constexpr std::uint64_t kDiskHeadBytes = 1ull << 20;

// Where a firmware area lies and how it is reached.
struct DiskArea {
  const char* path = "";
  std::uint32_t sectorSize = 512;
  std::uint64_t start = 0;    // first LBA of the area
  std::uint64_t diskEnd = 0;  // first LBA past the disk's end; 0 = unknown
  bool ata = true;            // DMA EXT through ATA pass-through, else READ/WRITE(16)
};

// The disk's end from the IDENTIFY capacity and READ CAPACITY's last LBA
// (0 each when the query failed): the larger of the two.
std::uint64_t DiskEnd(std::uint64_t identifyCapacity, std::uint64_t lastLba);

// True when bytes from the area's start lie wholly in the disk's tail: a sector
// size that divides a piece, a start past the head and within the tail, and
// an end at or before the disk's end.
bool AreaFits(const DiskArea& area, std::uint64_t bytes);

// One command moving length bytes at lba; false when it fails or moves less.
bool WriteAreaSectors(const DiskArea& area, std::uint64_t lba, std::uint8_t* data,
                      std::uint32_t length);
bool ReadAreaSectors(const DiskArea& area, std::uint64_t lba, std::uint8_t* data,
                     std::uint32_t length);

struct PieceTexts {
  const char* writeFailed;
  const char* readFailed;
  const char* differs;
};

// Writes one piece at lba, reads it back into scratch (at least the piece's
// length) and compares; shows the matching text and returns false on any
// failure.
bool WriteVerifyPiece(RunWindow& window, const DiskArea& area, std::uint64_t lba,
                      std::uint8_t* piece, std::uint32_t length, std::vector<std::uint8_t>& scratch,
                      const PieceTexts& texts);

// Loads the image file named in the window, refusing before any command a
// file that cannot be read whole, is empty or is longer than maxLength.
bool LoadDiskImage(RunWindow& window, std::uint64_t maxLength, std::vector<std::uint8_t>& image);

}  // namespace program
