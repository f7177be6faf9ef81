#include "procedures/hdd_firmware.h"

#include <cstring>
#include <vector>

#include "scsi/chip_commands.h"
#include "scsi/disk_commands.h"
#include "engine/disk_area_steps.h"
#include "engine/procedure_table.h"
#include "engine/shared_steps.h"

namespace program {

namespace {

constexpr PieceTexts kHddTexts = {kHddWrite16Fail,
                                  kHddRead16Fail,
                                  kHddCompare16Fail};

// How much of the area a run moves: all of it with the NVRAM, else the bank.
std::uint32_t AreaExtent(const RunWindow& window, int chipType) {
  return window.options().nvramChecked ? kHddAreaSize : HddBankEnd(chipType);
}

// Asks the disk where the area lies; refuses, with the status text, an area
// that would not lie wholly in the disk's tail.
bool LocateArea(RunWindow& window, const char* path, DiskArea& area) {
  const std::uint32_t x = device::GetLogicalSectorSize(path);
  const std::uint64_t c = device::GetDiskCapacity(path);
  const std::uint64_t m = device::GetLastLba(path);
  const std::optional<std::uint64_t> base = HddFirmwareBase(c, m, x);
  area.path = path;
  area.sectorSize = x;
  area.start = base.value_or(0);
  area.diskEnd = DiskEnd(c, m);
  area.ata = c != 0;
  if (!base || !AreaFits(area, kHddAreaSize)) {
    window.ShowStatus(kAreaRefused);
    return false;
  }
  return true;
}

}  // namespace

std::uint32_t Crc32OfWords(const std::uint8_t* data, std::size_t length, bool bigEndian) {
  std::uint32_t crc = kCrc32Start;
  for (std::size_t i = 0; i + 4 <= length; i += 4) {
    const std::uint8_t* p = data + i;
    const std::uint32_t word =
        bigEndian ? static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
                        static_cast<std::uint32_t>(p[2]) << 8 | p[3]
                  : static_cast<std::uint32_t>(p[3]) << 24 | static_cast<std::uint32_t>(p[2]) << 16 |
                        static_cast<std::uint32_t>(p[1]) << 8 | p[0];
    crc ^= word;
    for (int bit = 0; bit < 32; ++bit)
      crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return crc;
}

std::uint32_t HddBankEnd(int chipType) {
  const std::uint32_t end = device::ChipRowFor(chipType).bankEnd;
  return end != 0 ? end : 0xC000;
}

std::optional<std::uint64_t> HddFirmwareBase(std::uint64_t identifyCapacity,
                                             std::uint64_t lastLba, std::uint32_t sectorSize) {
  if (sectorSize == 0 || sectorSize > 0x100000) return std::nullopt;
  const std::uint64_t perMb = 0x100000 / sectorSize;
  const std::uint64_t twoMb = 0x200000 / sectorSize;
  std::uint64_t top = 0;
  if (identifyCapacity != 0) {
    top = (identifyCapacity - 1) / perMb * perMb;
  } else {
    top = lastLba / perMb * perMb;
  }
  // A disk smaller than the area needs would wrap below LBA 0.
  if (top < twoMb) return std::nullopt;
  return top - twoMb;
}

bool EraseHddFirmwareArea(RunWindow& window, const char* path, int chipType) {
  const std::uint32_t extent = AreaExtent(window, chipType);
  std::vector<std::uint8_t> zeros;
  std::vector<std::uint8_t> readBack;
  if (!SizeBuffers(window, zeros, readBack, extent, kAllocateReadBufferError))
    return false;
  DiskArea area;
  if (!LocateArea(window, path, area)) return false;
  // The write alone proves nothing: the read-back decides.
  if (!WriteVerifyPiece(window, area, area.start, zeros.data(), extent, readBack, kHddTexts))
    return false;
  window.ShowStatus(kEraseHddSuccess);
  return true;
}

bool BackupHddFirmwareArea(RunWindow& window, const char* path, int chipType) {
  // The area is located when the shared step reads: after its notice and
  // "Backup ...", and a refused area is a failed read that writes no file.
  const FlashReader readArea = [&window, path](std::uint8_t* buffer, std::uint32_t length) {
    DiskArea area;
    return LocateArea(window, path, area) && ReadAreaSectors(area, area.start, buffer, length);
  };
  return BackupFlashToFile(window, readArea, AreaExtent(window, chipType), 0,
                           kDefaultBackupFileCapitalF);
}

bool ProgramHddFirmwareArea(RunWindow& window, const char* path, int chipType) {
  std::vector<std::uint8_t> image;
  if (!LoadDiskImage(window, kHddAreaSize, image)) return false;
  std::vector<std::uint8_t> readBack;
  if (!SizeBuffers(window, image, readBack, kHddAreaSize, kAllocateReadBufferError))
    return false;

  // The stamp replaces whatever the file held in the bank's last four bytes.
  const std::uint32_t bankEnd = HddBankEnd(chipType);
  const std::uint32_t crc = Crc32OfWords(image.data(), bankEnd - 4, false);
  for (int i = 0; i < 4; ++i) image[bankEnd - 4 + i] = static_cast<std::uint8_t>(crc >> (8 * i));

  window.RepaintStatus(kProgressProgramming);
  DiskArea area;
  if (!LocateArea(window, path, area)) return false;
  // Without the NVRAM only the bank goes out; the area's NVRAM part stays.
  const std::uint32_t piece = AreaExtent(window, chipType);
  if (!WriteVerifyPiece(window, area, area.start, image.data(), piece, readBack, kHddTexts))
    return false;
  window.ShowStatus(kProgrammingSuccess);
  return true;
}

namespace {
int ResetAfter(const char* path, bool done) {
  if (!done) return kProcedureFailed;
  (void)device::ResetChip(path);  // the chip leaves the bus: the answer may not come
  return kProcedureSucceeded;
}
}  // namespace

int ProgramHddFirmware(RunWindow& window, const char* path) {
  return ResetAfter(path, ProgramHddFirmwareArea(window, path, window.facts().chipType));
}
int EraseHddFirmware(RunWindow& window, const char* path) {
  return ResetAfter(path, EraseHddFirmwareArea(window, path, window.facts().chipType));
}
int BackupHddFirmware(RunWindow& window, const char* path) {
  return VerbResult(BackupHddFirmwareArea(window, path, window.facts().chipType));
}

}  // namespace program
