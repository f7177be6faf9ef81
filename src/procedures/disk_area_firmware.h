// The update for bridges that keep their firmware in a reserved area near
// the end of the attached disk (chip types 18, 5 from bridge version 208, and
// 19 without a serial flash): 64 KB pieces over ATA DMA48, each read back and
// compared, with a 6-byte tag in the area's first sector naming the area.
#pragma once

#include <cstdint>

#include "engine/procedure_verbs.h"
#include "engine/run_window.h"

namespace program {

inline constexpr std::uint32_t kAreaTagOffset = 150;
inline constexpr std::uint32_t kAreaTagSize = 6;

// The area's first LBA from the reference R, the capacity's high half H and
// the parameter flag P: 64-bit arithmetic when H is not 0, else 32-bit with
// its wrap-around (the caller refuses what lands outside the disk's tail).
std::uint64_t DiskAreaStart(std::uint32_t reference, std::uint32_t capacityHigh, bool paramFlag);

// 0x55, R big-endian, 0xAA at bytes 150..155 of image (at least 156 bytes).
void PutAreaTag(std::uint8_t* image, std::uint32_t reference);

bool EraseDiskFirmwareArea(RunWindow& window, const char* path, int chipType);
bool BackupDiskFirmwareArea(RunWindow& window, const char* path, int chipType);
bool ProgramDiskFirmwareArea(RunWindow& window, const char* path, int chipType);

}  // namespace program
