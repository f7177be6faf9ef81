#include "procedures/standard_serial.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "chips/flash_busy.h"
#include "scsi/flash_commands.h"
#include "chips/flash_kind.h"
#include "scsi/spi_commands.h"
#include "identify/device_identify.h"
#include "engine/diagnostics.h"
#include "engine/guarded_steps.h"
#include "engine/image_file.h"
#include "engine/procedure_table.h"
#include "engine/settings.h"
#include "engine/shared_steps.h"

namespace program {

namespace {


// Erase one unit, then wait 500 ms and check that the flash settled.
bool EraseSectorAndSettle(RunWindow& window, const char* path, std::uint32_t address) {
  if (device::EraseFlashSector(path, static_cast<std::int32_t>(address)).failed()) return false;
  window.clock().Sleep(500);
  if (!device::WaitFlashReady(path)) window.ShowStatus(kNotReadyAfterErase);
  return true;
}

// The unit above the first 32 KB, erased only for images that reach it.
bool EraseUpperSector(RunWindow& window, const char* path, std::uint32_t address) {
  if (device::EraseFlashSector(path, static_cast<std::int32_t>(address)).failed()) {
    window.ShowStatus(kEraseCommandFail);
    return false;
  }
  window.clock().Sleep(500);
  PollFlash(path);
  return true;
}

// The AMIC identities whose sector layout EraseForSmallImage knows.
bool KnownSmallEraseLayout(std::int32_t amic) {
  return amic == 1 || amic == 3 || amic == 5 || amic == -1 || amic == 4;
}

// Erases what a small image needs, by the flash's sector layout.
bool EraseForSmallImage(RunWindow& window, const char* path, std::size_t fileLength) {
  const std::int32_t amic = window.facts().amicFlashId;
  if (amic == 1 || amic == 3 || amic == 5) {
    // Boot-sector parts: small units at the bottom, each erased on its own.
    for (std::uint32_t address : {0x0000u, 0x1000u, 0x3000u, 0x7000u})
      (void)EraseSectorAndSettle(window, path, address);
    if (fileLength > kMinimumImage) return EraseUpperSector(window, path, 0xF000);
    return true;
  }
  if (amic == -1 || amic == 4) {
    if (!EraseSectorAndSettle(window, path, 0x0000)) {
      window.ShowStatus(kEraseCommandFail);
      return false;
    }
    if (fileLength > kMinimumImage) return EraseUpperSector(window, path, 0x8000);
    return true;
  }
  window.ShowStatus(kAmicNotSupported);
  return false;
}

// The NVRAM record a small image keeps: read whole before the first erase,
// written back and checked on every way out once an erase was sent (a
// failed write-back replaces the failure's text: the lost settings matter
// more).
KeptRegion KeptRecord(RunWindow& window, const char* path) {
  RegionAccess access{
      [path](std::uint8_t* into) {
        return device::ReadFlashWhole(path, kNvramRecordAddress, into, kNvramRecordSize).ok();
      },
      [path](const std::uint8_t* from) {
        return device::WriteFlash(path, kNvramRecordAddress, from, kNvramRecordSize).ok()
                   ? WriteBack::Written
                   : WriteBack::Failed;
      },
      [] { DiagnosticLine("write NVRAM O.K."); }};
  return KeptRegion(window, kNvramRecordSize, std::move(access),
                    {kNvramReadFail, kNvramWriteBackFail, kNvramCompareFail});
}

// True when an image of `length` bytes fits the flash: the size
// identification read, or else the size the flash tells now. No part is
// smaller than 64 KB, and a part no rule sizes keeps the address range as
// its bound; a size that could not be asked is no size. Shows why it refused.
bool FitsFlash(RunWindow& window, const char* path, std::size_t length) {
  if (length <= kSectorEraseLimit) return true;
  std::optional<std::uint64_t> flash = ReportedFlashBytes(window.facts());
  if (!flash) {
    device::FlashDescriptor d;
    bool answered = false;
    if (identify::ReadFlashSize(path, d, &answered)) {
      flash = std::uint64_t{d.sizeKb} * 1024u;
    } else if (!answered) {
      window.ShowStatus(MissingFactText(device::kFactFlashSize));
      return false;
    }
  }
  if (flash && length > *flash) {
    window.ShowStatus(kImageTooLarge);
    return false;
  }
  return true;
}

// An image past 64 KB takes a whole-chip erase, waited for as long as the
// part may take (all parts of its kind when its size is unknown).
bool EraseWholeChip(RunWindow& window, const char* path) {
  if (device::EraseFlashChip(path).failed()) {
    window.ShowStatus(kEraseCommandFail);
    return false;
  }
  const ChipState& facts = window.facts();
  window.clock().Sleep(500);
  if (!device::WaitFlashReadyWithin(
          window.clock(), path, device::ChipEraseLimitMs(facts.flashTypeCode, facts.flashSizeKb)))
    window.ShowStatus(kNotReadyAfterErase);
  return true;
}

// A smaller image is erased by units; one within the first 32 KB keeps the
// NVRAM record, read (when the part was ready) before the first erase.
bool EraseKeepingRecord(RunWindow& window, const char* path, KeptRegion& record, bool ready,
                        std::uint32_t length, std::size_t fileLength) {
  const bool nvramRead = ready && record.Save(true);
  DiagnosticLine(nvramRead ? "NVRAM O.K." : "NVRAM fail");
  // Only an image within the first 32 KB leaves the record's place to it;
  // a record that did not arrive whole, or read differently twice, must not
  // be erased.
  const bool keep = length <= kMinimumImage;
  if (!keep) record.Release();
  if (keep && !nvramRead) {
    window.ShowStatus(kNvramReadFail);
    return false;
  }
  if (!KnownSmallEraseLayout(window.facts().amicFlashId)) {
    window.ShowStatus(kAmicNotSupported);
    return false;
  }
  // From the first erase on, the record goes back on every way out.
  record.AtRisk();
  return EraseForSmallImage(window, path, fileLength);
}

bool WriteBlocks(RunWindow& window, const char* path, const std::vector<std::uint8_t>& image) {
  const std::uint32_t block = window.transfer().blockSize;
  for (std::size_t at = 0; at < image.size(); at += block) {
    if (device::WriteFlash(path, static_cast<std::int32_t>(at), image.data() + at,
                           static_cast<std::int32_t>(block))
            .failed()) {
      window.ShowStatus(kProgrammingFail);
      return false;
    }
    window.AppendStatus(".");
  }
  return true;
}

int ProgramImage(RunWindow& window, const char* path) {
  std::vector<std::uint8_t> image;
  if (!LoadImageFile(window, window.options().imageFile,
                     {kLargestImage, kOpenFileError, kAllocateWriteBufferError}, image))
    return kProcedureFailed;
  if (!FitsFlash(window, path, image.size())) return kProcedureFailed;
  const std::size_t fileLength = image.size();
  // Short images are padded with zeros to whole blocks of at least 32 KB.
  const std::uint32_t block = window.transfer().blockSize;
  std::uint32_t length = static_cast<std::uint32_t>(fileLength);
  if (length < kMinimumImage) length = kMinimumImage;
  length = (length + block - 1) / block * block;
  std::vector<std::uint8_t> readBack;
  if (!SizeBuffer(window, readBack, length, kAllocateReadBufferError)) return kProcedureFailed;
  if (!SizeBuffer(window, image, length, kAllocateWriteBufferError)) return kProcedureFailed;

  // A part that is still busy reads 0xFF: a record read from it now would be
  // no record at all.
  const bool ready = device::WaitFlashReady(path);
  if (!ready) window.trace().DebugOutput(kTraceNotReady);
  // Once erased, record's destructor puts it back on every way out.
  KeptRegion record = KeptRecord(window, path);
  const bool erased = length > kSectorEraseLimit
                          ? EraseWholeChip(window, path)
                          : EraseKeepingRecord(window, path, record, ready, length, fileLength);
  if (!erased) return kProcedureFailed;
  if (device::ReadFlash(path, 0, readBack.data(), static_cast<std::int32_t>(length)).failed()) {
    window.ShowStatus(kReadBackErasedError);
    return kProcedureFailed;
  }
  if (!RequireBlank(window, readBack.data(), readBack.size())) return kProcedureFailed;

  if (!WriteBlocks(window, path, image)) return kProcedureFailed;
  if (!record.Restore()) return kProcedureFailed;

  window.clock().Sleep(1000);
  PollFlash(path);
  if (device::ReadFlash(path, 0, readBack.data(), static_cast<std::int32_t>(length)).failed()) {
    window.ShowStatus("Read Fail!!\r\n");
    return kProcedureFailed;
  }
  if (!RequireEqual(window, image.data(), readBack.data(), length, {"Compare Fail!!\r\n\r\n"}))
    return kProcedureFailed;
  window.ShowStatus(kProgrammingSuccess);
  return kProcedureSucceeded;
}

}  // namespace

namespace {

// Every mode first lets the flash take writes; false when an ATMEL part
// would not.
bool WriteEnable(RunWindow& window, const char* path) {
  return EnableFlashWrites(window, path, StatusPaint::Show, true);
}

}  // namespace

int ProgramStandardSerialFlash(RunWindow& window, const char* path) {
  return WriteEnable(window, path) ? ProgramImage(window, path) : kProcedureFailed;
}

int EraseStandardSerialFlash(RunWindow& window, const char* path) {
  return VerbResult(WriteEnable(window, path) && EraseWholeFlash(window, path));
}

int BackupStandardSerialFlash(RunWindow& window, const char* path) {
  return VerbResult(
      WriteEnable(window, path) &&
      BackupFlashToFile(window, WholeRangeReader(path), window.transfer().flashSize, 0));
}

}  // namespace program
