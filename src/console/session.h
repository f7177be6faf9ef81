// What one invocation of the console works with: the window it drives, where
// its text goes, and the facts about the listed entries that listing, runs
// and the station all read.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "console/console_view.h"
#include "console/json.h"
#include "console/log.h"
#include "console/progress.h"
#include "console/watch.h"
#include "host/host.h"
#include "host/interrupts.h"
#include "scsi/changing_commands.h"
#include "scsi/device_record.h"
#include "window/main_window.h"

namespace app {

// A wait also looks again this often: a notification can be lost (a full
// socket buffer), or come before the enclosure answers.
inline constexpr std::uint32_t kWaitStepMs = 2000;

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
  host::Host& platform;  // the host the console was started on, as watched
};

// A line of the running text, also kept in the support log.
void Say(Session& s, const std::string& line);
// One of the console's own errors, on the error stream.
void Complain(Session& s, const std::string& text);

std::string RecordPath(const device::DeviceRecord& record);
// Entry k addresses record k (companion entries have records of their own).
const device::DeviceRecord* RecordOf(const MainWindow& w, int entry);
// The entries the list shows that have a record.
int EntryCount(const MainWindow& w);
// An enclosure's own entry, not a companion entry sharing its path.
bool OwnEntry(const device::DeviceRecord& record);
// The entry of the enclosure at a device path: its own entry, not the
// companion entries that share its path; -1 when none.
int EntryOfDevice(const MainWindow& w, host::Discovery& discovery, const std::string& given);
// Entry `which` among those of the enclosure at path (0 its own, 1 its first
// companion entry); -1 when it has no such entry.
int EntryOfEnclosure(const MainWindow& w, const std::string& path, int which);
// The enclosures the listing shows now, by their own entries' paths.
std::vector<std::string> ListedDevices(const MainWindow& w);

// Why a run could not hold its device.
std::string HoldProblem(const std::string& path, std::uint32_t lastError);
// The devices the last refresh could not open, once each.
std::vector<host::UnreachableDevice> Unreachable(host::Host& platform);

}  // namespace app
