// Handlers of the engineering panel's option controls. RdCheckBoxClick is
// needed from the start (construction hides the panel with it); the others
// arrive with the option rules and do nothing until then.
#include "app/main_window.h"

namespace app {

void MainWindow::RdCheckBoxClick(Control&) {
  if (RdCheckBox.checked()) {
    RdPanel.SetVisible(true);
    clientHeight += RdPanel.bounds().height;
    ws_.SetClientHeight(clientHeight);
    return;
  }
  RdPanel.SetVisible(false);
  clientHeight -= RdPanel.bounds().height;
  ws_.SetClientHeight(clientHeight);
  FwSizeCheck.SetVisible(false);
  FwSizeLable.SetVisible(false);
  FwFilenameEdit.SetEnabled(true);
  UpdateBtn.SetEnabled(false);
  UpdateBtnCheck(RdCheckBox);
}

void MainWindow::EraseOnlyCheckClick(Control&) {}
void MainWindow::NVRAMCheckClick(Control&) {}
void MainWindow::FwSizeCheckChange(Control&) {}
void MainWindow::FwPgSizeCheckChange(Control&) {}
void MainWindow::BackupBtnClick(Control&) {}

}  // namespace app
