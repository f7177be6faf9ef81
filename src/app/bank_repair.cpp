// The firmware bank repair started by UpdateBtnCheck for chip types 12 and
// 16. It sends commands and lets the window process messages while it
// works, so it runs as Run does: Run disabled and the control events held
// back until it ends, then Run's enabled state given back.
#include <string>

#include "app/main_window.h"
#include "identify/catalogue.h"
#include "program/bank_recovery.h"
#include "program/settings.h"

namespace app {

namespace {

// The window as the repair sees it: the chip facts of the selection being
// evaluated and the status line.
class RepairWindow : public program::RunWindow {
 public:
  RepairWindow(MainWindow& w, const program::ChipFacts& facts) : w_(w), facts_(facts) {}
  const program::ChipFacts& facts() const override { return facts_; }
  program::RunOptions options() const override { return {}; }
  void ShowStatus(const std::string& text) override { w_.ShowStatus(text, true); }
  std::string StatusText() const override { return w_.StatusEdit.text(); }
  void Message(const std::string& text, const std::string& caption,
               program::MessageIcon) override {
    w_.Message(text, caption);
  }
  void SetImageSignatureResult(std::int32_t) override {}

 private:
  MainWindow& w_;
  program::ChipFacts facts_;
};

}  // namespace

void MainWindow::RepairFirmwareBanks(int selected, int flashTypeCodeNow,
                                     std::uint32_t flashSizeKbNow, int eraseGeometryRow) {
  // Never inside a run or another repair (events processed by either).
  if (running_ || selected < 0 || selected >= device::kMaxDevices) return;
  device::DeviceRecord& record = devices[selected];
  program::ChipFacts facts;
  facts.chipType = chipType;
  facts.chipSubCode = chipSubCode;
  facts.flashTypeCode = flashTypeCodeNow;
  facts.flashSizeKb = static_cast<std::int32_t>(flashSizeKbNow);
  if (facts.flashSizeKb < 128 || record.recoveryChecked == 1) return;
  // The repair's erases follow the flash part just identified.
  if (eraseGeometryRow >= 0) {
    const identify::FlashTypeRow& row = identify::FlashTypeRowFor(eraseGeometryRow);
    program::Geometry().eraseBlockSize = row.eraseBlockSize;
    program::Geometry().eraseSectorSize = row.eraseSectorSize;
  }
  const std::string path = record.path;
  const bool runWasEnabled = UpdateBtn.enabled();
  UpdateBtn.SetEnabled(false);
  running_ = true;
  struct RepairEnds {
    MainWindow& w;
    bool enable;
    ~RepairEnds() {
      w.running_ = false;
      w.UpdateBtn.SetEnabled(enable);
    }
  } ends{*this, runWasEnabled};
  RepairWindow window(*this, facts);
  (void)program::RecoverFirmwareBanks(window, path.c_str(), chipType, record.recoveryChecked);
}

}  // namespace app
