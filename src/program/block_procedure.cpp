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
#include "program/guarded_steps.h"
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
constexpr const char* kAutoReset = "TXV929 Auto reset, Please wait device re-attached!";
constexpr const char* kPowerCycle = "Please Turn-Off the Power and Turn-On Again!";

bool IsBankChip(std::uint8_t type) { return type == 12 || type == 16; }
std::uint32_t RoundUp(std::uint32_t n, std::uint32_t unit) { return (n + unit - 1) / unit * unit; }

// The NVRAM area at offset, kept through a run: read and written back
// through the block commands (the write-back programs over what is there).
KeptRegion KeptNvram(RunWindow& window, const char* path, std::uint32_t offset) {
  RegionAccess access{
      [&window, path, offset](std::uint8_t* into) {
        return ReadFlashRange(window, path, offset, into, kBlockNvramSize);
      },
      [&window, path, offset](const std::uint8_t* from) {
        PollFlash(path);
        return WriteFlashRange(window, path, offset, from, kBlockNvramSize, kEraseNone)
                   ? WriteBack::Written
                   : WriteBack::Failed;
      }};
  return KeptRegion(window, kBlockNvramSize, std::move(access),
                    {"Backup NVRAM command fail!", "Write NVRAM back command fail!", nullptr,
                     nullptr, StatusPaint::Show, true});
}

// The closing notice of a run that did its work: a bank chip resets itself
// and comes back; the others need a power cycle.
int Succeeded(RunWindow& window, const char* path) {
  if (IsBankChip(window.facts().chipType)) {
    (void)device::ResetChip(path);
    window.Message(kAutoReset, kCaptionMessage, MessageIcon::None);
  } else {
    window.Message(kPowerCycle, kCaptionMessage, MessageIcon::None);
  }
  return kProcedureSucceeded;
}

}  // namespace

int ProgramBlockFlash(RunWindow& window, const char* path) {
  Transfer().blockSize = kBlockSize;
  return ProgramAndVerifyImage(window, path);
}

int EraseBlockFlash(RunWindow& window, const char* path) {
  Transfer().blockSize = kBlockSize;
  return EraseOnlyKeepNvram(window, path) ? Succeeded(window, path) : kProcedureFailed;
}

int BackupBlockFlash(RunWindow& window, const char* path) {
  Transfer().blockSize = kBlockSize;
  const std::uint32_t skip = window.options().nvramChecked ? 0 : kBlockNvramSize;
  return BackupFlashImage(window, path, skip) ? kProcedureSucceeded : kProcedureFailed;
}

bool EraseByProgrammingFF(RunWindow& window, const char* path, std::uint32_t length) {
  device::PaddedBuffer ff(length);
  if (!ff.ok()) return false;
  std::memset(ff.data(), 0xFF, length);
  window.ShowStatus("Erase...");
  StartErasedRegionAt(0);
  return WriteFlashRange(window, path, 0, ff.data(), length, kEraseSector);
}

bool EraseOnlyKeepNvram(RunWindow& window, const char* path) {
  window.ShowStatus("Start Erase only!");
  StartErasedRegionAt(0);
  const ChipState& facts = window.facts();
  if (facts.chipType == 11) (void)device::ClearFlashPageSize(path);
  const BlockChipLayout layout = BlockLayoutFor(facts);
  const std::uint32_t size = layout.flashExtent;
  device::PaddedBuffer ff(std::max(size, kBlockNvramSize));
  if (!ff.ok()) {
    window.ShowStatus("Allocate buffers Error!!");
    return false;
  }
  std::memset(ff.data(), 0xFF, std::max(size, kBlockNvramSize));
  const bool keep = !window.options().nvramChecked;
  KeptRegion nvram = KeptNvram(window, path, layout.nvramOffset);
  if (keep && !nvram.Save()) return false;
  // Every way out from here puts the NVRAM back if it was erased (nvram's
  // destructor); a failure shows its text first.
  auto fail = [&](const char* text) {
    PutStatus(window, StatusPaint::Show, text);
    return false;
  };

  const bool mxic = IsKind(facts.flashTypeCode, FlashKind::Mxic);
  const bool atmel = IsKind(facts.flashTypeCode, FlashKind::Atmel);
  std::uint8_t firstCode = kEraseChip;
  if (mxic) firstCode = 0x83;
  if (atmel || IsKind(facts.flashTypeCode, FlashKind::Eon)) firstCode = kEraseBlock;
  nvram.AtRisk();
  if (!device::WriteFlashBlock(path, 0, ff.data(), kBlockNvramSize, firstCode))
    return fail("Erase command fail!!");
  host::Current().Sleep(500);
  if (atmel) {
    (void)device::WriteFlashBlock(path, 0x8000, ff.data(), kBlockNvramSize, firstCode);
    host::Current().Sleep(500);
  }

  device::PaddedBuffer readBack(size);
  if (!readBack.ok()) return fail("Allocate read buffer Error!!");
  // A flash that could not be read is not taken as blank.
  const bool blank =
      ReadFlashRange(window, path, 0, readBack.data(), size) && IsBlank(readBack.data(), size);
  if (!blank) {
    const bool erased = mxic
                            ? device::WriteFlashBlock(path, 0, ff.data(), kBlockNvramSize,
                                                      kEraseChip) != 0
                            : EraseByProgrammingFF(window, path, size);
    if (erased) {
      host::Current().Sleep(500);
      window.ShowStatus("Erase flash all success!");
    }
    if (!ReadFlashRange(window, path, 0, readBack.data(), size))
      return fail("Read Back Erased Flash Error!!");
    if (!RequireBlank(window, readBack.data(), size)) return fail(nullptr);
  }
  if (!nvram.Restore()) return false;
  window.ShowStatus("Erase flash all success!");
  return true;
}

