#include "window/window_run.h"

namespace app {

namespace {

ui::Icon ToUiIcon(program::MessageIcon icon) {
  switch (icon) {
    case program::MessageIcon::None: return ui::Icon::None;
    case program::MessageIcon::Information: return ui::Icon::Information;
    case program::MessageIcon::Warning: return ui::Icon::Warning;
    case program::MessageIcon::Error: return ui::Icon::Error;
  }
  return ui::Icon::None;
}

}  // namespace

ProcedureScope::ProcedureScope(MainWindow& window) : window_(window), held_(!window.running_) {
  if (held_) window_.running_ = true;
}

ProcedureScope::~ProcedureScope() {
  if (held_) window_.running_ = false;
}

WindowRun::WindowRun(MainWindow& w) : w_(w), facts_(w.chip) {
  options_.rdMode = w.RdCheckBox.checked();
  options_.eraseOnlyChecked = w.EraseOnlyCheck.checked();
  options_.backupOnlyChecked = w.BackupFWCheckBox.checked();
  options_.nvramChecked = w.NVRAMCheck.checked();
  options_.hddFwChecked = w.TXV929HDDFwChk.checked();
  options_.a1ChipChecked = w.A1ChipCheck.checked();
  options_.flashTypeIndex = w.FlashTypeList.itemIndex();
  options_.imageFile = w.FwFilenameEdit.text();
  if (w.checkedImage && w.checkedImage->fileName == options_.imageFile)
    options_.checkedImage = w.checkedImage;
  options_.backupFile = w.BackupFileEdit.text();
}

void WindowRun::ShowStatus(const std::string& text) { w_.ShowStatus(text, true); }
void WindowRun::ProcessMessages() { w_.ProcessMessages(); }

void WindowRun::RepaintStatus(const std::string& text) { w_.ShowStatus(text, false); }
std::string WindowRun::StatusText() const { return w_.StatusEdit.text(); }

void WindowRun::Message(const std::string& text, const std::string& caption,
                        program::MessageIcon icon) {
  w_.Message(text, caption, ToUiIcon(icon));
}

void WindowRun::SetImageSignatureResult(std::int32_t result) { w_.imageSignatureResult = result; }

void WindowRun::CheckIncludeNvram() {
  // The box's click handler waits while a procedure runs (see ProcedureScope),
  // so the flag it would set is recorded here as well.
  w_.NVRAMCheck.SetChecked(true);
  w_.chip.includeNvram = 1;
  facts_.includeNvram = 1;
  options_.nvramChecked = true;
}

}  // namespace app
