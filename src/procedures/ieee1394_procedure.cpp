#include "procedures/ieee1394_procedure.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "scsi/flash_commands.h"
#include "scsi/passthrough.h"
#include "engine/block_transfer.h"
#include "engine/guarded_steps.h"
#include "engine/image_file.h"
#include "engine/procedure_table.h"
#include "engine/settings.h"
#include "engine/shared_steps.h"

namespace program {

namespace {

constexpr std::uint32_t kTransfer = 0x100;
constexpr std::uint32_t kNvramAddress = 0x8000;
constexpr std::uint32_t kNvramSize = 1024;
constexpr std::uint32_t kSmallImage = 0x8000;

bool IsErasePoint(std::uint32_t a) { return a == 0 || a == kNvramAddress; }

}  // namespace

int ProgramIeee1394Flash(RunWindow& window, const char* path) {
  window.transfer().blockSize = kTransfer;
  return Program1394Image(window, path);
}

int EraseIeee1394Flash(RunWindow& window, const char* path) {
  window.transfer().blockSize = kTransfer;
  return VerbResult(Erase1394KeepNvram(window, path));
}

int BackupIeee1394Flash(RunWindow& window, const char* path) {
  window.transfer().blockSize = kTransfer;
  return VerbResult(BackupFlashImage(window, path, 0));
}

bool Write1394Range(RunWindow& window, const char* path, std::uint32_t address,
                    const std::uint8_t* source, std::uint32_t length) {
  if (length == 0) return false;
  std::uint32_t total = RoundUp(length, 256);
  device::PaddedBuffer buffer(total);
  if (!buffer.ok()) return false;
  std::memcpy(buffer.data(), source, length);
  const std::uint32_t block = window.transfer().blockSize;
  std::uint32_t done = 0;
  while (total > 0) {
    const std::uint32_t a = address + done;
    const std::uint32_t chunk = std::min(total, block);
    PollFlash(path);
    if (device::WriteFlashBlockPlain(path, a, buffer.data() + done, chunk, IsErasePoint(a) ? 1 : 0)
            .failed())
      return false;
    done += chunk;
    total -= chunk;
    // One dot per 2 KB.
    if (((address + done) & 0x7FF) == 0x100) window.AppendStatus(".");
  }
  return true;
}

bool Erase1394KeepNvram(RunWindow& window, const char* path) {
  window.ShowStatus(kStartEraseOnly);
  const std::uint32_t size = window.transfer().flashSize;
  device::PaddedBuffer ff(std::max(size, kTransfer));
  if (!ff.ok()) {
    window.ShowStatus(kAllocateBuffersError);
    return false;
  }
  std::memset(ff.data(), 0xFF, std::max(size, kTransfer));
  // The write at 0x8000 carries the erase flag itself.
  RegionAccess access{
      [&window, path](std::uint8_t* into) {
        return ReadFlashRange(window, path, kNvramAddress, into, kNvramSize);
      },
      [&window, path](const std::uint8_t* from) {
        PollFlash(path);
        return Write1394Range(window, path, kNvramAddress, from, kNvramSize) ? WriteBack::Written
                                                                             : WriteBack::Failed;
      }};
  KeptRegion nvram(window, kNvramSize, std::move(access),
                   {kNvramReadFail, kNvramWriteBackFail, nullptr,
                    nullptr, StatusPaint::Show, true});
  if (!nvram.Save()) return false;
  // From the first erase on, nvram's destructor puts the record back on
  // every way out.
  auto fail = [&](const char* text) {
    window.ShowStatus(text);
    return false;
  };

  nvram.AtRisk();
  (void)device::WriteFlashBlockPlain(path, 0, ff.data(), kTransfer, 1);
  window.clock().Sleep(500);
  if (device::WriteFlashBlockPlain(path, kNvramAddress, ff.data(), kTransfer, 1).failed())
    return fail(kEraseFlashCommandFail);
  window.ShowStatus(kEraseAllSuccess);

  device::PaddedBuffer readBack(size);
  if (!readBack.ok()) return fail(kAllocateReadBufferError);
  // A flash that could not be read is not taken as blank.
  if (!ReadFlashRange(window, path, 0, readBack.data(), size))
    return fail(kReadBackErasedError);
  if (!RequireBlank(window, readBack.data(), size)) return false;
  if (!nvram.Restore()) return false;
  window.ShowStatus(kEraseAllSuccess);
  return true;
}

int Program1394Image(RunWindow& window, const char* path) {
  std::vector<std::uint8_t> file;
  const std::uint64_t flash = ReportedFlashBytes(window.facts()).value_or(window.transfer().flashSize);
  const ImageRules rules{std::min<std::uint64_t>(flash, window.transfer().flashSize), kOpenFileError,
                         kAllocateBuffersError};
  if (!LoadImageFile(window, window.options().imageFile, rules, file)) return kProcedureFailed;
  const std::uint32_t l = static_cast<std::uint32_t>(file.size());
  const std::uint32_t s = RoundUp(std::max(l, kSmallImage), 256);

  // A small image ends below the NVRAM's erase point: the record is read and
  // kept beside the image but never written.
  const std::uint32_t extra = s == kSmallImage ? kNvramSize : 0;
  device::PaddedBuffer image(s + extra);
  device::PaddedBuffer readBack(s + extra);
  if (!image.ok() || !readBack.ok()) {
    window.ShowStatus(kAllocateBuffersError);
    return kProcedureFailed;
  }
  if (extra != 0 &&
      !ReadFlashRange(window, path, kNvramAddress, image.data() + kSmallImage, kNvramSize)) {
    window.ShowStatus(kNvramReadFail);
    return kProcedureFailed;
  }
  std::memcpy(image.data(), file.data(), l);

  window.ShowStatus(kProgressProgramming);
  if (!Write1394Range(window, path, 0, image.data(), s)) {
    window.ShowStatus(kWriteBinFileFail);
    return kProcedureFailed;
  }
  PollFlash(path);
  if (!ReadFlashRange(window, path, 0, readBack.data(), s)) {
    window.ShowStatus(kReadCommandFail);
    return kProcedureFailed;
  }
  if (!RequireEqual(window, image.data(), readBack.data(), s, {kDataCompareFail}))
    return kProcedureFailed;
  window.ShowStatus(kProgrammingSuccess);
  return kProcedureSucceeded;
}

}  // namespace program
