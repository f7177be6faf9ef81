#include "app/console.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/console_json.h"
#include "app/enabling.h"
#include "app/headless_view.h"
#include "app/window_run.h"
#include "device/chip_commands.h"
#include "device/discovery.h"
#include "host/host.h"
#include "host/interrupts.h"
#include "identify/catalogue.h"
#include "identify/chip_classify.h"
#include "identify/device_identify.h"
#include "identify/display_rules.h"
#include "identify/image_checks.h"
#include "program/dispatch.h"

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
// document it records them into a list instead.
class ConsoleView : public HeadlessView {
 public:
  explicit ConsoleView(std::FILE* out) : out_(out) {}

  // From now on status lines and boxes go into list, not to the output.
  void RecordInto(std::vector<ConsoleEvent>* list) {
    EndLine();
    events_ = list;
  }

  void ShowMessage(const std::string& text, const std::string& caption, ui::Icon icon) override {
    HeadlessView::ShowMessage(text, caption, icon);
    EndLine();
    if (events_ != nullptr) {
      events_->push_back({true, text, caption});
      return;
    }
    std::fprintf(out_, "[%s] %s\n", caption.c_str(), OneLine(text).c_str());
    std::fflush(out_);
  }

  // Run's question is answered from the run's options and shown the way
  // boxes are, with its answer.
  bool AskYesNo(const std::string& text, const std::string& caption, ui::Icon icon) override {
    questionAnswers.assign(1, answerYes);
    const bool yes = HeadlessView::AskYesNo(text, caption, icon);
    EndLine();
    const char* answer = yes ? "Yes" : "No";
    // The run's outcome tells the answer in the JSON document.
    if (events_ != nullptr) {
      events_->push_back({true, text, caption});
      return yes;
    }
    std::fprintf(out_, "[%s] %s -> %s\n", caption.c_str(), OneLine(text).c_str(), answer);
    std::fflush(out_);
    return yes;
  }

  bool answerYes = false;

  void Repaint(const std::string& control) override {
    HeadlessView::Repaint(control);
    if (window == nullptr || control != window->StatusEdit.name()) return;
    const std::string& text = window->StatusEdit.text();
    if (text == shown_) return;
    const bool continues = lineOpen_ && !shown_.empty() && text.size() > shown_.size() &&
                           text.compare(0, shown_.size(), shown_) == 0;
    if (events_ != nullptr) {
      Record(text, continues);
    } else if (continues) {
      std::fputs(OneLine(text.substr(shown_.size())).c_str(), out_);
    } else {
      EndLine();
      if (!text.empty()) {
        std::fprintf(out_, "status: %s", OneLine(text).c_str());
        lineOpen_ = true;
      }
    }
    shown_ = text;
    std::fflush(out_);
  }

  void EndLine() {
    if (!lineOpen_) return;
    lineOpen_ = false;
    if (events_ != nullptr) return;
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

  std::FILE* out_;
  std::vector<ConsoleEvent>* events_ = nullptr;
  std::string shown_;
  bool lineOpen_ = false;
};

// A device's text for the running text, or "-" when there is none.
std::string Shown(const std::string& text) { return text.empty() ? "-" : PrintableText(text); }

// Where a session writes: the running text (human) or, for the JSON document,
// nothing until the end (human is null then).
struct Session {
  MainWindow& w;
  ConsoleView& view;
  std::FILE* human;
  ConsoleReport& report;
};

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
  const device::DeviceRecord* record = RecordOf(w, index);
  if (record == nullptr) return;
  e.bus = record->bus;
  e.path.assign(record->path, strnlen(record->path, sizeof record->path));
  e.diskSequence = host::Current().DiskSequence(e.path.c_str());
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
  }
  return RunEnd::Failed;
}

// The entry of the enclosure at a device path: its own entry, not the
// companion entries that share its path; -1 when none.
int EntryOfDevice(const MainWindow& w, const std::string& given) {
  const int count = std::min<int>({w.recordCount, device::kMaxDevices,
                                   static_cast<int>(w.DeviceList.items().size())});
  for (int k = 0; k < count; ++k) {
    const device::DeviceRecord& record = w.devices[k];
    if (record.companion847 == 0 && record.companion842 == 0 &&
        host::Current().NamesDevice(record.path, given))
      return k;
  }
  return -1;
}

