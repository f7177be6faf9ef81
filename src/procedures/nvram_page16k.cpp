#include "procedures/nvram_page16k.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "scsi/flash_commands.h"
#include "chips/flash_kind.h"
#include "scsi/spi_commands.h"
#include "identify/image_checks.h"
#include "engine/guarded_steps.h"
#include "engine/image_file.h"
#include "procedures/paged_flash.h"
#include "engine/procedure_table.h"
#include "engine/shared_steps.h"

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
};

// The NVRAM area at flash address 0, programmed back over the erased area.
KeptRegion KeptNvram(RunWindow& window, const char* path) {
  RegionAccess access{
      [path](std::uint8_t* into) {
        return device::ReadFlashWhole(path, 0, into, static_cast<std::int32_t>(kNvramArea)) != 0;
      },
      [path](const std::uint8_t* from) {
        PollFlash(path);
        if (!device::WriteFlash(path, 0, from, static_cast<std::int32_t>(kNvramArea)))
          return WriteBack::Failed;
        PollFlash(path);
        return WriteBack::Written;
      }};
  return KeptRegion(window, kNvramArea, std::move(access),
                    {kNvramReadFail, kNvramWriteBackFail, kNvramWriteBackFail,
                     kNvramCompareFail, StatusPaint::Repaint});
}

// Where programming starts in the file: past the image's own NVRAM area
// when that is left out; chip type 10 takes its 80-byte record from the
// image all the same.
std::size_t SkipImageNvram(const Run& run, const std::vector<std::uint8_t>& file,
                           KeptRegion& nvram) {
  if (!run.signature || run.options.nvramChecked) return 0;
  if (device::ChipRowFor(run.window.facts().chipType).imageNvramRecord && file.size() > kImageNvramRecord) {
    const std::size_t n =
        std::min<std::size_t>(kImageNvramRecordSize, file.size() - kImageNvramRecord);
    std::memcpy(nvram.data() + kImageNvramRecord, file.data() + kImageNvramRecord, n);
  }
  return kNvramArea;
}

// The next page from n bytes of the file. In keep-NVRAM mode each page is
// 4 KB carried over (the NVRAM first, then the last 4 KB of the previous
// chunk) followed by 12 KB of the chunk.
void BuildPage(bool keepNvram, const std::uint8_t* from, std::size_t n, const std::uint8_t* carry,
               std::vector<std::uint8_t>& page, std::vector<std::uint8_t>& chunk) {
  if (!keepNvram) {
    std::fill(page.begin(), page.end(), 0);
    std::memcpy(page.data(), from, n);
    return;
  }
  std::fill(chunk.begin(), chunk.end(), 0);
  std::memcpy(chunk.data(), from, n);
  std::memcpy(page.data(), carry, kNvramArea);
  std::memcpy(page.data() + kNvramArea, chunk.data(), kPage16K - kNvramArea);
}

