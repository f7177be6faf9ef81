#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "console/console_view.h"
#include "console/station.h"
#include "console/text.h"
#include "console/watch.h"
#include "engine/diagnostics.h"
#include "host/host.h"
#include "host/interrupts.h"
#include "host/worker.h"

namespace app {

namespace {

constexpr const char* kWorkerArgument = "--station-worker";

// The members of an interface list that have one path.
class OneEnclosureList : public host::InterfaceList {
 public:
  OneEnclosureList(std::unique_ptr<host::InterfaceList> inner, const std::string& path)
      : inner_(std::move(inner)), path_(path) {}
  bool Member(std::uint32_t index, std::string& path) override {
    std::uint32_t seen = 0;
    for (std::uint32_t k = 0; inner_->Member(k, path); ++k)
      if (path == path_ && seen++ == index) return true;
    return false;
  }
  std::optional<host::Bus> MemberBus() const override { return inner_->MemberBus(); }

 private:
  std::unique_ptr<host::InterfaceList> inner_;
  std::string path_;
};

// Discovery that offers one enclosure only: a worker's window never sends a
// command to the enclosures the station's other workers update.
class OneEnclosureDiscovery : public host::Discovery {
 public:
  OneEnclosureDiscovery(host::Discovery& inner, std::string path)
      : inner_(inner), path_(std::move(path)) {}
  std::unique_ptr<host::InterfaceList> OpenInterfaceList(host::InterfaceClass cls) override {
    std::unique_ptr<host::InterfaceList> list = inner_.OpenInterfaceList(cls);
    if (!list) return nullptr;
    return std::make_unique<OneEnclosureList>(std::move(list), path_);
  }
  bool WaitForDeviceChange(std::uint32_t milliseconds) override {
    return inner_.WaitForDeviceChange(milliseconds);
  }
  bool NamesDevice(const std::string& recordPath, const std::string& given) override {
    return inner_.NamesDevice(recordPath, given);
  }
  std::optional<std::uint64_t> DiskSequence(const char* path) override {
    return inner_.DiskSequence(path);
  }
  std::vector<host::UnreachableDevice> TakeUnreachable() override {
    return inner_.TakeUnreachable();
  }
  std::string DiscoveryNote() override { return inner_.DiscoveryNote(); }

 private:
  host::Discovery& inner_;
  std::string path_;
};

class OneEnclosureHost : public host::ForwardingHost {
 public:
  OneEnclosureHost(host::Host& inner, const std::string& path)
      : ForwardingHost(inner), discovery_(inner.discovery(), path) {}
  host::Discovery& discovery() override { return discovery_; }

