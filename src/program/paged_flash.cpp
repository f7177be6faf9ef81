#include "program/paged_flash.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "device/flash_commands.h"
#include "host/stdio_file.h"
#include "program/settings.h"
#include "program/shared_steps.h"

namespace program {

namespace {

constexpr std::uint64_t kFlashAddressSpace = 0x1000000;

std::uint64_t RoundUp16K(std::uint64_t n) { return (n + kPage16K - 1) / kPage16K * kPage16K; }

bool AllErased(const std::uint8_t* data, std::uint32_t length) {
  for (std::uint32_t i = 0; i < length; ++i)
    if (data[i] != 0xFF) return false;
  return true;
}

}  // namespace

std::uint64_t FlashCapacity(const RunWindow& window) {
  const std::int32_t kb = window.facts().flashSizeKb;
  if (kb > 0) return std::uint64_t{static_cast<std::uint32_t>(kb)} * 1024u;
  return Transfer().flashSize;
}

bool LoadPagedImage(RunWindow& window, const std::string& fileName, std::uint32_t shift,
                    std::uint64_t flashBytes, PagedImage& image) {
  host::File file = host::OpenFile(fileName.c_str(), "rb");
  if (!file) {
    window.PaintStatus(kOpenFileError);
    return false;
  }
  // Flash addresses travel in 24 bits: nothing past them can be written.
  if (flashBytes > kFlashAddressSpace) flashBytes = kFlashAddressSpace;
  // Read in pieces until the end, but never more than could fit: a huge file
  // is refused without being read whole, and no length is cut to 32 bits.
  std::vector<std::uint8_t>& bytes = image.bytes;
  bytes.clear();
  bool tooLong = false;
  try {
    std::uint8_t piece[0x4000];
    for (;;) {
      const std::size_t n = std::fread(piece, 1, sizeof piece, file.get());
      if (bytes.size() + n > flashBytes) {
        tooLong = true;
        break;
      }
      bytes.insert(bytes.end(), piece, piece + n);
      if (n < sizeof piece) break;
    }
  } catch (const std::bad_alloc&) {
    window.PaintStatus("Allocate buffers Error!!");
    return false;
  }
  // A read error is not the end of the image.
  if (!tooLong && (std::ferror(file.get()) != 0 || bytes.empty())) {
    window.PaintStatus(kOpenFileError);
    return false;
  }
  std::uint64_t extent = bytes.size() < kPage16K ? kPage16K : bytes.size();
  extent = RoundUp16K(extent + shift);
  if (tooLong || extent > flashBytes) {
    window.PaintStatus(kImageTooLarge);
    return false;
  }
  image.extent = static_cast<std::uint32_t>(extent);
  return true;
}

bool EraseUnitsBlankChecked(RunWindow& window, const char* path, std::uint32_t units,
                            const std::function<void()>& beforeFirstErase) {
  std::vector<std::uint8_t> half;
  try {
    half.assign(kPage16K, 0);
  } catch (const std::bad_alloc&) {
    window.PaintStatus("Allocate buffers Error!!");
    return false;
  }
  window.PaintStatus("Erasing");
  for (std::uint32_t u = 0; u < units; ++u) {
    const std::uint32_t address = u * kEraseUnit32K;
    PollFlash(path);
    if (u == 0 && beforeFirstErase) beforeFirstErase();
    if (!device::EraseFlashSector(path, static_cast<std::int32_t>(address))) {
      window.PaintStatus("Erase command fail!!");
      return false;
    }
    window.PaintStatus(window.StatusText() + ".");
    for (std::uint32_t at : {address, address + kPage16K}) {
      PollFlash(path);
      if (!device::ReadFlashWhole(path, static_cast<std::int32_t>(at), half.data(),
                                  static_cast<std::int32_t>(kPage16K))) {
        window.PaintStatus("Read back after erase fail!!");
        return false;
      }
      if (!AllErased(half.data(), kPage16K)) {
        window.PaintStatus("Data not 0xff !!");
        return false;
      }
    }
  }
  return true;
}

bool ProgramAndVerify(RunWindow& window, const char* path, const PageWriter& write,
                      std::uint32_t address, const std::uint8_t* data, std::uint32_t length,
                      const std::function<void()>& afterWrite) {
  std::vector<std::uint8_t> readBack;
  try {
    readBack.assign(length, 0);
  } catch (const std::bad_alloc&) {
    window.PaintStatus("Allocate buffers Error!!");
    return false;
  }
  if (!write(address, data, length)) {
    window.PaintStatus("Write command fail!");
    return false;
  }
  if (afterWrite) afterWrite();
  PollFlash(path);
  if (!device::ReadFlashWhole(path, static_cast<std::int32_t>(address), readBack.data(),
                              static_cast<std::int32_t>(length))) {
    window.PaintStatus("Write command fail!");
    return false;
  }
  if (std::memcmp(readBack.data(), data, length) != 0) {
    window.PaintStatus("Data compare fail !!");
    return false;
  }
  return true;
}

bool EngineWrite(const char* path, std::uint32_t address, const std::uint8_t* data,
                 std::uint32_t length) {
  PollFlash(path);
  return device::WriteFlash(path, static_cast<std::int32_t>(address), data,
                            static_cast<std::int32_t>(length)) != 0;
}

}  // namespace program
