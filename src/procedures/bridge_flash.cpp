#include "procedures/bridge_flash.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "scsi/ata_commands.h"
#include "chips/flash_busy.h"
#include "identify/image_checks.h"
#include "engine/guarded_steps.h"
#include "engine/image_file.h"
#include "engine/procedure_table.h"
#include "engine/settings.h"
#include "engine/shared_steps.h"

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

// How long the bridge's part may take to erase: what identification learnt of
// it (types 14 and 15 learn no size, and get the bound of the kind).
std::uint32_t EraseLimitMs(const RunWindow& window) {
  return device::ChipEraseLimitMs(window.facts().flashTypeCode, window.facts().flashSizeKb);
}

// The first 4 KB, kept through a run. The write-back leaves a copy that is
// already in place alone, and erases flash that is neither the copy nor
// blank first: nothing is programmed over unerased cells.
KeptRegion KeptNvram(RunWindow& window, const char* path) {
  const auto readRange = [path](std::uint8_t* into) {
    return device::AtaReadFlashRange(path, 0, into, kBridgeNvramSize) == device::kAtaRangeOk;
  };
  RegionAccess access{
      [path](std::uint8_t* into) {
        return device::AtaReadFlashWhole(path, 0, into, kBridgeNvramSize).ok();
      },
      [readRange, path](const std::uint8_t* from) {
        std::uint8_t now[kBridgeNvramSize];
        if (!readRange(now)) return WriteBack::Failed;
        if (std::memcmp(now, from, sizeof now) == 0) return WriteBack::AlreadyInPlace;
        if (!IsBlank(now, sizeof now) &&
            AtaEraseBlankChecked(path, device::kAtaFlashChunk) != device::kAtaRangeOk)
          return WriteBack::Failed;
        std::memcpy(now, from, sizeof now);  // the range write takes a writable buffer
        return device::AtaWriteFlashRange(path, 0, now, kBridgeNvramSize) == device::kAtaRangeOk
                   ? WriteBack::Written
                   : WriteBack::Failed;
      },
      {},
      readRange};
  return KeptRegion(window, kBridgeNvramSize, std::move(access),
                    {kNvramReadFail, kWriteBackNvramFail});
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
  const device::AtaRangeResult code = AtaEraseBlankChecked(path, sizeKb * 1024, EraseLimitMs(window));
  window.ShowStatus(BridgeCodeText(code));
  return VerbResult(code == device::kAtaRangeOk);
}

// The kept first 4 KB go in front of the image. A signed TXR847 image
// carries a block the bridge takes over even when the rest is kept.
bool KeepNvramInImage(RunWindow& window, const char* path, KeptRegion& nvram, bool signature,
                      std::size_t fileLength, std::vector<std::uint8_t>& image) {
  (void)device::AtaWaitReady(path);
  if (!nvram.Save()) return false;
  if (device::ChipRowFor(window.facts().chipType).imageNvramRecord && signature && !window.options().nvramChecked &&
      fileLength > kImageBlockAt) {
    const std::size_t end = std::min(fileLength, kImageBlockEnd);
    std::memcpy(nvram.data() + kImageBlockAt, image.data() + kImageBlockAt, end - kImageBlockAt);
  }
  std::memcpy(image.data(), nvram.data(), nvram.size());
  return true;
}

int Program(RunWindow& window, const char* path) {
  const RunOptions options = window.options();
  const ChipState& facts = window.facts();
  const bool signature = ImageCarriesNvram(options, facts.chipType);
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
  std::vector<std::uint8_t> readBack;
  if (!SizeBuffers(window, image, readBack, size, kAllocateBuffersError))
    return kProcedureFailed;
  KeptRegion nvram = KeptNvram(window, path);
  if (keep && !KeepNvramInImage(window, path, nvram, signature, length, image))
    return kProcedureFailed;

  // From the erase command on, nvram's destructor puts the kept NVRAM back
  // on every way out; a command that could not allocate sent nothing.
  auto fail = [&](device::AtaRangeResult code) {
    window.ShowStatus(BridgeCodeText(code));
    if (code == device::kAtaAllocateFailed) nvram.InPlace();
    return kProcedureFailed;
  };

  window.ShowStatus(kProgressErasingDots);
  nvram.AtRisk();
  device::AtaRangeResult code =
      AtaEraseBlankChecked(path, static_cast<std::int32_t>(size), EraseLimitMs(window));
  if (code != device::kAtaRangeOk) return fail(code);

  window.ShowStatus(kProgressProgrammingDots);
  code = device::AtaWriteFlashRange(path, 0, image.data(), static_cast<std::int32_t>(size));
  if (code != device::kAtaRangeOk) return fail(code);

  window.ShowStatus(kProgressReadBack);
  code = device::AtaReadFlashRange(path, 0, readBack.data(), static_cast<std::int32_t>(size));
  if (code != device::kAtaRangeOk) return fail(code);

  window.ShowStatus(kProgressCompare);
  if (!RequireEqual(window, image.data(), readBack.data(), size,
                    {BridgeCodeText(device::kAtaCompareFailed)}))
    return kProcedureFailed;
  nvram.InPlace();
  window.ShowStatus(kProgrammingSuccess);
  return kProcedureSucceeded;
}

}  // namespace

const char* BridgeCodeText(device::AtaRangeResult code) {
  using enum device::AtaRangeResult;
  switch (code) {
    case kAtaAllocateFailed: return kAllocateBufferFail;
    case kAtaEraseCommandFailed: return kBridgeEraseCommandFail;
    case kAtaReadCommandFailed: return kBridgeReadCommandFail;
    case kAtaWriteCommandFailed: return kBridgeWriteCommandFail;
    case kAtaNotReady: return kNotReadyAfterEraseCommand;
    case kAtaNotBlank: return kDataNotBlank;
    case kAtaCompareFailed: return kBridgeCompareFail;
    case kAtaRangeOk: break;
  }
  return kBridgeAllSuccess;
}

int ProgramBridgeFlash(RunWindow& window, const char* path) { return Program(window, path); }
int EraseBridgeFlash(RunWindow& window, const char* path) { return EraseOnly(window, path); }

int BackupBridgeFlash(RunWindow& window, const char* path) {
  // The TXR847 reports its flash size; the TXR842 is read over the size box.
  const ChipState& facts = window.facts();
  const std::uint32_t size = device::ChipRowFor(facts.chipType).reportsFlashSize
                                 ? static_cast<std::uint32_t>(facts.flashSizeKb) * 1024u
                                 : window.transfer().flashSize;
  // Nothing read is no backup.
  if (size == 0) {
    window.ShowStatus(kReadBackToBackupError);
    return kProcedureFailed;
  }
  return VerbResult(BackupFlashToFile(window, ControllerRangeReader(path), size, 0));
}

}  // namespace program
