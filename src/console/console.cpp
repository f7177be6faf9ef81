#include "console/console.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <set>

#include "console/backup.h"
#include "console/json.h"
#include "console/log.h"
#include "console/progress.h"
#include "console/text.h"
#include "console/watch.h"
#include "window/control_enabling.h"
#include "window/headless_view.h"
#include "window/window_run.h"
#include "scsi/change_gate.h"
#include "scsi/changing_commands.h"
#include "scsi/chip_commands.h"
#include "scsi/discovery.h"
#include "host/host.h"
#include "host/interrupts.h"
#include "host/output_files.h"
#include "host/stdio_file.h"
#include "host/system_info.h"
#include "host/worker.h"
#include "chips/names.h"
#include "identify/chip_classify.h"
#include "identify/device_identify.h"
#include "chips/display_rules.h"
#include "identify/image_checks.h"
#include "engine/diagnostics.h"
#include "engine/dispatch.h"
#include "procedures/hdd_firmware.h"
#include "engine/settings.h"
#include "texts.h"

namespace app {

namespace {

// A wait also looks again this often: a notification can be lost (a full
// socket buffer), or come before the enclosure answers.
constexpr std::uint32_t kWaitStepMs = 2000;

std::string TrimRight(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == '\n'))
    text.pop_back();
  return text;
}

std::string TrimLeft(const std::string& text) {
  const std::size_t first = text.find_first_not_of(' ');
  return first == std::string::npos ? std::string() : text.substr(first);
}

// Status texts may carry line breaks ("Read Fail!!\r\n"): one line each.
std::string OneLine(const std::string& text) {
  std::string out;
  for (char c : TrimRight(text)) {
    if (c == '\r') continue;
    out += c == '\n' ? ' ' : c;
  }
  return out;
}

// The headless view that also prints: each status line as it is painted
// (appended dots continue the same line) and each message box. For the JSON
// document it records them into a list instead. Both also go to the support
// log when there is one; during a run on a terminal the open status line is
// drawn behind the progress and printed whole once it is done.
class ConsoleView : public HeadlessView {
 public:
  // holdsStatus: the progress line shares the terminal with out, so the open
  // status line is drawn behind it; quiet: status lines go to the log only.
  ConsoleView(std::FILE* out, ConsoleLog* log, ProgressLine* progress, bool holdsStatus,
              bool quiet)
      : out_(out), log_(log), progress_(progress), holdsStatus_(holdsStatus), quiet_(quiet) {}

  // A procedure's diagnostic line: on standard output as before, but never
  // glued to the progress line or to an open status line on that stream.
  void Diagnostic(std::string_view line) {
    if (progress_ != nullptr) progress_->Clear();
    if (out_ == stdout) EndLine();
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    if (progress_ != nullptr) progress_->Redraw();
  }

  // From now on status lines and boxes go into list, not to the output.
  void RecordInto(std::vector<ConsoleEvent>* list) {
    EndLine();
    events_ = list;
  }

  void ShowMessage(const std::string& text, const std::string& caption, ui::Icon icon) override {
    HeadlessView::ShowMessage(text, caption, icon);
    EndLine();
    if (log_ != nullptr) log_->Box(caption, text);
    if (events_ != nullptr) {
      events_->push_back({true, text, caption});
      return;
    }
    PrintAboveProgress("[" + caption + "] " + OneLine(text) + "\n");
  }

  // Run's question is answered from the run's options and shown the way
  // boxes are, with its answer.
  bool AskYesNo(const std::string& text, const std::string& caption, ui::Icon icon) override {
    questionAnswers.assign(1, answerYes);
    const bool yes = HeadlessView::AskYesNo(text, caption, icon);
    EndLine();
    const char* answer = yes ? "Yes" : "No";
    if (log_ != nullptr) log_->Box(caption, text, answer);
    // The run's outcome tells the answer in the JSON document.
    if (events_ != nullptr) {
      events_->push_back({true, text, caption});
      return yes;
    }
    PrintAboveProgress("[" + caption + "] " + OneLine(text) + " -> " + answer + "\n");
    return yes;
  }

  bool answerYes = false;
  // Selecting an entry repairs a damaged firmware bank only for a run (or
  // --repair), never for the listing.
  bool repairBanks = false;
  bool RepairsBanksOnSelection() override { return repairBanks; }

  void Repaint(const std::string& control) override {
    HeadlessView::Repaint(control);
    if (window == nullptr || control != window->StatusEdit.name()) return;
    const std::string& text = window->StatusEdit.text();
    if (text == shown_) return;
    const bool continues = lineOpen_ && !shown_.empty() && text.size() > shown_.size() &&
                           text.compare(0, shown_.size(), shown_) == 0;
    if (log_ != nullptr && (continues || !text.empty()))
      log_->Status(continues ? text.substr(shown_.size()) : text, continues);
    if (events_ != nullptr) {
      Record(text, continues);
    } else if (quiet_) {
      // Only the log keeps them.
    } else if (continues) {
      Print(OneLine(text.substr(shown_.size())));
    } else {
      EndLine();
      if (!text.empty()) {
        Print("status: " + OneLine(text));
        lineOpen_ = true;
      }
    }
    shown_ = text;
    std::fflush(out_);
  }

  // From now on the running text goes to out, without a progress line (a
  // station's worker process).
  void Redirect(std::FILE* out) {
    EndLine();
    out_ = out;
    progress_ = nullptr;
  }

  void EndLine() {
    if (!lineOpen_) return;
    lineOpen_ = false;
    if (events_ != nullptr) return;
    if (Live()) {
      // The line is done: printed whole where the live line was.
      progress_->Clear();
      std::fputs((open_ + "\n").c_str(), out_);
      open_.clear();
      progress_->Show(open_);
      return;
    }
    std::fputc('\n', out_);
    std::fflush(out_);
  }

 private:
  // An open line is the last event of the list.
  void Record(const std::string& text, bool continues) {
    if (continues) {
      events_->back().text = text;
      return;
    }
    EndLine();
    if (text.empty()) return;
    events_->push_back({false, text, ""});
    lineOpen_ = true;
  }

  // A run is under way on a terminal: the open status line lives behind the
  // progress until it is done.
  bool Live() const { return progress_ != nullptr && holdsStatus_ && progress_->active(); }

  // Text of the open status line (or a new one).
  void Print(const std::string& piece) {
    if (!Live()) {
      std::fputs(piece.c_str(), out_);
      return;
    }
    open_ += piece;
    progress_->Show(open_);
  }

