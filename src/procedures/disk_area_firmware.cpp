#include "procedures/disk_area_firmware.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "scsi/disk_commands.h"
#include "engine/disk_area_steps.h"
#include "engine/procedure_table.h"
#include "engine/settings.h"
#include "engine/shared_steps.h"

namespace program {

namespace {


// What every run asks the disk and the chip first.
struct AreaFacts {
  DiskArea area;
  std::uint32_t reference = 0;  // R
  bool high = false;            // the capacity reaches past 2^32 sectors
};

AreaFacts Gather(const char* path, int chipType) {
  AreaFacts f;
  const std::uint32_t x = device::GetLogicalSectorSize(path);
  f.reference = device::GetHddFirmwareLba(path, x, chipType);
  const std::uint64_t capacity = device::GetDiskCapacity(path);
  const bool paramFlag = device::CheckParamByte17(path) == 1;
  const std::uint64_t lastLba = device::GetLastLba(path);
  const auto h = static_cast<std::uint32_t>(capacity >> 32);
  f.high = h != 0;
  f.area.path = path;
  f.area.sectorSize = x;
  f.area.start = DiskAreaStart(f.reference, h, paramFlag);
  f.area.diskEnd = DiskEnd(capacity, lastLba);
  f.area.ata = true;
  return f;
}

bool operator==(const AreaFacts& a, const AreaFacts& b) {
  return a.reference == b.reference && a.high == b.high && a.area.sectorSize == b.area.sectorSize &&
         a.area.start == b.area.start && a.area.diskEnd == b.area.diskEnd;
}

// The queries decide where the firmware lands and which tag it carries, and
// each failed query silently answers with a fallback: one that failed once
// would move the area or change the tag. So they are asked twice and must
// agree before anything is written.
bool GatherSettled(RunWindow& window, const char* path, int chipType, AreaFacts& f) {
  f = Gather(path, chipType);
  if (Gather(path, chipType) == f) return true;
  window.ShowStatus(kAreaUnsettled);
  return false;
}

PieceTexts ProgramTexts(const AreaFacts& f) {
  if (f.high)
    return {kHddWrite16Fail, kHddRead16Fail,
            kHddCompare16Fail};
  return {kHddWriteFail, kHddReadFail, kHddCompare16Fail};
}

bool Refuse(RunWindow& window) {
  window.ShowStatus(kAreaRefused);
  return false;
}

}  // namespace

std::uint64_t DiskAreaStart(std::uint32_t reference, std::uint32_t capacityHigh, bool paramFlag) {
  if (capacityHigh != 0) {
    std::uint64_t a = (static_cast<std::uint64_t>(capacityHigh) << 32) + reference;
    if (!paramFlag) a -= 1;
    return a / 256 * 256 - 256;
  }
  std::uint32_t a = reference;
  if (!paramFlag) a -= 1;
  a = (a & ~0xFFu) - 256u;
  return a;
}

void PutAreaTag(std::uint8_t* image, std::uint32_t reference) {
  std::uint8_t* tag = image + kAreaTagOffset;
  tag[0] = 0x55;
  for (int i = 0; i < 4; ++i) tag[1 + i] = static_cast<std::uint8_t>(reference >> (24 - 8 * i));
  tag[5] = 0xAA;
}

bool EraseDiskFirmwareArea(RunWindow& window, const char* path, int chipType) {
  std::vector<std::uint8_t> w;
  std::vector<std::uint8_t> b;
  if (!SizeBuffers(window, w, b, kDiskPiece, kAllocateReadBufferError))
    return false;
  AreaFacts f;
  if (!GatherSettled(window, path, chipType, f)) return false;
  const bool signedArea = device::CheckHddAreaSignature(path, chipType) == 1;
  if (!AreaFits(f.area, kDiskPiece)) return Refuse(window);
  PieceTexts texts = ProgramTexts(f);
  if (signedArea) {
    // The tag is kept; a sector that cannot be read, or reads differently
    // twice, has no tag to keep.
    const auto read = [&](std::uint8_t* into) {
      return ReadAreaSectors(f.area, f.area.start, into, f.area.sectorSize);
    };
    if (!ReadTwiceAgreeing(read, b.data(), w.data(), f.area.sectorSize)) {
      window.ShowStatus(texts.readFailed);
      return false;
    }
    std::fill(w.begin(), w.end(), 0x00);  // held the second read
    std::memcpy(w.data() + kAreaTagOffset, b.data() + kAreaTagOffset, kAreaTagSize);
  }
  texts.differs = kHddCompareFail;
  if (!WriteVerifyPiece(window, f.area, f.area.start, w.data(), kDiskPiece, b, texts))
    return false;
  window.ShowStatus(kEraseHddSuccess);
  return true;
}

bool BackupDiskFirmwareArea(RunWindow& window, const char* path, int chipType) {
  const std::uint32_t size = window.transfer().flashSize;
  // An unsettled or refused area is a failed read: the shared step then
  // writes no file.
  const FlashReader readArea = [&](std::uint8_t* buffer, std::uint32_t length) {
    AreaFacts f;
    if (!GatherSettled(window, path, chipType, f)) return false;
    if (!AreaFits(f.area, length)) return Refuse(window);
    return ReadAreaSectors(f.area, f.area.start, buffer, length);
  };
  return BackupFlashToFile(window, readArea, size, 0, kDefaultBackupFileCapitalF);
}

bool ProgramDiskFirmwareArea(RunWindow& window, const char* path, int chipType) {
  std::vector<std::uint8_t> image;
  if (!LoadDiskImage(window, kDiskTailBytes, image)) return false;
  const std::size_t padded = (image.size() + 255) / 256 * 256;
  std::vector<std::uint8_t> w;
  std::vector<std::uint8_t> b;
  if (!SizeBuffer(window, image, padded, kAllocateReadBufferError) ||
      !SizeBuffers(window, w, b, kDiskPiece, kAllocateReadBufferError))
    return false;

  AreaFacts f;
  if (!GatherSettled(window, path, chipType, f)) return false;
  window.ShowStatus(kProgressProgramming);
  PutAreaTag(image.data(), f.reference);
  const std::size_t pieces = (padded + kDiskPiece - 1) / kDiskPiece;
  if (!AreaFits(f.area, static_cast<std::uint64_t>(pieces) * kDiskPiece)) return Refuse(window);

  const PieceTexts texts = ProgramTexts(f);
  std::uint64_t lba = f.area.start;
  for (std::size_t i = 0; i < pieces; ++i) {
    const std::size_t from = i * kDiskPiece;
    const std::size_t n = std::min<std::size_t>(kDiskPiece, padded - from);
    std::fill(w.begin(), w.end(), 0x00);
    std::memcpy(w.data(), image.data() + from, n);
    if (!WriteVerifyPiece(window, f.area, lba, w.data(), kDiskPiece, b, texts)) return false;
    lba += kDiskPiece / f.area.sectorSize;
  }
  window.ShowStatus(kProgrammingSuccess);
  return true;
}

int ProgramDiskAreaFirmware(RunWindow& window, const char* path) {
  return VerbResult(ProgramDiskFirmwareArea(window, path, window.facts().chipType));
}
int EraseDiskAreaFirmware(RunWindow& window, const char* path) {
  return VerbResult(EraseDiskFirmwareArea(window, path, window.facts().chipType));
}
int BackupDiskAreaFirmware(RunWindow& window, const char* path) {
  return VerbResult(BackupDiskFirmwareArea(window, path, window.facts().chipType));
}

}  // namespace program
