#include "procedures/block_procedure.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "scsi/chip_commands.h"
#include "scsi/flash_commands.h"
#include "chips/flash_kind.h"
#include "scsi/passthrough.h"
#include "engine/block_transfer.h"
#include "engine/crc16.h"
#include "engine/guarded_steps.h"
#include "engine/image_file.h"
#include "engine/procedure_table.h"
#include "engine/settings.h"
#include "engine/shared_steps.h"

namespace program {

namespace {

constexpr std::uint32_t kBlockSize = 0x2000;
constexpr std::uint32_t kBankSpan = 0x10000;
using device::FlashKind;
using device::IsKind;

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
                    {kNvramReadFail, kNvramWriteBackFail, nullptr,
                     nullptr, StatusPaint::Show, true});
}

// A run that did its work: a bank chip is reset and comes back by itself
// (the row's notice says so); the others need a power cycle.
int Succeeded(RunWindow& window, const char* path) {
  if (device::IsBankChip(window.facts().chipType)) (void)device::ResetChip(path);
  return kProcedureSucceeded;
}

}  // namespace

int ProgramBlockFlash(RunWindow& window, const char* path) {
  window.transfer().blockSize = kBlockSize;
  return ProgramAndVerifyImage(window, path);
}

int EraseBlockFlash(RunWindow& window, const char* path) {
  window.transfer().blockSize = kBlockSize;
  return EraseOnlyKeepNvram(window, path) ? Succeeded(window, path) : kProcedureFailed;
}

int BackupBlockFlash(RunWindow& window, const char* path) {
  window.transfer().blockSize = kBlockSize;
  const std::uint32_t skip = window.options().nvramChecked ? 0 : kBlockNvramSize;
  return VerbResult(BackupFlashImage(window, path, skip));
}

bool EraseByProgrammingFF(RunWindow& window, const char* path, std::uint32_t length) {
  device::PaddedBuffer ff(length);
  if (!ff.ok()) return false;
  std::memset(ff.data(), 0xFF, length);
  window.ShowStatus(kProgressErase);
  StartErasedRegionAt(window.geometry(), 0);
  return WriteFlashRange(window, path, 0, ff.data(), length, kEraseSector);
}