  // A whole line printed while no status line is open.
  void PrintAboveProgress(const std::string& line) {
    if (progress_ != nullptr) progress_->Clear();
    std::fputs(line.c_str(), out_);
    std::fflush(out_);
    if (progress_ != nullptr) progress_->Redraw();
  }

  std::FILE* out_;
  ConsoleLog* log_;
  ProgressLine* progress_;
  bool holdsStatus_;
  bool quiet_;
  std::vector<ConsoleEvent>* events_ = nullptr;
  std::string shown_;
  std::string open_;  // the open status line, while it lives behind the progress
  bool lineOpen_ = false;
};

// A damaged firmware bank the listing found and left alone (banks counted
// from 1, as users count them).
std::string DamagedBankText(int bank, std::size_t entry) {
  return "bank " + std::to_string(bank + 1) + " damaged; `--run " + std::to_string(entry) +
         "` repairs it";
}

// A device's text for the running text, or "-" when there is none.
std::string Shown(const std::string& text) { return text.empty() ? "-" : PrintableText(text); }

// -v: every command block on the error stream as it ends, above the
// progress line.
class VerboseWatch : public HostWatcher {
 public:
  VerboseWatch(std::FILE* err, ProgressLine* progress) : err_(err), progress_(progress) {}
  void Command(const CommandSeen& c) override {
    std::string cdb;
    for (int i = 0; i < c.cdbLength; ++i) {
      char byte[4];
      std::snprintf(byte, sizeof byte, "%s%02X", i == 0 ? "" : " ", c.cdb[i]);
      cdb += byte;
    }
    if (progress_ != nullptr) progress_->Clear();
    std::fprintf(err_, "command: %s %s %u %s, %u bytes moved\n",
                 PrintableText(c.path != nullptr ? *c.path : "?").c_str(), c.dataIn ? "in" : "out",
                 c.length, cdb.c_str(), c.moved);
    if (!c.ok || c.status != 0)
      std::fprintf(err_, "command: failed, error %u, SCSI status %02X\n", c.lastError, c.status);
    if (progress_ != nullptr) progress_->Redraw();
  }

 private:
  std::FILE* err_;
  ProgressLine* progress_;
};

// What Run sent, counted as it goes: every command block, and those that may
// change what the device stores.
struct RunTraffic {
  int commands = 0;
  int changing = 0;
};

class TrafficWatch : public HostWatcher {
 public:
  void Command(const CommandSeen& command) override {
    ++traffic.commands;
    // Counted whatever the answer: a failed erase may have begun.
    if (device::MayChangeStoredData(command.cdb, command.cdbLength)) ++traffic.changing;
  }
  RunTraffic traffic;
};

// Where a session writes: the running text (human) or, for the JSON document,
// nothing until the end (human is null then).
struct Session {
  MainWindow& w;
  ConsoleView& view;
  std::FILE* human;
  ConsoleReport& report;
  ConsoleLog* log;
  ProgressLine* progress;
  std::string toolVersion;
  // The signals held around the run under way; none outside runs.
  const host::InterruptHold* signals = nullptr;
  RunTraffic* traffic;
  std::FILE* err;       // the console's own errors
  std::FILE* answers;   // where a question is answered; null: no terminal to ask
  bool assumeYes;       // --yes
};

std::string RecordPath(const device::DeviceRecord& record) {
  return std::string(record.path, strnlen(record.path, sizeof record.path));
}

// Entry k addresses record k (companion entries have records of their own).
const device::DeviceRecord* RecordOf(const MainWindow& w, int entry) {
  const int count = w.recordCount < device::kMaxDevices ? w.recordCount : device::kMaxDevices;
  return entry >= 0 && entry < count ? &w.devices[entry] : nullptr;
}

// What Run would do for a kind of run on the selected entry: the window's own
// enabling rules decide whether Run can be pressed (programming needs an image
// that can match the chip; one that matches and fits is assumed), the dispatch
// table which procedure it calls.
RunOffer OfferOf(MainWindow& w, const device::DeviceRecord& record, RunMode mode) {
  identify::RunInputs in = RunInputsOf(w);
  bool allowed = false;
  if (mode == RunMode::Program) {
    allowed = in.deviceCount != 0 && in.deviceListEnabled && identify::ChipTakesImages(in.chip);
  } else {
    in.fileName.clear();
    in.eraseOnlyChecked = mode == RunMode::EraseOnly;
    in.backupChecked = mode == RunMode::BackupOnly;
    allowed = identify::RunAfterOptionClick(in).run == identify::RunEffect::Enable;
  }
  if (!allowed) return {};
  const WindowRun run(w);
  program::RunOptions options = run.options();
  options.rdMode = mode != RunMode::Program;
  options.eraseOnlyChecked = mode == RunMode::EraseOnly;
  options.backupOnlyChecked = mode == RunMode::BackupOnly;
  program::DispatchChecks checks;
  checks.imageFitsFlash = [] { return true; };
  const std::string path = record.path;
  checks.chipMode505E = [&path] { return device::CheckChipMode505E(path.c_str()) == 1; };
  const program::Procedure procedure =
      program::SelectProcedure(run.facts(), options, record.bus, checks);
  return {program::ProcedureBuilt(procedure), procedure};
}

void DescribeEntry(MainWindow& w, int index, ListedEntry& e) {
  e.index = index;
  e.text = TrimRight(w.DeviceList.items()[static_cast<std::size_t>(index)]);
  e.chipName = TrimRight(w.ChipLabelEdit.text());
  e.chipType = w.chip.chipType;
  e.chipSubCode = w.chip.chipSubCode;
  e.firmwareVersion = TrimRight(w.FwVerLableEdit.text());
  e.status = w.StatusEdit.text();
  switch (identify::DisplayGroupOf(w.chip.chipType)) {
    case identify::DisplayGroup::SerialFlash:
    case identify::DisplayGroup::BridgeBehindController:
      e.flashKind = "serial";
      e.flashMaker = TrimRight(w.SFlashTypeLable.text());
      if (w.flashSizeMeasured) e.flashSizeKb = w.chip.flashSizeKb;
      break;
    case identify::DisplayGroup::ParallelFlash:
      e.flashKind = "parallel";  // the part is the one picked in the list
      e.flashMaker = TrimRight(w.FlashTypeList.text());
      break;
    case identify::DisplayGroup::ParameterBlock:
    case identify::DisplayGroup::Unsupported:
      break;
  }
  if (w.bridgeVersionRead) e.bridgeVersion = w.chip.bridgeVersion;
  if (w.damagedBank >= 0) e.damagedBank = w.damagedBank + 1;
  const device::DeviceRecord* record = RecordOf(w, index);
  if (record == nullptr) return;
  e.bus = record->bus;
  e.path.assign(record->path, strnlen(record->path, sizeof record->path));
  e.diskSequence = host::Current().discovery().DiskSequence(e.path.c_str());
  for (std::size_t i = 0; i < sizeof record->driveLetters && record->driveLetters[i] != 0; ++i)
    e.drives.emplace_back(1, record->driveLetters[i]);
  e.program = OfferOf(w, *record, RunMode::Program);
  e.eraseOnly = OfferOf(w, *record, RunMode::EraseOnly);
  e.backupOnly = OfferOf(w, *record, RunMode::BackupOnly);
}

