#include "program/ieee1394_procedure.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "device/flash_commands.h"
#include "device/passthrough.h"
#include "host/host.h"
#include "program/block_transfer.h"
#include "program/image_file.h"
#include "program/procedures.h"
#include "program/settings.h"
#include "program/shared_steps.h"

namespace program {

namespace {

constexpr std::uint32_t kTransfer = 0x100;
constexpr std::uint32_t kNvramAddress = 0x8000;
constexpr std::uint32_t kNvramSize = 1024;
constexpr std::uint32_t kSmallImage = 0x8000;

std::uint32_t RoundUp(std::uint32_t n, std::uint32_t unit) { return (n + unit - 1) / unit * unit; }
bool IsErasePoint(std::uint32_t a) { return a == 0 || a == kNvramAddress; }

}  // namespace

int Ieee1394Procedure(RunWindow& window, const char* path) {
  Transfer().blockSize = kTransfer;
  if (IsEraseOnlyRun(window)) {
    // The notice only follows an erase that left the flash blank and the
    // NVRAM in place.
    if (!Erase1394KeepNvram(window, path)) return kProcedureFailed;
    window.Message(kPowerCycle, kCaptionMessage, MessageIcon::None);
    return kProcedureSucceeded;
  }
  if (IsBackupOnlyRun(window))
    return BackupFlashImage(window, path, 0) ? kProcedureSucceeded : kProcedureFailed;
  return Program1394Image(window, path);
}

bool Write1394Range(RunWindow& window, const char* path, std::uint32_t address,
                    const std::uint8_t* source, std::uint32_t length) {
  if (length == 0) return false;
  std::uint32_t total = RoundUp(length, 256);
  device::PaddedBuffer buffer(total);
  if (!buffer.ok()) return false;
  std::memcpy(buffer.data(), source, length);
  const std::uint32_t block = Transfer().blockSize;
  std::uint32_t done = 0;
  while (total > 0) {
    const std::uint32_t a = address + done;
    const std::uint32_t chunk = std::min(total, block);
    PollFlash(path);
    if (!device::WriteFlashBlockPlain(path, a, buffer.data() + done, chunk, IsErasePoint(a) ? 1 : 0))
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
  const std::uint32_t size = Transfer().flashSize;
  device::PaddedBuffer ff(std::max(size, kTransfer));
  std::vector<std::uint8_t> nvram;
  try {
    nvram.assign(kNvramSize, 0);
  } catch (const std::bad_alloc&) {
    nvram.clear();
  }
  if (!ff.ok() || nvram.empty()) {
    window.ShowStatus(kAllocateBuffersError);
    return false;
  }
  std::memset(ff.data(), 0xFF, std::max(size, kTransfer));
  std::uint8_t check[kNvramSize];
  const auto read = [&](std::uint8_t* into) {
    return ReadFlashRange(window, path, kNvramAddress, into, kNvramSize);
  };
  if (!ReadTwiceAgreeing(read, nvram.data(), check, kNvramSize)) {
    window.ShowStatus(kNvramReadFail);
    return false;
  }

  // Once the erase point of the NVRAM was sent, the record goes back on
  // every way out; the write at 0x8000 carries the erase flag itself.
  auto restore = [&] {
    PollFlash(path);
    if (!Write1394Range(window, path, kNvramAddress, nvram.data(), kNvramSize)) return false;
    std::vector<std::uint8_t> check(kNvramSize);
    return ReadFlashRange(window, path, kNvramAddress, check.data(), kNvramSize) && check == nvram;
  };
  auto fail = [&](const char* text) {
    window.ShowStatus(restore() ? text : kNvramWriteBackFail);
    return false;
  };

  (void)device::WriteFlashBlockPlain(path, 0, ff.data(), kTransfer, 1);
  host::Current().Sleep(500);
  if (!device::WriteFlashBlockPlain(path, kNvramAddress, ff.data(), kTransfer, 1))
    return fail(kEraseFlashCommandFail);
  window.ShowStatus(kEraseAllSuccess);

  device::PaddedBuffer readBack(size);
  if (!readBack.ok()) return fail(kAllocateReadBufferError);
  // A flash that could not be read is not taken as blank.
  if (!ReadFlashRange(window, path, 0, readBack.data(), size))
    return fail(kReadBackErasedError);
  if (!std::all_of(readBack.data(), readBack.data() + size, [](std::uint8_t b) { return b == 0xFF; }))
    return fail(kDataNotBlank);

  if (!restore()) {
    window.ShowStatus(kNvramWriteBackFail);
    return false;
  }
  window.ShowStatus(kEraseAllSuccess);
  return true;
}

int Program1394Image(RunWindow& window, const char* path) {
  std::vector<std::uint8_t> file;
  const std::uint64_t flash = ReportedFlashBytes(window.facts()).value_or(Transfer().flashSize);
  const ImageRules rules{std::min<std::uint64_t>(flash, Transfer().flashSize), kOpenFileError,
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
  if (std::memcmp(image.data(), readBack.data(), s) != 0) {
    window.ShowStatus(kDataCompareFail);
    return kProcedureFailed;
  }
  window.ShowStatus(kProgrammingSuccess);
  window.Message(kPowerCycle, kCaptionMessage, MessageIcon::None);
  return kProcedureSucceeded;
}

}  // namespace program