bool EraseOnlyKeepNvram(RunWindow& window, const char* path) {
  window.ShowStatus(kStartEraseOnly);
  StartErasedRegionAt(window.geometry(), 0);
  const ChipState& facts = window.facts();
  if (device::ChipRowFor(facts.chipType).clearsPageSize) (void)device::ClearFlashPageSize(path);
  const BlockChipLayout layout = BlockLayoutFor(window);
  const std::uint32_t size = layout.flashExtent;
  device::PaddedBuffer ff(std::max(size, kBlockNvramSize));
  if (!ff.ok()) {
    window.ShowStatus(kAllocateBuffersError);
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
  if (device::WriteFlashBlock(path, 0, ff.data(), kBlockNvramSize, firstCode).failed())
    return fail(kEraseCommandFail);
  window.clock().Sleep(500);
  if (atmel) {
    (void)device::WriteFlashBlock(path, 0x8000, ff.data(), kBlockNvramSize, firstCode);
    window.clock().Sleep(500);
  }

  device::PaddedBuffer readBack(size);
  if (!readBack.ok()) return fail(kAllocateReadBufferError);
  // A flash that could not be read is not taken as blank.
  const bool blank =
      ReadFlashRange(window, path, 0, readBack.data(), size) && IsBlank(readBack.data(), size);
  if (!blank) {
    const bool erased =
        mxic ? device::WriteFlashBlock(path, 0, ff.data(), kBlockNvramSize, kEraseChip).ok()
             : EraseByProgrammingFF(window, path, size);
    if (erased) {
      window.clock().Sleep(500);
      window.ShowStatus(kEraseAllSuccess);
    }
    if (!ReadFlashRange(window, path, 0, readBack.data(), size))
      return fail(kReadBackErasedError);
    if (!RequireBlank(window, readBack.data(), size)) return fail(nullptr);
  }
  if (!nvram.Restore()) return false;
  window.ShowStatus(kEraseAllSuccess);
  return true;
}

namespace {

// A block-command image as it is programmed: the file with the kept NVRAM
// merged in and, on a bank chip, the bank checksum; `length` bytes per pass.
struct BlockImage {
  std::uint8_t* bytes;
  std::uint8_t* readBack;
  std::uint32_t fileLength;
  std::uint32_t length;
  int passes;
};

// Reads the image file and refuses, before anything is sent, one this chip
// cannot take.
bool LoadBlockFile(RunWindow& window, const BlockChipLayout& layout, bool keep,
                   std::vector<std::uint8_t>& file) {
  const ChipState& facts = window.facts();
  const std::uint64_t flash = ReportedFlashBytes(facts).value_or(layout.flashExtent);
  const ImageRules rules{std::min<std::uint64_t>(layout.flashExtent, flash), kOpenFileError,
                         kAllocateBuffersError};
  if (!LoadImageFile(window, window.options().imageFile, rules, file)) return false;
  const std::size_t length = file.size();
  const bool bankChip = device::IsBankChip(facts.chipType);
  // A bank chip takes one bank image into each bank, or a two-bank image
  // bank by bank: the part of any other image past the first bank would
  // never be written.
  if (bankChip && length > kBankSpan && !(length == 2 * kBankSpan && facts.flashSizeKb >= 128)) {
    window.ShowStatus(kImageNotOneOrTwoBanks);
    return false;
  }
  // The NVRAM copy goes over the image's first 4 KB and the rest of the file
  // follows it: a file of no more than that would leave nothing to program.
  if (keep && !bankChip && length <= kBlockNvramSize) {
    window.ShowStatus(kImageTooSmallForNvram);
    return false;
  }
  return true;
}

// Fills image.bytes from the file and the kept NVRAM, stamps a bank chip's
// checksum and sets the passes.
void MergeBlockImage(const ChipState& facts, const BlockChipLayout& layout,
                     const std::vector<std::uint8_t>& file, KeptRegion* kept, BlockImage& image) {
  const std::uint32_t fileLength = image.fileLength;
  const bool bankChip = device::IsBankChip(facts.chipType);
  if (kept == nullptr) {
    std::memcpy(image.bytes, file.data(), fileLength);
  } else if (bankChip) {
    std::memcpy(image.bytes, file.data(), fileLength);
    std::memcpy(image.bytes + layout.nvramOffset, kept->data(), kBlockNvramSize);
  } else {
    std::memcpy(image.bytes, kept->data(), kBlockNvramSize);
    std::memcpy(image.bytes + kBlockNvramSize, file.data() + kBlockNvramSize,
                fileLength - kBlockNvramSize);
  }
  if (!bankChip) return;
  const std::uint32_t bankEnd = device::ChipRowFor(facts.chipType).bankEnd;
  if (fileLength <= kBankSpan) {
    const std::uint16_t crc = Crc16OfWords(image.bytes, bankEnd - 4, 0);
    image.bytes[bankEnd - 2] = static_cast<std::uint8_t>(crc >> 8);
    image.bytes[bankEnd - 1] = static_cast<std::uint8_t>(crc);
  }
  image.passes = facts.flashSizeKb >= 128 ? 2 : 1;
  image.length = std::min(image.length, kBankSpan);
}

// One try: erase and write with the erase mode, read back, compare.
bool WriteAndVerify(RunWindow& window, const char* path, const BlockImage& image,
                    std::uint32_t address, std::uint8_t eraseMode) {
  if (!WriteFlashRange(window, path, address, image.bytes, image.length, eraseMode)) {
    window.ShowStatus(kWriteBinFileFail);
    return false;
  }
  PollFlash(path);
  if (!ReadFlashRange(window, path, address, image.readBack, image.length)) {
    window.ShowStatus(kReadCommandFail);
    return false;
  }
  return RequireEqual(window, image.bytes, image.readBack, image.length, {kDataCompareFail});
}

// Programs one pass (one bank) at address, with up to three tries; a failed
// try leaves the next one another erase mode.
bool ProgramPass(RunWindow& window, const char* path, const BlockImage& image, KeptRegion& nvram,
                 int pass, std::uint8_t& eraseMode) {
  const std::uint32_t address = pass == 0 ? 0 : kBankSpan;
  for (int attempt = 0; attempt < 3; ++attempt) {
    window.ShowStatus(kProgressProgramming);
    if (image.fileLength >= 0x20000 && pass == 1)
      std::memcpy(image.bytes, image.bytes + kBankSpan, kBankSpan);
    // Every try erases what it writes: its counts start at its own address,
    // and a chip erase, requested only at address 0, becomes block erases
    // above it.
    StartErasedRegionAt(window.geometry(), address);
    const std::uint8_t tryMode =
        address != 0 && eraseMode == kEraseChip ? kEraseBlock : eraseMode;
    if (address == 0) nvram.AtRisk();
    if (WriteAndVerify(window, path, image, address, tryMode)) return true;
    eraseMode = attempt == 1 ? kEraseChip : kEraseSector;
  }
  return false;
}

}  // namespace

int ProgramAndVerifyImage(RunWindow& window, const char* path) {
  const ChipState& facts = window.facts();
  const bool bankChip = device::IsBankChip(facts.chipType);
  const BlockChipLayout layout = BlockLayoutFor(window);
  const bool keep = !window.options().nvramChecked;
  std::vector<std::uint8_t> file;
  if (!LoadBlockFile(window, layout, keep, file)) return kProcedureFailed;

  if (device::ChipRowFor(facts.chipType).clearsPageSize) (void)device::ClearFlashPageSize(path);
  KeptRegion nvram = KeptNvram(window, path, layout.nvramOffset);
  if (keep && !nvram.Save()) return kProcedureFailed;

  // The programmed length: on a bank chip that keeps its NVRAM it reaches
  // the area's end, since the erase of the bank takes the area with it.
  const auto fileLength = static_cast<std::uint32_t>(file.size());
  std::uint32_t length = RoundUp(fileLength, 256);
  const std::uint32_t nvramEnd = layout.nvramOffset + kBlockNvramSize;
  if (keep && bankChip) length = std::max(length, nvramEnd);
  const std::uint32_t bufferSize = RoundUp(std::max(length, nvramEnd), 8192);
  device::PaddedBuffer bytes(bufferSize);
  device::PaddedBuffer readBack(bufferSize);
  if (!bytes.ok() || !readBack.ok()) {
    window.ShowStatus(kAllocateBuffersError);
    return kProcedureFailed;
  }
  BlockImage image{bytes.data(), readBack.data(), fileLength, length, 1};
  MergeBlockImage(facts, layout, file, keep ? &nvram : nullptr, image);

  window.ShowStatus(kProgressProgramming);
  StartErasedRegionAt(window.geometry(), 0);
  if (IsKind(facts.flashTypeCode, FlashKind::Mxic)) {
    PollFlash(path);
    nvram.AtRisk();
    if (device::WriteFlashBlock(path, 0, image.bytes, kBlockNvramSize, kEraseBlock).ok())
      window.clock().Sleep(500);
  }
  std::uint8_t eraseMode = kEraseBlock;
  for (int pass = 0; pass < image.passes; ++pass) {
    if (!ProgramPass(window, path, image, nvram, pass, eraseMode)) return kProcedureFailed;
    // The first pass wrote the merged NVRAM with the image and read it back.
    if (pass == 0) nvram.InPlace();
  }
  window.ShowStatus(kProgrammingSuccess);
  return Succeeded(window, path);
}

}  // namespace program
