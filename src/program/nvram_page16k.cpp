#include "program/nvram_page16k.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "device/flash_commands.h"
#include "device/flash_kind.h"
#include "device/spi_commands.h"
#include "identify/image_checks.h"
#include "program/paged_flash.h"
#include "program/procedures.h"
#include "program/shared_steps.h"

namespace program {

namespace {

constexpr std::uint32_t kImageNvramRecord = 128;  // chip type 10: bytes 128..207 of the image
constexpr std::uint32_t kImageNvramRecordSize = 80;

struct Run {
  RunWindow& window;
  const char* path;
  RunOptions options;
  bool signature = false;  // the image starts with its own 4 KB NVRAM area
  bool keepNvram = false;  // the flash's NVRAM goes back in front of the code
  std::vector<std::uint8_t> nvram;
};

// Programs the kept NVRAM back at flash address 0 and reads it back. Shows
// why it failed and returns false; shows nothing on success.
bool RestoreNvram(const Run& run) {
  std::vector<std::uint8_t> readBack;
  if (!SizeBuffer(run.window, readBack, kNvramArea, kAllocateBuffersError)) return false;
  PollFlash(run.path);
  if (!device::WriteFlash(run.path, 0, run.nvram.data(), static_cast<std::int32_t>(kNvramArea))) {
    run.window.RepaintStatus(kNvramWriteBackFail);
    return false;
  }
  PollFlash(run.path);
  if (!device::ReadFlashWhole(run.path, 0, readBack.data(),
                              static_cast<std::int32_t>(kNvramArea))) {
    run.window.RepaintStatus(kNvramWriteBackFail);
    return false;
  }
  if (std::memcmp(readBack.data(), run.nvram.data(), kNvramArea) != 0) {
    run.window.RepaintStatus(kNvramCompareFail);
    return false;
  }
  return true;
}

// Until page 0 is in place the NVRAM lives only in memory: a failure puts it
// back, best effort, before the run ends.
int FailKeepingNvram(const Run& run, bool nvramAtRisk) {
  if (nvramAtRisk) (void)RestoreNvram(run);
  return kProcedureFailed;
}

int ProgramImage(Run& run, const PagedImage& image) {
  RunWindow& window = run.window;
  const int chipType = window.facts().chipType;
  std::vector<std::uint8_t> page;
  std::vector<std::uint8_t> chunk;
  if (!SizeBuffer(window, page, kPage16K, kAllocateBuffersError) ||
      !SizeBuffer(window, chunk, kPage16K, kAllocateBuffersError))
    return kProcedureFailed;
  if (device::ChipRowFor(chipType).clearsPageSize) (void)device::ClearFlashPageSize(run.path);

  bool nvramAtRisk = false;
  if (!EraseUnitsBlankChecked(window, run.path, EraseUnitCount(image.extent),
                              [&] { nvramAtRisk = run.keepNvram; }))
    return FailKeepingNvram(run, nvramAtRisk);

  window.RepaintStatus(kProgressProgramming);
  const std::vector<std::uint8_t>& file = image.bytes;
  std::size_t offset = 0;
  if (run.signature && !run.options.nvramChecked) {
    // The image's own NVRAM area is left out; chip type 10 takes its 80-byte
    // record from the image all the same.
    if (device::ChipRowFor(chipType).imageNvramRecord && file.size() > kImageNvramRecord) {
      const std::size_t n =
          std::min<std::size_t>(kImageNvramRecordSize, file.size() - kImageNvramRecord);
      std::memcpy(run.nvram.data() + kImageNvramRecord, file.data() + kImageNvramRecord, n);
    }
    offset = kNvramArea;
  }

  const PageWriter write = [&](std::uint32_t a, const std::uint8_t* d, std::uint32_t n) {
    return EngineWrite(run.path, a, d, n);
  };
  // In keep-NVRAM mode each page is 4 KB carried over (the NVRAM first, then
  // the last 4 KB of the previous chunk) followed by 12 KB of the chunk.
  std::vector<std::uint8_t>& carry = run.nvram;
  std::uint32_t p = 0;
  while (offset < file.size()) {
    const std::size_t n = std::min<std::size_t>(kPage16K, file.size() - offset);
    if (run.keepNvram) {
      std::fill(chunk.begin(), chunk.end(), 0);
      std::memcpy(chunk.data(), file.data() + offset, n);
      std::memcpy(page.data(), carry.data(), kNvramArea);
      std::memcpy(page.data() + kNvramArea, chunk.data(), kPage16K - kNvramArea);
    } else {
      std::fill(page.begin(), page.end(), 0);
      std::memcpy(page.data(), file.data() + offset, n);
    }
    offset += n;
    if (!ProgramAndVerify(window, run.path, write, p, page.data(), kPage16K))
      return FailKeepingNvram(run, nvramAtRisk && p == 0);
    if (run.keepNvram && p == 0) {
      // From here on the flash holds the NVRAM; its buffer becomes the carry.
      nvramAtRisk = false;
    }
    window.RepaintStatus(window.StatusText() + ".");
    if (run.keepNvram)
      std::memcpy(carry.data(), chunk.data() + (kPage16K - kNvramArea), kNvramArea);
    p += kPage16K;
  }
  if (run.keepNvram && image.extent != p) {
    // The last carry: the image's final 4 KB (or, with no page written, the NVRAM).
    if (!ProgramAndVerify(window, run.path, write, p, carry.data(), kNvramArea))
      return FailKeepingNvram(run, nvramAtRisk && p == 0);
  }
  window.RepaintStatus(kProgrammingSuccess);
  window.Message(kPowerCycle, kCaptionMessage, MessageIcon::None);
  return kProcedureSucceeded;
}

int EraseOnly(const Run& run) {
  if (device::ChipRowFor(run.window.facts().chipType).clearsPageSize) (void)device::ClearFlashPageSize(run.path);
  const bool erased = EraseWholeFlash(run.window, run.path);
  bool restored = true;
  // The NVRAM goes back even after a failed erase: part of it may be gone.
  if (!run.options.nvramChecked) restored = RestoreNvram(run);
  if (!erased || !restored) return kProcedureFailed;
  run.window.Message(kPowerCycle, kCaptionMessage, MessageIcon::None);
  return kProcedureSucceeded;
}

}  // namespace

int RunNvramPage16K(RunWindow& window, const char* path) {
  const ChipState& facts = window.facts();
  Run run{window, path, window.options(), false, false, {}};
  const int chipType = facts.chipType;
  run.signature =
      device::ChipRowFor(chipType).signedImage || identify::ImageCarriesNvram(run.options.imageFile, chipType);
  window.SetImageSignatureResult(run.signature ? 1 : 0);
  run.keepNvram = !(run.signature && run.options.nvramChecked);

  const bool eraseOnly = IsEraseOnlyRun(window);
  const bool backupOnly = !eraseOnly && IsBackupOnlyRun(window);
  // The image is read and sized before anything is sent to the chip.
  PagedImage image;
  if (!eraseOnly && !backupOnly &&
      !LoadPagedImage(window, run.options.imageFile, run.signature ? 0 : kNvramArea,
                      FlashCapacity(window), image))
    return kProcedureFailed;

  if (run.keepNvram) {
    std::vector<std::uint8_t> check;
    if (!SizeBuffer(window, run.nvram, kNvramArea, kAllocateBuffersError) ||
        !SizeBuffer(window, check, kNvramArea, kAllocateBuffersError))
      return kProcedureFailed;
    const auto read = [path](std::uint8_t* into) {
      return device::ReadFlashWhole(path, 0, into, static_cast<std::int32_t>(kNvramArea)) != 0;
    };
    // A part still busy reads 0xFF, which is no copy of the NVRAM.
    if (!device::WaitFlashReady(path) ||
        !ReadTwiceAgreeing(read, run.nvram.data(), check.data(), kNvramArea)) {
      window.RepaintStatus(kNvramReadFail);
      return kProcedureFailed;
    }
  }
  if (facts.atmelFlashId != -1) {
    (void)device::FlashWriteEnable(path);
    if (!device::WaitFlashStatusSet(path, 0x02)) {
      window.RepaintStatus(kAtmelWriteEnableFail);
      return kProcedureFailed;
    }
  }
  if ((device::IsKind(facts.flashTypeCode, device::FlashKind::StEonMxic) ||
       device::IsKind(facts.flashTypeCode, device::FlashKind::Mxic)) &&
      device::AsChipType(chipType) != ChipType::Txr847)
    (void)device::UnprotectFlash(path);

  if (eraseOnly) return EraseOnly(run);
  if (backupOnly)
    return BackupPagedFlash(window, path, run.options.nvramChecked ? 0 : kNvramArea) ? kProcedureSucceeded : kProcedureFailed;
  return ProgramImage(run, image);
}

}  // namespace program
