#include "window/control_enabling.h"

namespace app {

identify::RunInputs RunInputsOf(const MainWindow& w) {
  identify::RunInputs in;
  in.deviceCount = w.deviceCount;
  in.deviceListEnabled = w.DeviceList.enabled();
  in.chip = {w.chip.chipType, w.chip.chipSubCode};
  // Text still being typed is judged once the typing is finished.
  in.fileName = w.FwFilenameEdit.settledText();
  in.eraseOnlyChecked = w.EraseOnlyCheck.checked();
  in.backupChecked = w.BackupFWCheckBox.checked();
  in.checksumChecked = w.ChkSumChk.checked();
  if (w.checkedImage && w.checkedImage->fileName == in.fileName) in.checkedImage = w.checkedImage;
  return in;
}

void ShowNotices(MainWindow& w, const std::vector<identify::Notice>& notices) {
  for (const identify::Notice& notice : notices) {
    w.Message(notice.text, notice.caption != nullptr ? notice.caption : kApplicationTitle,
              notice.errorIcon ? ui::Icon::Error : ui::Icon::None);
  }
}

void ApplyRunDecision(MainWindow& w, const identify::RunDecision& decision) {
  ShowNotices(w, decision.notices);
  if (decision.checkedImage) w.checkedImage = decision.checkedImage;
  if (decision.run == identify::RunEffect::Enable) w.UpdateBtn.SetEnabled(true);
  if (decision.run == identify::RunEffect::Disable) w.UpdateBtn.SetEnabled(false);
}

}  // namespace app
