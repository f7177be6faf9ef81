// The production station (--wait --repeat): every enclosure attached is
// updated with the template run, once, and gets its line in the record.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "console/console.h"
#include "console/json.h"
#include "console/session.h"
#include "host/host.h"
#include "host/worker.h"

namespace app {

class Station {
 public:
  Station(const ConsoleOptions& options, Session& s, host::Host& platform, std::FILE* record)
      : options_(options), s_(s), platform_(platform), record_(record) {}

  // Until a signal (or a record that cannot be written) ends it. Where the
  // platform has worker processes, every enclosure met is updated at once,
  // each in a worker of its own; elsewhere one after the other.
  int Run();
  // In a worker process started as this program again: the run on the
  // enclosure options.workerPath names, under the hold this process took on
  // it (or the reason it could not), and its record to the station on
  // standard output.
  void WorkAlone(const host::RunScope& hold);

 private:
  // An updated enclosure whose version afterwards is still to be read.
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

  // --- station.cpp: the station's rounds and its record --------------------
  // One look at what is attached: starts on the enclosures not met yet.
  void Round(bool& waiting);
  // The summary line and the exit status, once the rounds are over.
  int Close(int signal);
  // Waits without a run to watch: for a device change, in real time.
  void Idle();
  bool LookDue() const;
  // Looks at the attached enclosures again. The log keeps what changed, not
  // every command of every look.
  void Look();
  // One enclosure: the template's run on its entry. resets tells that it
  // ended with the notice that the chip resets itself.
  StationRecord RunOn(const std::string& path, int number, bool& resets);
  // In turn: the record is written once it is known what the enclosure
  // shows afterwards.
  void Update(const std::string& path);
  // The updated enclosure as the listing shows it now: its version after the
  // update is read from it, then its line is written. False while an
  // enclosure that resets itself has yet to come back.
  bool Settle(const std::vector<std::string>& present);
  void Finish(const std::optional<std::string>& at);
  void Unopened(const host::UnreachableDevice& u);
  void Count(StationRecord& rec);
  void Record(StationRecord& rec);
  void Tell(const StationRecord& rec);
  void Write(const std::string& line);
  void Tell(const std::string& line);

  // --- station_workers.cpp: enclosures updated at once ----------------------
  // At once. A worker that is a copy of this process goes on under the hold
  // taken here; one that is this program started again takes it itself. So
  // the station's next looks leave the enclosure alone either way.
  void Spawn(const std::string& path);
  // In the worker process: the run, then the version the enclosure reports,
  // then the record on the last line to the station.
  void Work(const std::string& path, int number, std::FILE* toParent);
  // Relays what the workers wrote, a whole line at a time, and takes the
  // record of each that ended.
  void Pump();
  void Relay(Running& r);
  void RelayLine(Running& r, const std::string& line);
  void Ended(Running& r);

  const ConsoleOptions& options_;
  Session& s_;
  host::Host& platform_;
  std::FILE* record_;
  std::set<std::string> done_;  // met and still attached
  std::optional<Pending> pending_;
  std::vector<Running> workers_;
  const bool byProgram_ = options_.workerProgram && host::ProgramWorkersAvailable();
  const bool parallel_ = !options_.stationInTurn && (byProgram_ || host::WorkersAvailable());
  bool workerEnded_ = false;
  std::chrono::steady_clock::time_point lastLook_ = std::chrono::steady_clock::now();
  std::vector<std::string> lastListed_;
  StationSummary summary_;
  int number_ = 0;
  bool recordWritten_ = true;
  bool attention_ = false;  // an enclosure was left neither old nor new
};

// A station's record of an enclosure met: its number, the time, its path.
StationRecord NewStationRecord(int number, const std::string& path);

// The arguments that start this program as the station's worker for one
// enclosure: a first argument of its own, then the station's arguments, from
// which the worker builds the same session.
std::vector<std::string> StationWorkerArguments(const std::string& path, int number,
                                                const std::vector<std::string>& station);
// Takes those off the front of args: the enclosure's path and number; false
// when args do not start so (nothing taken).
bool TakeStationWorkerArguments(std::vector<std::string>& args, std::string& path, int& number);
// The worker's whole life, on platform: its window sees only its
// enclosure; lines, log lines and the record go to standard output.
int RunStationWorker(host::Host& platform, const ConsoleOptions& options);

}  // namespace app
