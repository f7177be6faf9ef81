// Handlers of the engineering panel's option controls: the panel itself, the
// erase-only / backup-only / HDD firmware boxes, the NVRAM box, the two size
// boxes that set the window's transfer settings, and the backup file.
#include <cstdint>

#include "window/control_enabling.h"
#include "window/main_window.h"

namespace app {

namespace {

// Bytes each item of the size boxes selects, in item order.
constexpr std::uint32_t kFlashSizes[] = {0x8000, 0x10000, 0x20000, 0x40000, 0x80000, 0x100000};
constexpr std::uint32_t kBlockSizes[] = {0x8000, 0x4000, 0x2000, 0x1000, 0x800};

// The value of the selected item. Text typed into the box selects none: the
// setting then keeps its previous value rather than taking one from outside
// the table.
template <std::size_t N>
void SetFromSelection(const ComboBox& box, const std::uint32_t (&table)[N],
                      std::uint32_t& setting) {
  const int index = box.itemIndex();
  if (index < 0 || static_cast<std::size_t>(index) >= N) return;
  if (static_cast<std::size_t>(index) >= box.items().size()) return;
  setting = table[index];
}

}  // namespace

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

void MainWindow::EraseOnlyCheckClick(Control& sender) {
  const auto* box = dynamic_cast<const CheckBox*>(&sender);
  const bool senderChecked = box != nullptr && box->checked();
  // Unchecking the other box counts as a click on it and runs this handler
  // nested; every step below reads the boxes' current states, so the end
  // state is the same.
  if (sender.tag == 1) {
    if (senderChecked) EraseOnlyCheck.SetChecked(false);
  } else {
    if (TypeOf(chip) == device::ChipType::Txr842) NVRAMCheck.SetVisible(true);
    if (senderChecked) BackupFWCheckBox.SetChecked(false);
  }

  const bool sizeMatters =
      TypeOf(chip) == device::ChipType::Tx40779 && (EraseOnlyCheck.checked() || BackupFWCheckBox.checked());
  FwSizeCheck.SetEnabled(sizeMatters);
  FwSizeCheck.SetVisible(sizeMatters);
  FwSizeLable.SetVisible(sizeMatters);

  chip.eraseOnly = EraseOnlyCheck.checked() ? 1 : 0;
  FwFilenameEdit.SetEnabled(!EraseOnlyCheck.checked());
  ApplyRunDecision(*this, identify::RunAfterOptionClick(RunInputsOf(*this)));
}

void MainWindow::NVRAMCheckClick(Control&) { chip.includeNvram = NVRAMCheck.checked() ? 1 : 0; }

void MainWindow::FwSizeCheckChange(Control&) {
  SetFromSelection(FwSizeCheck, kFlashSizes, transferSettings.flashSize);
}

void MainWindow::FwPgSizeCheckChange(Control&) {
  // Also the change handler of TX929Path: it always reads FwPgSizeCheck.
  SetFromSelection(FwPgSizeCheck, kBlockSizes, transferSettings.blockSize);
}

void MainWindow::BackupBtnClick(Control&) {
  StatusEdit.SetText("");
  if (OpenDialog1.initialDir.empty()) OpenDialog1.initialDir = ws_.ProgramFolder();
  if (!OpenDialog1.Execute(ws_)) return;
  BackupFileEdit.SetText(OpenDialog1.fileName);
  UpdateBtn.SetEnabled(true);
}

}  // namespace app
