#include "program/shared_steps.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "device/ata_commands.h"
#include "device/flash_commands.h"
#include "device/spi_commands.h"
#include "host/host.h"
#include "program/settings.h"
#include "host/stdio_file.h"

namespace program {

namespace {

std::uint32_t BlockCount(std::uint32_t length, std::uint32_t block) {
  return length / block + (length % block != 0 ? 1 : 0);
}


using host::File;

}  // namespace

void DebugTrace(const char* text) { host::Current().DebugOutput(text); }

void PollFlash(const char* path) { (void)device::WaitFlashReady(path); }

bool EraseFlashBlocks(RunWindow& window, const char* path, std::uint32_t length) {
  if (!device::WaitFlashReady(path)) DebugTrace("0.1 Device initial not ready!!");
  const std::uint32_t block = Transfer().blockSize;
  const std::uint32_t n = BlockCount(length, block);
  window.ShowStatus("Erase...");
  for (std::uint32_t i = 0; i < n; ++i) {
    PollFlash(path);
    if (!device::EraseFlashSector(path, static_cast<std::int32_t>(i * block))) return false;
    if (!device::WaitFlashReady(path)) DebugTrace("Not ready after Erase flash success");
    window.AppendStatus(".");
  }
  return n > 0;
}

bool ReadFlashBlocks(RunWindow& window, const char* path, std::uint32_t address,
                     std::uint8_t* buffer, std::uint32_t length) {
  if (!device::WaitFlashReady(path)) DebugTrace("0.1 Device initial not ready!!");
  const std::uint32_t block = Transfer().blockSize;
  const std::uint32_t n = BlockCount(length, block);
  window.ShowStatus("ReadFlash...");
  for (std::uint32_t i = 0; i < n; ++i) {
    PollFlash(path);
    if (!device::ReadFlashWhole(path, static_cast<std::int32_t>(address + i * block),
                                buffer + static_cast<std::size_t>(i) * block,
                                static_cast<std::int32_t>(block)))
      return false;
    window.AppendStatus(".");
  }
  return n > 0;
}

bool EraseWholeFlash(RunWindow& window, const char* path) {
  window.ShowStatus("Start Erase only!");
  const std::uint32_t size = Transfer().flashSize;
  const ChipFacts& facts = window.facts();
  (void)device::WaitFlashReady(path);

  bool erased = false;
  if (facts.atmelFlashId != -1) erased = device::EraseFlashChip(path) != 0;
  if (!erased && facts.chipType == 10) erased = device::EraseFlashChip(path) != 0;
  if (!erased) erased = EraseFlashBlocks(window, path, size);
  if (!erased) {
    window.ShowStatus("Erase command fail!!");
    return false;
  }
  host::Current().Sleep(500);
  if (!device::WaitFlashReady(path)) window.ShowStatus("Not ready after Erase flash cmd success");
  if (facts.chipType == 10 && facts.flashTypeCode == 2) (void)device::SpiChipErase(path);

  std::vector<std::uint8_t> readBack;
  try {
    readBack.assign(size, 0);
  } catch (const std::bad_alloc&) {
    window.ShowStatus("Allocate read buffer Error!!");
    return false;
  }
  // Without data there is nothing to vouch for: an unreadable flash is not
  // reported as erased.
  if (!device::ReadFlash(path, 0, readBack.data(), static_cast<std::int32_t>(size))) {
    window.ShowStatus("Read Back Erased Flash Error!!");
    return false;
  }
  for (std::uint8_t b : readBack) {
    if (b != 0xFF) {
      window.ShowStatus("Data not 0xff !!");
      return false;
    }
  }
  window.ShowStatus("Erase flash all success!");
  return true;
}

bool BackupFlashToFile(RunWindow& window, const char* path, std::uint32_t skip) {
  const RunOptions options = window.options();
  std::string fileName = options.backupFile;
  if (fileName.empty()) {
    fileName = kDefaultBackupFile;
    window.Message("Default backup firmware as OldFalsh.bak!", kCaptionMessage,
                   MessageIcon::None);
  }
  const ChipFacts& facts = window.facts();
  std::uint32_t size = Transfer().flashSize;
  if (facts.chipType == 10 || facts.chipType == 13)
    size = static_cast<std::uint32_t>(facts.flashSizeKb) * 1024u;
  window.ShowStatus("Backup ...");

  std::vector<std::uint8_t> data;
  try {
    // ReadFlashBlocks reads whole blocks, so leave room for the last one.
    const std::uint32_t block = Transfer().blockSize;
    const std::size_t whole = static_cast<std::size_t>(BlockCount(size, block)) * block;
    data.assign(whole > size ? whole : size, 0);
  } catch (const std::bad_alloc&) {
    window.ShowStatus("Allocate read buffer Error!!");
    return false;
  }

  bool read = false;
  if (facts.chipType == 10) {
    read = ReadFlashBlocks(window, path, 0, data.data(), size);
  } else if (facts.chipType >= 13 && facts.chipType <= 15) {
    read = device::AtaReadFlashRange(path, 0, data.data(), static_cast<std::int32_t>(size)) == 0;
  } else {
    // A short transfer leaves zeros: never save them as the old firmware.
    read = device::ReadFlashWhole(path, 0, data.data(), static_cast<std::int32_t>(size)) != 0;
  }
  if (!read) {
    window.ShowStatus("Read Back to Backup Error!!");
    return false;
  }

  std::size_t offset = 0;
  if (skip > 0) {
    offset = skip < size ? skip : size;
    size -= static_cast<std::uint32_t>(offset);
  }
  File file = host::OpenFile(fileName.c_str(), "wb");
  if (!file) {
    window.ShowStatus("Open Backup File Error!!");
    return false;
  }
  const bool written = std::fwrite(data.data() + offset, 1, size, file.get()) == size;
  // A short write or a failed close leaves a damaged backup: never call it success.
  if (std::fclose(file.release()) != 0 || !written) {
    window.ShowStatus("Open Backup File Error!!");
    return false;
  }
  window.ShowStatus("Read flash and backup success!");
  return true;
}

}  // namespace program
