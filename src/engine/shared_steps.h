// Steps several procedures share: block-wise erase and read with progress
// dots, the erase-only and backup-only runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/guarded_steps.h"
#include "engine/run_window.h"
#include "texts.h"

namespace program {

// Erases from flash address 0 upward, one block-size step per command.
bool EraseFlashBlocks(RunWindow& window, const char* path, std::uint32_t length);
// Reads whole blocks: buffer must hold length rounded up to whole blocks.
bool ReadFlashBlocks(RunWindow& window, const char* path, std::uint32_t address,
                     std::uint8_t* buffer, std::uint32_t length);
bool EraseWholeFlash(RunWindow& window, const char* path);

// Reads `length` flash bytes from address 0 into buffer, which holds at least
// length rounded up to whole blocks (the window's transfer().blockSize). True when all
// were read.
using FlashReader = std::function<bool(std::uint8_t* buffer, std::uint32_t length)>;
// One read command for the whole range.
FlashReader WholeRangeReader(const char* path);
// Block by block with progress dots (ReadFlashBlocks).
FlashReader BlockReader(RunWindow& window, const char* path);
// Through the storage controller's flash range read.
FlashReader ControllerRangeReader(const char* path);

// The flash size identification read for the chip, in bytes; none when it
// was not read (the record then holds a default or an earlier chip's size).
std::optional<std::uint64_t> ReportedFlashBytes(const ChipState& facts);

// BackupFileEdit's text, or defaultName after the notice that says so.
std::string BackupFileName(RunWindow& window, const char* defaultName);
// Checked before the flash is read for it: a name that exists and is no
// regular file (a folder, a pipe, a device) or is the image file itself is
// refused with kBackupFileError. A symbolic link at the name is replaced.
bool BackupTargetUsable(RunWindow& window, const std::string& fileName);
// Writes the backup beside the file name and renames it over the name once
// it is on the disk whole; a failure (failText) leaves the earlier file as
// it was and nothing partial. Success shows its status.
bool WriteBackupFile(RunWindow& window, const std::string& fileName, const std::uint8_t* data,
                     std::size_t length, const char* failText = kBackupFileError);

// What a backup reads and keeps, and how it reports.
struct BackupPlan {
  FlashReader read;            // reads `size` bytes from address 0
  std::uint32_t size = 0;
  std::uint32_t readUnit = 0;  // the reader fills whole units of this size (0: exactly size)
  std::uint32_t from = 0;      // the file holds bytes from..to of what was read
  std::uint32_t to = 0;
  // The default name's case differs between procedures, which matters where
  // file names are case-sensitive.
  const char* defaultName = kDefaultBackupFile;
  const char* readFailText = kReadBackToBackupError;
  const char* saveFailText = kBackupFileError;
  StatusPaint paint = StatusPaint::Show;
};

// The one backup: reads the flash twice and writes what the plan keeps to
// the backup file (BackupFileEdit, or the default after its notice). A
// failed read, or two that differ, writes no file.
bool BackupFlash(RunWindow& window, const BackupPlan& plan);

// A backup of `size` bytes read with read, leaving out the first skip bytes
// (0, or 4096 for the NVRAM); a block reader fills whole blocks.
bool BackupFlashToFile(RunWindow& window, const FlashReader& read, std::uint32_t size,
                       std::uint32_t skip, const char* defaultName = kDefaultBackupFile);

// Sizes buffer to size bytes, the new ones zero. When the memory cannot be
// had it shows failText and returns false; the buffer is then empty.
bool SizeBuffer(RunWindow& window, std::vector<std::uint8_t>& buffer, std::size_t size,
                const char* failText);
// Both buffers of a write-and-read-back sized alike, the same way; false
// after failText when either cannot be had.
bool SizeBuffers(RunWindow& window, std::vector<std::uint8_t>& first,
                 std::vector<std::uint8_t>& second, std::size_t size, const char* failText);

// Lets an ATMEL part take writes (false, after its text, when it would
// not); with unprotect, the parts that power up write-protected are
// unprotected.
bool EnableFlashWrites(RunWindow& window, const char* path, StatusPaint paint, bool unprotect);

// A poll before a command: wait for the flash, whatever it answers.
void PollFlash(const char* path);

}  // namespace program
