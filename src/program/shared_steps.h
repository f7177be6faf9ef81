// Steps several procedures share: block-wise erase and read with progress
// dots, the erase-only and backup-only runs.
#pragma once

#include <cstdint>

#include "program/run_window.h"

namespace program {

// Erases from flash address 0 upward, one block-size step per command.
bool EraseFlashBlocks(RunWindow& window, const char* path, std::uint32_t length);
// Reads whole blocks: buffer must hold length rounded up to whole blocks.
bool ReadFlashBlocks(RunWindow& window, const char* path, std::uint32_t address,
                     std::uint8_t* buffer, std::uint32_t length);
bool EraseWholeFlash(RunWindow& window, const char* path);
// skip: leading flash bytes left out of the file (0, or 4096 for the NVRAM).
bool BackupFlashToFile(RunWindow& window, const char* path, std::uint32_t skip);

inline constexpr const char* kDefaultBackupFile = "oldflash.bak";

void DebugTrace(const char* text);
// A poll before a command: wait for the flash, whatever it answers.
void PollFlash(const char* path);

}  // namespace program
