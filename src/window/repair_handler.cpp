// The firmware bank repair started by UpdateBtnCheck for chip types 12 and
// 16. It sends commands and lets the window process messages while it works,
// so it runs as Run does: inside a procedure scope, with Run disabled, and
// Run's enabled state given back when it ends.
#include "window/main_window.h"
#include "window/window_run.h"
#include "host/host.h"
#include "chips/names.h"
#include "engine/bank_recovery.h"

namespace app {

void MainWindow::RepairFirmwareBanks(int selected, int eraseGeometryRow) {
  if (selected < 0 || selected >= device::kMaxDevices) return;
  device::DeviceRecord& record = devices[selected];
  if (chip.flashSizeKb < 128 || record.recoveryChecked == 1 ||
      !device::FactsRead(chip, device::kFactFlashSize | device::kFactFlashPart))
    return;
  // Never inside a run or another repair (events processed by either).
  const ProcedureScope scope(*this);
  if (!scope.held()) return;
  // The repair's erases follow the flash part just identified.
  if (eraseGeometryRow >= 0) {
    const identify::FlashTypeRow& row = identify::FlashTypeRowFor(eraseGeometryRow);
    eraseGeometry.eraseBlockSize = row.eraseBlockSize;
    eraseGeometry.eraseSectorSize = row.eraseSectorSize;
  }
  const std::string path = record.path;
  if (!ws_.RepairsBanksOnSelection()) {
    // Only read and judged: the damage is told, nothing is written.
    WindowRun run(*this);
    (void)program::RecoverFirmwareBanks(run, path.c_str(), chip.chipType, record.recoveryChecked,
                                        false, &damagedBank);
    return;
  }
  // It writes the flash like a run: held like one, or not started at all.
  const host::RunScope hold(host().runLocks(), path);
  if (!hold.held()) return;
  struct RunButtonBack {
    Control& button;
    bool enabled;
    ~RunButtonBack() { button.SetEnabled(enabled); }
  } runBack{UpdateBtn, UpdateBtn.enabled()};
  UpdateBtn.SetEnabled(false);
  WindowRun run(*this);
  (void)program::RecoverFirmwareBanks(run, path.c_str(), chip.chipType, record.recoveryChecked);
}

}  // namespace app