 private:
  OneEnclosureDiscovery discovery_;
};

}  // namespace

std::vector<std::string> StationWorkerArguments(const std::string& path, int number,
                                                const std::vector<std::string>& station) {
  std::vector<std::string> args = {kWorkerArgument, std::to_string(number), path};
  args.insert(args.end(), station.begin(), station.end());
  return args;
}

bool TakeStationWorkerArguments(std::vector<std::string>& args, std::string& path, int& number) {
  if (args.size() < 3 || args[0] != kWorkerArgument) return false;
  number = std::atoi(args[1].c_str());
  if (number <= 0 || args[2].empty()) return false;
  path = args[2];
  args.erase(args.begin(), args.begin() + 3);
  return true;
}

int RunStationWorker(host::Host& platform, const ConsoleOptions& options) {
  // From its start, as a copy of the station would be: a request to end
  // (Ctrl+C reaches every process of the console) waits for the run.
  host::InterruptHold hold;
  std::FILE* toStation = stdout;
  std::unique_ptr<ConsoleLog> log;
  if (!options.logFile.empty()) log = ConsoleLog::ToStation(toStation);
  TrafficWatch traffic;
  std::vector<HostWatcher*> watchers = {&traffic};
  if (log) watchers.push_back(log.get());
  VerboseWatch verbose(stderr, nullptr);
  if (options.verbose) watchers.push_back(&verbose);
  OneEnclosureHost one(platform, options.workerPath);
  WatchedHost watched(one, watchers);
  const host::ScopedHost scope(watched);
  ConsoleView view(toStation, log.get(), nullptr, false, options.quiet);
  const program::DiagnosticListener diagnostics([&view, &log](std::string_view line) {
    view.Diagnostic(line);
    if (log) log->Diagnostic(line);
  });
  ConsoleReport report;
  // Held before the window's first look: the station's own looks, and any
  // other program's run, leave the enclosure alone from here on.
  const host::RunScope run(watched.runLocks(), options.workerPath);
  std::unique_ptr<MainWindow> window = StartMainWindow(view);
  view.ProcessMessages();
  Session s{*window, view, toStation, report, log.get(), nullptr, options.toolVersion, &hold,
            &traffic.traffic, toStation, nullptr, options.yes, watched};
  Station(options, s, watched, nullptr).WorkAlone(run);
  // The station tells what came; the run is over, so it ends nothing here.
  hold.End();
  std::fflush(toStation);
  return kExitSuccess;
}

void Station::WorkAlone(const host::RunScope& hold) {
  const std::string& path = options_.workerPath;
  if (hold.held()) {
    Work(path, options_.workerNumber, stdout);
    return;
  }
  StationRecord rec = NewStationRecord(options_.workerNumber, path);
  rec.end = RunEnd::Unreachable;
  rec.problem = HoldProblem(path, hold.lastError());
  Tell(rec.problem);
  std::fprintf(stdout, "%c-%s\n", kResultMark, StationRecordJson(rec).c_str());
  std::fflush(stdout);
}

void Station::Spawn(const std::string& path) {
  done_.insert(path);
  const int number = ++number_;
  Running running;
  running.number = number;
  running.path = path;
  std::optional<host::RunScope> hold;
  if (!byProgram_) {
    hold.emplace(platform_.runLocks(), path);
    if (!hold->held()) {
      StationRecord rec = NewStationRecord(number, path);
      rec.end = RunEnd::Unreachable;
      rec.problem = HoldProblem(path, hold->lastError());
      Tell(rec.problem);
      Record(rec);
      return;
    }
    running.worker = host::Worker::Start([&](std::FILE* toParent) {
      Work(path, number, toParent);
      // The hold taken before the worker started is the worker's to end:
      // the device's settings are put back once it is released.
      platform_.runLocks().EndRun(path.c_str());
    });
  } else {
    if (s_.log != nullptr) s_.log->Note("enclosure " + std::to_string(number) + ": worker started");
    running.worker = host::Worker::StartProgram(
        *options_.workerProgram, StationWorkerArguments(path, number, options_.arguments));
  }
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
  for (;;) {
    const std::size_t end = r.text.find('\n');
    const std::size_t mark = r.text.find(kLogLineMark);
    // A log line may come in the middle of a status line still growing.
    if (mark != std::string::npos && mark < end) {
      const std::size_t logEnd = r.text.find('\n', mark);
      if (logEnd == std::string::npos) return;  // the rest of it is still to come
      if (s_.log != nullptr) s_.log->Relayed(r.text.substr(mark + 1, logEnd - mark - 1));
      r.text.erase(mark, logEnd - mark + 1);
      continue;
    }
    if (end == std::string::npos) return;
    const std::string line = r.text.substr(0, end);
    r.text.erase(0, end + 1);
    RelayLine(r, line);
  }
}

void Station::RelayLine(Running& r, const std::string& line) {
  if (line.size() > 1 && line[0] == kResultMark) {
    StationRecord rec;
    if (StationRecordFromJson(line.substr(2), rec)) {
      Count(rec);
      Write(StationRecordJson(rec));
      r.record = std::move(rec);
      r.resets = line[1] == 'R';
    }
    return;
  }
  if (!line.empty() && line[0] == kVersionMark && r.record) {
    r.record->versionAfter = line.substr(1);
    Write(StationVersionAfterJson(*r.record));
    return;
  }
  // Its own lines are in the log already.
  std::fprintf(s_.human, "[enclosure %d] %s\n", r.number, line.c_str());
  std::fflush(s_.human);
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
