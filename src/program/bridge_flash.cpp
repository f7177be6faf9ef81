#include "program/bridge_flash.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "device/ata_commands.h"
#include "identify/image_checks.h"
#include "program/image_file.h"
#include "program/shared_steps.h"

namespace program {

namespace {

constexpr const char* kAllocateBuffers = "Allocate buffers Error!!";
constexpr const char* kPowerCycle = "Please Turn-Off the Power and Turn-On Again!";
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
  window.ShowStatus("Start Erase only!");
  const std::int32_t sizeKb = window.facts().flashSizeKb;
  // Types 14 and 15 learn no flash size: an erase over 0 bytes would check
  // nothing and still be reported as a success.
  if (sizeKb <= 0 || static_cast<std::uint64_t>(sizeKb) * 1024u > kAddressableBytes) {
    window.ShowStatus("Flash size unknown, nothing erased!!");
    return 0;
  }
  const int code = device::AtaEraseAndBlankCheck(path, sizeKb * 1024);
  window.ShowStatus(BridgeCodeText(code));
  if (code != device::kAtaRangeOk) return 0;
  window.Message(kPowerCycle, kCaptionMessage, MessageIcon::None);
  return 1;
}

int Program(RunWindow& window, const char* path) {
  const RunOptions options = window.options();
  const ChipFacts& facts = window.facts();
  const bool signature = identify::ImageCarriesNvram(options.imageFile, facts.chipType);
  const bool keep = !(signature && options.nvramChecked);

  // The whole file is read before the first command; a TXR847 also tells its
  // flash size, which the image must fit.
  std::uint64_t limit = kAddressableBytes;
  if (facts.chipType == 13 && facts.flashSizeKb > 0)
    limit = std::min<std::uint64_t>(limit, static_cast<std::uint64_t>(facts.flashSizeKb) * 1024u);
  LoadedImage loaded = LoadImageFile(options.imageFile, limit);
  switch (loaded.result) {
    case ImageLoad::Ok: break;
    case ImageLoad::OpenFailed:
    case ImageLoad::ReadFailed:
      window.ShowStatus("Open File Error!!");
      return 0;
    case ImageLoad::Empty:
      window.ShowStatus(kImageEmptyStatus);
      return 0;
    case ImageLoad::TooLong:
      window.ShowStatus(kImageTooLongStatus);
      return 0;
    case ImageLoad::NoMemory:
      window.ShowStatus(kAllocateBuffers);
      return 0;
  }
  const std::size_t length = loaded.bytes.size();
  const std::uint32_t size = RoundUpToChunk(length);

  std::vector<std::uint8_t> nvram;
  std::vector<std::uint8_t> image;
  std::vector<std::uint8_t> readBack;
  try {
    nvram.assign(kBridgeNvramSize, 0);
    image.assign(size, 0);
    readBack.assign(size, 0);
  } catch (const std::bad_alloc&) {
    window.ShowStatus(kAllocateBuffers);
    return 0;
  }
  std::memcpy(image.data(), loaded.bytes.data(), length);
  loaded.bytes = {};

  if (keep) {
    (void)device::AtaWaitReady(path);
    if (!device::AtaReadFlashWhole(path, 0, nvram.data(), kBridgeNvramSize)) {
      window.ShowStatus("Backup NVRAM command fail!");
      return 0;
    }
    // A signed TXR847 image carries a block the bridge takes over even when
    // the rest of its first 4 KB is kept.
    if (facts.chipType == 13 && signature && !options.nvramChecked && length > kImageBlockAt) {
      const std::size_t end = std::min(length, kImageBlockEnd);
      std::memcpy(nvram.data() + kImageBlockAt, image.data() + kImageBlockAt, end - kImageBlockAt);
    }
    std::memcpy(image.data(), nvram.data(), nvram.size());
  }

  // From the erase command on, a failure puts the kept NVRAM back.
  auto fail = [&](int code) {
    window.ShowStatus(BridgeCodeText(code));
    if (keep && code != device::kAtaAllocateFailed && !RestoreNvram(path, nvram))
      window.ShowStatus("Write back NVRAM fail!!");
    return 0;
  };

  window.ShowStatus("Erasing...");
  int code = device::AtaEraseAndBlankCheck(path, static_cast<std::int32_t>(size));
  if (code != device::kAtaRangeOk) return fail(code);

  window.ShowStatus("Programming....");
  code = device::AtaWriteFlashRange(path, 0, image.data(), static_cast<std::int32_t>(size));
  if (code != device::kAtaRangeOk) return fail(code);

  window.ShowStatus("Read back....");
  code = device::AtaReadFlashRange(path, 0, readBack.data(), static_cast<std::int32_t>(size));
  if (code != device::kAtaRangeOk) return fail(code);

  window.ShowStatus("Compare....");
  if (readBack != image) return fail(kBridgeCompareFailed);

  window.ShowStatus("Programming Success!!");
  window.Message(kPowerCycle, kCaptionMessage, MessageIcon::None);
  return 1;
}

}  // namespace

const char* BridgeCodeText(int code) {
  switch (code) {
    case 1: return "Allocate buffer fail!";
    case 2: return "Issuse Errase Command fail!";
    case 3: return "Issuse Read Command fail!";
    case 4: return "Issuse Write Command fail!";
    case 5: return "Not ready after Erase flash cmd success";
    case 6: return "Data not 0xff !!";
    case 7: return "Data compare fail";
    default: return "Flash operations all success!";
  }
}

int BridgeFlashProcedure(RunWindow& window, const char* path) {
  if (IsEraseOnlyRun(window)) return EraseOnly(window, path);
  if (IsBackupOnlyRun(window)) return BackupFlashToFile(window, path, 0) ? 1 : 0;
  return Program(window, path);
}

}  // namespace program