void ListEntries(Session& s) {
  MainWindow& w = s.w;
  s.report.listed = true;
  if (s.human != nullptr) {
    for (const host::UnreachableDevice& u : s.report.unreachable)
      std::fprintf(s.human, "not listed: %s\n", PrintableText(u.text).c_str());
  }
  if (!w.DeviceList.enabled()) {
    s.report.listNotice = w.DeviceList.text();
    if (s.human != nullptr) std::fprintf(s.human, "%s\n", Shown(w.DeviceList.text()).c_str());
    // Where the system listed no interface at all, say so rather than show
    // an empty list that looks like no enclosure.
    const std::string why = host::Current().discovery().DiscoveryNote();
    if (s.human != nullptr && !why.empty())
      std::fprintf(s.human, "%s; name the enclosure's drive with --device (\\\\.\\X: for X:).\n",
                   PrintableText(why).c_str());
    return;
  }
  const std::size_t count = w.DeviceList.items().size();
  for (std::size_t i = 0; i < count && i < std::size(w.devices); ++i) {
    if (s.human == nullptr) {
      ListedEntry& e = s.report.entries.emplace_back();
      s.view.RecordInto(&e.events);
      w.DeviceList.UserSelect(static_cast<int>(i));
      s.view.ProcessMessages();
      DescribeEntry(w, static_cast<int>(i), e);
      continue;
    }
    std::FILE* out = s.human;
    w.DeviceList.UserSelect(static_cast<int>(i));
    s.view.ProcessMessages();
    s.view.EndLine();
    std::fprintf(out, "entry %zu: %s\n", i, Shown(TrimRight(w.DeviceList.items()[i])).c_str());
    std::fprintf(out, "  path:    %s\n", Shown(RecordPath(w.devices[i])).c_str());
    std::fprintf(out, "  chip:    %s\n", Shown(TrimRight(w.ChipLabelEdit.text())).c_str());
    const device::BusKind bus = w.devices[i].bus;
    std::fprintf(out, "  bus:     %s\n", bus == device::BusKind::Usb        ? "USB"
                                        : bus == device::BusKind::Ieee1394 ? "IEEE 1394"
                                                                           : "other");
    // Where the platform names volumes by mount point, those replace the
    // letters (which it has none of).
    std::vector<std::string> mounts;
    if (device::GetMountPoints(w.devices[i].path, mounts)) {
      std::string joined;
      for (const std::string& m : mounts) joined += (joined.empty() ? "" : ", ") + PrintableText(m);
      std::fprintf(out, "  mounts:  %s\n", joined.empty() ? "-" : joined.c_str());
    } else {
      std::fprintf(out, "  drives:  %s\n", Shown(TrimRight(w.DiskLetterLable.text())).c_str());
    }
    std::fprintf(out, "  version: %s\n", Shown(TrimRight(w.FwVerLableEdit.text())).c_str());
    std::fprintf(out, "  flash:   %s\n", Shown(TrimRight(w.SFlashTypeLable.text())).c_str());
    if (w.damagedBank >= 0)
      std::fprintf(out, "  repair:  %s\n", DamagedBankText(w.damagedBank, i).c_str());
  }
  if (s.human != nullptr) std::fflush(s.human);
}

// The console may only use a control that the window shows and enables now;
// otherwise problem says which it is.
bool Offered(const Control& control, const char* what, std::string& problem) {
  if (control.Showing() && control.enabled()) return true;
  problem = std::string("The window does not offer ") + what + " for this entry now.";
  return false;
}

int FwSizeItem(const ComboBox& box, const std::string& wanted) {
  const auto& items = box.items();
  for (std::size_t i = 0; i < items.size(); ++i)
    if (TrimLeft(items[i]) == wanted) return static_cast<int>(i);
  return -1;
}

// Sets the controls the way a user would, in an order the window allows:
// the entry, the panel boxes that must go off, the image, the boxes that
// must go on, then "RD Version" as asked.
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

// The entries the list shows that have a record.
int EntryCount(const MainWindow& w) {
  return std::min<int>({w.recordCount, device::kMaxDevices,
                        static_cast<int>(w.DeviceList.items().size())});
}

// An enclosure's own entry, not a companion entry sharing its path.
bool OwnEntry(const device::DeviceRecord& record) {
  return record.companion847 == 0 && record.companion842 == 0;
}

// The entry of the enclosure at a device path: its own entry, not the
// companion entries that share its path; -1 when none.
int EntryOfDevice(const MainWindow& w, const std::string& given) {
  for (int k = 0; k < EntryCount(w); ++k) {
    if (OwnEntry(w.devices[k]) && host::Current().discovery().NamesDevice(w.devices[k].path, given))
      return k;
  }
  return -1;
}

// Why a run could not hold its device.
std::string HoldProblem(const std::string& path, std::uint32_t lastError) {
  const std::string device = "cannot use " + PrintableText(path) + ": ";
  switch (lastError) {
    case host::kErrorSharingViolation:
      return device + "in use by another program (device in use); nothing was sent";
    case host::kErrorFileNotFound:
      return device + "not the device that was listed (unplugged or replaced); nothing was sent";
    case host::kErrorAccessDenied:
      return device + "permission denied (this user may not open it); nothing was sent";
    default:
      return device + "error " + std::to_string(lastError) + "; nothing was sent";
  }
}

// The chip an entry's device holds, as the window would name it on
// selection; identification only reads.
std::string ChipOfEntry(const device::DeviceRecord& record) {
  const identify::Identification id = identify::IdentifyChip(record.path);
  const int type = identify::ApplyCompanionRule(id.chip.type, record.companion847 != 0,
                                                record.companion842 != 0);
  return TrimRight(identify::ChipName(type));
}

inline constexpr char kGenericRuleNotice[] =
    "the image carries no marker of this chip; accepted by the generic rule";

// A line of the running text, also kept in the support log.
void Say(Session& s, const std::string& line) {
  if (s.log != nullptr) s.log->Note(line);
  if (s.human == nullptr) return;
  std::fprintf(s.human, "%s\n", PrintableText(line).c_str());
}

