// What a flash procedure sees of the main window: the facts identification
// found, the options of the controls, the status line and message boxes.
// The window model implements it; tests use a recording fake.
#pragma once

#include <cstdint>
#include <string>

namespace program {

struct ChipFacts {
  std::uint8_t chipType = 0;
  std::int8_t chipSubCode = 0;
  std::int32_t flashTypeCode = 0;
  std::int32_t amicFlashId = -1;
  std::int32_t atmelFlashId = -1;
  std::uint32_t sstJedecFlag = 0;
  std::int32_t flashSizeKb = 0;
  std::int32_t bridgeVersion = 0;
  std::uint32_t eraseOnly = 0;
  std::uint32_t includeNvram = 1;
};

struct RunOptions {
  bool rdMode = false;            // "RD Version" checked
  bool eraseOnlyChecked = false;  // "Erase All Flash Only "
  bool backupOnlyChecked = false; // "Backup Old Firmware Only"
  bool nvramChecked = false;      // "Include 4K NVRAM"
  bool hddFwChecked = false;      // "TXV929 HDD FW "
  int flashTypeIndex = 0;         // FlashTypeList selection
  std::string imageFile;          // FwFilenameEdit
  std::string backupFile;         // BackupFileEdit
};

enum class MessageIcon { None, Information, Warning, Error };

inline constexpr const char* kCaptionMessage = "Message";
inline constexpr const char* kCaptionError = "Error";

class RunWindow {
 public:
  virtual ~RunWindow() = default;
  virtual const ChipFacts& facts() const = 0;
  virtual RunOptions options() const = 0;
  // Replaces the status line, paints it and lets pending window messages run.
  virtual void ShowStatus(const std::string& text) = 0;
  virtual std::string StatusText() const = 0;
  // A message box with one OK button and no owner.
  virtual void Message(const std::string& text, const std::string& caption, MessageIcon icon) = 0;
  virtual void SetImageSignatureResult(std::int32_t result) = 0;
  // Replaces the status line and repaints only it; no other message runs.
  virtual void PaintStatus(const std::string& text) { ShowStatus(text); }
  // Lets pending window messages run once.
  virtual void ProcessMessages() {}
  // Checks "Include 4K NVRAM" as a click would, so the choice is remembered.
  virtual void CheckIncludeNvram() {}

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
