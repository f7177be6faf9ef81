// The console's view of the window model: the headless view that also prints
// what the window paints and asks, and the -v listing of command blocks.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "console/json.h"
#include "console/log.h"
#include "console/progress.h"
#include "console/watch.h"
#include "window/headless_view.h"

namespace app {

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
  void Diagnostic(std::string_view line);

  // From now on status lines and boxes go into list, not to the output.
  void RecordInto(std::vector<ConsoleEvent>* list) {
    EndLine();
    events_ = list;
  }

  void ShowMessage(const std::string& text, const std::string& caption, ui::Icon icon) override;

  // Run's question is answered from the run's options and shown the way
  // boxes are, with its answer.
  bool AskYesNo(const std::string& text, const std::string& caption, ui::Icon icon) override;

  bool answerYes = false;
  // Selecting an entry repairs a damaged firmware bank only for a run (or
  // --repair), never for the listing.
  bool repairBanks = false;
  bool RepairsBanksOnSelection() override { return repairBanks; }

  void Repaint(const std::string& control) override;

  // From now on the running text goes to out, without a progress line (a
  // station's worker process).
  void Redirect(std::FILE* out) {
    EndLine();
    out_ = out;
    progress_ = nullptr;
  }

  void EndLine();

 private:
  // An open line is the last event of the list.
  void Record(const std::string& text, bool continues);
  // The status line the window now shows, printed (or logged only, when quiet).
  void PrintStatus(const std::string& text, bool continues);

  // A run is under way on a terminal: the open status line lives behind the
  // progress until it is done.
  bool Live() const { return progress_ != nullptr && holdsStatus_ && progress_->active(); }

  // Text of the open status line (or a new one).
  void Print(const std::string& piece);

  // A whole line printed while no status line is open.
  void PrintAboveProgress(const std::string& line);

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

// -v: every command block on the error stream as it ends, above the
// progress line.
class VerboseWatch : public HostWatcher {
 public:
  VerboseWatch(std::FILE* err, ProgressLine* progress) : err_(err), progress_(progress) {}
  void Command(const CommandSeen& c) override;

 private:
  std::FILE* err_;
  ProgressLine* progress_;
};

}  // namespace app