// One of the console's own errors, on the error stream.
void Complain(Session& s, const std::string& text) {
  if (s.progress != nullptr) s.progress->Clear();
  std::fprintf(s.err, "tx4077x-console: %s\n", PrintableText(text).c_str());
  std::fflush(s.err);
  if (s.progress != nullptr) s.progress->Redraw();
}

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

// An erase-only run asks first on a terminal; --yes answers it, and without a
// terminal nothing else can.
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
  const std::uint64_t flashBytes = w.flashSizeMeasured
                                       ? std::uint64_t{1024} * w.chip.flashSizeKb
                                       : std::uint64_t{program::Transfer().flashSize};
  return ExpectedRunBytes(*offer.procedure, mode, imageLength, flashBytes);
}

// The enclosure as a backup's sidecar describes it.
BackupFacts FactsOf(MainWindow& w, int entry, RunMode mode) {
  BackupFacts f;
  f.chipName = TrimRight(w.ChipLabelEdit.text());
  f.chipType = w.chip.chipType;
  f.chipSubCode = w.chip.chipSubCode;
  f.firmwareVersion = TrimRight(w.FwVerLableEdit.text());
  f.flashPart = identify::DisplayGroupOf(w.chip.chipType) == identify::DisplayGroup::ParallelFlash
                    ? TrimRight(w.FlashTypeList.text())
                    : TrimRight(w.SFlashTypeLable.text());
  f.flashBytes = w.flashSizeMeasured ? std::uint64_t{1024} * w.chip.flashSizeKb
                                     : std::uint64_t{program::Transfer().flashSize};
  const device::DeviceRecord* record = RecordOf(w, entry);
  if (record != nullptr) {
    const RunOffer offer = OfferOf(w, *record, mode);
    if (offer.procedure) f.procedure = program::ProcedureName(*offer.procedure);
  }
  return f;
}

// The file a backup-only run writes: the name given, or the procedure's
// default name.
std::string BackupTarget(MainWindow& w, const RunRecord& r) {
  if (!r.backupFile.empty()) return r.backupFile;
  const device::DeviceRecord* record = RecordOf(w, r.entry);
  const RunOffer offer =
      record != nullptr ? OfferOf(w, *record, RunMode::BackupOnly) : RunOffer{};
  return offer.procedure ? program::DefaultBackupFileOf(*offer.procedure)
                         : program::kDefaultBackupFile;
}

// An earlier backup at the name is kept: the run writes a numbered name
// instead (typed into the backup file box). False when the box is not
// offered.
bool KeepEarlierBackup(Session& s, RunRecord& r) {
  const std::string target = BackupTarget(s.w, r);
  const std::string kept = KeptBackupName(target);
  if (kept == target) return true;
  if (!Offered(s.w.BackupFileEdit, "the backup file name", r.problem)) return false;
  s.w.BackupFileEdit.SetText(kept);
  s.view.ProcessMessages();
  r.backupFile = kept;
  Say(s, target + " exists and is kept: the backup goes to " + kept);
  return true;
}

// After a backup-only run: the file it wrote, and its sidecar. A backup
// without its sidecar cannot be restored: that fails the run (the enclosure
// was only read).
void NameTheBackup(Session& s, RunRecord& r) {
  const std::string written = BackupTarget(s.w, r);
  r.backupFile = written;
  BackupFacts facts = FactsOf(s.w, r.entry, r.mode);
  std::uint64_t length = 0;
  if (const host::File f = host::OpenRegularFile(written.c_str());
      f && host::FileLength(f.get(), length) && length < facts.flashBytes)
    facts.skipped = facts.flashBytes - length;
  std::string problem;
  if (!WriteSidecar(written, facts, s.toolVersion, problem)) {
    r.end = RunEnd::Failed;
    r.problem = problem;
    r.exitClass = ExitClass::Failed;
    Say(s, "backup written to " + written + ", but " + problem);
    Complain(s, problem);
    return;
  }
  Say(s, "backup written to " + written + " (sidecar " + SidecarName(written) + ")");
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
    r.entry = w.DeviceList.enabled() ? EntryOfDevice(w, run.device) : -1;
    if (r.entry < 0) {
      // Listed without it because it could not be opened: say why.
      for (const host::UnreachableDevice& u : s.report.unreachable)
        if (host::Current().discovery().NamesDevice(u.path, run.device))
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

// The window's controls set for the run, once the device is held; not
// pressed (with the status) when the chip or a control does not allow it.
std::optional<int> PrepareRun(Session& s, RunRecord& r, const ConsoleRun& run,
                              const device::DeviceRecord& record, const device::ChangeGate& gate) {
  MainWindow& w = s.w;
  if (!run.expectChip.empty()) {
    const std::string chip = ChipOfEntry(record);
    r.chip = chip;
    if (!ChipNameMatches(chip, run.expectChip))
      return NotPressed(s, r, RunEnd::WrongChip,
                        "entry " + std::to_string(r.entry) + " holds " +
                            (chip.empty() ? std::string("no chip the window knows")
                                          : "a " + chip) +
                            ", not " + run.expectChip + ": Run was not pressed");
  }
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
  if (run.repairOnly) {
    // --repair: the selection did it, or there was nothing to repair.
    const std::string status = TrimRight(w.StatusEdit.text());
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
  // A signal that came during the selection ends it here, before Run; one
  // that came during its bank repair waited for the repair's end.
  if (s.signals != nullptr && s.signals->Pending()) {
    r.end = RunEnd::Interrupted;
    r.exitClass = ExitClass::Failed;
    Say(s, gate.changed() ? "result: interrupted after the bank repair; Run was not pressed"
                          : std::string("result: ") + program::kInterruptedBeforeWriting);
    return static_cast<int>(r.exitClass);
  }
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
  const host::RunScope hold(host::Current().runLocks(), record.path);
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

}  // namespace

std::string PrintableText(const std::string& text) {
  std::string out;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      out += c;
      continue;
    }
    char escape[5];
    std::snprintf(escape, sizeof escape, "\\%03o", byte);
    out += escape;
  }
  return out;
}

bool ChipNameMatches(const std::string& shown, const std::string& wanted) {
  const auto lower = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  };
  const std::string name = lower(TrimRight(shown));
  const std::string want = lower(TrimRight(TrimLeft(wanted)));
  const std::string series = " series";
  if (want.empty() || name.empty()) return false;
  if (want == name) return true;
  return name.size() > series.size() &&
         name.compare(name.size() - series.size(), series.size(), series) == 0 &&
         want == name.substr(0, name.size() - series.size());
}

