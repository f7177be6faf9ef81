#include "program/bridge_flash.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "device/ata_commands.h"
#include "device/flash_busy.h"
#include "identify/image_checks.h"
#include "program/image_file.h"
#include "program/procedures.h"
#include "program/settings.h"
#include "program/shared_steps.h"

namespace program {

namespace {

// The controller's flash address is 24 bits wide.
constexpr std::uint64_t kAddressableBytes = 0x1000000;
// Where a signed TXR847 image keeps the block the bridge must take from it.
constexpr std::size_t kImageBlockAt = 128;
constexpr std::size_t kImageBlockEnd = 208;

std::uint32_t RoundUpToChunk(std::size_t length) {
  const std::size_t chunk = static_cast<std::size_t>(device::kAtaFlashChunk);
  return static_cast<std::uint32_t>((length + chunk - 1) / chunk * chunk);
}

bool AllErased(const std::uint8_t* data, std::size_t n) {
  return std::all_of(data, data + n, [](std::uint8_t b) { return b == 0xFF; });
}

// How long the bridge's part may take to erase: what identification learnt of
// it (types 14 and 15 learn no size, and get the bound of the kind).
std::uint32_t EraseLimitMs(const RunWindow& window) {
  return device::ChipEraseLimitMs(window.facts().flashTypeCode, window.facts().flashSizeKb);
}

// Puts the kept first 4 KB back after a failure past the erase command. True
// when they are seen in place afterwards. Flash that is neither the copy nor
// blank is erased again first: nothing is programmed over unerased cells.
bool RestoreNvram(const char* path, std::vector<std::uint8_t>& nvram) {
  std::uint8_t now[kBridgeNvramSize];
  if (device::AtaReadFlashRange(path, 0, now, kBridgeNvramSize) != device::kAtaRangeOk)
    return false;
  if (std::memcmp(now, nvram.data(), sizeof now) == 0) return true;
  if (!AllErased(now, sizeof now) &&
      device::AtaEraseAndBlankCheck(path, device::kAtaFlashChunk) != device::kAtaRangeOk)
    return false;
  if (device::AtaWriteFlashRange(path, 0, nvram.data(), kBridgeNvramSize) != device::kAtaRangeOk)
    return false;
  if (device::AtaReadFlashRange(path, 0, now, kBridgeNvramSize) != device::kAtaRangeOk)
    return false;
  return std::memcmp(now, nvram.data(), sizeof now) == 0;
}

int EraseOnly(RunWindow& window, const char* path) {
  window.ShowStatus(kStartEraseOnly);
  const std::int32_t sizeKb = window.facts().flashSizeKb;
  // Types 14 and 15 learn no flash size: an erase over 0 bytes would check
  // nothing and still be reported as a success.
  if (sizeKb <= 0 || static_cast<std::uint64_t>(sizeKb) * 1024u > kAddressableBytes) {
    window.ShowStatus(MissingFactText(device::kFactFlashSize));
    return kProcedureFailed;
  }
  const int code = device::AtaEraseAndBlankCheck(path, sizeKb * 1024, EraseLimitMs(window));
  window.ShowStatus(BridgeCodeText(code));
  if (code != device::kAtaRangeOk) return kProcedureFailed;
  window.Message(kPowerCycle, kCaptionMessage, MessageIcon::None);
  return kProcedureSucceeded;
}

int Program(RunWindow& window, const char* path) {
  const RunOptions options = window.options();
  const ChipState& facts = window.facts();
  const bool signature = identify::ImageCarriesNvram(options.imageFile, facts.chipType);
  const bool keep = !(signature && options.nvramChecked);

  // The whole file is read before the first command; a TXR847 also tells its
  // flash size, which the image must fit.
  std::uint64_t limit = kAddressableBytes;
  if (device::ChipRowFor(facts.chipType).reportsFlashSize && facts.flashSizeKb > 0)
    limit = std::min<std::uint64_t>(limit, static_cast<std::uint64_t>(facts.flashSizeKb) * 1024u);
  std::vector<std::uint8_t> image;
  if (!LoadImageFile(window, options.imageFile, {limit, kOpenFileError, kAllocateBuffersError},
                     image))
    return kProcedureFailed;
  const std::size_t length = image.size();
  const std::uint32_t size = RoundUpToChunk(length);

  // Past the file the chunk is programmed as zeros.
  std::vector<std::uint8_t> nvram;
  std::vector<std::uint8_t> readBack;
  if (!SizeBuffer(window, image, size, kAllocateBuffersError) ||
      !SizeBuffer(window, readBack, size, kAllocateBuffersError) ||
      !SizeBuffer(window, nvram, kBridgeNvramSize, kAllocateBuffersError))
    return kProcedureFailed;

  if (keep) {
    (void)device::AtaWaitReady(path);
    std::uint8_t check[kBridgeNvramSize];
    const auto read = [path](std::uint8_t* into) {
      return device::AtaReadFlashWhole(path, 0, into, kBridgeNvramSize) != 0;
    };
    if (!ReadTwiceAgreeing(read, nvram.data(), check, kBridgeNvramSize)) {
      window.ShowStatus(kNvramReadFail);
      return kProcedureFailed;
    }
    // A signed TXR847 image carries a block the bridge takes over even when
    // the rest of its first 4 KB is kept.
    if (device::ChipRowFor(facts.chipType).imageNvramRecord && signature && !options.nvramChecked && length > kImageBlockAt) {
      const std::size_t end = std::min(length, kImageBlockEnd);
      std::memcpy(nvram.data() + kImageBlockAt, image.data() + kImageBlockAt, end - kImageBlockAt);
    }
    std::memcpy(image.data(), nvram.data(), nvram.size());
  }

  // From the erase command on, a failure puts the kept NVRAM back.
  auto fail = [&](int code) {
    window.ShowStatus(BridgeCodeText(code));
    if (keep && code != device::kAtaAllocateFailed && !RestoreNvram(path, nvram))
      window.ShowStatus(kWriteBackNvramFail);
    return kProcedureFailed;
  };

  window.ShowStatus(kProgressErasingDots);
  int code =
      device::AtaEraseAndBlankCheck(path, static_cast<std::int32_t>(size), EraseLimitMs(window));
  if (code != device::kAtaRangeOk) return fail(code);

  window.ShowStatus(kProgressProgrammingDots);
  code = device::AtaWriteFlashRange(path, 0, image.data(), static_cast<std::int32_t>(size));
  if (code != device::kAtaRangeOk) return fail(code);

  window.ShowStatus(kProgressReadBack);
  code = device::AtaReadFlashRange(path, 0, readBack.data(), static_cast<std::int32_t>(size));
  if (code != device::kAtaRangeOk) return fail(code);

  window.ShowStatus(kProgressCompare);
  if (readBack != image) return fail(kBridgeCompareFailed);

  window.ShowStatus(kProgrammingSuccess);
  window.Message(kPowerCycle, kCaptionMessage, MessageIcon::None);
  return kProcedureSucceeded;
}

}  // namespace

const char* BridgeCodeText(int code) {
  switch (code) {
    case device::kAtaAllocateFailed: return kAllocateBufferFail;
    case device::kAtaEraseCommandFailed: return kBridgeEraseCommandFail;
    case device::kAtaReadCommandFailed: return kBridgeReadCommandFail;
    case device::kAtaWriteCommandFailed: return kBridgeWriteCommandFail;
    case device::kAtaNotReady: return kNotReadyAfterEraseCommand;
    case device::kAtaNotBlank: return kDataNotBlank;
    case kBridgeCompareFailed: return kBridgeCompareFail;
    default: return kBridgeAllSuccess;
  }
}

int BridgeFlashProcedure(RunWindow& window, const char* path) {
  if (IsEraseOnlyRun(window)) return EraseOnly(window, path);
  if (IsBackupOnlyRun(window)) {
    // The TXR847 reports its flash size; the TXR842 is read over the size box.
    const ChipState& facts = window.facts();
    const std::uint32_t size = device::ChipRowFor(facts.chipType).reportsFlashSize
                                   ? static_cast<std::uint32_t>(facts.flashSizeKb) * 1024u
                                   : Transfer().flashSize;
    // Nothing read is no backup.
    if (size == 0) {
      window.ShowStatus(kReadBackToBackupError);
      return kProcedureFailed;
    }
    return BackupFlashToFile(window, ControllerRangeReader(path), size, 0) ? kProcedureSucceeded
                                                                           : kProcedureFailed;
  }
  return Program(window, path);
}

}  // namespace program
