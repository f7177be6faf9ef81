#include "program/standard_serial.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "device/flash_busy.h"
#include "device/flash_commands.h"
#include "device/flash_kind.h"
#include "device/spi_commands.h"
#include "host/host.h"
#include "identify/device_identify.h"
#include "program/image_file.h"
#include "program/procedures.h"
#include "program/settings.h"
#include "program/shared_steps.h"

namespace program {

namespace {

// Erase one unit, then wait 500 ms and check that the flash settled.
bool EraseSectorAndSettle(RunWindow& window, const char* path, std::uint32_t address) {
  if (!device::EraseFlashSector(path, static_cast<std::int32_t>(address))) return false;
  host::Current().Sleep(500);
  if (!device::WaitFlashReady(path)) window.ShowStatus(kNotReadyAfterErase);
  return true;
}

// The unit above the first 32 KB, erased only for images that reach it.
bool EraseUpperSector(RunWindow& window, const char* path, std::uint32_t address) {
  if (!device::EraseFlashSector(path, static_cast<std::int32_t>(address))) {
    window.ShowStatus(kEraseCommandFail);
    return false;
  }
  host::Current().Sleep(500);
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
// written back and checked on every way out once an erase was sent.
struct KeptNvram {
  std::uint8_t bytes[kNvramRecordSize] = {};
  bool kept = false;    // read whole and due to go back
  bool erased = false;  // an erase was sent, so the record may be gone
};

// Writes the record back and reads it again. False, with its status shown,
// when it did not go back as it was: the chip has lost its settings.
bool RestoreNvram(RunWindow& window, const char* path, const KeptNvram& record) {
  if (!device::WriteFlash(path, kNvramRecordAddress, record.bytes, kNvramRecordSize)) {
    window.ShowStatus(kNvramWriteBackFail);
    return false;
  }
  std::uint8_t check[kNvramRecordSize] = {};
  if (!device::ReadFlashWhole(path, kNvramRecordAddress, check, kNvramRecordSize) ||
      std::memcmp(check, record.bytes, kNvramRecordSize) != 0) {
    window.ShowStatus(kNvramCompareFail);
    return false;
  }
  std::fputs("write NVRAM O.K.\n", stdout);
  return true;
}

// A failed run whose step showed its text: the record goes back where an
// erase may have taken it (best effort; a failed write-back replaces the
// text, as the lost settings matter more).
int Failed(RunWindow& window, const char* path, const KeptNvram& record) {
  if (record.kept && record.erased) (void)RestoreNvram(window, path, record);
  return kProcedureFailed;
}
int Fail(RunWindow& window, const char* path, const KeptNvram& record, const char* text) {
  window.ShowStatus(text);
  return Failed(window, path, record);
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

int ProgramImage(RunWindow& window, const char* path) {
  std::vector<std::uint8_t> image;
  if (!LoadImageFile(window, window.options().imageFile,
                     {kLargestImage, kOpenFileError, kAllocateWriteBufferError}, image))
    return kProcedureFailed;
  if (!FitsFlash(window, path, image.size())) return kProcedureFailed;
  const std::size_t fileLength = image.size();
  const std::uint32_t block = Transfer().blockSize;
  std::uint32_t length = static_cast<std::uint32_t>(fileLength);
  if (length < kMinimumImage) length = kMinimumImage;
  length = (length + block - 1) / block * block;
  const std::uint32_t blocks = length / block;

  // Short images are padded with zeros to whole blocks of at least 32 KB.
  std::vector<std::uint8_t> readBack;
  if (!SizeBuffer(window, readBack, length, kAllocateReadBufferError)) return kProcedureFailed;
  if (!SizeBuffer(window, image, length, kAllocateWriteBufferError)) return kProcedureFailed;

  // A part that is still busy reads 0xFF: a record read from it now would be
  // no record at all.
  const bool ready = device::WaitFlashReady(path);
  if (!ready) DebugTrace(kTraceNotReady);

  KeptNvram record;
  if (length > kSectorEraseLimit) {
    if (!device::EraseFlashChip(path)) {
      window.ShowStatus(kEraseCommandFail);
      return kProcedureFailed;
    }
    // A chip erase can take longer than the plain ready wait: wait as long
    // as the part may take (all parts of its kind when its size is unknown).
    const ChipState& facts = window.facts();
    host::Current().Sleep(500);
    if (!device::WaitFlashReadyWithin(
            path, device::ChipEraseLimitMs(facts.flashTypeCode, facts.flashSizeKb)))
      window.ShowStatus(kNotReadyAfterErase);
  } else {
    std::uint8_t check[kNvramRecordSize] = {};
    const auto readRecord = [path](std::uint8_t* into) {
      return device::ReadFlashWhole(path, kNvramRecordAddress, into, kNvramRecordSize) != 0;
    };
    const bool nvramRead =
        ready && ReadTwiceAgreeing(readRecord, record.bytes, check, kNvramRecordSize);
    std::fputs(nvramRead ? "NVRAM O.K.\n" : "NVRAM fail\n", stdout);
    // Only an image within the first 32 KB leaves the record's place to it;
    // a record that did not arrive whole, or read differently twice, must
    // not be erased.
    record.kept = length <= kMinimumImage;
    if (record.kept && !nvramRead) {
      window.ShowStatus(kNvramReadFail);
      return kProcedureFailed;
    }
    if (!KnownSmallEraseLayout(window.facts().amicFlashId)) {
      window.ShowStatus(kAmicNotSupported);
      return kProcedureFailed;
    }
    record.erased = true;
    if (!EraseForSmallImage(window, path, fileLength)) return Failed(window, path, record);
  }

  if (!device::ReadFlash(path, 0, readBack.data(), static_cast<std::int32_t>(length)))
    return Fail(window, path, record, kReadBackErasedError);
  if (!CheckErased(window, readBack.data(), readBack.size())) return Failed(window, path, record);

  bool programmed = true;
  for (std::uint32_t i = 0; i < blocks; ++i) {
    if (!device::WriteFlash(path, static_cast<std::int32_t>(i * block),
                            image.data() + static_cast<std::size_t>(i) * block,
                            static_cast<std::int32_t>(block))) {
      programmed = false;
      break;
    }
    window.AppendStatus(".");
  }
  if (!programmed) return Fail(window, path, record, kProgrammingFail);
  if (record.kept) {
    if (!RestoreNvram(window, path, record)) return kProcedureFailed;
    record.kept = false;  // back and checked
  }

  std::string closing;
  host::Current().Sleep(1000);
  PollFlash(path);
  if (!device::ReadFlash(path, 0, readBack.data(), static_cast<std::int32_t>(length))) {
    closing += "Read Fail!!\r\n";
    window.ShowStatus(closing);
    return kProcedureFailed;
  }
  if (std::memcmp(readBack.data(), image.data(), length) != 0) {
    closing += "Compare Fail!!\r\n\r\n";
    window.ShowStatus(closing);
    return kProcedureFailed;
  }
  closing += kProgrammingSuccess;
  window.ShowStatus(closing);
  window.Message(kPowerCycleSpaced, kCaptionMessage,
                 MessageIcon::None);
  return kProcedureSucceeded;
}

}  // namespace

int RunStandardSerialFlash(RunWindow& window, const char* path) {
  const ChipState& facts = window.facts();
  if (facts.atmelFlashId != -1) {
    (void)device::FlashWriteEnable(path);
    if (!device::WaitFlashStatusSet(path, 0x02)) {
      window.ShowStatus(kAtmelWriteEnableFail);
      return kProcedureFailed;
    }
  }
  // These parts power up write-protected.
  if (device::IsKind(facts.flashTypeCode, device::FlashKind::StEonMxic) ||
      device::IsKind(facts.flashTypeCode, device::FlashKind::Mxic))
    (void)device::UnprotectFlash(path);

  if (IsEraseOnlyRun(window)) {
    if (!EraseWholeFlash(window, path)) return kProcedureFailed;
    window.Message(kPowerCycle, kCaptionMessage,
                   MessageIcon::None);
    return kProcedureSucceeded;
  }
  if (IsBackupOnlyRun(window))
    return BackupFlashToFile(window, WholeRangeReader(path), Transfer().flashSize, 0) ? kProcedureSucceeded
                                                                                    : kProcedureFailed;
  return ProgramImage(window, path);
}

}  // namespace program
