#include "engine/shared_steps.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "scsi/ata_commands.h"
#include "chips/flash_busy.h"
#include "scsi/flash_commands.h"
#include "chips/flash_kind.h"
#include "scsi/spi_commands.h"
#include "host/host.h"
#include "engine/guarded_steps.h"
#include "engine/settings.h"
#include "host/stdio_file.h"

namespace program {

namespace {


std::uint32_t BlockCount(std::uint32_t length, std::uint32_t block) {
  return length / block + (length % block != 0 ? 1 : 0);
}

}  // namespace

std::optional<std::uint64_t> ReportedFlashBytes(const ChipState& facts) {
  if (!device::FactsRead(facts, device::kFactFlashSize) || facts.flashSizeKb <= 0)
    return std::nullopt;
  return std::uint64_t{static_cast<std::uint32_t>(facts.flashSizeKb)} * 1024u;
}

void PollFlash(const char* path) { (void)device::WaitFlashReady(path); }

// Runs step(offset, block) over the blocks covering length, each after the
// engine was polled, with status shown first and a dot per block; false at
// the first failed step, or when there is no block at all.
template <typename Step>
bool EachFlashBlock(RunWindow& window, const char* path, std::uint32_t length,
                    const char* status, Step step) {
  if (!device::WaitFlashReady(path)) window.trace().DebugOutput(kTraceNotReady);
  const std::uint32_t block = window.transfer().blockSize;
  const std::uint32_t n = BlockCount(length, block);
  window.ShowStatus(status);
  for (std::uint32_t i = 0; i < n; ++i) {
    PollFlash(path);
    if (!step(i * block, block)) return false;
    window.AppendStatus(".");
  }
  return n > 0;
}

bool EraseFlashBlocks(RunWindow& window, const char* path, std::uint32_t length) {
  return EachFlashBlock(
      window, path, length, kProgressErase, [&](std::uint32_t address, std::uint32_t) {
        if (device::EraseFlashSector(path, static_cast<std::int32_t>(address)).failed())
          return false;
        if (!device::WaitFlashReady(path)) window.trace().DebugOutput(kNotReadyAfterErase);
        return true;
      });
}

bool ReadFlashBlocks(RunWindow& window, const char* path, std::uint32_t address,
                     std::uint8_t* buffer, std::uint32_t length) {
  return EachFlashBlock(
      window, path, length, kProgressReadFlash, [&](std::uint32_t offset, std::uint32_t block) {
        return device::ReadFlashWhole(path, static_cast<std::int32_t>(address + offset),
                                      buffer + offset, static_cast<std::int32_t>(block))
            .ok();
      });
}

bool EraseWholeFlash(RunWindow& window, const char* path) {
  window.ShowStatus(kStartEraseOnly);
  const std::uint32_t size = window.transfer().flashSize;
  const ChipState& facts = window.facts();
  (void)device::WaitFlashReady(path);

  bool erased = false;
  if (facts.atmelFlashId != -1) erased = device::EraseFlashChip(path).ok();
  if (!erased && TypeOf(facts) == ChipType::Txr847) erased = device::EraseFlashChip(path).ok();
  if (!erased) erased = EraseFlashBlocks(window, path, size);
  if (!erased) {
    window.ShowStatus(kEraseCommandFail);
    return false;
  }
  // A chip erase outlasts the plain ready wait on the larger parts, and a
  // part still busy reads 0xFF: the blank check below would vouch for an
  // erase that has not happened. Wait as long as the part may take.
  const std::uint32_t limitMs = device::ChipEraseLimitMs(facts.flashTypeCode, facts.flashSizeKb);
  window.clock().Sleep(500);
  bool ready = device::WaitFlashReadyWithin(window.clock(), path, limitMs);
  if (ready && TypeOf(facts) == ChipType::Txr847 &&
      device::IsKind(facts.flashTypeCode, device::FlashKind::Sst)) {
    (void)device::SpiChipErase(path);
    ready = device::WaitFlashReadyWithin(window.clock(), path, limitMs);
  }
  if (!ready) {
    window.ShowStatus(kNotReadyAfterEraseCommand);
    return false;
  }

  std::vector<std::uint8_t> readBack;
  if (!SizeBuffer(window, readBack, size, kAllocateReadBufferError)) return false;
  // Without data there is nothing to vouch for: an unreadable flash is not
  // reported as erased.
  if (device::ReadFlash(path, 0, readBack.data(), static_cast<std::int32_t>(size)).failed()) {
    window.ShowStatus(kReadBackErasedError);
    return false;
  }
  if (!RequireBlank(window, readBack.data(), readBack.size())) return false;
  window.ShowStatus(kEraseAllSuccess);
  return true;
}

bool EnableFlashWrites(RunWindow& window, const char* path, StatusPaint paint, bool unprotect) {
  const ChipState& facts = window.facts();
  if (facts.atmelFlashId != -1) {
    (void)device::FlashWriteEnable(path);
    if (device::WaitFlashStatusSet(path, 0x02).failed()) {
      PutStatus(window, paint, kAtmelWriteEnableFail);
      return false;
    }
  }
  if (unprotect && (device::IsKind(facts.flashTypeCode, device::FlashKind::StEonMxic) ||
                    device::IsKind(facts.flashTypeCode, device::FlashKind::Mxic)))
    (void)device::UnprotectFlash(path);
  return true;
}

FlashReader WholeRangeReader(const char* path) {
  const std::string device = path;
  return [device](std::uint8_t* buffer, std::uint32_t length) {
    // A short transfer leaves zeros: never save them as the old firmware.
    return device::ReadFlashWhole(device.c_str(), 0, buffer, static_cast<std::int32_t>(length))
        .ok();
  };
}

FlashReader BlockReader(RunWindow& window, const char* path) {
  const std::string device = path;
  return [&window, device](std::uint8_t* buffer, std::uint32_t length) {
    return ReadFlashBlocks(window, device.c_str(), 0, buffer, length);
  };
}

FlashReader ControllerRangeReader(const char* path) {
  const std::string device = path;
  return [device](std::uint8_t* buffer, std::uint32_t length) {
    return device::AtaReadFlashRange(device.c_str(), 0, buffer,
                                     static_cast<std::int32_t>(length)) == device::kAtaRangeOk;
  };
}

bool SizeBuffer(RunWindow& window, std::vector<std::uint8_t>& buffer, std::size_t size,
                const char* failText) {
  try {
    buffer.resize(size, 0);
  } catch (const std::bad_alloc&) {
    buffer.clear();
    buffer.shrink_to_fit();
    window.ShowStatus(failText);
    return false;
  } catch (const std::length_error&) {
    buffer.clear();
    window.ShowStatus(failText);
    return false;
  }
  return true;
}

bool SizeBuffers(RunWindow& window, std::vector<std::uint8_t>& first,
                 std::vector<std::uint8_t>& second, std::size_t size, const char* failText) {
  return SizeBuffer(window, first, size, failText) && SizeBuffer(window, second, size, failText);
}

std::string BackupFileName(RunWindow& window, const char* defaultName) {
  std::string fileName = window.options().backupFile;
  if (fileName.empty()) {
    fileName = defaultName;
    window.Message(kDefaultBackupNotice, kCaptionMessage,
                   MessageIcon::None);
  }
  return fileName;
}

bool BackupTargetUsable(RunWindow& window, const std::string& fileName) {
  // A pipe would hold the run until something reads it, a device would take
  // the bytes somewhere else, and the image would be lost to its own backup.
  if (host::CheckBackupTarget(fileName.c_str(), window.options().imageFile.c_str()) ==
      host::BackupTarget::Usable)
    return true;
  window.ShowStatus(kBackupFileError);
  return false;
}

bool WriteBackupFile(RunWindow& window, const std::string& fileName, const std::uint8_t* data,
                     std::size_t length, const char* failText) {
  if (!BackupTargetUsable(window, fileName)) return false;
  if (!host::ReplaceFileWith(fileName.c_str(), data, length)) {
    window.ShowStatus(failText);
    return false;
  }
  window.ShowStatus(kBackupSuccess);
  return true;
}

bool BackupFlash(RunWindow& window, const BackupPlan& plan) {
  const std::string fileName = BackupFileName(window, plan.defaultName);
  if (!BackupTargetUsable(window, fileName)) return false;
  PutStatus(window, plan.paint, kProgressBackup);
  // Nothing to read is nothing to back up: an empty file is no backup.
  if (plan.size == 0) {
    window.ShowStatus(kAllocateReadBufferError);
    return false;
  }
  // A reader of whole units needs room for the last one.
  const std::size_t room =
      plan.readUnit == 0
          ? plan.size
          : static_cast<std::size_t>(BlockCount(plan.size, plan.readUnit)) * plan.readUnit;
  std::vector<std::uint8_t> data;
  std::vector<std::uint8_t> check;
  if (!SizeBuffers(window, data, check, room, kAllocateReadBufferError)) return false;
  const auto readAll = [&](std::uint8_t* into) { return plan.read(into, plan.size); };
  if (!ReadTwiceAgreeing(readAll, data.data(), check.data(), plan.size)) {
    PutStatus(window, plan.paint, plan.readFailText);
    return false;
  }
  const std::uint32_t to = std::min(plan.to, plan.size);
  const std::uint32_t from = std::min(plan.from, to);
  return WriteBackupFile(window, fileName, data.data() + from, to - from, plan.saveFailText);
}

bool BackupFlashToFile(RunWindow& window, const FlashReader& read, std::uint32_t size,
                       std::uint32_t skip, const char* defaultName) {
  return BackupFlash(window, {read, size, window.transfer().blockSize, skip, size, defaultName});
}

}  // namespace program
