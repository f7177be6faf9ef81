#include "program/sst_serial.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "device/spi_commands.h"
#include "program/paged_flash.h"
#include "program/shared_steps.h"

namespace program {

namespace {

constexpr const char* kPowerCycle = "Please Turn-Off the Power and Turn-On Again!";
constexpr int kKindSst = 2;
constexpr int kKindMxic = 5;

int ProgramImage(RunWindow& window, const char* path, const PagedImage& image) {
  const ChipFacts& facts = window.facts();
  std::vector<std::uint8_t> page;
  try {
    page.assign(kPage16K, 0);
  } catch (const std::bad_alloc&) {
    window.PaintStatus("Allocate buffers Error!!");
    return 0;
  }
  window.PaintStatus("Erasing");
  if (facts.chipType == 10 && facts.flashTypeCode == kKindSst) (void)device::SpiChipErase(path);
  if (!EraseUnitsBlankChecked(window, path, EraseUnitCount(image.extent))) return 0;

  window.PaintStatus("Programming");
  const PageWriter write = [&](std::uint32_t a, const std::uint8_t* d, std::uint32_t n) {
    PollFlash(path);
    return device::SpiProgramImage(path, a, d, n, facts.flashTypeCode,
                                   static_cast<int>(facts.sstJedecFlag)) != 0;
  };
  const std::vector<std::uint8_t>& file = image.bytes;
  std::uint32_t p = 0;
  for (std::size_t offset = 0; offset < file.size(); offset += kPage16K) {
    const std::size_t n = std::min<std::size_t>(kPage16K, file.size() - offset);
    std::fill(page.begin(), page.end(), 0);
    std::memcpy(page.data(), file.data() + offset, n);
    if (!ProgramAndVerify(window, path, write, p, page.data(), kPage16K,
                          [&] { window.ProcessMessages(); }))
      return 0;
    window.PaintStatus(window.StatusText() + ".");
    p += kPage16K;
  }
  window.PaintStatus("Programming Success!!");
  window.Message(kPowerCycle, kCaptionMessage, MessageIcon::None);
  return 1;
}

}  // namespace

int RunSstSerialFlash(RunWindow& window, const char* path) {
  // This update never keeps the NVRAM: the box says so from now on.
  window.CheckIncludeNvram();
  const bool eraseOnly = IsEraseOnlyRun(window);
  const bool backupOnly = !eraseOnly && IsBackupOnlyRun(window);
  PagedImage image;
  if (!eraseOnly && !backupOnly &&
      !LoadPagedImage(window, window.options().imageFile, 0, FlashCapacity(window), image))
    return 0;

  if (window.facts().flashTypeCode == kKindMxic) (void)device::UnprotectFlash(path);
  if (eraseOnly) {
    if (!EraseWholeFlash(window, path)) return 0;
    window.Message(kPowerCycle, kCaptionMessage, MessageIcon::None);
    return 1;
  }
  if (backupOnly) return BackupFlashToFile(window, path, 0) ? 1 : 0;
  return ProgramImage(window, path, image);
}

}  // namespace program
