#include "console/runs.h"

#include <cstdio>
#include <string>

#include "chips/names.h"
#include "console/text.h"
#include "host/host.h"
#include "identify/chip_classify.h"
#include "identify/device_identify.h"

namespace app {

namespace {

int FwSizeItem(const ComboBox& box, const std::string& wanted) {
  const auto& items = box.items();
  for (std::size_t i = 0; i < items.size(); ++i)
    if (TrimLeft(items[i]) == wanted) return static_cast<int>(i);
  return -1;
}

}  // namespace

bool Offered(const Control& control, const char* what, std::string& problem) {
  if (control.Showing() && control.enabled()) return true;
  problem = std::string("The window does not offer ") + what + " for this entry now.";
  return false;
}

bool SetUpRun(MainWindow& w, HeadlessView& view, const ConsoleRun& run, std::string& problem) {
  w.DeviceList.UserSelect(run.entry);
  const bool panelChange = run.rd || w.EraseOnlyCheck.checked() != run.eraseOnly ||
                           w.BackupFWCheckBox.checked() != run.backupOnly;
  if (panelChange) w.RdCheckBox.SetChecked(true);
  if (!run.eraseOnly && w.EraseOnlyCheck.checked()) {
    if (!Offered(w.EraseOnlyCheck, "\"Erase All Flash Only \"", problem)) return false;
    w.EraseOnlyCheck.SetChecked(false);
  }
  if (!run.backupOnly && w.BackupFWCheckBox.checked()) {
    if (!Offered(w.BackupFWCheckBox, "\"Backup Old Firmware Only\"", problem)) return false;
    w.BackupFWCheckBox.SetChecked(false);
  }
  if (!run.image.empty() && run.load) {
    // The dialog answers with the file; a loaded file leaves Run enabled.
    if (!Offered(w.LoadBtn, "\"Load File\"", problem)) return false;
    view.dialogAnswers.push_back(run.image);
    w.LoadBtn.Click();
  } else if (!run.image.empty()) {
    if (!Offered(w.FwFilenameEdit, "the firmware file", problem)) return false;
    w.FwFilenameEdit.SetText(run.image);
  }
  if (run.eraseOnly && !w.EraseOnlyCheck.checked()) {
    if (!Offered(w.EraseOnlyCheck, "\"Erase All Flash Only \"", problem)) return false;
    w.EraseOnlyCheck.SetChecked(true);
  }
  if (run.backupOnly && !w.BackupFWCheckBox.checked()) {
    if (!Offered(w.BackupFWCheckBox, "\"Backup Old Firmware Only\"", problem)) return false;
    w.BackupFWCheckBox.SetChecked(true);
  }
  if (run.nvram && w.NVRAMCheck.checked() != *run.nvram) {
    if (!Offered(w.NVRAMCheck, "\"Include 4K NVRAM\"", problem)) return false;
    w.NVRAMCheck.SetChecked(*run.nvram);
  }
  if (!run.fwSize.empty()) {
    const int item = FwSizeItem(w.FwSizeCheck, run.fwSize);
    if (!Offered(w.FwSizeCheck, "the firmware size", problem)) return false;
    if (w.FwSizeCheck.itemIndex() != item) w.FwSizeCheck.UserSelect(item);
  }
  if (run.flashType >= 0 && w.FlashTypeList.itemIndex() != run.flashType) {
    if (!Offered(w.FlashTypeList, "the flash type list", problem)) return false;
    w.FlashTypeList.UserSelect(run.flashType);
  }
  if (run.a1Chip && w.A1ChipCheck.checked() != *run.a1Chip) {
    if (!Offered(w.A1ChipCheck, "\"A1 Chip\"", problem)) return false;
    w.A1ChipCheck.SetChecked(*run.a1Chip);
  }
  if (run.rd && w.BackupFileEdit.text() != run.backupFile) {
    if (!Offered(w.BackupFileEdit, "the backup file name", problem)) return false;
    w.BackupFileEdit.SetText(run.backupFile);
  }
  if (!run.rd && w.RdCheckBox.checked()) w.RdCheckBox.SetChecked(false);
  return true;
}

std::string ChipOfEntry(const device::DeviceRecord& record) {
  const identify::Identification id = identify::IdentifyChip(record.path);
  const int type = identify::ApplyCompanionRule(id.chip.type, record.companion847 != 0,
                                                record.companion842 != 0);
  return TrimRight(identify::ChipName(type));
}

bool ConfirmErase(Session& s, const RunRecord& r) {
  if (s.assumeYes) return true;
  if (s.answers == nullptr || !host::IsTerminal(s.answers)) {
    Complain(s, "an erase-only run needs --yes when there is no terminal to ask");
    return false;
  }
  if (s.progress != nullptr) s.progress->Clear();
  std::fprintf(s.err, "Erase the whole flash of entry %d (%s, %s)? [y/N] ", r.entry,
               Shown(r.chip).c_str(), Shown(r.firmwareVersion).c_str());
  std::fflush(s.err);
  char answer[16] = "";
  if (std::fgets(answer, sizeof answer, s.answers) == nullptr) std::fputc('\n', s.err);
  const bool yes = answer[0] == 'y' || answer[0] == 'Y';
  if (s.log != nullptr) s.log->Note(std::string("erase confirmed: ") + (yes ? "yes" : "no"));
  return yes;
}

}  // namespace app
