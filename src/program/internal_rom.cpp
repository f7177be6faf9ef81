#include "program/internal_rom.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "device/flash_commands.h"
#include "host/stdio_file.h"
#include "program/image_file.h"
#include "program/shared_steps.h"

namespace program {

namespace {

constexpr const char* kPreEraseFail = "Error pre-erase command!!";
constexpr const char* kEraseCommandFail = "Erase command fail!!";
constexpr const char* kEraseStatusFail = "Erase command ok,status fail!!";
constexpr const char* kEraseOk = "Erase command ok!!";
constexpr const char* kEraseReadBackFail = "Read Back after Erase fail!!";
constexpr const char* kNotErased = "Not Erase correctly!";
constexpr const char* kAllocateFail = "Allocate read buffer Error!!";
constexpr const char* kPowerCycle = "Please Turn-Off the Power and Turn-On Again!";

bool AllErased(const std::vector<std::uint8_t>& data) {
  for (std::uint8_t b : data)
    if (b != 0xFF) return false;
  return true;
}

bool Allocate(std::vector<std::uint8_t>& buffer, std::size_t size, std::uint8_t fill) {
  try {
    buffer.assign(size, fill);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// Pre-erase, erase, wait and read back: true only when the whole ROM was seen
// to read 0xFF. Each failure has shown its own text.
bool EraseAndCheck(RunWindow& window, const char* path, int flashTypeIndex,
                   std::vector<std::uint8_t>& readBack) {
  if (!device::PreEraseRom(path, flashTypeIndex)) {
    window.ShowStatus(kPreEraseFail);
    return false;
  }
  if (!device::StartRomErase(path)) {
    window.ShowStatus(kEraseCommandFail);
    return false;
  }
  // A ROM still busy reads back its status, not its cells: nothing to check.
  if (!WaitRomReady(path)) {
    window.ShowStatus(kEraseStatusFail);
    return false;
  }
  window.ShowStatus(kEraseOk);
  if (!device::ReadRomWhole(path, 0, readBack.data(), static_cast<std::int32_t>(kRomSize))) {
    window.ShowStatus(kEraseReadBackFail);
    return false;
  }
  if (!AllErased(readBack)) {
    window.ShowStatus(kNotErased);
    return false;
  }
  return true;
}

int EraseOnly(RunWindow& window, const char* path, int flashTypeIndex) {
  window.ShowStatus("Start Erase only!");
  std::vector<std::uint8_t> readBack;
  if (!Allocate(readBack, kRomSize, 0)) {
    window.ShowStatus(kAllocateFail);
    return 0;
  }
  if (!EraseAndCheck(window, path, flashTypeIndex, readBack)) return 0;
  window.ShowStatus("Erase All success!!");
  window.Message(kPowerCycle, kCaptionMessage, MessageIcon::None);
  return 1;
}

int BackupOnly(RunWindow& window, const char* path) {
  std::string fileName = window.options().backupFile;
  if (fileName.empty()) {
    fileName = kDefaultBackupFile;
    window.Message("Default backup firmware as OldFalsh.bak!", kCaptionMessage,
                   MessageIcon::None);
  }
  window.ShowStatus("Backup ...");
  std::vector<std::uint8_t> data;
  if (!Allocate(data, kRomSize, 0)) {
    window.ShowStatus(kAllocateFail);
    return 0;
  }
  if (!device::ReadRomWhole(path, 0, data.data(), static_cast<std::int32_t>(kRomSize))) {
    window.ShowStatus("Read ROM fail!!");
    return 0;
  }
  constexpr const char* kSaveFail = "Read ROM Suceess, but save to file fail!!";
  host::File file = host::OpenFile(fileName.c_str(), "wb");
  if (!file) {
    window.ShowStatus(kSaveFail);
    return 0;
  }
  const bool written = std::fwrite(data.data(), 1, data.size(), file.get()) == data.size();
  // A short write or a failed close leaves a damaged backup.
  if (std::fclose(file.release()) != 0 || !written) {
    window.ShowStatus(kSaveFail);
    return 0;
  }
  window.ShowStatus("Read flash and backup success!");
  return 1;
}

int Program(RunWindow& window, const char* path, int flashTypeIndex) {
  // The image is read and checked before the first command: a file that
  // cannot be programmed must not cost the old firmware.
  LoadedImage loaded = LoadImageFile(window.options().imageFile, kRomSize);
  switch (loaded.result) {
    case ImageLoad::Ok: break;
    case ImageLoad::OpenFailed:
    case ImageLoad::ReadFailed:
      window.ShowStatus("Open New ROM File Error!!");
      return 0;
    case ImageLoad::Empty:
      window.ShowStatus(kImageEmptyStatus);
      return 0;
    case ImageLoad::TooLong:
      window.ShowStatus(kImageTooLongStatus);
      return 0;
    case ImageLoad::NoMemory:
      window.ShowStatus(kAllocateFail);
      return 0;
  }
  // The whole ROM is programmed; 0xFF past the file's end programs nothing.
  std::vector<std::uint8_t> image;
  std::vector<std::uint8_t> readBack;
  if (!Allocate(image, kRomSize, 0xFF) || !Allocate(readBack, kRomSize, 0)) {
    window.ShowStatus(kAllocateFail);
    return 0;
  }
  std::memcpy(image.data(), loaded.bytes.data(), loaded.bytes.size());
  loaded.bytes.clear();

  if (!window.options().a1ChipChecked && !device::SwitchToInternalRom(path)) {
    window.ShowStatus("Can't switch to internal ROM");
    return 0;
  }
  // Programming needs an erase that was seen to succeed; otherwise the old
  // firmware (or what is left of it) stays as it is.
  if (!EraseAndCheck(window, path, flashTypeIndex, readBack)) return 0;

  (void)WaitRomReady(path);
  if (!device::ProgramRom(path, image.data(), kRomSize, flashTypeIndex)) {
    window.ShowStatus("Programming Fail!!");
    return 0;
  }
  (void)WaitRomReady(path);
  if (!device::ReadRomWhole(path, 0, readBack.data(), static_cast<std::int32_t>(kRomSize))) {
    window.ShowStatus("Read Fail!!");
    return 0;
  }
  if (readBack != image) {
    window.ShowStatus("Compare Fail!!");
    return 0;
  }
  window.ShowStatus("Programming & Compare Success!!");
  window.Message(kPowerCycle, kCaptionMessage, MessageIcon::None);
  return 1;
}

}  // namespace

bool WaitRomReady(const char* path) {
  for (int i = 0; i < kRomReadyReads; ++i) {
    std::uint8_t status = 0;
    // A chip that stopped answering is not ready, and asking it 50,000 times
    // more would only hang the window.
    if (!device::ReadRomStatus(path, &status)) return false;
    if (status != 0x01) return true;
  }
  return false;
}

int RunInternalRomParallelFlash(RunWindow& window, const char* path, int flashTypeIndex) {
  const RunOptions options = window.options();
  const bool eraseOnly = window.facts().eraseOnly != 0;
  // These chips act on the erase-only and backup boxes whether or not the
  // panel that holds them is shown.
  if (eraseOnly || options.backupOnlyChecked) {
    if (!options.a1ChipChecked && !device::SwitchToInternalRom(path)) {
      window.ShowStatus("Can't switch to internal ROM");
      return 0;
    }
    return eraseOnly ? EraseOnly(window, path, flashTypeIndex) : BackupOnly(window, path);
  }
  return Program(window, path, flashTypeIndex);
}

}  // namespace program