namespace {

// The devices the last refresh could not open, once each.
std::vector<host::UnreachableDevice> Unreachable(host::Host& platform) {
  std::vector<host::UnreachableDevice> devices;
  for (host::UnreachableDevice& u : platform.discovery().TakeUnreachable()) {
    const bool seen = std::any_of(devices.begin(), devices.end(), [&](const auto& d) {
      return d.path == u.path;
    });
    if (!seen) devices.push_back(std::move(u));
  }
  return devices;
}

// Every file this invocation writes, for the one rule on output names: the
// log, the record and each run's backup with its sidecar (a backup-only run
// without a name writes under one of the procedures' default names).
std::string OutputProblem(const ConsoleOptions& options) {
  std::vector<host::OutputName> outputs;
  if (!options.logFile.empty()) outputs.push_back({options.logFile, "log file"});
  if (!options.recordFile.empty()) outputs.push_back({options.recordFile, "record"});
  std::vector<std::string> images;
  bool defaults = false;
  for (const ConsoleRun& run : options.runs) {
    images.push_back(run.image);
    if (!run.backupFile.empty()) {
      outputs.push_back({run.backupFile, "backup file"});
      outputs.push_back({SidecarName(run.backupFile), "backup sidecar"});
    } else if (run.rd && run.backupOnly && !defaults) {
      defaults = true;
      for (const char* name :
           {program::kDefaultBackupFile, program::kDefaultBackupFileCapitalF}) {
        outputs.push_back({name, "backup file", 1});
        outputs.push_back({SidecarName(name), "backup sidecar", 2});
      }
    }
  }
  return host::CheckOutputNames(outputs, images);
}

bool AnyDenied(const std::vector<host::UnreachableDevice>& devices) {
  return std::any_of(devices.begin(), devices.end(), [](const host::UnreachableDevice& u) {
    return u.why == host::UnreachableDevice::Why::AccessDenied;
  });
}

// ---- The production station (--wait --repeat) -----------------------------

// An enclosure that resets itself after its update comes back as a new
// device: the first one to appear within this time is taken for it.
constexpr auto kResetComesBack = std::chrono::seconds(60);


// The enclosures the listing shows now, by their own entries' paths.
std::vector<std::string> ListedDevices(const MainWindow& w) {
  std::vector<std::string> paths;
  if (!w.DeviceList.enabled()) return paths;
  for (int k = 0; k < EntryCount(w); ++k)
    if (OwnEntry(w.devices[k])) paths.push_back(RecordPath(w.devices[k]));
  return paths;
}

// Entry `which` among those of the enclosure at path (0 its own, 1 its first
// companion entry); -1 when it has no such entry.
int EntryOfEnclosure(const MainWindow& w, const std::string& path, int which) {
  if (!w.DeviceList.enabled()) return -1;
  for (int k = 0; k < EntryCount(w); ++k) {
    if (RecordPath(w.devices[k]) != path) continue;
    if (which-- == 0) return k;
  }
  return -1;
}

bool Contains(const std::vector<std::string>& paths, const std::string& path) {
  return std::find(paths.begin(), paths.end(), path) != paths.end();
}

// Lists, waiting for an enclosure first when asked, then presses Run for
// each run in order.
int ListAndRun(const ConsoleOptions& options, Session& s, host::Host& platform) {
  MainWindow& w = s.w;
  ConsoleReport& report = s.report;
  std::FILE* out = s.human;
  report.unreachable = Unreachable(platform);
  // Waiting helps a device another program uses, not one this user may not
  // open.
  if (options.wait && !w.DeviceList.enabled() && !AnyDenied(report.unreachable)) {
    if (out != nullptr) {
      std::fprintf(out, "Waiting for an enclosure...\n");
      std::fflush(out);
    }
    while (!w.DeviceList.enabled() && !AnyDenied(report.unreachable)) {
      // A change told or not, look again: a notification can be lost.
      platform.discovery().WaitForDeviceChange(kWaitStepMs);
      w.RefreshBtn.Click();
      s.view.ProcessMessages();
      report.unreachable = Unreachable(platform);
    }
  }
  if (options.list || options.runs.empty()) ListEntries(s);
  // A listing that misses a device fails; runs say for themselves.
  int status = options.runs.empty() && !report.unreachable.empty() ? kExitUnavailable : kExitSuccess;
  for (const ConsoleRun& run : options.runs) {
    host::InterruptHold hold;
    s.signals = &hold;
    status = PressRun(s, run);
    s.signals = nullptr;
    const int interrupt = hold.End();
    if (interrupt == 0) {
      if (status != kExitSuccess) break;
      continue;
    }
    report.interrupted = host::InterruptName(interrupt);
    const bool unwritten = !report.runs.empty() && report.runs.back().end == RunEnd::Interrupted;
    const std::string line =
        "interrupted: " + report.interrupted +
        (unwritten ? " came before the run's first write; nothing was written"
                   : " came during the run, which was finished first");
    if (s.log != nullptr) s.log->Note(line);
    if (out != nullptr) {
      std::fprintf(out, "%s\n", line.c_str());
      std::fflush(out);
    }
    status = kExitInterruptedBase + interrupt;
    break;
  }
  return status;
}

class Station {
 public:
  Station(const ConsoleOptions& options, Session& s, host::Host& platform, std::FILE* record)
      : options_(options), s_(s), platform_(platform), record_(record) {}

