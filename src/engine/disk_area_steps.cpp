#include "engine/disk_area_steps.h"

#include <cstring>

#include "scsi/disk_commands.h"
#include "engine/guarded_steps.h"
#include "engine/image_file.h"
#include "engine/shared_steps.h"

namespace program {

namespace {

using TransferFn = device::Result (*)(const char*, void*, std::uint32_t, std::uint32_t,
                                      std::uint32_t, std::uint32_t, std::int32_t*);

bool Move(const DiskArea& area, TransferFn fn, std::uint64_t lba, std::uint8_t* data,
          std::uint32_t length) {
  // A length that is not whole sectors would be cut short by the count.
  if (area.sectorSize == 0 || length % area.sectorSize != 0) return false;
  std::int32_t moved = 0;
  const device::Result sent =
      fn(area.path, data, static_cast<std::uint32_t>(lba), static_cast<std::uint32_t>(lba >> 32),
         length, area.sectorSize, &moved);
  return sent.ok() && moved >= 0 && static_cast<std::uint32_t>(moved) >= length;
}

}  // namespace

std::uint64_t DiskEnd(std::uint64_t identifyCapacity, std::uint64_t lastLba) {
  // A last LBA of 0 is what a failed READ CAPACITY leaves.
  const std::uint64_t scsi = lastLba != 0 && lastLba != ~0ull ? lastLba + 1 : 0;
  return identifyCapacity > scsi ? identifyCapacity : scsi;
}

bool AreaFits(const DiskArea& area, std::uint64_t bytes) {
  const std::uint32_t x = area.sectorSize;
  if (x < 512 || x > kDiskPiece || (x & (x - 1)) != 0) return false;
  const std::uint64_t sectors = (bytes + x - 1) / x;
  const std::uint64_t end = area.diskEnd;
  if (sectors == 0 || end == 0 || area.start > end || sectors > end - area.start) return false;
  const std::uint64_t tail = kDiskTailBytes / x;
  const std::uint64_t lowest = end > tail ? end - tail : 0;
  return area.start >= lowest && area.start >= kDiskHeadBytes / x;
}

bool WriteAreaSectors(const DiskArea& area, std::uint64_t lba, std::uint8_t* data,
                      std::uint32_t length) {
  return Move(area, area.ata ? device::AtaWriteDma48 : device::WriteDisk16, lba, data, length);
}

bool ReadAreaSectors(const DiskArea& area, std::uint64_t lba, std::uint8_t* data,
                     std::uint32_t length) {
  return Move(area, area.ata ? device::AtaReadDma48 : device::ReadDisk16, lba, data, length);
}

bool WriteVerifyPiece(RunWindow& window, const DiskArea& area, std::uint64_t lba,
                      std::uint8_t* piece, std::uint32_t length, std::vector<std::uint8_t>& scratch,
                      const PieceTexts& texts) {
  if (!WriteAreaSectors(area, lba, piece, length)) {
    window.ShowStatus(texts.writeFailed);
    return false;
  }
  if (scratch.size() < length && !SizeBuffer(window, scratch, length, kAllocateReadBufferError)) return false;
  std::memset(scratch.data(), 0, length);
  if (!ReadAreaSectors(area, lba, scratch.data(), length)) {
    window.ShowStatus(texts.readFailed);
    return false;
  }
  return RequireEqual(window, piece, scratch.data(), length, {texts.differs});
}

bool LoadDiskImage(RunWindow& window, std::uint64_t maxLength, std::vector<std::uint8_t>& image) {
  const ImageRules rules{maxLength, kOpenFileError, kAllocateReadBufferError};
  return LoadImageFile(window, window.options().imageFile, rules, image);
}

}  // namespace program