int ProgramImage(Run& run, KeptRegion& nvram, const PagedImage& image) {
  RunWindow& window = run.window;
  const int chipType = window.facts().chipType;
  std::vector<std::uint8_t> page;
  std::vector<std::uint8_t> chunk;
  if (!SizeBuffers(window, page, chunk, kPage16K, kAllocateBuffersError))
    return kProcedureFailed;
  if (device::ChipRowFor(chipType).clearsPageSize) (void)device::ClearFlashPageSize(run.path);

  // From the first erase until page 0 is in place the NVRAM lives only in
  // memory: nvram's destructor puts it back on every way out.
  if (!EraseUnitsBlankChecked(window, run.path, EraseUnitCount(image.extent),
                              [&] { nvram.AtRisk(); }))
    return kProcedureFailed;

  window.RepaintStatus(kProgressProgramming);
  const std::vector<std::uint8_t>& file = image.bytes;
  std::size_t offset = SkipImageNvram(run, file, nvram);

  const PageWriter write = [&](std::uint32_t a, const std::uint8_t* d, std::uint32_t n) {
    return EngineWrite(run.path, a, d, n);
  };
  std::uint8_t* carry = nvram.data();
  std::uint32_t p = 0;
  while (offset < file.size()) {
    const std::size_t n = std::min<std::size_t>(kPage16K, file.size() - offset);
    BuildPage(run.keepNvram, file.data() + offset, n, carry, page, chunk);
    offset += n;
    if (!ProgramAndVerify(window, run.path, write, p, page.data(), kPage16K))
      return kProcedureFailed;
    // From here on the flash holds the NVRAM; its buffer becomes the carry.
    if (p == 0) nvram.InPlace();
    window.RepaintStatus(window.StatusText() + ".");
    if (run.keepNvram)
      std::memcpy(carry, chunk.data() + (kPage16K - kNvramArea), kNvramArea);
    p += kPage16K;
  }
  if (run.keepNvram && image.extent != p) {
    // The last carry: the image's final 4 KB (or, with no page written, the NVRAM).
    if (!ProgramAndVerify(window, run.path, write, p, carry, kNvramArea))
      return kProcedureFailed;
    nvram.InPlace();
  }
  window.RepaintStatus(kProgrammingSuccess);
  window.Message(kPowerCycle, kCaptionMessage, MessageIcon::None);
  return kProcedureSucceeded;
}

int EraseOnly(const Run& run, KeptRegion& nvram) {
  if (device::ChipRowFor(run.window.facts().chipType).clearsPageSize)
    (void)device::ClearFlashPageSize(run.path);
  // The NVRAM goes back even after a failed erase: part of it may be gone.
  if (!run.options.nvramChecked) nvram.AtRisk();
  const bool erased = EraseWholeFlash(run.window, run.path);
  const bool restored = nvram.Restore();
  if (!erased || !restored) return kProcedureFailed;
  run.window.Message(kPowerCycle, kCaptionMessage, MessageIcon::None);
  return kProcedureSucceeded;
}

// Every mode shares the first steps: the image signature, the image (when
// programming), the kept NVRAM, write enable and unprotect.
int RunPage16K(RunWindow& window, const char* path, RunMode mode) {
  const ChipState& facts = window.facts();
  Run run{window, path, window.options(), false, false};
  const int chipType = facts.chipType;
  run.signature =
      device::ChipRowFor(chipType).signedImage || ImageCarriesNvram(run.options, chipType);
  window.SetImageSignatureResult(run.signature ? 1 : 0);
  run.keepNvram = !(run.signature && run.options.nvramChecked);

  const bool eraseOnly = mode == RunMode::EraseOnly;
  const bool backupOnly = mode == RunMode::BackupOnly;
  // The image is read and sized before anything is sent to the chip.
  PagedImage image;
  if (!eraseOnly && !backupOnly &&
      !LoadPagedImage(window, run.options.imageFile, run.signature ? 0 : kNvramArea,
                      FlashCapacity(window), image))
    return kProcedureFailed;

  KeptRegion nvram = KeptNvram(window, path);
  if (run.keepNvram) {
    // A part still busy reads 0xFF, which is no copy of the NVRAM.
    if (!device::WaitFlashReady(path)) {
      window.RepaintStatus(kNvramReadFail);
      return kProcedureFailed;
    }
    if (!nvram.Save()) return kProcedureFailed;
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

  if (eraseOnly) return EraseOnly(run, nvram);
  if (backupOnly)
    return VerbResult(BackupPagedFlash(window, path, run.options.nvramChecked ? 0 : kNvramArea));
  return ProgramImage(run, nvram, image);
}

}  // namespace

int ProgramNvramPage16K(RunWindow& window, const char* path) {
  return RunPage16K(window, path, RunMode::Program);
}
int EraseNvramPage16K(RunWindow& window, const char* path) {
  return RunPage16K(window, path, RunMode::EraseOnly);
}
int BackupNvramPage16K(RunWindow& window, const char* path) {
  return RunPage16K(window, path, RunMode::BackupOnly);
}

}  // namespace program