int ProgramAndVerifyImage(RunWindow& window, const char* path) {
  const ChipState& facts = window.facts();
  const std::uint8_t type = facts.chipType;
  const bool bankChip = IsBankChip(type);
  const BlockChipLayout layout = BlockLayoutFor(facts);
  const bool keep = !window.options().nvramChecked;

  // The image is read, and refused, before anything is sent.
  std::vector<std::uint8_t> file;
  const std::uint64_t flash = ReportedFlashBytes(facts).value_or(layout.flashExtent);
  const ImageRules rules{std::min<std::uint64_t>(layout.flashExtent, flash), "Open File Error!!",
                         "Allocate buffers Error!!"};
  if (!LoadImageFile(window, window.options().imageFile, rules, file)) return kProcedureFailed;
  const std::uint32_t l = static_cast<std::uint32_t>(file.size());
  // A bank chip takes one bank image into each bank, or a two-bank image
  // bank by bank: the part of any other image past the first bank would
  // never be written.
  if (bankChip && l > kBankSpan && !(l == 2 * kBankSpan && facts.flashSizeKb >= 128)) {
    window.ShowStatus("The firmware file is neither one bank nor two, nothing erased!!");
    return kProcedureFailed;
  }
  // The NVRAM copy goes over the image's first 4 KB and the rest of the file
  // follows it: a file of no more than that would leave nothing to program.
  if (keep && !bankChip && l <= kBlockNvramSize) {
    window.ShowStatus("The firmware file is too small to keep the NVRAM!");
    return kProcedureFailed;
  }

  if (type == 11) (void)device::ClearFlashPageSize(path);
  KeptRegion nvram = KeptNvram(window, path, layout.nvramOffset);
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
    window.ShowStatus("Allocate buffers Error!!");
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
    const std::uint32_t e = type == 12 ? 0xC000 : 0x8000;
    if (l <= kBankSpan) {
      const std::uint16_t crc = Crc16OfWords(image.data(), e - 4, 0);
      image.data()[e - 2] = static_cast<std::uint8_t>(crc >> 8);
      image.data()[e - 1] = static_cast<std::uint8_t>(crc);
    }
    passes = facts.flashSizeKb >= 128 ? 2 : 1;
    s = std::min(s, kBankSpan);
  }

  window.ShowStatus("Programming");
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
      window.ShowStatus("Programming");
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
        window.ShowStatus("Write Bin File fail!");
        failed = true;
      } else {
        PollFlash(path);
        if (!ReadFlashRange(window, path, address, readBack.data(), s)) {
          window.ShowStatus("Read command fail!");
          failed = true;
        } else if (!RequireEqual(window, image.data(), readBack.data(), s,
                                 {"Data compare fail !!"})) {
          failed = true;
        }
      }
      if (!failed) {
        passDone = true;
      } else {
        mode = t == 1 ? kEraseChip : kEraseSector;
      }
    }
    if (!passDone) return kProcedureFailed;
    // The first pass wrote the merged NVRAM with the image and read it back.
    if (pass == 0) nvram.InPlace();
    address = kBankSpan;
  }

  window.ShowStatus("Programming Success!!");
  return Succeeded(window, path);
}

}  // namespace program
