// What a flash procedure sees of the main window: the facts identification
// found, the options of the controls, the status line and message boxes.
// The window model implements it; tests use a recording fake.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/host.h"
#include "scsi/chip_state.h"
#include "identify/image_fingerprint.h"
#include "engine/settings.h"
#include "texts.h"

namespace program {

using device::ChipState;
using device::ChipType;

struct RunOptions {
  bool rdMode = false;            // "RD Version" checked
  bool eraseOnlyChecked = false;  // "Erase All Flash Only "
  bool backupOnlyChecked = false; // "Backup Old Firmware Only"
  bool nvramChecked = false;      // "Include 4K NVRAM"
  bool hddFwChecked = false;      // "TXV929 HDD FW "
  bool a1ChipChecked = false;     // "A1 Chip"
  int flashTypeIndex = 0;         // FlashTypeList selection
  std::string imageFile;          // FwFilenameEdit
  // imageFile as the window's checks read it; a run loads it only while it
  // reads the same. None: no check read it (loaded as it is).
  std::optional<identify::ImageFingerprint> checkedImage;
  std::string backupFile;         // BackupFileEdit
};

enum class MessageIcon { None, Information, Warning, Error };

class RunWindow {
 public:
  virtual ~RunWindow() = default;
  // The chip as identification left it when the run began.
  virtual const ChipState& facts() const = 0;
  // The controls' options when the run began.
  virtual RunOptions options() const = 0;
  // Replaces the status line, paints it and lets pending window messages run.
  virtual void ShowStatus(const std::string& text) = 0;
  // Replaces the status line and paints it; pending messages wait. For steps
  // where an event run in between could disturb the device.
  virtual void RepaintStatus(const std::string& text) = 0;
  virtual std::string StatusText() const = 0;
  // A message box with one OK button and no owner.
  virtual void Message(const std::string& text, const std::string& caption, MessageIcon icon) = 0;
  virtual void SetImageSignatureResult(std::int32_t result) = 0;
  // Lets pending window messages run once.
  virtual void ProcessMessages() {}
  // Checks "Include 4K NVRAM" as a click on it would, so the window records
  // includeNvram; facts() and options() of this run follow.
  virtual void CheckIncludeNvram() = 0;

  // The transfer settings and erase geometry a run reads and sets. The window
  // owns them (its option controls and identification set them and they
  // outlive the run); a run reaches them only through the window it is handed.
  virtual TransferSettings& transfer() const = 0;
  virtual EraseGeometry& geometry() const = 0;

  // The host pieces a run waits and traces on, as the run's owner supplies
  // them: the engine never reaches for a process-wide host itself.
  virtual host::Clock& clock() const = 0;
  virtual host::Trace& trace() const = 0;

  void AppendStatus(const std::string& piece) { ShowStatus(StatusText() + piece); }
};

// The run modes every procedure decides from the options.
inline bool IsEraseOnlyRun(const RunWindow& w) {
  return w.options().rdMode && w.facts().eraseOnly != 0;
}
inline bool IsBackupOnlyRun(const RunWindow& w) {
  const RunOptions o = w.options();
  return o.rdMode && o.backupOnlyChecked && w.facts().eraseOnly == 0;
}

}  // namespace program
