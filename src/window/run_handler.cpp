// UpdateBtnClick, the Run button: picks the procedure for the selected chip
// by the dispatch table and runs it on the window's thread.
#include <cstring>
#include <string>

#include "window/main_window.h"
#include "window/window_run.h"
#include "scsi/chip_commands.h"
#include "host/host.h"
#include "host/stdio_file.h"
#include "identify/image_checks.h"
#include "engine/dispatch.h"
#include "engine/shared_steps.h"

namespace app {

namespace {

// A run that would write an image the chip check refused. Erase-only and
// backup-only runs write no image; a file that cannot be opened or is empty
// is refused by the procedure itself before any command, without a question.
bool WritesRefusedImage(const WindowRun& run) {
  if (program::IsEraseOnlyRun(run) || program::IsBackupOnlyRun(run)) return false;
  // The bytes the window's checks read: the run programs those or nothing.
  const std::optional<identify::ImageFingerprint>& checked = run.options().checkedImage;
  if (checked && checked->bytes) {
    return !checked->bytes->empty() &&
           !identify::ExplainImageMatch({checked->bytes->data(), checked->bytes->size()},
                                        {run.facts().chipType, run.facts().chipSubCode})
                .accepted;
  }
  const std::string& file = run.options().imageFile;
  {
    const host::File f = host::OpenRegularFile(file.c_str());
    if (!f || identify::GetFileLength(f.get()) <= 0) return false;
  }
  const identify::CheckResult match =
      identify::CheckImageMatchesChip(file, {run.facts().chipType, run.facts().chipSubCode});
  return !match.accepted && !match.openFailed;
}

// What the dispatch table asks of the run's image and device, answered as Run
// needs it (run and path outlive the checks).
program::DispatchChecks DispatchChecksFor(MainWindow& w, const WindowRun& run,
                                          const std::string& path) {
  program::DispatchChecks checks;
  checks.imageFitsFlash = [&w, &run] {
    // Without a size that was read there is nothing to hold the file against
    // here: the procedure bounds it by the flash size setting.
    if (!device::FactsRead(run.facts(), device::kFactFlashSize)) return true;
    const identify::CheckResult fits = identify::CheckImageFitsFlash(
        run.options().imageFile, static_cast<std::uint32_t>(run.facts().flashSizeKb));
    if (!fits.openFailed) return fits.accepted;
    // A file that cannot be opened (a folder, a pipe) is no oversized file:
    // the procedure refuses it with its open-failure text, before any command.
    w.Message(identify::kOpenFirmwareFileError, program::kCaptionError, ui::Icon::None);
    return true;
  };
  checks.chipMode505E = [&path] { return device::CheckChipMode505E(path.c_str()) == 1; };
  return checks;
}

}  // namespace

void MainWindow::UpdateBtnClick(Control&) {
  if (running_) return;
  lastOutcome = program::RunOutcome::NothingRan;
  // A name typed and not yet checked is checked first; a refusal keeps Run
  // disabled and nothing runs.
  if (FwFilenameEdit.typing()) {
    FwFilenameEdit.FinishTyping();
    if (!UpdateBtn.enabled()) {
      lastProcedure = program::Procedure::None;
      return;
    }
  }
  UpdateBtn.SetEnabled(false);
  host().DebugOutput("Update Btn Press\n");

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
  const device::BusKind bus = devices[index].bus;
  StatusEdit.SetText("");
  ws_.Repaint(StatusEdit.name());
  RunSelected(path, bus);
}

void MainWindow::RunSelected(const std::string& path, device::BusKind bus) {
  bool enableRun = true;
  struct EnableRunAtEnd {
    Button& run;
    bool& enable;
    ~EnableRunAtEnd() {
      if (enable) run.SetEnabled(true);
    }
  } enableAtEnd{UpdateBtn, enableRun};
  const ProcedureScope scope(*this);
  // One writer per device, the same device throughout: the run holds it from
  // its first command to its last.
  const host::RunScope hold(host().runLocks(), path);
  if (!hold.held()) {
    lastProcedure = program::Procedure::None;
    lastOutcome = program::RunOutcome::Failed;
    StatusEdit.SetText(hold.lastError() == host::kErrorSharingViolation ? kDeviceInUseText
                                                                       : kDeviceChangedText);
    ws_.Repaint(StatusEdit.name());
    return;
  }

  WindowRun run(*this);
  // The mismatch notice of the selection leaves Run enabled: one more click
  // must not write another chip's firmware without asking. No sends nothing.
  if (WritesRefusedImage(run) &&
      !ws_.AskYesNo(kProgramAnywayQuestion, program::kCaptionMessage, ui::Icon::Warning)) {
    lastProcedure = program::Procedure::None;
    lastOutcome = program::RunOutcome::Refused;  // Run stays enabled: the user may change his mind
    return;
  }
  const program::DispatchChecks checks = DispatchChecksFor(*this, run, path);
  lastProcedure = program::SelectProcedure(run.facts(), run.options(), bus, checks);
  // Without a procedure the press would otherwise pass without a word.
  if (lastProcedure == program::Procedure::None) ShowStatus(kNoUpdateForChip, false);
  lastOutcome = program::RunProcedure(lastProcedure, run, path.c_str());
  enableRun = lastOutcome != program::RunOutcome::Refused;
}

}  // namespace app
