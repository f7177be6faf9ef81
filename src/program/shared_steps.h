// Steps several procedures share: block-wise erase and read with progress
// dots, the erase-only and backup-only runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <optional>
#include <vector>

#include "program/run_window.h"

namespace program {

// Erases from flash address 0 upward, one block-size step per command.
bool EraseFlashBlocks(RunWindow& window, const char* path, std::uint32_t length);
// Reads whole blocks: buffer must hold length rounded up to whole blocks.
bool ReadFlashBlocks(RunWindow& window, const char* path, std::uint32_t address,
                     std::uint8_t* buffer, std::uint32_t length);
bool EraseWholeFlash(RunWindow& window, const char* path);

// Reads `length` flash bytes from address 0 into buffer, which holds at least
// length rounded up to whole blocks (Transfer().blockSize). True when all
// were read.
using FlashReader = std::function<bool(std::uint8_t* buffer, std::uint32_t length)>;
// One read command for the whole range.
FlashReader WholeRangeReader(const char* path);
// Block by block with progress dots (ReadFlashBlocks).
FlashReader BlockReader(RunWindow& window, const char* path);
// Through the storage controller's flash range read.
FlashReader ControllerRangeReader(const char* path);

// Backup file names used when BackupFileEdit is empty.
// The flash size identification read for the chip, in bytes; none when it
// was not read (the record then holds a default or an earlier chip's size).
std::optional<std::uint64_t> ReportedFlashBytes(const ChipState& facts);

inline constexpr const char* kDefaultBackupFile = "oldflash.bak";
inline constexpr const char* kDefaultBackupFileCapitalF = "oldFlash.bak";

// BackupFileEdit's text, or defaultName after the notice that says so.
std::string BackupFileName(RunWindow& window, const char* defaultName);
// Writes the backup; a file that cannot be opened, written whole or closed
// is a failure ("Open Backup File Error!!"), success shows its status.
bool WriteBackupFile(RunWindow& window, const std::string& fileName, const std::uint8_t* data,
                     std::size_t length);

// Reads `size` bytes with read and writes them to the backup file
// (BackupFileEdit, or the default after its notice), leaving out the first
// skip bytes (0, or 4096 for the NVRAM). A failed read writes no file.
// The default name's case differs between procedures, which matters where
// file names are case-sensitive.
bool BackupFlashToFile(RunWindow& window, const FlashReader& read, std::uint32_t size,
                       std::uint32_t skip, const char* defaultName = kDefaultBackupFile);

// Sizes buffer to size bytes, the new ones zero. When the memory cannot be
// had it shows failText and returns false; the buffer is then empty.
bool SizeBuffer(RunWindow& window, std::vector<std::uint8_t>& buffer, std::size_t size,
                const char* failText);

// True when every byte is 0xFF; otherwise shows "Data not 0xff !!".
bool CheckErased(RunWindow& window, const std::uint8_t* data, std::size_t length);


void DebugTrace(const char* text);
// A poll before a command: wait for the flash, whatever it answers.
void PollFlash(const char* path);

}  // namespace program