  // Until a signal (or a record that cannot be written) ends it. Where the
  // platform has worker processes, every enclosure met is updated at once,
  // each in a worker of its own; elsewhere one after the other.
  int Run() {
    host::InterruptHold hold;  // a signal waits for the enclosures under way
    s_.signals = &hold;
    bool first = true;
    bool waiting = false;
    while (!hold.Pending() && recordWritten_) {
      if (!workers_.empty() && !LookDue()) {
        Pump();
        continue;
      }
      if (!first) Look();
      first = false;
      std::vector<std::string> present = ListedDevices(s_.w);
      const std::vector<host::UnreachableDevice> unreachable = Unreachable(platform_);
      for (const host::UnreachableDevice& u : unreachable) present.push_back(u.path);
      if (pending_ && !Settle(present)) {
        Idle();
        continue;
      }
      // An enclosure that was removed may come again as a new one.
      std::erase_if(done_, [&](const std::string& p) { return !Contains(present, p); });
      if (const auto u = std::find_if(unreachable.begin(), unreachable.end(),
                                      [&](const auto& d) { return !done_.count(d.path); });
          u != unreachable.end()) {
        Unopened(*u);
        continue;
      }
      bool started = false;
      for (const std::string& path : present) {
        if (done_.count(path) != 0 || (started && !parallel_)) continue;
        started = true;
        if (parallel_) {
          Spawn(path);
        } else {
          Update(path);
        }
      }
      if (started || !workers_.empty()) {
        waiting = false;
        if (!workers_.empty()) Pump();
        continue;
      }
      if (!waiting) Tell("Waiting for an enclosure...");
      waiting = true;
      Idle();
    }
    // A signal, too, waits for every enclosure under way.
    while (!workers_.empty()) Pump();
    if (pending_) Finish(std::nullopt);
    s_.signals = nullptr;
    const int signal = hold.End();
    summary_.endedBy = signal != 0 ? host::InterruptName(signal) : "";
    Tell("station: " + std::to_string(summary_.updated) + " updated, " +
         std::to_string(summary_.failed) + " failed, " + std::to_string(summary_.skipped) +
         " skipped" + (signal != 0 ? " (ended by " + summary_.endedBy + ")" : std::string()));
    Write(StationSummaryJson(summary_));
    if (!recordWritten_) {
      std::fprintf(s_.err, "tx4077x-console: the record %s could not be written; stopped\n",
                   options_.recordFile.c_str());
    }
    if (attention_) return kExitAttention;
    return summary_.failed == 0 && recordWritten_ ? kExitSuccess : kExitRunFailed;
  }

 private:
  struct Pending {
    StationRecord record;
    std::string path;
    bool resets = false;  // ended with the notice that it resets itself
    std::chrono::steady_clock::time_point ended;
  };

  // An enclosure under way in a worker process.
  struct Running {
    int number = 0;
    std::string path;
    std::unique_ptr<host::Worker> worker;
    std::string text;  // what it wrote that is not relayed yet
    std::optional<StationRecord> record;
    bool resets = false;
  };

  // The line in which a worker tells its record starts with this.
  static constexpr char kResultMark = '\x1e';
  // A line that carries the version the enclosure shows after its update.
  static constexpr char kVersionMark = '\x1d';

  // Waits without a run to watch: for a device change, in real time.
  void Idle() {
    if (!workers_.empty()) {
      Pump();
      return;
    }
    platform_.discovery().WaitForDeviceChange(kWaitStepMs);
  }

  bool LookDue() const {
    return workerEnded_ ||
           std::chrono::steady_clock::now() - lastLook_ >= std::chrono::milliseconds(kWaitStepMs);
  }

  // Looks at the attached enclosures again. The log keeps what changed, not
  // every command of every look.
  void Look() {
    if (s_.log != nullptr) s_.log->Pause(true);
    s_.w.RefreshBtn.Click();
    s_.view.ProcessMessages();
    s_.view.EndLine();
    if (s_.log != nullptr) s_.log->Pause(false);
    lastLook_ = std::chrono::steady_clock::now();
    workerEnded_ = false;
    std::vector<std::string> listed = ListedDevices(s_.w);
    if (s_.log != nullptr && listed != lastListed_) {
      std::string line = "listing now:";
      for (const std::string& p : listed) line += " " + p;
      s_.log->Note(listed.empty() ? "listing now: no enclosure" : line);
    }
    lastListed_ = std::move(listed);
  }

  // One enclosure: the template's run on its entry. resets tells that it
  // ended with the notice that the chip resets itself.
  StationRecord RunOn(const std::string& path, int number, bool& resets) {
    ConsoleRun run = options_.runs.front();
    StationRecord rec;
    rec.number = number;
    rec.started = LocalTimeText();
    rec.path = path;
    run.entry = EntryOfEnclosure(s_.w, path, options_.runs.front().entry);
    for (std::size_t at = run.backupFile.find("{n}"); at != std::string::npos;
         at = run.backupFile.find("{n}", at))
      run.backupFile.replace(at, 3, std::to_string(rec.number));
    if (run.entry < 0) {
      rec.problem = "The enclosure has no entry " + std::to_string(options_.runs.front().entry) +
                    " of its own; nothing was sent.";
      rec.end = RunEnd::NoSuchEntry;
      Tell(rec.problem);
      return rec;
    }
    const std::size_t boxes = s_.view.messages.size();
    PressRun(s_, run);
    const RunRecord& r = s_.report.runs.back();
    rec.entryText = r.entryText;
    rec.chip = r.chip;
    rec.versionBefore = r.firmwareVersion;
    rec.end = r.end;
    rec.procedure = r.procedure;
    rec.problem = r.problem;
    rec.seconds = r.wallSeconds;
    if (r.exitClass == ExitClass::Attention) attention_ = true;
    if (r.end == RunEnd::Succeeded && r.mode == RunMode::BackupOnly) rec.backupFile = r.backupFile;
    if (r.end != RunEnd::Succeeded) {
      if (rec.problem.empty()) rec.problem = TrimRight(s_.w.StatusEdit.text());
      return rec;
    }
    resets = s_.view.messages.size() > boxes &&
             s_.view.messages.back().text == program::kAutoReset;
    return rec;
  }

  // In turn: the record is written once it is known what the enclosure
  // shows afterwards.
  void Update(const std::string& path) {
    done_.insert(path);
    Pending p;
    p.path = path;
    p.record = RunOn(path, ++number_, p.resets);
    if (p.record.end != RunEnd::Succeeded) {
      Record(p.record);
      return;
    }
    // The outcome is known: its line goes to the record before any command
    // reads the version afterwards, which follows on a line of its own.
    Count(p.record);
    Write(StationRecordJson(p.record));
    p.ended = std::chrono::steady_clock::now();
    pending_ = std::move(p);
  }

  // At once: the enclosure is held from here, and its worker goes on under
  // the same hold, so the station's next looks leave it alone.
  void Spawn(const std::string& path) {
    done_.insert(path);
    const int number = ++number_;
    const host::RunScope hold(host::Current().runLocks(), path);
    if (!hold.held()) {
      StationRecord rec;
      rec.number = number;
      rec.started = LocalTimeText();
      rec.path = path;
      rec.end = RunEnd::Unreachable;
      rec.problem = HoldProblem(path, hold.lastError());
      Tell(rec.problem);
      Record(rec);
      return;
    }
    Running running;
    running.number = number;
    running.path = path;
    running.worker =
        host::Worker::Start([&](std::FILE* toParent) { Work(path, number, toParent); });
    if (!running.worker) {
      // No process to be had: this one is updated here and now.
      --number_;
      done_.erase(path);
      Update(path);
      return;
    }
    workers_.push_back(std::move(running));
  }

