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
#include "engine/paged_flash.h"
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
        return device::ReadFlashWhole(path, 0, into, static_cast<std::int32_t>(kNvramArea)).ok();
      },
      [path](const std::uint8_t* from) {
        PollFlash(path);
        if (device::WriteFlash(path, 0, from, static_cast<std::int32_t>(kNvramArea)).failed())
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
  return kProcedureSucceeded;
}

int EraseOnly(const Run& run, KeptRegion& nvram) {
  if (device::ChipRowFor(run.window.facts().chipType).clearsPageSize)
    (void)device::ClearFlashPageSize(run.path);
  // The NVRAM goes back even after a failed erase: part of it may be gone.
  if (!run.options.nvramChecked) nvram.AtRisk();
  const bool erased = EraseWholeFlash(run.window, run.path);
  const bool restored = nvram.Restore();
  return VerbResult(erased && restored);
}

// Every verb starts alike: the image signature decides whether the flash's
// NVRAM is kept.
Run StartRun(RunWindow& window, const char* path) {
  Run run{window, path, window.options(), false, false};
  const int chipType = window.facts().chipType;
  run.signature =
      device::ChipRowFor(chipType).signedImage || ImageCarriesNvram(run.options, chipType);
  window.SetImageSignatureResult(run.signature ? 1 : 0);
  run.keepNvram = !(run.signature && run.options.nvramChecked);
  return run;
}

// The steps every verb takes after its image was read: the kept NVRAM,
// write enable and unprotect.
bool PrepareFlash(const Run& run, KeptRegion& nvram) {
  RunWindow& window = run.window;
  if (run.keepNvram) {
    // A part still busy reads 0xFF, which is no copy of the NVRAM.
    if (!device::WaitFlashReady(run.path)) {
      window.RepaintStatus(kNvramReadFail);
      return false;
    }
    if (!nvram.Save()) return false;
  }
  // The TXR847's flash is never unprotected here.
  return EnableFlashWrites(window, run.path, StatusPaint::Repaint,
                           TypeOf(window.facts()) != ChipType::Txr847);
}

}  // namespace

int ProgramNvramPage16K(RunWindow& window, const char* path) {
  Run run = StartRun(window, path);
  // The image is read and sized before anything is sent to the chip.
  PagedImage image;
  if (!LoadPagedImage(window, run.options.imageFile, run.signature ? 0 : kNvramArea,
                      FlashCapacity(window), image))
    return kProcedureFailed;
  KeptRegion nvram = KeptNvram(window, path);
  if (!PrepareFlash(run, nvram)) return kProcedureFailed;
  return ProgramImage(run, nvram, image);
}

int EraseNvramPage16K(RunWindow& window, const char* path) {
  const Run run = StartRun(window, path);
  KeptRegion nvram = KeptNvram(window, path);
  if (!PrepareFlash(run, nvram)) return kProcedureFailed;
  return EraseOnly(run, nvram);
}

int BackupNvramPage16K(RunWindow& window, const char* path) {
  const Run run = StartRun(window, path);
  KeptRegion nvram = KeptNvram(window, path);
  if (!PrepareFlash(run, nvram)) return kProcedureFailed;
  return VerbResult(BackupPagedFlash(window, path, run.options.nvramChecked ? 0 : kNvramArea));
}

}  // namespace program
