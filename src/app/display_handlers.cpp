// UpdateBtnCheck (identification of the selected entry and the display of its
// chip) and LoadBtnClick (choosing the image file) arrive with the chip
// catalogue and the image checks; until then they do nothing.
#include "app/main_window.h"

namespace app {

void MainWindow::UpdateBtnCheck(Control&) {}
void MainWindow::LoadBtnClick(Control&) {}

}  // namespace app
