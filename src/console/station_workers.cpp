#include <cstdio>
#include <string>
#include <vector>

#include "console/station.h"
#include "console/text.h"
#include "host/host.h"
#include "host/worker.h"

namespace app {

void Station::Spawn(const std::string& path) {
  done_.insert(path);
  const int number = ++number_;
  const host::RunScope hold(platform_.runLocks(), path);
  if (!hold.held()) {
    StationRecord rec = NewStationRecord(number, path);
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

void Station::Work(const std::string& path, int number, std::FILE* toParent) {
  s_.human = toParent;
  s_.err = toParent;  // relayed with the enclosure's number, as its other lines
  s_.progress = nullptr;
  s_.view.Redirect(toParent);
  if (s_.log != nullptr) {
    // Appended piece by piece: "e" + to_string(...) trips GCC 12's -Wrestrict
    // at -O3 (a false alarm).
    std::string prefix = "e";
    prefix += std::to_string(number);
    prefix += ' ';
    s_.log->SetPrefix(prefix);
  }
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
  platform_.runLocks().EndRun(path.c_str());
}

void Station::Pump() {
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

void Station::Relay(Running& r) {
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

void Station::Ended(Running& r) {
  if (!r.record) {
    StationRecord rec = NewStationRecord(r.number, r.path);
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

}  // namespace app
