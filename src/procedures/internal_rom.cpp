#include "procedures/internal_rom.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "scsi/flash_commands.h"
#include "chips/flash_busy.h"
#include "host/stdio_file.h"
#include "engine/guarded_steps.h"
#include "engine/image_file.h"
#include "engine/shared_steps.h"

namespace program {

namespace {


// Pre-erase, erase, wait and read back: true only when the whole ROM was seen
// to read 0xFF. Each failure has shown its own text.
bool EraseAndCheck(RunWindow& window, const char* path, int flashTypeIndex,
                   std::vector<std::uint8_t>& readBack) {
  if (device::PreEraseRom(path, flashTypeIndex).failed()) {
    window.RepaintStatus(kPreEraseFail);
    return false;
  }
  if (device::StartRomErase(path).failed()) {
    window.RepaintStatus(kEraseCommandFail);
    return false;
  }
  // A ROM still busy reads back its status, not its cells: nothing to check.
  if (!WaitRomReady(window, path)) {
    window.RepaintStatus(kEraseStatusFail);
    return false;
  }
  window.RepaintStatus(kEraseOk);
  if (device::ReadRomWhole(path, 0, readBack.data(), static_cast<std::int32_t>(kRomSize))
          .failed()) {
    window.RepaintStatus(kEraseReadBackFail);
    return false;
  }
  return RequireBlank(window, readBack.data(), readBack.size(),
                      {kNotErased, StatusPaint::Repaint});
}

int EraseOnly(RunWindow& window, const char* path, int flashTypeIndex) {
  window.RepaintStatus(kStartEraseOnly);
  std::vector<std::uint8_t> readBack;
  if (!SizeBuffer(window, readBack, kRomSize, kAllocateReadBufferError)) return kProcedureFailed;
  if (!EraseAndCheck(window, path, flashTypeIndex, readBack)) return kProcedureFailed;
  window.RepaintStatus(kEraseAllRomSuccess);
  return kProcedureSucceeded;
}

int BackupOnly(RunWindow& window, const char* path) {
  const FlashReader read = [path](std::uint8_t* into, std::uint32_t length) {
    return device::ReadRomWhole(path, 0, into, static_cast<std::int32_t>(length)).ok();
  };
  return VerbResult(BackupFlash(window, {read, kRomSize, 0, 0, kRomSize, kDefaultBackupFile,
                                         kReadRomFail, kReadRomSaveFail, StatusPaint::Repaint}));
}

int Program(RunWindow& window, const char* path, int flashTypeIndex) {
  // The image is read and checked before the first command: a file that
  // cannot be programmed must not cost the old firmware.
  std::vector<std::uint8_t> image;
  if (!LoadImageFile(window, window.options().imageFile,
                     {kRomSize, kOpenNewRomFileError, kAllocateReadBufferError}, image))
    return kProcedureFailed;
  // The whole ROM is programmed; 0xFF past the file's end programs nothing.
  std::vector<std::uint8_t> readBack;
  try {
    image.resize(kRomSize, 0xFF);
  } catch (const std::bad_alloc&) {
    window.RepaintStatus(kAllocateReadBufferError);
    return kProcedureFailed;
  }
  if (!SizeBuffer(window, readBack, kRomSize, kAllocateReadBufferError)) return kProcedureFailed;

  if (!window.options().a1ChipChecked && device::SwitchToInternalRom(path).failed()) {
    window.RepaintStatus(kInternalRomSwitchFail);
    return kProcedureFailed;
  }
  // Programming needs an erase that was seen to succeed; otherwise the old
  // firmware (or what is left of it) stays as it is.
  if (!EraseAndCheck(window, path, flashTypeIndex, readBack)) return kProcedureFailed;

  (void)WaitRomReady(window, path);
  if (device::ProgramRom(path, image.data(), kRomSize, flashTypeIndex).failed()) {
    window.RepaintStatus(kProgrammingFail);
    return kProcedureFailed;
  }
  (void)WaitRomReady(window, path);
  if (device::ReadRomWhole(path, 0, readBack.data(), static_cast<std::int32_t>(kRomSize))
          .failed()) {
    window.RepaintStatus(kReadFail);
    return kProcedureFailed;
  }
  if (!RequireEqual(window, image.data(), readBack.data(), kRomSize,
                    {kCompareFail, StatusPaint::Repaint}))
    return kProcedureFailed;
  window.RepaintStatus(kProgrammingCompareSuccess);
  return kProcedureSucceeded;
}

}  // namespace

bool WaitRomReady(RunWindow& window, const char* path) {
  // Timed, not counted: a count of back-to-back reads lasts as long as the
  // machine makes it, which on a fast one is shorter than a chip erase.
  return device::WaitRomReadyWithin(window.clock(), path, device::RomReadyLimitMs());
}

namespace {
// The erase-only and backup runs switch to the internal ROM first (an A1
// chip is there already).
bool SwitchedToRom(RunWindow& window, const char* path) {
  if (window.options().a1ChipChecked || device::SwitchToInternalRom(path).ok()) return true;
  window.RepaintStatus(kInternalRomSwitchFail);
  return false;
}
}  // namespace

// The part chosen in the flash type list travels with the pre-erase and
// program commands.
int ProgramInternalRomFlash(RunWindow& window, const char* path) {
  return Program(window, path, window.options().flashTypeIndex);
}

int EraseInternalRomFlash(RunWindow& window, const char* path) {
  if (!SwitchedToRom(window, path)) return kProcedureFailed;
  return EraseOnly(window, path, window.options().flashTypeIndex);
}

int BackupInternalRomFlash(RunWindow& window, const char* path) {
  return SwitchedToRom(window, path) ? BackupOnly(window, path) : kProcedureFailed;
}

}  // namespace program
