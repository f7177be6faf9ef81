// The update for storage controllers (chip types 12 and 16) that keep their
// firmware bank on the attached hard disk: a 64 KB area 2 MB below the last
// 1 MB boundary, the code bank closed by a CRC-32 stamp, the rest NVRAM. The
// chip resets itself afterwards to load the new bank.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "engine/procedure_verbs.h"
#include "engine/run_window.h"

namespace program {

inline constexpr std::uint32_t kHddAreaSize = 0x10000;
inline constexpr std::uint32_t kCrc32Start = 0x52325032;

// CRC-32 (0x04C11DB7, most significant bit first, no final XOR) fed one
// 32-bit word at a time; 1 to 3 trailing bytes are not covered.
std::uint32_t Crc32OfWords(const std::uint8_t* data, std::size_t length, bool bigEndian);

// Where the code bank ends: the chip's bank end, 0xC000 for a chip without banks.
std::uint32_t HddBankEnd(int chipType);

// The area's first LBA from the IDENTIFY capacity (ATA path when not 0) or
// the last LBA (SCSI path); none when the disk is too small to hold it.
std::optional<std::uint64_t> HddFirmwareBase(std::uint64_t identifyCapacity,
                                             std::uint64_t lastLba, std::uint32_t sectorSize);

bool EraseHddFirmwareArea(RunWindow& window, const char* path, int chipType);
bool BackupHddFirmwareArea(RunWindow& window, const char* path, int chipType);
bool ProgramHddFirmwareArea(RunWindow& window, const char* path, int chipType);

}  // namespace program