  // In the worker process: the run, then the version the enclosure reports,
  // then the record on the last line to the station.
  void Work(const std::string& path, int number, std::FILE* toParent) {
    s_.human = toParent;
    s_.err = toParent;  // relayed with the enclosure's number, as its other lines
    s_.progress = nullptr;
    s_.view.Redirect(toParent);
    if (s_.log != nullptr) s_.log->SetPrefix("e" + std::to_string(number) + " ");
    bool resets = false;
    StationRecord rec = RunOn(path, number, resets);
    // The outcome goes to the station, and so to the record, as soon as it is
    // known; the version read afterwards follows on a line of its own.
    std::fprintf(toParent, "%c%c%s\n", kResultMark, resets ? 'R' : '-',
                 StationRecordJson(rec).c_str());
    std::fflush(toParent);
    if (rec.end == RunEnd::Succeeded && !resets) {
      const int entry = EntryOfEnclosure(s_.w, path, 0);
      if (entry >= 0) {
        s_.w.DeviceList.UserSelect(entry);
        s_.view.ProcessMessages();
        s_.view.EndLine();
        std::fprintf(toParent, "%c%s\n", kVersionMark,
                     TrimRight(s_.w.FwVerLableEdit.text()).c_str());
        std::fflush(toParent);
      }
    }
    // The hold taken before the worker started is the worker's to end: the
    // device's settings are put back once it is released.
    host::Current().runLocks().EndRun(path.c_str());
  }

  // Relays what the workers wrote, a whole line at a time, and takes the
  // record of each that ended.
  void Pump() {
    std::vector<host::Worker*> workers;
    for (const Running& r : workers_) workers.push_back(r.worker.get());
    host::WaitForWorkers(workers, kWaitStepMs);
    for (auto it = workers_.begin(); it != workers_.end();) {
      const bool open = it->worker->Read(it->text);
      if (!open && !it->text.empty() && it->text.back() != '\n') it->text += '\n';
      Relay(*it);
      if (open) {
        ++it;
        continue;
      }
      it->worker.reset();  // waits for the process
      workerEnded_ = true;
      Ended(*it);
      it = workers_.erase(it);
    }
  }

  void Relay(Running& r) {
    for (std::size_t end; (end = r.text.find('\n')) != std::string::npos;) {
      const std::string line = r.text.substr(0, end);
      r.text.erase(0, end + 1);
      if (line.size() > 1 && line[0] == kResultMark) {
        StationRecord rec;
        if (StationRecordFromJson(line.substr(2), rec)) {
          Count(rec);
          Write(StationRecordJson(rec));
          r.record = std::move(rec);
          r.resets = line[1] == 'R';
        }
        continue;
      }
      if (!line.empty() && line[0] == kVersionMark && r.record) {
        r.record->versionAfter = line.substr(1);
        Write(StationVersionAfterJson(*r.record));
        continue;
      }
      // Its own lines are in the log already.
      std::fprintf(s_.human, "[enclosure %d] %s\n", r.number, line.c_str());
      std::fflush(s_.human);
    }
  }

  void Ended(Running& r) {
    if (!r.record) {
      StationRecord rec;
      rec.number = r.number;
      rec.started = LocalTimeText();
      rec.path = r.path;
      rec.end = RunEnd::Failed;
      rec.problem = "The worker process for this enclosure ended without its result.";
      Tell(rec.problem);
      Record(rec);
      return;
    }
    // Its line is in the record already, written when the worker told it.
    if (!r.resets) {
      Tell(*r.record);
      return;
    }
    // It comes back as a new device: the first to appear is taken for it.
    if (pending_) Finish(std::nullopt);
    Pending p;
    p.record = std::move(*r.record);
    p.path = r.path;
    p.resets = true;
    p.ended = std::chrono::steady_clock::now();
    pending_ = std::move(p);
  }

  // The updated enclosure as the listing shows it now: its version after the
  // update is read from it, then its line is written. False while an
  // enclosure that resets itself has yet to come back.
  bool Settle(const std::vector<std::string>& present) {
    if (Contains(present, pending_->path)) {
      Finish(pending_->path);
      return true;
    }
    if (!pending_->resets) {
      Finish(std::nullopt);  // removed already
      return true;
    }
    const auto back = std::find_if(present.begin(), present.end(),
                                   [&](const std::string& p) { return !done_.count(p); });
    if (back != present.end()) {
      done_.insert(*back);  // the same enclosure, never updated twice
      Finish(*back);
      return true;
    }
    if (std::chrono::steady_clock::now() - pending_->ended > kResetComesBack) {
      Finish(std::nullopt);
      return true;
    }
    return false;
  }

  void Finish(const std::optional<std::string>& at) {
    StationRecord rec = std::move(pending_->record);
    pending_.reset();
    const int entry = at ? EntryOfEnclosure(s_.w, *at, 0) : -1;
    if (entry >= 0) {
      s_.w.DeviceList.UserSelect(entry);
      s_.view.ProcessMessages();
      s_.view.EndLine();
      rec.versionAfter = TrimRight(s_.w.FwVerLableEdit.text());
      Write(StationVersionAfterJson(rec));
    }
    Tell(rec);
  }

  void Unopened(const host::UnreachableDevice& u) {
    done_.insert(u.path);
    StationRecord rec;
    rec.number = ++number_;
    rec.started = LocalTimeText();
    rec.path = u.path;
    rec.end = RunEnd::Unreachable;
    rec.problem = u.text;
    Tell(PrintableText(u.text));
    Record(rec);
  }

  void Count(StationRecord& rec) {
    const bool wrote = rec.end == RunEnd::Succeeded;
    const bool failed = rec.end == RunEnd::Failed || rec.end == RunEnd::Unreachable;
    rec.outcome = wrote ? "updated" : failed ? "failed" : "skipped";
    ++(wrote ? summary_.updated : failed ? summary_.failed : summary_.skipped);
  }

  void Record(StationRecord& rec) {
    Count(rec);
    Write(StationRecordJson(rec));
    Tell(rec);
  }

  void Tell(const StationRecord& rec) {
    Tell("enclosure " + std::to_string(rec.number) + ": " + rec.outcome + " (" +
         (rec.chip.empty() ? std::string("-") : rec.chip) + ", version " +
         (rec.versionBefore.empty() ? std::string("-") : rec.versionBefore) + " -> " +
         (rec.versionAfter.empty() ? std::string("-") : rec.versionAfter) +
         "); remove it and attach the next");
  }

  void Write(const std::string& line) {
    if (record_ == nullptr || !recordWritten_) return;
    if (!host::AppendRecordLine(record_, line)) recordWritten_ = false;
  }

