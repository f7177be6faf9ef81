// UpdateBtnClick, the Run button: picks the procedure for the selected chip
// by the dispatch table and runs it on the window's thread.
#include <cstring>
#include <string>

#include "app/main_window.h"
#include "device/chip_commands.h"
#include "identify/image_checks.h"
#include "program/dispatch.h"
#include "program/shared_steps.h"

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

// What a procedure sees of the window. The facts and options are taken when
// Run is pressed: nothing the user does while the run pumps messages changes
// them for this run.
class WindowRun : public program::RunWindow {
 public:
  explicit WindowRun(MainWindow& w) : w_(w) {
    facts_.chipType = w.chipType;
    facts_.chipSubCode = w.chipSubCode;
    facts_.flashTypeCode = w.flashTypeCode;
    facts_.amicFlashId = w.amicFlashId;
    facts_.atmelFlashId = w.atmelFlashId;
    facts_.sstJedecFlag = w.sstJedecFlag;
    facts_.flashSizeKb = w.flashSizeKb;
    facts_.bridgeVersion = w.bridgeVersion;
    facts_.eraseOnly = w.eraseOnly;
    facts_.includeNvram = w.includeNvram;
    options_.rdMode = w.RdCheckBox.checked();
    options_.eraseOnlyChecked = w.EraseOnlyCheck.checked();
    options_.backupOnlyChecked = w.BackupFWCheckBox.checked();
    options_.nvramChecked = w.NVRAMCheck.checked();
    options_.hddFwChecked = w.TXV929HDDFwChk.checked();
    options_.flashTypeIndex = w.FlashTypeList.itemIndex();
    options_.imageFile = w.FwFilenameEdit.text();
    options_.backupFile = w.BackupFileEdit.text();
  }

  const program::ChipFacts& facts() const override { return facts_; }
  program::RunOptions options() const override { return options_; }
  void ShowStatus(const std::string& text) override { w_.ShowStatus(text, true); }
  std::string StatusText() const override { return w_.StatusEdit.text(); }
  void Message(const std::string& text, const std::string& caption,
               program::MessageIcon icon) override {
    w_.Message(text, caption, ToUiIcon(icon));
  }
  void SetImageSignatureResult(std::int32_t result) override { w_.imageSignatureResult = result; }
  void PaintStatus(const std::string& text) override { w_.ShowStatus(text, false); }
  void ProcessMessages() override { w_.ProcessMessages(); }
  // The box's handler waits for the run's end like any click during a run;
  // this run keeps the options it started with.
  void CheckIncludeNvram() override { w_.NVRAMCheck.SetChecked(true); }

 private:
  MainWindow& w_;
  program::ChipFacts facts_;
  program::RunOptions options_;
};

}  // namespace

void MainWindow::UpdateBtnClick(Control&) {
  if (running_) return;
  UpdateBtn.SetEnabled(false);
  program::DebugTrace("Update Btn Press\n");

  const int index = DeviceList.itemIndex();
  // Entry k is record k, companion entries included.
  const int count = recordCount < device::kMaxDevices ? recordCount : device::kMaxDevices;
  // Without a selected entry there is no record to address.
  if (index < 0 || index >= count) {
    lastProcedure = program::Procedure::None;
    StatusEdit.SetText("");
    ws_.Repaint(StatusEdit.name());
    UpdateBtn.SetEnabled(true);
    return;
  }
  // The run keeps its own copy of the path: nothing rewrites it under the run.
  const std::string path = devices[index].path;
  StatusEdit.SetText("");
  ws_.Repaint(StatusEdit.name());

  running_ = true;
  bool enableRun = true;
  struct RunEnds {
    MainWindow& w;
    bool& enable;
    ~RunEnds() {
      w.running_ = false;
      if (enable) w.UpdateBtn.SetEnabled(true);
    }
  } runEnds{*this, enableRun};

  WindowRun run(*this);
  program::DispatchChecks checks;
  checks.imageFitsFlash = [&] {
    const identify::CheckResult fits = identify::CheckImageFitsFlash(
        run.options().imageFile, static_cast<std::uint32_t>(flashSizeKb));
    if (fits.openFailed)
      Message(identify::kOpenFirmwareFileError, program::kCaptionError, ui::Icon::None);
    return fits.accepted;
  };
  checks.chipMode505E = [&] { return device::CheckChipMode505E(path.c_str()) == 1; };
  lastProcedure = program::SelectProcedure(run.facts(), run.options(), path.c_str(), checks);
  enableRun = program::RunProcedure(lastProcedure, run, path.c_str());
}

}  // namespace app
