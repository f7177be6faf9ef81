// UpdateBtnClick, the Run button, arrives with the flash procedures; until
// then it does nothing.
#include "app/main_window.h"

namespace app {

void MainWindow::UpdateBtnClick(Control&) {}

}  // namespace app