  void Tell(const std::string& line) {
    if (s_.log != nullptr) s_.log->Note(line);
    std::fprintf(s_.human, "%s\n", line.c_str());
    std::fflush(s_.human);
  }

  const ConsoleOptions& options_;
  Session& s_;
  host::Host& platform_;
  std::FILE* record_;
  std::set<std::string> done_;  // met and still attached
  std::optional<Pending> pending_;
  std::vector<Running> workers_;
  const bool parallel_ = host::WorkersAvailable() && !options_.stationInTurn;
  bool workerEnded_ = false;
  std::chrono::steady_clock::time_point lastLook_ = std::chrono::steady_clock::now();
  std::vector<std::string> lastListed_;
  StationSummary summary_;
  int number_ = 0;
  bool recordWritten_ = true;
  bool attention_ = false;  // an enclosure was left neither old nor new
};

LogHeader LogHeaderOf(const ConsoleOptions& options) {
  LogHeader header;
  header.arguments = options.arguments;
  header.toolVersion = options.toolVersion;
  header.toolCommit = options.toolCommit;
  header.system = host::SystemDescription();
  for (const ConsoleRun& run : options.runs)
    if (!run.image.empty() &&
        std::find(header.images.begin(), header.images.end(), run.image) == header.images.end())
      header.images.push_back(run.image);
  return header;
}

// Each enclosure as the first refresh found it, before any run selects one.
void LogEnclosures(ConsoleLog& log, const MainWindow& w) {
  if (!w.DeviceList.enabled()) {
    log.HeaderLine("enclosures: none (" + w.DeviceList.text() + ")");
    return;
  }
  for (int k = 0; k < EntryCount(w); ++k) {
    const device::BusKind bus = w.devices[k].bus;
    log.HeaderLine("enclosure " + std::to_string(k) + ": " +
                   TrimRight(w.DeviceList.items()[static_cast<std::size_t>(k)]) + ", " +
                   (bus == device::BusKind::Usb        ? "USB"
                    : bus == device::BusKind::Ieee1394 ? "IEEE 1394"
                                                       : "other") +
                   ", path " + RecordPath(w.devices[k]));
  }
}

// The log and the record, opened before anything is sent once no output
// takes a name the rule for output files refuses; "" or what stops the
// console, naming the file and the reason.
std::string OpenOutputs(const ConsoleOptions& options, std::unique_ptr<ConsoleLog>& log,
                        host::File& record) {
  if (std::string problem = OutputProblem(options); !problem.empty()) return problem;
  const auto reason = [] { return errno != 0 ? std::string(": ") + std::strerror(errno) : ""; };
  if (!options.logFile.empty()) {
    errno = 0;
    log = ConsoleLog::Create(options.logFile, LogHeaderOf(options));
    if (!log) return "cannot create the log file " + options.logFile + reason();
  }
  if (!options.recordFile.empty()) {
    // Appended to: a station started again goes on with the same record.
    errno = 0;
    record = host::OpenOutputFile(options.recordFile.c_str(), host::OutputMode::Append);
    if (!record) return "cannot open the record " + options.recordFile + reason();
  }
  return "";
}

}  // namespace

int RunConsole(const ConsoleOptions& options, std::FILE* out, std::FILE* err,
               std::FILE* answers) {
  std::unique_ptr<ConsoleLog> log;
  host::File record;
  if (const std::string problem = OpenOutputs(options, log, record); !problem.empty()) {
    std::fprintf(err, "tx4077x-console: %s\n", PrintableText(problem).c_str());
    return kExitUsage;
  }
  std::unique_ptr<ProgressLine> progress;
  if (!options.json && !options.quiet && host::IsTerminal(err))
    progress = std::make_unique<ProgressLine>(err, host::TerminalColumns(err));
  TrafficWatch traffic;
  std::vector<HostWatcher*> watchers = {&traffic};
  if (log) watchers.push_back(log.get());
  if (progress) watchers.push_back(progress.get());
  VerboseWatch verbose(err, progress.get());
  if (options.verbose) watchers.push_back(&verbose);
  WatchedHost watched(host::Current(), watchers);
  const host::ScopedHost scope(watched);
  ConsoleView view(out, log.get(), progress.get(), !options.json && host::IsTerminal(out),
                   options.quiet);
  // The procedures' own lines: on standard output in their place, and in the log.
  const program::DiagnosticListener diagnostics([&view, &log](std::string_view line) {
    view.Diagnostic(line);
    if (log) log->Diagnostic(line);
  });
  ConsoleReport report;
  if (options.json) view.RecordInto(&report.otherEvents);
  host::Host& platform = host::Current();
  // Start listening before the first look, so an enclosure plugged in
  // meanwhile is not missed.
  if (options.wait) platform.discovery().WaitForDeviceChange(0);
  platform.discovery().TakeUnreachable();
  std::unique_ptr<MainWindow> window = StartMainWindow(view);
  view.ProcessMessages();
  if (log) LogEnclosures(*log, *window);
  report.toolVersion = options.toolVersion;
  report.toolCommit = options.toolCommit;
  std::FILE* human = options.json ? nullptr : out;
  Session session{*window,         view,  human,   report,      log.get(),
                  progress.get(),  options.toolVersion, nullptr, &traffic.traffic,
                  err,             answers, options.yes};
  const int status = options.repeat ? Station(options, session, platform, record.get()).Run()
                                    : ListAndRun(options, session, platform);
  // Leave as the Exit button does: the marked records leave vendor mode.
  if (options.json) view.RecordInto(&report.otherEvents);
  window->ExitBtn.Click();
  view.ProcessMessages();
  view.EndLine();
  if (options.json) {
    report.exitStatus = status;
    std::fputs(ConsoleJson(report).c_str(), out);
    std::fflush(out);
  }
  // An output that failed (a full disk, a file-size limit, a closed pipe)
  // never stopped a run; the exit status says the account is incomplete.
  bool incomplete = false;
  if (log && !log->complete()) {
    incomplete = true;
    std::fprintf(err, "tx4077x-console: the log file %s could not be written whole\n",
                 options.logFile.c_str());
  }
  // The procedures' own diagnostic lines go to standard output as well.
  const bool outFailed = std::fflush(out) != 0 || std::ferror(out) != 0;
  const bool stdoutFailed = std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
  if (outFailed || stdoutFailed) {
    incomplete = true;
    std::fputs("tx4077x-console: the output could not be written whole\n", err);
  }
  return incomplete && status == kExitSuccess ? kExitOutputIncomplete : status;
}

}  // namespace app
