#include "console/runs.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>

#include "console/listing.h"
#include "console/text.h"
#include "engine/dispatch.h"
#include "host/host.h"
#include "host/stdio_file.h"
#include "identify/image_checks.h"
#include "scsi/change_gate.h"

namespace app {

namespace {

RunEnd EndOf(program::RunOutcome outcome) {
  switch (outcome) {
    case program::RunOutcome::Succeeded: return RunEnd::Succeeded;
    case program::RunOutcome::Failed: return RunEnd::Failed;
    case program::RunOutcome::NothingRan: return RunEnd::RanNothing;
    case program::RunOutcome::Refused: return RunEnd::Refused;
    case program::RunOutcome::CalledOff: return RunEnd::Interrupted;
  }
  return RunEnd::Failed;
}

inline constexpr char kGenericRuleNotice[] =
    "the image carries no marker of this chip; accepted by the generic rule";

// Why a file cannot be read, in the system's words; "" when it can.
std::string FileReason(const std::string& name) {
  switch (host::KindOfFile(name.c_str())) {
    case host::FileKind::Folder: return "it is a folder";
    case host::FileKind::Pipe: return "it is a pipe";
    case host::FileKind::Device: return "it is a device";
    case host::FileKind::Other: return "it is not a regular file";
    default: break;
  }
  errno = 0;
  const host::File file = host::OpenFile(name.c_str(), "rb");
  if (!file) return errno != 0 ? std::strerror(errno) : "it cannot be opened";
  std::uint64_t length = 0;
  if (host::FileLength(file.get(), length) && length == 0) return "it is empty";
  return "";
}

// After a run that was refused or failed: the image it could not read, by
// name and reason.
void ComplainOfImage(Session& s, const RunRecord& r) {
  if (r.mode != RunMode::Program || r.image.empty()) return;
  const std::string reason = FileReason(r.image);
  if (!reason.empty()) Complain(s, "cannot read the firmware file " + r.image + ": " + reason);
}

// The bytes the run is expected to move, for the progress line.
std::uint64_t ExpectedBytes(MainWindow& w, int entry, RunMode mode) {
  const device::DeviceRecord* record = RecordOf(w, entry);
  if (record == nullptr) return 0;
  const RunOffer offer = OfferOf(w, *record, mode);
  if (!offer.procedure) return 0;
  std::uint64_t imageLength = 0;
  if (mode == RunMode::Program) {
    const host::File image = host::OpenRegularFile(w.FwFilenameEdit.text().c_str());
    if (!image || !host::FileLength(image.get(), imageLength)) imageLength = 0;
  }
  return ExpectedRunBytes(*offer.procedure, mode, imageLength, FlashBytesOf(w));
}

// The class of a run's ending. After Run was pressed it rests on what was
// sent: nothing at all is a refusal, nothing that changes the device leaves
// it as it was, anything else may have left it neither old nor new.
ExitClass ClassOfRun(const RunRecord& r) {
  switch (r.end) {
    case RunEnd::Succeeded:
    case RunEnd::Repaired: return ExitClass::Success;
    // Called off before anything was written: the signal decides the exit.
    case RunEnd::Interrupted: return ExitClass::Failed;
    case RunEnd::Failed:
      if (r.changingCommands > 0) return ExitClass::Attention;
      return r.commands == 0 ? ExitClass::Refused : ExitClass::Failed;
    case RunEnd::RanNothing:
      return r.changingCommands > 0 ? ExitClass::Attention : ExitClass::Refused;
    case RunEnd::Refused:
    case RunEnd::RunDisabled:
    case RunEnd::WrongChip:
    case RunEnd::NotConfirmed: return ExitClass::Refused;
    case RunEnd::NotOffered: return ExitClass::Usage;
    case RunEnd::NoSuchEntry:
    case RunEnd::Unreachable: return ExitClass::Unavailable;
  }
  return ExitClass::Failed;
}

// Ends a run the console could not press Run for: its reason on the error
// stream (and in the log and the document).
int NotPressed(Session& s, RunRecord& r, RunEnd end, std::string problem) {
  r.end = end;
  r.problem = std::move(problem);
  r.exitClass = ClassOfRun(r);
  if (s.log != nullptr) s.log->Note(r.problem);
  Complain(s, r.problem);
  return static_cast<int>(r.exitClass);
}

// The entry a run names: by number, or the enclosure at its device path.
// Not pressed (with the status) when there is none to hold.
std::optional<int> FindEntry(Session& s, RunRecord& r, const ConsoleRun& run) {
  MainWindow& w = s.w;
  if (!run.device.empty()) {
    r.entry = w.DeviceList.enabled() ? EntryOfDevice(w, s.platform.discovery(), run.device) : -1;
    if (r.entry < 0) {
      // Listed without it because it could not be opened: say why.
      for (const host::UnreachableDevice& u : s.report.unreachable)
        if (s.platform.discovery().NamesDevice(u.path, run.device))
          return NotPressed(s, r, RunEnd::Unreachable, u.text);
      return NotPressed(s, r, RunEnd::NoSuchEntry,
                        "there is no enclosure at " + run.device + " (no such device)");
    }
  } else if (!s.report.unreachable.empty()) {
    // The entries are numbered without the devices that could not be
    // opened: entry N may be another enclosure than the user counted on.
    return NotPressed(s, r, RunEnd::Unreachable,
                      "entry numbers leave out a device that could not be opened (" +
                          s.report.unreachable.front().text +
                          "); name the enclosure with --device instead");
  }
  if (!w.DeviceList.enabled() || RecordOf(w, r.entry) == nullptr ||
      r.entry >= static_cast<int>(w.DeviceList.items().size()))
    return NotPressed(s, r, RunEnd::NoSuchEntry,
                      "there is no entry " + std::to_string(r.entry) + " (" +
                          std::to_string(EntryCount(w)) + " listed)");
  return std::nullopt;
}

// With --chip: not pressed (with the status) when the entry holds another.
std::optional<int> CheckChip(Session& s, RunRecord& r, const ConsoleRun& run,
                             const device::DeviceRecord& record) {
  if (run.expectChip.empty()) return std::nullopt;
  const std::string chip = ChipOfEntry(record);
  r.chip = chip;
  if (ChipNameMatches(chip, run.expectChip)) return std::nullopt;
  return NotPressed(s, r, RunEnd::WrongChip,
                    "entry " + std::to_string(r.entry) + " holds " +
                        (chip.empty() ? std::string("no chip the window knows") : "a " + chip) +
                        ", not " + run.expectChip + ": Run was not pressed");
}

// Selects the entry and sets the controls; the run's record then tells what
// the window shows.
std::optional<int> SelectForRun(Session& s, RunRecord& r, const ConsoleRun& run) {
  MainWindow& w = s.w;
  ConsoleRun selected = run;
  selected.entry = r.entry;
  std::string problem;
  s.view.repairBanks = true;  // selected for a run: a damaged bank is repaired now
  const bool setUp = SetUpRun(w, s.view, selected, problem);
  s.view.repairBanks = false;
  if (!setUp) return NotPressed(s, r, RunEnd::NotOffered, problem);
  s.view.ProcessMessages();
  s.view.EndLine();
  r.entryText = TrimRight(w.DeviceList.items()[static_cast<std::size_t>(r.entry)]);
  r.image = w.FwFilenameEdit.text();
  r.backupFile = w.BackupFileEdit.text();
  r.chip = TrimRight(w.ChipLabelEdit.text());
  r.firmwareVersion = TrimRight(w.FwVerLableEdit.text());
  Say(s, "entry " + std::to_string(r.entry) + ": " + Shown(r.entryText) + " (chip " +
             Shown(r.chip) + ", firmware " + Shown(r.firmwareVersion) + ", flash " +
             Shown(TrimRight(w.SFlashTypeLable.text())) + ")");
  return std::nullopt;
}

// --repair: the selection did it, or there was nothing to repair.
int EndRepairOnly(Session& s, RunRecord& r, const device::ChangeGate& gate) {
  const std::string status = TrimRight(s.w.StatusEdit.text());
  const bool repaired = status == program::kBankRecoverySuccess;
  r.end = gate.calledOff() ? RunEnd::Interrupted
          : repaired       ? RunEnd::Repaired
          : status == program::kBankRecoveryFail ? RunEnd::Failed
                                                 : RunEnd::RanNothing;
  Say(s, gate.calledOff() ? std::string("result: ") + program::kInterruptedBeforeWriting
         : repaired       ? std::string("result: bank repaired")
         : r.end == RunEnd::Failed ? std::string("result: the bank repair failed")
                                   : std::string("result: no damaged bank to repair"));
  r.exitClass = repaired ? ExitClass::Success : ExitClass::Failed;
  return static_cast<int>(r.exitClass);
}

// What stops the run with the controls set, before Run is pressed: a backup
// to restore that does not fit, a backup name not offered, Run disabled, an
// erase not confirmed. Says how the window's check let an image through.
std::optional<int> CheckBeforePress(Session& s, RunRecord& r, const ConsoleRun& run) {
  MainWindow& w = s.w;
  if (run.restore) {
    const std::string refusal = RestoreProblem(r.image, FactsOf(w, r.entry, r.mode));
    if (!refusal.empty()) return NotPressed(s, r, RunEnd::Refused, refusal);
  }
  if (r.mode == RunMode::BackupOnly && !KeepEarlierBackup(s, r))
    return NotPressed(s, r, RunEnd::NotOffered, r.problem);
  if (!w.UpdateBtn.enabled()) {
    r.end = RunEnd::RunDisabled;
    r.problem = "Run is disabled for this entry with these options";
    r.exitClass = ClassOfRun(r);
    Say(s, "result: " + r.problem);
    ComplainOfImage(s, r);
    return static_cast<int>(r.exitClass);
  }
  if (r.mode == RunMode::Program && !r.image.empty()) {
    // The window's own check decided Run; this says how, before anything is
    // sent, where a rule any image passes let the file through.
    const identify::ChipIdentity chip{w.chip.chipType, w.chip.chipSubCode};
    r.imageCheck = identify::ExplainImageFileMatch(r.image, chip);
    r.imageRuleChip = chip.type;
    if (r.imageCheck->generic)
      Say(s, std::string(kGenericRuleNotice) + " (" + identify::ImageRuleText(chip.type) + ")");
  }
  if (r.mode == RunMode::EraseOnly && !ConfirmErase(s, r))
    return NotPressed(s, r, RunEnd::NotConfirmed, "the erase was not confirmed: nothing was sent");
  return std::nullopt;
}

// The window's controls set for the run, once the device is held; not
// pressed (with the status) when the chip or a control does not allow it.
std::optional<int> PrepareRun(Session& s, RunRecord& r, const ConsoleRun& run,
                              const device::DeviceRecord& record, const device::ChangeGate& gate) {
  if (const std::optional<int> status = CheckChip(s, r, run, record)) return status;
  if (const std::optional<int> status = SelectForRun(s, r, run)) return status;
  if (run.repairOnly) return EndRepairOnly(s, r, gate);
  // A signal that came during the selection ends it here, before Run; one
  // that came during its bank repair waited for the repair's end.
  if (s.signals != nullptr && s.signals->Pending()) {
    r.end = RunEnd::Interrupted;
    r.exitClass = ExitClass::Failed;
    Say(s, gate.changed() ? "result: interrupted after the bank repair; Run was not pressed"
                          : std::string("result: ") + program::kInterruptedBeforeWriting);
    return static_cast<int>(r.exitClass);
  }
  return CheckBeforePress(s, r, run);
}

// Presses Run and waits for its end, counting what it sent.
void Press(Session& s, RunRecord& r, const ConsoleRun& run) {
  MainWindow& w = s.w;
  const std::uint64_t expected = ExpectedBytes(w, r.entry, r.mode);
  if (s.log != nullptr) {
    s.log->Note(std::string("run: ") + RunModeName(r.mode) + ", image " + Shown(r.image) +
                ", backup file " + Shown(r.backupFile) + ", about " +
                (expected != 0 ? std::to_string(expected) : std::string("?")) +
                " bytes to move");
  }
  s.view.answerYes = run.programAnyway || run.restore;
  if (s.progress != nullptr) s.progress->Begin(expected);
  const RunTraffic before = *s.traffic;
  const auto started = std::chrono::steady_clock::now();
  w.UpdateBtn.Click();
  s.view.ProcessMessages();
  s.view.EndLine();
  r.wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (s.progress != nullptr) s.progress->End();
  r.commands = s.traffic->commands - before.commands;
  r.changingCommands = s.traffic->changing - before.changing;
  r.procedure = w.lastProcedure;
  r.end = EndOf(w.lastOutcome);
  r.exitClass = ClassOfRun(r);
}

// The result line, and for a device that needs attention what to do.
void SayResult(Session& s, const RunRecord& r, bool asked) {
  const std::string name = program::ProcedureName(*r.procedure);
  switch (r.end) {
    case RunEnd::Succeeded: Say(s, "result: success (" + name + ")"); return;
    case RunEnd::Refused:
      Say(s, asked ? "result: refused, the image does not match this chip "
                     "(--program-anyway programs it)"
                   : "result: refused, Run stays disabled");
      return;
    case RunEnd::RanNothing: Say(s, "result: nothing ran (" + name + ")"); break;
    case RunEnd::Interrupted:
      Say(s, std::string("result: ") + program::kInterruptedBeforeWriting + " (" + name + ")");
      return;
    default:
      Say(s, std::string(r.exitClass == ExitClass::Refused ? "result: refused, nothing sent ("
                                                           : "result: failed (") +
                 name + ")");
      break;
  }
  if (r.exitClass == ExitClass::Attention) {
    Say(s, kAttentionAdvice);
    Complain(s, kAttentionAdvice);
  } else if (r.exitClass == ExitClass::Refused) {
    ComplainOfImage(s, r);
  }
}

}  // namespace

int PressRun(Session& s, const ConsoleRun& run) {
  RunRecord& r = s.report.runs.emplace_back();
  r.entry = run.entry;
  r.device = run.device;
  r.mode = run.eraseOnly ? RunMode::EraseOnly : run.backupOnly ? RunMode::BackupOnly
                                                               : RunMode::Program;
  if (s.human == nullptr) s.view.RecordInto(&r.events);
  if (const std::optional<int> status = FindEntry(s, r, run)) return *status;
  const device::DeviceRecord& record = *RecordOf(s.w, r.entry);
  // The device is held from the selection's first command to the run's last.
  const host::RunScope hold(s.platform.runLocks(), record.path);
  if (!hold.held())
    return NotPressed(s, r, RunEnd::Unreachable, HoldProblem(record.path, hold.lastError()));
  // Until the first erase (or the selection's bank repair) a held signal
  // calls the run off with nothing written.
  const host::InterruptHold* signals = s.signals;
  const device::ChangeGate gate([signals] { return signals != nullptr && signals->Pending(); });
  if (const std::optional<int> status = PrepareRun(s, r, run, record, gate)) return *status;
  const std::size_t asked = s.view.questions.size();
  Press(s, r, run);
  SayResult(s, r, s.view.questions.size() > asked);
  if (r.end == RunEnd::Succeeded && r.mode == RunMode::BackupOnly) NameTheBackup(s, r);
  return static_cast<int>(r.exitClass);
}

}  // namespace app
