#include "procedures/sst_serial.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "chips/flash_kind.h"
#include "scsi/spi_commands.h"
#include "engine/paged_flash.h"
#include "engine/procedure_table.h"
#include "engine/shared_steps.h"

namespace program {

namespace {


int ProgramImage(RunWindow& window, const char* path, const PagedImage& image) {
  const ChipState& facts = window.facts();
  std::vector<std::uint8_t> page;
  if (!SizeBuffer(window, page, kPage16K, kAllocateBuffersError)) return kProcedureFailed;
  window.RepaintStatus(kProgressErasing);
  // The TXR847 erases its SST part whole before the units.
  if (TypeOf(facts) == ChipType::Txr847 && device::IsKind(facts.flashTypeCode, device::FlashKind::Sst))
    (void)device::SpiChipErase(path);
  if (!EraseUnitsBlankChecked(window, path, EraseUnitCount(image.extent))) return kProcedureFailed;

  window.RepaintStatus(kProgressProgramming);
  const PageWriter write = [&](std::uint32_t a, const std::uint8_t* d, std::uint32_t n) {
    PollFlash(path);
    return device::SpiProgramImage(path, a, d, n, facts.flashTypeCode,
                                   static_cast<int>(facts.sstJedecFlag))
        .ok();
  };
  const std::vector<std::uint8_t>& file = image.bytes;
  std::uint32_t p = 0;
  for (std::size_t offset = 0; offset < file.size(); offset += kPage16K) {
    const std::size_t n = std::min<std::size_t>(kPage16K, file.size() - offset);
    std::fill(page.begin(), page.end(), 0);
    std::memcpy(page.data(), file.data() + offset, n);
    if (!ProgramAndVerify(window, path, write, p, page.data(), kPage16K,
                          [&] { window.ProcessMessages(); }))
      return kProcedureFailed;
    window.RepaintStatus(window.StatusText() + ".");
    p += kPage16K;
  }
  window.RepaintStatus(kProgrammingSuccess);
  return kProcedureSucceeded;
}

// Every mode first checks "Include 4K NVRAM" (this update never keeps it);
// the image is read next, and then an MXIC part is unprotected.
void Unprotect(RunWindow& window, const char* path) {
  if (device::IsKind(window.facts().flashTypeCode, device::FlashKind::Mxic))
    (void)device::UnprotectFlash(path);
}

}  // namespace


int ProgramSstSerialFlash(RunWindow& window, const char* path) {
  window.CheckIncludeNvram();
  PagedImage image;
  if (!LoadPagedImage(window, window.options().imageFile, 0, FlashCapacity(window), image))
    return kProcedureFailed;
  Unprotect(window, path);
  return ProgramImage(window, path, image);
}

int EraseSstSerialFlash(RunWindow& window, const char* path) {
  window.CheckIncludeNvram();
  Unprotect(window, path);
  return VerbResult(EraseWholeFlash(window, path));
}

int BackupSstSerialFlash(RunWindow& window, const char* path) {
  window.CheckIncludeNvram();
  Unprotect(window, path);
  return VerbResult(BackupPagedFlash(window, path, 0));
}

}  // namespace program
