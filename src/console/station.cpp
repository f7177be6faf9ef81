#include "console/station.h"

#include <algorithm>
#include <chrono>
#include <string>

#include "console/runs.h"
#include "console/text.h"
#include "host/output_files.h"

namespace app {

namespace {

// An enclosure that resets itself after its update comes back as a new
// device: the first one to appear within this time is taken for it.
constexpr auto kResetComesBack = std::chrono::seconds(60);

bool Contains(const std::vector<std::string>& paths, const std::string& path) {
  return std::find(paths.begin(), paths.end(), path) != paths.end();
}

}  // namespace

StationRecord NewStationRecord(int number, const std::string& path) {
  StationRecord rec;
  rec.number = number;
  rec.started = LocalTimeText();
  rec.path = path;
  return rec;
}

int Station::Run() {
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
    Round(waiting);
  }
  // A signal, too, waits for every enclosure under way.
  while (!workers_.empty()) Pump();
  if (pending_) Finish(std::nullopt);
  s_.signals = nullptr;
  return Close(hold.End());
}

void Station::Round(bool& waiting) {
  std::vector<std::string> present = ListedDevices(s_.w);
  const std::vector<host::UnreachableDevice> unreachable = Unreachable(platform_);
  for (const host::UnreachableDevice& u : unreachable) present.push_back(u.path);
  if (pending_ && !Settle(present)) {
    Idle();
    return;
  }
  // An enclosure that was removed may come again as a new one.
  std::erase_if(done_, [&](const std::string& p) { return !Contains(present, p); });
  if (const auto u = std::find_if(unreachable.begin(), unreachable.end(),
                                  [&](const auto& d) { return !done_.count(d.path); });
      u != unreachable.end()) {
    Unopened(*u);
    return;
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
    return;
  }
  if (!waiting) Tell("Waiting for an enclosure...");
  waiting = true;
  Idle();
}

int Station::Close(int signal) {
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

void Station::Idle() {
  if (!workers_.empty()) {
    Pump();
    return;
  }
  platform_.discovery().WaitForDeviceChange(kWaitStepMs);
}

bool Station::LookDue() const {
  return workerEnded_ ||
         std::chrono::steady_clock::now() - lastLook_ >= std::chrono::milliseconds(kWaitStepMs);
}

void Station::Look() {
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

StationRecord Station::RunOn(const std::string& path, int number, bool& resets) {
  ConsoleRun run = options_.runs.front();
  StationRecord rec = NewStationRecord(number, path);
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

void Station::Update(const std::string& path) {
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

bool Station::Settle(const std::vector<std::string>& present) {
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

void Station::Finish(const std::optional<std::string>& at) {
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

void Station::Unopened(const host::UnreachableDevice& u) {
  done_.insert(u.path);
  StationRecord rec = NewStationRecord(++number_, u.path);
  rec.end = RunEnd::Unreachable;
  rec.problem = u.text;
  Tell(PrintableText(u.text));
  Record(rec);
}

void Station::Count(StationRecord& rec) {
  const bool wrote = rec.end == RunEnd::Succeeded;
  const bool failed = rec.end == RunEnd::Failed || rec.end == RunEnd::Unreachable;
  rec.outcome = wrote ? "updated" : failed ? "failed" : "skipped";
  ++(wrote ? summary_.updated : failed ? summary_.failed : summary_.skipped);
}

void Station::Record(StationRecord& rec) {
  Count(rec);
  Write(StationRecordJson(rec));
  Tell(rec);
}

void Station::Tell(const StationRecord& rec) {
  Tell("enclosure " + std::to_string(rec.number) + ": " + rec.outcome + " (" +
       (rec.chip.empty() ? std::string("-") : rec.chip) + ", version " +
       (rec.versionBefore.empty() ? std::string("-") : rec.versionBefore) + " -> " +
       (rec.versionAfter.empty() ? std::string("-") : rec.versionAfter) +
       "); remove it and attach the next");
}

void Station::Write(const std::string& line) {
  if (record_ == nullptr || !recordWritten_) return;
  if (!host::AppendRecordLine(record_, line)) recordWritten_ = false;
}

void Station::Tell(const std::string& line) {
  if (s_.log != nullptr) s_.log->Note(line);
  std::fprintf(s_.human, "%s\n", line.c_str());
  std::fflush(s_.human);
}

}  // namespace app
