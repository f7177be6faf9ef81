#include "program/block_procedure.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "device/chip_commands.h"
#include "device/flash_commands.h"
#include "device/flash_kind.h"
#include "device/passthrough.h"
#include "host/host.h"
#include "program/block_transfer.h"
#include "program/crc16.h"
#include "program/image_file.h"
#include "program/procedures.h"
#include "program/settings.h"
#include "program/shared_steps.h"

namespace program {

namespace {

constexpr std::uint32_t kBlockSize = 0x2000;
constexpr std::uint32_t kBankSpan = 0x10000;
using device::FlashKind;
using device::IsKind;

std::uint32_t RoundUp(std::uint32_t n, std::uint32_t unit) { return (n + unit - 1) / unit * unit; }
bool AllErased(const std::uint8_t* data, std::uint32_t n) {
  return std::all_of(data, data + n, [](std::uint8_t b) { return b == 0xFF; });
}

// The saved NVRAM area and the duty to put it back once its flash may have
// been erased: every way out of a run that erased it writes it back and
// checks what the flash then holds.
class KeptNvram {
 public:
  KeptNvram(RunWindow& window, const char* path, std::uint32_t offset)
      : window_(window), path_(path), offset_(offset), data_(kBlockNvramSize) {}

  // False with the status text shown when it could not be saved: not read
  // whole, or read differently twice.
  bool Save() {
    device::PaddedBuffer check(kBlockNvramSize);
    if (!data_.ok() || !check.ok()) {
      window_.ShowStatus(kAllocateBuffersError);
      return false;
    }
    const auto read = [this](std::uint8_t* into) {
      return ReadFlashRange(window_, path_, offset_, into, kBlockNvramSize);
    };
    if (!ReadTwiceAgreeing(read, data_.data(), check.data(), kBlockNvramSize)) {
      window_.ShowStatus(kNvramReadFail);
      return false;
    }
    saved_ = true;
    return true;
  }
  const std::uint8_t* data() const { return data_.data(); }
  // From now on the flash under the area may be erased.
  void AtRisk() { atRisk_ = saved_; }
  // The area was verified in place (programmed as part of the image).
  void InPlace() { atRisk_ = false; }
  // Writes the area back (no erase: the bytes are programmed over what is
  // there) and reads it back. True when nothing was at risk or it is in place.
  bool Restore() {
    if (!atRisk_) return true;
    atRisk_ = false;
    PollFlash(path_);
    if (!WriteFlashRange(window_, path_, offset_, data_.data(), kBlockNvramSize, kEraseNone))
      return false;
    device::PaddedBuffer check(kBlockNvramSize);
    return check.ok() &&
           ReadFlashRange(window_, path_, offset_, check.data(), kBlockNvramSize) &&
           std::memcmp(check.data(), data_.data(), kBlockNvramSize) == 0;
  }

