#include "app/enabling.h"

namespace app {

identify::RunInputs RunInputsOf(const MainWindow& w) {
  identify::RunInputs in;
  in.deviceCount = w.deviceCount;
  in.deviceListEnabled = w.DeviceList.enabled();
  in.chip = {w.chip.chipType, w.chip.chipSubCode};
  in.fileName = w.FwFilenameEdit.text();
  in.eraseOnlyChecked = w.EraseOnlyCheck.checked();
  in.backupChecked = w.BackupFWCheckBox.checked();
  in.checksumChecked = w.ChkSumChk.checked();
  return in;
}

void ApplyRunDecision(MainWindow& w, const identify::RunDecision& decision) {
  for (const identify::Notice& notice : decision.notices) {
    w.Message(notice.text, notice.caption != nullptr ? notice.caption : kApplicationTitle,
              notice.errorIcon ? ui::Icon::Error : ui::Icon::None);
  }
  if (decision.checkedImage) w.checkedImage = decision.checkedImage;
  if (decision.run == identify::RunEffect::Enable) w.UpdateBtn.SetEnabled(true);
  if (decision.run == identify::RunEffect::Disable) w.UpdateBtn.SetEnabled(false);
}

}  // namespace app