// Why a run could not hold its device.
std::string HoldProblem(std::uint32_t lastError) {
  switch (lastError) {
    case host::kErrorSharingViolation:
      return "The device is in use by another program (device in use); nothing was sent.";
    case host::kErrorFileNotFound:
      return "The device is not the one that was listed (unplugged or replaced); nothing was "
             "sent.";
    case host::kErrorAccessDenied:
      return "This user may not open the device; nothing was sent.";
    default:
      return "The device could not be opened (error " + std::to_string(lastError) +
             "); nothing was sent.";
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

// Ends a run the console could not press Run for: its reason printed and
// recorded.
int NotPressed(Session& s, RunRecord& r, RunEnd end, std::string problem, int status) {
  r.end = end;
  r.problem = std::move(problem);
  if (s.human != nullptr) std::fprintf(s.human, "%s\n", PrintableText(r.problem).c_str());
  return status;
}

int PressRun(Session& s, const ConsoleRun& run) {
  MainWindow& w = s.w;
  std::FILE* out = s.human;
  RunRecord& r = s.report.runs.emplace_back();
  r.entry = run.entry;
  r.device = run.device;
  r.mode = run.eraseOnly ? RunMode::EraseOnly : run.backupOnly ? RunMode::BackupOnly
                                                               : RunMode::Program;
  if (out == nullptr) s.view.RecordInto(&r.events);
  if (!run.device.empty()) {
    r.entry = w.DeviceList.enabled() ? EntryOfDevice(w, run.device) : -1;
    if (r.entry < 0) {
      // Listed without it because it could not be opened: say why.
      for (const host::UnreachableDevice& u : s.report.unreachable)
        if (host::Current().NamesDevice(u.path, run.device))
          return NotPressed(s, r, RunEnd::Unreachable, u.text, kExitRunFailed);
      return NotPressed(s, r, RunEnd::NoSuchEntry,
                        "There is no enclosure at " + run.device + ".", kExitUsage);
    }
  } else if (!s.report.unreachable.empty()) {
    // The entries are numbered without the devices that could not be
    // opened: entry N may be another enclosure than the user counted on.
    return NotPressed(s, r, RunEnd::Unreachable,
                      "Entry numbers leave out a device that could not be opened (" +
                          s.report.unreachable.front().text +
                          "); name the enclosure with --device instead.",
                      kExitRunFailed);
  }
  const device::DeviceRecord* record = RecordOf(w, r.entry);
  if (!w.DeviceList.enabled() || record == nullptr ||
      r.entry >= static_cast<int>(w.DeviceList.items().size()))
    return NotPressed(s, r, RunEnd::NoSuchEntry,
                      "There is no entry " + std::to_string(r.entry) + ".", kExitUsage);

  // The device is held from the selection's first command to the run's last.
  const host::RunScope hold(host::Current(), record->path);
  if (!hold.held())
    return NotPressed(s, r, RunEnd::Unreachable, HoldProblem(hold.lastError()), kExitRunFailed);
  if (!run.expectChip.empty()) {
    const std::string chip = ChipOfEntry(*record);
    if (!ChipNameMatches(chip, run.expectChip))
      return NotPressed(s, r, RunEnd::WrongChip,
                        "Entry " + std::to_string(r.entry) + " holds " +
                            (chip.empty() ? std::string("no chip the window knows")
                                          : "a " + chip) +
                            ", not " + run.expectChip + ": Run was not pressed.",
                        kExitUsage);
  }
  ConsoleRun selected = run;
  selected.entry = r.entry;
  if (!SetUpRun(w, s.view, selected, r.problem))
    return NotPressed(s, r, RunEnd::NotOffered, r.problem, kExitUsage);
  s.view.ProcessMessages();
  s.view.EndLine();
  r.entryText = TrimRight(w.DeviceList.items()[static_cast<std::size_t>(r.entry)]);
  r.image = w.FwFilenameEdit.text();
  r.backupFile = w.BackupFileEdit.text();
  if (out != nullptr) {
    std::fprintf(out, "entry %d: %s (chip %s, firmware %s, flash %s)\n", r.entry,
                 Shown(r.entryText).c_str(), Shown(TrimRight(w.ChipLabelEdit.text())).c_str(),
                 Shown(TrimRight(w.FwVerLableEdit.text())).c_str(),
                 Shown(TrimRight(w.SFlashTypeLable.text())).c_str());
  }
  if (!w.UpdateBtn.enabled()) {
    r.end = RunEnd::RunDisabled;
    r.problem = "Run is disabled for this entry with these options";
    if (out != nullptr) std::fprintf(out, "result: %s\n", r.problem.c_str());
    return kExitRunFailed;
  }
  s.view.answerYes = run.programAnyway;
  const std::size_t asked = s.view.questions.size();
  const auto started = std::chrono::steady_clock::now();
  w.UpdateBtn.Click();
  s.view.ProcessMessages();
  s.view.EndLine();
  r.wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  r.procedure = w.lastProcedure;
  r.end = EndOf(w.lastOutcome);
  const char* name = program::ProcedureName(w.lastProcedure);
  switch (r.end) {
    case RunEnd::Succeeded:
      if (out != nullptr) std::fprintf(out, "result: success (%s)\n", name);
      return kExitSuccess;
    case RunEnd::Refused:
      if (out == nullptr) return kExitRunFailed;
      if (s.view.questions.size() > asked) {
        std::fprintf(out, "result: refused, the image does not match this chip "
                          "(--program-anyway programs it)\n");
      } else {
        std::fprintf(out, "result: refused, Run stays disabled\n");
      }
      return kExitRunFailed;
    case RunEnd::RanNothing:
      if (out != nullptr) std::fprintf(out, "result: nothing ran (%s)\n", name);
      return kExitRunFailed;
    default:
      if (out != nullptr) std::fprintf(out, "result: failed (%s)\n", name);
      return kExitRunFailed;
  }
}

bool ParseEntry(const std::string& text, int& entry) {
  if (text.empty() || text.size() > 3 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  entry = std::atoi(text.c_str());
  return true;
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

std::string ConsoleUsage() {
  return "usage: tx4077x-console [--simulate] [--list] [--wait] [--json]\n"
         "                       [{--run N | --device PATH} [run options]]...\n"
         "       tx4077x-console --help | --version\n"
         "\n"
         "The main window without a screen. With no --run it lists the enclosures as\n"
         "the window shows them after selecting each entry: entry, chip name, drive\n"
         "letters, firmware version and flash type. Each --run selects entry N, sets\n"
         "the window's controls from its options and presses Run, printing every\n"
         "status line (progress dots continue the line as they come) and every\n"
         "message box as [caption] text. Several --run groups run in order on the\n"
         "same window, as a user pressing Run again; the first that fails ends it.\n"
         "\n"
         "  --simulate          use the built-in simulated enclosures, not real devices\n"
         "  --list              list the entries even when runs are given\n"
         "  --wait              wait until an enclosure the window recognises is\n"
         "                      attached (looking again every 2 s), then list or run\n"
         "                      on it\n"
         "  --json              write one JSON document instead (the listing with\n"
         "                      what Run would do per entry, and each run's result\n"
         "                      with its status lines and boxes); see the README\n"
         "  --help              show this text\n"
         "  --version           show the utility's version and the commit it was\n"
         "                      built from\n"
         "\n"
         "  --device PATH       like --run, for the entry of the enclosure at PATH: the\n"
         "                      path the JSON listing gives, or on Linux its /dev/sdX,\n"
         "                      /dev/srN or /dev/sgN node (or a link to one). Entry\n"
         "                      numbers can change when enclosures come and go; a\n"
         "                      path cannot name another enclosure.\n"
         "\n"
         "Run options (they belong to the --run or --device before them):\n"
         "  --expect-chip NAME  press Run only when the entry's chip is NAME (as the\n"
         "                      chip line shows it, \" Series\" optional, any case)\n"
         "  --image FILE        the firmware file (\"Firmware File\"); left as it is\n"
         "                      when not given\n"
         "  --load FILE         choose the firmware file with \"Load File\": Run stays\n"
         "                      enabled even when the image check refuses the file\n"
         "  --flash-type N      the parallel flash part (\"Flash Type \" list): 0 ATMEL,\n"
         "                      1 PMC, 2 SST, where the window shows it\n"
         "  --rd                check \"RD Version\" (the engineering panel); needed by\n"
         "                      the options below. Its boxes are left unchecked unless\n"
         "                      given, and the backup file name empty.\n"
         "  --erase-only        check \"Erase All Flash Only \"\n"
         "  --backup-only       check \"Backup Old Firmware Only\"\n"
         "  --backup-file FILE  the backup file name (empty: oldflash.bak, or\n"
         "                      oldFlash.bak for block, disk-area and HDD updates, in\n"
         "                      the current folder, after the window's notice)\n"
         "  --nvram on|off      set \"Include 4K NVRAM\" where the window shows it\n"
         "  --size SIZE         the firmware size box: 32KB, 64KB, 128KB, 256KB, 512KB\n"
         "                      or 1MB, where the window shows it\n"
         "  --a1-chip on|off    set \"A1 Chip\" where the window shows it\n"
         "  --program-anyway    answer Yes when Run asks whether to program an image\n"
         "                      the chip check refused (a file given with --load);\n"
         "                      without it the answer is No: nothing is sent and the\n"
         "                      run is refused\n"
         "\n"
         "A control the window hides or disables for the entry is refused, as is a\n"
         "run while Run is disabled. The procedures' own diagnostic lines (\"NVRAM\n"
         "O.K.\") also appear on standard output.\n"
         "\n"
         "A run holds its device from the entry's selection to its end: another\n"
         "program's run on it is refused (device in use), and so is a run on a device\n"
         "that is no longer the one listed. SIGINT, SIGTERM, SIGHUP and SIGQUIT (on\n"
         "Windows Ctrl+C, Ctrl+Break and closing the console) wait for the run's end;\n"
         "then the console says so and stops. Output that cannot be written (a closed\n"
         "pipe) never stops a run.\n"
         "\n"
         "Exit status:\n"
         "  0  every run succeeded: it ended with the power-cycle notice (programming\n"
         "     and erase-only runs) or with \"Read flash and backup success!\"\n"
         "     (backup-only runs); listing only: every device could be opened\n"
         "  1  a run failed (any other ending), ran nothing for its chip, was refused\n"
         "     by the image size check or for an image that does not match the chip,\n"
         "     Run was disabled, or its device could not be held (in use, replaced, not open to this\n"
         "     user); a listing that misses a device it could not open\n"
         "  2  bad arguments, no such entry, an option the window does not offer, or\n"
         "     not the chip --expect-chip names\n"
         "  128+N  signal N (2 for Ctrl+C) came during a run, which was finished first\n";
}

bool ParseConsoleArgs(const std::vector<std::string>& args, ConsoleOptions& options,
                      std::string& error) {
  options = ConsoleOptions{};
  auto needRun = [&](const std::string& arg) {
    if (!options.runs.empty()) return true;
    error = arg + " belongs to a --run";
    return false;
  };
  auto needRd = [&](const std::string& arg) {
    if (options.runs.back().rd) return true;
    error = arg + " needs --rd before it";
    return false;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) {
        error = arg + " needs a value";
        return false;
      }
      out = args[++i];
      return true;
    };
    std::string v;
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else if (arg == "--simulate") {
      options.simulate = true;
    } else if (arg == "--list") {
      options.list = true;
    } else if (arg == "--wait") {
      options.wait = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--run") {
      ConsoleRun run;
      if (!value(v)) return false;
      if (!ParseEntry(v, run.entry)) {
        error = "--run needs an entry number, not \"" + v + "\"";
        return false;
      }
      options.runs.push_back(run);
    } else if (arg == "--device") {
      ConsoleRun run;
      if (!value(run.device)) return false;
      if (run.device.empty()) {
        error = "--device needs a device path";
        return false;
      }
      options.runs.push_back(run);
    } else if (arg == "--expect-chip") {
      if (!needRun(arg) || !value(v)) return false;
      if (TrimLeft(v).empty()) {
        error = "--expect-chip needs a chip name";
        return false;
      }
      options.runs.back().expectChip = v;
    } else if (arg == "--image") {
      if (!needRun(arg) || !value(v)) return false;
      if (v.empty()) {
        error = "--image needs a file name";
        return false;
      }
      options.runs.back().image = v;
    } else if (arg == "--load") {
      if (!needRun(arg) || !value(v)) return false;
      if (v.empty()) {
        error = "--load needs a file name";
        return false;
      }
      options.runs.back().image = v;
      options.runs.back().load = true;
    } else if (arg == "--program-anyway") {
      if (!needRun(arg)) return false;
      options.runs.back().programAnyway = true;
    } else if (arg == "--rd") {
      if (!needRun(arg)) return false;
      options.runs.back().rd = true;
    } else if (arg == "--erase-only") {
      if (!needRun(arg) || !needRd(arg)) return false;
      options.runs.back().eraseOnly = true;
    } else if (arg == "--backup-only") {
      if (!needRun(arg) || !needRd(arg)) return false;
      options.runs.back().backupOnly = true;
    } else if (arg == "--backup-file") {
      if (!needRun(arg) || !needRd(arg) || !value(v)) return false;
      options.runs.back().backupFile = v;
    } else if (arg == "--nvram") {
      if (!needRun(arg) || !needRd(arg) || !value(v)) return false;
      if (v != "on" && v != "off") {
        error = "--nvram takes on or off";
        return false;
      }
      options.runs.back().nvram = v == "on";
    } else if (arg == "--size") {
      if (!needRun(arg) || !needRd(arg) || !value(v)) return false;
      const char* sizes[] = {"32KB", "64KB", "128KB", "256KB", "512KB", "1MB"};
      if (std::find(std::begin(sizes), std::end(sizes), v) == std::end(sizes)) {
        error = "--size takes 32KB, 64KB, 128KB, 256KB, 512KB or 1MB";
        return false;
      }
      options.runs.back().fwSize = v;
    } else if (arg == "--flash-type") {
      if (!needRun(arg) || !value(v)) return false;
      if (v != "0" && v != "1" && v != "2") {
        error = "--flash-type takes 0, 1 or 2";
        return false;
      }
      options.runs.back().flashType = v[0] - '0';
    } else if (arg == "--a1-chip") {
      if (!needRun(arg) || !needRd(arg) || !value(v)) return false;
      if (v != "on" && v != "off") {
        error = "--a1-chip takes on or off";
        return false;
      }
      options.runs.back().a1Chip = v == "on";
    } else {
      error = "unknown option: " + arg;
      return false;
    }
  }
  for (const ConsoleRun& run : options.runs) {
    if (run.eraseOnly && run.backupOnly) {
      error = "--erase-only and --backup-only exclude each other (the window unchecks one)";
      return false;
    }
    // A typed-in file the chip check refuses leaves Run disabled: Run can
    // only ask about a file chosen with "Load File".
    if (run.programAnyway && !run.load) {
      error = "--program-anyway answers for a file given with --load";
      return false;
    }
  }
  return true;
}

namespace {

// The devices the last refresh could not open, once each.
std::vector<host::UnreachableDevice> Unreachable(host::Host& platform) {
  std::vector<host::UnreachableDevice> devices;
  for (host::UnreachableDevice& u : platform.TakeUnreachable()) {
    const bool seen = std::any_of(devices.begin(), devices.end(), [&](const auto& d) {
      return d.path == u.path;
    });
    if (!seen) devices.push_back(std::move(u));
  }
  return devices;
}

bool AnyDenied(const std::vector<host::UnreachableDevice>& devices) {
  return std::any_of(devices.begin(), devices.end(), [](const host::UnreachableDevice& u) {
    return u.why == host::UnreachableDevice::Why::AccessDenied;
  });
}

}  // namespace

int RunConsole(const ConsoleOptions& options, std::FILE* out) {
  ConsoleView view(out);
  ConsoleReport report;
  if (options.json) view.RecordInto(&report.otherEvents);
  host::Host& platform = host::Current();
  // Start listening before the first look, so an enclosure plugged in
  // meanwhile is not missed.
  if (options.wait) platform.WaitForDeviceChange(0);
  platform.TakeUnreachable();
  std::unique_ptr<MainWindow> window = StartMainWindow(view);
  view.ProcessMessages();
  report.unreachable = Unreachable(platform);
  // Waiting helps a device another program uses, not one this user may not
  // open.
  if (options.wait && !window->DeviceList.enabled() && !AnyDenied(report.unreachable)) {
    if (!options.json) {
      std::fprintf(out, "Waiting for an enclosure...\n");
      std::fflush(out);
    }
    while (!window->DeviceList.enabled() && !AnyDenied(report.unreachable)) {
      // A change told or not, look again: a notification can be lost.
      platform.WaitForDeviceChange(kWaitStepMs);
      window->RefreshBtn.Click();
      view.ProcessMessages();
      report.unreachable = Unreachable(platform);
    }
  }
  Session session{*window, view, options.json ? nullptr : out, report};
  if (options.list || options.runs.empty()) ListEntries(session);
  // A listing that misses a device fails; runs say for themselves.
  int status = options.runs.empty() && !report.unreachable.empty() ? kExitRunFailed : kExitSuccess;
  for (const ConsoleRun& run : options.runs) {
    host::InterruptHold hold;
    status = PressRun(session, run);
    const int interrupt = hold.End();
    if (interrupt == 0) {
      if (status != kExitSuccess) break;
      continue;
    }
    report.interrupted = host::InterruptName(interrupt);
    if (!options.json) {
      std::fprintf(out, "interrupted: %s came during the run, which was finished first\n",
                   report.interrupted.c_str());
      std::fflush(out);
    }
    status = kExitInterruptedBase + interrupt;
    break;
  }
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
  return status;
}

}  // namespace app