 private:
  RunWindow& window_;
  const char* path_;
  std::uint32_t offset_;
  device::PaddedBuffer data_;
  bool saved_ = false;
  bool atRisk_ = false;
};

// A failed run that may have erased the area puts it back; only a failed
// write-back changes the failure text.
void RestoreAfterFailure(RunWindow& window, KeptNvram& nvram) {
  const std::string text = window.StatusText();
  if (nvram.Restore())
    window.ShowStatus(text);
  else
    window.ShowStatus(kNvramWriteBackFail);
}

}  // namespace

int BlockFlashProcedure(RunWindow& window, const char* path) {
  Transfer().blockSize = kBlockSize;
  const std::uint8_t type = window.facts().chipType;
  if (IsEraseOnlyRun(window)) {
    if (!EraseOnlyKeepNvram(window, path)) return kProcedureFailed;
    if (device::IsBankChip(type)) {
      (void)device::ResetChip(path);
      window.Message(kAutoReset, kCaptionMessage, MessageIcon::None);
    } else {
      window.Message(kPowerCycle, kCaptionMessage, MessageIcon::None);
    }
    return kProcedureSucceeded;
  }
  if (IsBackupOnlyRun(window)) {
    const std::uint32_t skip = window.options().nvramChecked ? 0 : kBlockNvramSize;
    return BackupFlashImage(window, path, skip) ? kProcedureSucceeded : kProcedureFailed;
  }
  return ProgramAndVerifyImage(window, path);
}

bool EraseByProgrammingFF(RunWindow& window, const char* path, std::uint32_t length) {
  device::PaddedBuffer ff(length);
  if (!ff.ok()) return false;
  std::memset(ff.data(), 0xFF, length);
  window.ShowStatus(kProgressErase);
  StartErasedRegionAt(0);
  return WriteFlashRange(window, path, 0, ff.data(), length, kEraseSector);
}

bool EraseOnlyKeepNvram(RunWindow& window, const char* path) {
  window.ShowStatus(kStartEraseOnly);
  StartErasedRegionAt(0);
  const ChipState& facts = window.facts();
  if (device::ChipRowFor(facts.chipType).clearsPageSize) (void)device::ClearFlashPageSize(path);
  const BlockChipLayout layout = BlockLayoutFor(facts);
  const std::uint32_t size = layout.flashExtent;
  device::PaddedBuffer ff(std::max(size, kBlockNvramSize));
  if (!ff.ok()) {
    window.ShowStatus(kAllocateBuffersError);
    return false;
  }
  std::memset(ff.data(), 0xFF, std::max(size, kBlockNvramSize));
  const bool keep = !window.options().nvramChecked;
  KeptNvram nvram(window, path, layout.nvramOffset);
  if (keep && !nvram.Save()) return false;
  auto fail = [&](const char* text) {
    window.ShowStatus(text);
    RestoreAfterFailure(window, nvram);
    return false;
  };

  const bool mxic = IsKind(facts.flashTypeCode, FlashKind::Mxic);
  const bool atmel = IsKind(facts.flashTypeCode, FlashKind::Atmel);
  std::uint8_t firstCode = kEraseChip;
  if (mxic) firstCode = 0x83;
  if (atmel || IsKind(facts.flashTypeCode, FlashKind::Eon)) firstCode = kEraseBlock;
  nvram.AtRisk();
  if (!device::WriteFlashBlock(path, 0, ff.data(), kBlockNvramSize, firstCode))
    return fail(kEraseCommandFail);
  host::Current().Sleep(500);
  if (atmel) {
    (void)device::WriteFlashBlock(path, 0x8000, ff.data(), kBlockNvramSize, firstCode);
    host::Current().Sleep(500);
  }

  device::PaddedBuffer readBack(size);
  if (!readBack.ok()) return fail(kAllocateReadBufferError);
  // A flash that could not be read is not taken as blank.
  const bool blank =
      ReadFlashRange(window, path, 0, readBack.data(), size) && AllErased(readBack.data(), size);
  if (!blank) {
    const bool erased = mxic
                            ? device::WriteFlashBlock(path, 0, ff.data(), kBlockNvramSize,
                                                      kEraseChip) != 0
                            : EraseByProgrammingFF(window, path, size);
    if (erased) {
      host::Current().Sleep(500);
      window.ShowStatus(kEraseAllSuccess);
    }
    if (!ReadFlashRange(window, path, 0, readBack.data(), size))
      return fail(kReadBackErasedError);
    if (!AllErased(readBack.data(), size)) return fail(kDataNotBlank);
  }
  if (keep && !nvram.Restore()) {
    window.ShowStatus(kNvramWriteBackFail);
    return false;
  }
  window.ShowStatus(kEraseAllSuccess);
  return true;
}

int ProgramAndVerifyImage(RunWindow& window, const char* path) {
  const ChipState& facts = window.facts();
  const std::uint8_t type = facts.chipType;
  const bool bankChip = device::IsBankChip(type);
  const BlockChipLayout layout = BlockLayoutFor(facts);
  const bool keep = !window.options().nvramChecked;

  // The image is read, and refused, before anything is sent.
  std::vector<std::uint8_t> file;
  const std::uint64_t flash = ReportedFlashBytes(facts).value_or(layout.flashExtent);
  const ImageRules rules{std::min<std::uint64_t>(layout.flashExtent, flash), kOpenFileError,
                         kAllocateBuffersError};
  if (!LoadImageFile(window, window.options().imageFile, rules, file)) return kProcedureFailed;
  const std::uint32_t l = static_cast<std::uint32_t>(file.size());
  // A bank chip takes one bank image into each bank, or a two-bank image
  // bank by bank: the part of any other image past the first bank would
  // never be written.
  if (bankChip && l > kBankSpan && !(l == 2 * kBankSpan && facts.flashSizeKb >= 128)) {
    window.ShowStatus(kImageNotOneOrTwoBanks);
    return kProcedureFailed;
  }
  // The NVRAM copy goes over the image's first 4 KB and the rest of the file
  // follows it: a file of no more than that would leave nothing to program.
  if (keep && !bankChip && l <= kBlockNvramSize) {
    window.ShowStatus(kImageTooSmallForNvram);
    return kProcedureFailed;
  }

  if (device::ChipRowFor(type).clearsPageSize) (void)device::ClearFlashPageSize(path);
  KeptNvram nvram(window, path, layout.nvramOffset);
  if (keep && !nvram.Save()) return kProcedureFailed;

  // s: the programmed size. On a bank chip that keeps its NVRAM it reaches
  // the area's end, since the erase of the bank takes the area with it.
  std::uint32_t s = RoundUp(l, 256);
  const std::uint32_t nvramEnd = layout.nvramOffset + kBlockNvramSize;
  if (keep && bankChip) s = std::max(s, nvramEnd);
  const std::uint32_t b = RoundUp(std::max(s, nvramEnd), 8192);
  device::PaddedBuffer image(b);
  device::PaddedBuffer readBack(b);
  if (!image.ok() || !readBack.ok()) {
    window.ShowStatus(kAllocateBuffersError);
    return kProcedureFailed;
  }
  if (!keep) {
    std::memcpy(image.data(), file.data(), l);
  } else if (bankChip) {
    std::memcpy(image.data(), file.data(), l);
    std::memcpy(image.data() + layout.nvramOffset, nvram.data(), kBlockNvramSize);
  } else {
    std::memcpy(image.data(), nvram.data(), kBlockNvramSize);
    std::memcpy(image.data() + kBlockNvramSize, file.data() + kBlockNvramSize,
                l - kBlockNvramSize);
  }

  int passes = 1;
  if (bankChip) {
    const std::uint32_t e = device::ChipRowFor(type).bankEnd;
    if (l <= kBankSpan) {
      const std::uint16_t crc = Crc16OfWords(image.data(), e - 4, 0);
      image.data()[e - 2] = static_cast<std::uint8_t>(crc >> 8);
      image.data()[e - 1] = static_cast<std::uint8_t>(crc);
    }
    passes = facts.flashSizeKb >= 128 ? 2 : 1;
    s = std::min(s, kBankSpan);
  }

  window.ShowStatus(kProgressProgramming);
  StartErasedRegionAt(0);
  if (IsKind(facts.flashTypeCode, FlashKind::Mxic)) {
    PollFlash(path);
    nvram.AtRisk();
    if (device::WriteFlashBlock(path, 0, image.data(), kBlockNvramSize, kEraseBlock))
      host::Current().Sleep(500);
  }

  std::uint8_t mode = kEraseBlock;
  std::uint32_t address = 0;
  for (int pass = 0; pass < passes; ++pass) {
    bool passDone = false;
    for (int t = 0; t < 3 && !passDone; ++t) {
      window.ShowStatus(kProgressProgramming);
      if (l >= 0x20000 && pass == 1)
        std::memcpy(image.data(), image.data() + kBankSpan, kBankSpan);
      // Every try erases what it writes: its counts start at its own address,
      // and a chip erase, requested only at address 0, becomes block erases
      // above it.
      StartErasedRegionAt(address);
      const std::uint8_t tryMode = address != 0 && mode == kEraseChip ? kEraseBlock : mode;
      if (address == 0) nvram.AtRisk();
      bool failed = false;
      if (!WriteFlashRange(window, path, address, image.data(), s, tryMode)) {
        window.ShowStatus(kWriteBinFileFail);
        failed = true;
      } else {
        PollFlash(path);
        if (!ReadFlashRange(window, path, address, readBack.data(), s)) {
          window.ShowStatus(kReadCommandFail);
          failed = true;
        } else if (std::memcmp(image.data(), readBack.data(), s) != 0) {
          window.ShowStatus(kDataCompareFail);
          failed = true;
        }
      }
      if (!failed) {
        passDone = true;
      } else {
        mode = t == 1 ? kEraseChip : kEraseSector;
      }
    }
    if (!passDone) {
      RestoreAfterFailure(window, nvram);
      return kProcedureFailed;
    }
    // The first pass wrote the merged NVRAM with the image and read it back.
    if (pass == 0) nvram.InPlace();
    address = kBankSpan;
  }

  window.ShowStatus(kProgrammingSuccess);
  if (bankChip) {
    (void)device::ResetChip(path);
    window.Message(kAutoReset, kCaptionMessage, MessageIcon::None);
  } else {
    window.Message(kPowerCycle, kCaptionMessage, MessageIcon::None);
  }
  return kProcedureSucceeded;
}

}  // namespace program
