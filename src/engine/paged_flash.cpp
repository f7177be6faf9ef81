#include "engine/paged_flash.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "scsi/flash_commands.h"
#include "engine/image_file.h"
#include "engine/guarded_steps.h"
#include "engine/settings.h"
#include "engine/shared_steps.h"

namespace program {

namespace {

constexpr std::uint64_t kFlashAddressSpace = 0x1000000;

std::uint64_t RoundUp16K(std::uint64_t n) { return (n + kPage16K - 1) / kPage16K * kPage16K; }

// Waits for the part, then reads length bytes at address whole; a read
// that fails or arrives short shows failText.
bool ReadBack(RunWindow& window, const char* path, std::uint32_t address, std::uint8_t* into,
              std::uint32_t length, const char* failText) {
  PollFlash(path);
  const bool read = device::ReadFlashWhole(path, static_cast<std::int32_t>(address), into,
                                           static_cast<std::int32_t>(length))
                        .ok();
  if (!read) window.RepaintStatus(failText);
  return read;
}

}  // namespace

std::uint64_t FlashCapacity(const RunWindow& window) {
  return ReportedFlashBytes(window.facts()).value_or(window.transfer().flashSize);
}

bool LoadPagedImage(RunWindow& window, const std::string& fileName, std::uint32_t shift,
                    std::uint64_t flashBytes, PagedImage& image) {
  // Flash addresses travel in 24 bits: nothing past them can be written.
  if (flashBytes > kFlashAddressSpace) flashBytes = kFlashAddressSpace;
  // The extent, the length raised to 16 KB plus the shift, rounded up to
  // 16 KB, must fit the whole 16 KB pages of the flash.
  const std::uint64_t room = flashBytes / kPage16K * kPage16K;
  const ImageRules rules{room >= kPage16K + shift ? room - shift : 0, kOpenFileError, kAllocateBuffersError};
  if (!LoadImageFile(window, fileName, rules, image.bytes)) return false;
  const std::uint64_t length = image.bytes.size() < kPage16K ? kPage16K : image.bytes.size();
  image.extent = static_cast<std::uint32_t>(RoundUp16K(length + shift));
  return true;
}

bool EraseUnitsBlankChecked(RunWindow& window, const char* path, std::uint32_t units,
                            const std::function<void()>& beforeFirstErase) {
  std::vector<std::uint8_t> half;
  if (!SizeBuffer(window, half, kPage16K, kAllocateBuffersError)) return false;
  window.RepaintStatus(kProgressErasing);
  for (std::uint32_t u = 0; u < units; ++u) {
    const std::uint32_t address = u * kEraseUnit32K;
    PollFlash(path);
    if (u == 0 && beforeFirstErase) beforeFirstErase();
    if (device::EraseFlashSector(path, static_cast<std::int32_t>(address)).failed()) {
      window.RepaintStatus(kEraseCommandFail);
      return false;
    }
    window.RepaintStatus(window.StatusText() + ".");
    for (std::uint32_t at : {address, address + kPage16K}) {
      if (!ReadBack(window, path, at, half.data(), kPage16K, kEraseReadBackFailLower)) return false;
      if (!RequireBlank(window, half.data(), kPage16K)) return false;
    }
  }
  return true;
}

bool ProgramAndVerify(RunWindow& window, const char* path, const PageWriter& write,
                      std::uint32_t address, const std::uint8_t* data, std::uint32_t length,
                      const std::function<void()>& afterWrite) {
  std::vector<std::uint8_t> readBack;
  if (!SizeBuffer(window, readBack, length, kAllocateBuffersError)) return false;
  if (!write(address, data, length)) {
    window.RepaintStatus(kWriteCommandFail);
    return false;
  }
  if (afterWrite) afterWrite();
  if (!ReadBack(window, path, address, readBack.data(), length, kWriteCommandFail)) return false;
  return RequireEqual(window, data, readBack.data(), length,
                      {kDataCompareFail, StatusPaint::Repaint});
}

bool BackupPagedFlash(RunWindow& window, const char* path, std::uint32_t skip) {
  // The run may have just written the status register: a part still busy
  // reads 0xFF, twice alike, which is no copy of the flash.
  if (!device::WaitFlashReady(path)) {
    window.RepaintStatus(kReadBackToBackupError);
    return false;
  }
  if (device::ChipRowFor(window.facts().chipType).reportsFlashSize) {
    const auto size = static_cast<std::uint32_t>(window.facts().flashSizeKb) * 1024u;
    return BackupFlashToFile(window, BlockReader(window, path), size, skip);
  }
  return BackupFlashToFile(window, WholeRangeReader(path), window.transfer().flashSize, skip);
}

bool EngineWrite(const char* path, std::uint32_t address, const std::uint8_t* data,
                 std::uint32_t length) {
  PollFlash(path);
  return device::WriteFlash(path, static_cast<std::int32_t>(address), data,
                            static_cast<std::int32_t>(length))
      .ok();
}

}  // namespace program
