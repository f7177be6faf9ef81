#include "app/console.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "app/headless_view.h"
#include "program/dispatch.h"

namespace app {

namespace {

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
// (appended dots continue the same line) and each message box.
class ConsoleView : public HeadlessView {
 public:
  explicit ConsoleView(std::FILE* out) : out_(out) {}

  void ShowMessage(const std::string& text, const std::string& caption, ui::Icon icon) override {
    HeadlessView::ShowMessage(text, caption, icon);
    EndLine();
    std::fprintf(out_, "[%s] %s\n", caption.c_str(), OneLine(text).c_str());
    std::fflush(out_);
  }

  // The question is printed with its answer: Yes only when the run was given
  // the option for it.
  bool AskYesNo(const std::string& text, const std::string& caption, ui::Icon icon) override {
    questionAnswers.assign(1, answerYes);
    const bool yes = HeadlessView::AskYesNo(text, caption, icon);
    EndLine();
    std::fprintf(out_, "[%s] %s -> %s\n", caption.c_str(), OneLine(text).c_str(), yes ? "Yes" : "No");
    std::fflush(out_);
    return yes;
  }

  bool answerYes = false;

  void Repaint(const std::string& control) override {
    HeadlessView::Repaint(control);
    if (window == nullptr || control != window->StatusEdit.name()) return;
    const std::string& text = window->StatusEdit.text();
    if (text == shown_) return;
    if (lineOpen_ && !shown_.empty() && text.size() > shown_.size() &&
        text.compare(0, shown_.size(), shown_) == 0) {
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
    std::fputc('\n', out_);
    lineOpen_ = false;
    std::fflush(out_);
  }

 private:
  std::FILE* out_;
  std::string shown_;
  bool lineOpen_ = false;
};

const char* OrDash(const std::string& text) { return text.empty() ? "-" : text.c_str(); }

void ListEntries(MainWindow& w, ConsoleView& view, std::FILE* out) {
  if (!w.DeviceList.enabled()) {
    std::fprintf(out, "%s\n", OrDash(w.DeviceList.text()));
    return;
  }
  const std::size_t count = w.DeviceList.items().size();
  for (std::size_t i = 0; i < count; ++i) {
    w.DeviceList.UserSelect(static_cast<int>(i));
    view.ProcessMessages();
    view.EndLine();
    const std::string entry = TrimRight(w.DeviceList.items()[i]);
    std::fprintf(out, "entry %zu: %s\n", i, entry.c_str());
    std::fprintf(out, "  chip:    %s\n", OrDash(TrimRight(w.ChipLabelEdit.text())));
    std::fprintf(out, "  drives:  %s\n", OrDash(TrimRight(w.DiskLetterLable.text())));
    std::fprintf(out, "  version: %s\n", OrDash(TrimRight(w.FwVerLableEdit.text())));
    std::fprintf(out, "  flash:   %s\n", OrDash(TrimRight(w.SFlashTypeLable.text())));
  }
  std::fflush(out);
}

// The console may only use a control that the window shows and enables now.
bool Offered(const Control& control, const char* what, std::FILE* out) {
  if (control.Showing() && control.enabled()) return true;
  std::fprintf(out, "The window does not offer %s for this entry now.\n", what);
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
bool SetUpRun(MainWindow& w, HeadlessView& view, const ConsoleRun& run, std::FILE* out) {
  w.DeviceList.UserSelect(run.entry);
  const bool panelChange = run.rd || w.EraseOnlyCheck.checked() != run.eraseOnly ||
                           w.BackupFWCheckBox.checked() != run.backupOnly;
  if (panelChange) w.RdCheckBox.SetChecked(true);
  if (!run.eraseOnly && w.EraseOnlyCheck.checked()) {
    if (!Offered(w.EraseOnlyCheck, "\"Erase All Flash Only \"", out)) return false;
    w.EraseOnlyCheck.SetChecked(false);
  }
  if (!run.backupOnly && w.BackupFWCheckBox.checked()) {
    if (!Offered(w.BackupFWCheckBox, "\"Backup Old Firmware Only\"", out)) return false;
    w.BackupFWCheckBox.SetChecked(false);
  }
  if (!run.image.empty() && run.programAnyway) {
    // Only a file chosen with "Load File" keeps Run enabled after the
    // mismatch notice; Run then asks, and the console answers Yes.
    if (!Offered(w.LoadBtn, "\"Load File\"", out)) return false;
    view.dialogAnswers.assign(1, run.image);
    w.LoadBtn.Click();
  } else if (!run.image.empty()) {
    if (!Offered(w.FwFilenameEdit, "the firmware file", out)) return false;
    w.FwFilenameEdit.SetText(run.image);
  }
  if (run.eraseOnly && !w.EraseOnlyCheck.checked()) {
    if (!Offered(w.EraseOnlyCheck, "\"Erase All Flash Only \"", out)) return false;
    w.EraseOnlyCheck.SetChecked(true);
  }
  if (run.backupOnly && !w.BackupFWCheckBox.checked()) {
    if (!Offered(w.BackupFWCheckBox, "\"Backup Old Firmware Only\"", out)) return false;
    w.BackupFWCheckBox.SetChecked(true);
  }
  if (run.nvram && w.NVRAMCheck.checked() != *run.nvram) {
    if (!Offered(w.NVRAMCheck, "\"Include 4K NVRAM\"", out)) return false;
    w.NVRAMCheck.SetChecked(*run.nvram);
  }
  if (!run.fwSize.empty()) {
    const int item = FwSizeItem(w.FwSizeCheck, run.fwSize);
    if (!Offered(w.FwSizeCheck, "the firmware size", out)) return false;
    if (w.FwSizeCheck.itemIndex() != item) w.FwSizeCheck.UserSelect(item);
  }
  if (run.rd && w.BackupFileEdit.text() != run.backupFile) {
    if (!Offered(w.BackupFileEdit, "the backup file name", out)) return false;
    w.BackupFileEdit.SetText(run.backupFile);
  }
  if (!run.rd && w.RdCheckBox.checked()) w.RdCheckBox.SetChecked(false);
  return true;
}

int PressRun(MainWindow& w, ConsoleView& view, const ConsoleRun& run, std::FILE* out) {
  if (!w.DeviceList.enabled() || run.entry < 0 ||
      run.entry >= static_cast<int>(w.DeviceList.items().size())) {
    std::fprintf(out, "There is no entry %d.\n", run.entry);
    return kExitUsage;
  }
  if (!SetUpRun(w, view, run, out)) return kExitUsage;
  view.ProcessMessages();
  view.EndLine();
  std::fprintf(out, "entry %d: %s (chip %s, firmware %s, flash %s)\n", run.entry,
               TrimRight(w.DeviceList.items()[run.entry]).c_str(),
               OrDash(TrimRight(w.ChipLabelEdit.text())), OrDash(TrimRight(w.FwVerLableEdit.text())),
               OrDash(TrimRight(w.SFlashTypeLable.text())));
  if (!w.UpdateBtn.enabled()) {
    std::fprintf(out, "result: Run is disabled for this entry with these options\n");
    return kExitRunFailed;
  }
  view.answerYes = run.programAnyway;
  const std::size_t asked = view.questions.size();
  w.UpdateBtn.Click();
  view.ProcessMessages();
  view.EndLine();
  if (view.questions.size() > asked && !run.programAnyway) {
    std::fprintf(out, "result: refused, the image does not match this chip "
                      "(--program-anyway programs it)\n");
    return kExitRunFailed;
  }
  switch (w.lastOutcome) {
    case program::RunOutcome::Succeeded:
      std::fprintf(out, "result: success (%s)\n", program::ProcedureName(w.lastProcedure));
      return kExitSuccess;
    case program::RunOutcome::Failed:
      std::fprintf(out, "result: failed (%s)\n", program::ProcedureName(w.lastProcedure));
      return kExitRunFailed;
    case program::RunOutcome::NothingRan:
      std::fprintf(out, "result: nothing ran (%s)\n", program::ProcedureName(w.lastProcedure));
      return kExitRunFailed;
    case program::RunOutcome::Refused:
      std::fprintf(out, "result: refused, Run stays disabled\n");
      return kExitRunFailed;
  }
  return kExitRunFailed;
}

bool ParseEntry(const std::string& text, int& entry) {
  if (text.empty() || text.size() > 3 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  entry = std::atoi(text.c_str());
  return true;
}

}  // namespace

std::string ConsoleUsage() {
  return "usage: tx4077x-console [--simulate] [--list] [--run N [run options]]...\n"
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
         "  --help              show this text\n"
         "\n"
         "Run options (they belong to the --run before them):\n"
         "  --image FILE        the firmware file (\"Firmware File\"); left as it is\n"
         "                      when not given\n"
         "  --rd                check \"RD Version\" (the engineering panel); needed by\n"
         "                      the options below. Its boxes are left unchecked unless\n"
         "                      given, and the backup file name empty.\n"
         "  --erase-only        check \"Erase All Flash Only \"\n"
         "  --backup-only       check \"Backup Old Firmware Only\"\n"
         "  --backup-file FILE  the backup file name (empty: oldflash.bak in the\n"
         "                      current folder, after the window's notice)\n"
         "  --nvram on|off      set \"Include 4K NVRAM\" where the window shows it\n"
         "  --size SIZE         the firmware size box: 32KB, 64KB, 128KB, 256KB, 512KB\n"
         "                      or 1MB, where the window shows it\n"
         "  --program-anyway    load the image with \"Load File\" (which leaves Run\n"
         "                      enabled after the mismatch notice) and answer Yes when\n"
         "                      Run asks whether to program an image the chip check\n"
         "                      refused; without it such a run is refused and nothing\n"
         "                      is sent\n"
         "\n"
         "A control the window hides or disables for the entry is refused, as is a\n"
         "run while Run is disabled. The procedures' own diagnostic lines (\"NVRAM\n"
         "O.K.\") also appear on standard output.\n"
         "\n"
         "Exit status:\n"
         "  0  every run succeeded: it ended with the power-cycle notice (programming\n"
         "     and erase-only runs) or with \"Read flash and backup success!\"\n"
         "     (backup-only runs); listing only: always 0\n"
         "  1  a run failed (any other ending), ran nothing for its chip, was refused\n"
         "     by the image size check or for an image that does not match the chip,\n"
         "     or Run was disabled\n"
         "  2  bad arguments, no such entry, or an option the window does not offer\n";
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
    } else if (arg == "--simulate") {
      options.simulate = true;
    } else if (arg == "--list") {
      options.list = true;
    } else if (arg == "--run") {
      ConsoleRun run;
      if (!value(v)) return false;
      if (!ParseEntry(v, run.entry)) {
        error = "--run needs an entry number, not \"" + v + "\"";
        return false;
      }
      options.runs.push_back(run);
    } else if (arg == "--image") {
      if (!needRun(arg) || !value(v)) return false;
      if (v.empty()) {
        error = "--image needs a file name";
        return false;
      }
      options.runs.back().image = v;
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
  }
  return true;
}

int RunConsole(const ConsoleOptions& options, std::FILE* out) {
  ConsoleView view(out);
  std::unique_ptr<MainWindow> window = StartMainWindow(view);
  view.ProcessMessages();
  if (options.list || options.runs.empty()) ListEntries(*window, view, out);
  int status = kExitSuccess;
  for (const ConsoleRun& run : options.runs) {
    status = PressRun(*window, view, run, out);
    if (status != kExitSuccess) break;
  }
  // Leave as the Exit button does: the marked records leave vendor mode.
  window->ExitBtn.Click();
  view.ProcessMessages();
  view.EndLine();
  return status;
}

}  // namespace app
