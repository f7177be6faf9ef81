// Console front end: the main window model without a screen, on the real
// devices or, with --simulate, on the built-in simulated enclosures.
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <thread>
#include <string>
#include <vector>

#include "console/console.h"
#include "console/image_report_text.h"
#include "console/station.h"
#include "window/version.h"
#include "host/host.h"
#include "host/interrupts.h"
#include "host/stdio_file.h"
#include "host/worker.h"
#include "sim/demo.h"
#include "sim/machine.h"
#include "tx_build_commit.h"
#ifdef _WIN32
#include "host/win32_host.h"
#elif defined(__linux__)
#include "host/linux_host.h"
#endif

namespace {

// The simulated enclosures never come or go, but a wait for them takes its
// time as a real one does: a station waiting for the next must not spin.
class SimulatedMachine : public sim::Machine {
 public:
  bool WaitForDeviceChange(std::uint32_t milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return sim::Machine::WaitForDeviceChange(milliseconds);
  }
};

// --help and --version, answered without a device; nothing for the others.
std::optional<int> AnswerWithoutDevice(const app::ConsoleOptions& options) {
  if (options.help) {
    std::fputs(app::ConsoleUsage().c_str(), stdout);
    return app::kExitSuccess;
  }
  if (options.version) {
    // The caption's text as specified, then the version the packages carry.
    std::fputs(TX_UTILITY_NAME " " TX_UTILITY_VERSION "\nversion " TX_VERSION "\ncommit " TX_BUILD_COMMIT
               "\n",
               stdout);
    return app::kExitSuccess;
  }
  return std::nullopt;
}

// The simulated enclosures (--simulate) or this system's devices; null, with
// the reason on standard error, when there are none to be had.
std::unique_ptr<host::Host> MakeHost(const app::ConsoleOptions& options) {
  if (options.simulate) {
    sim::BusyTimes busyTimes = sim::BusyTimes::Typical;
    if (!sim::BusyTimesFromEnvironment(busyTimes)) {
      std::fprintf(stderr, "tx4077x-console: %s must be typical or max\n", sim::kSimBusyVariable);
      return nullptr;
    }
    auto machine = std::make_unique<SimulatedMachine>();
    sim::AttachDemoEnclosures(*machine, busyTimes);
    return machine;
  }
#ifdef _WIN32
  auto windows = std::make_unique<host::Win32Host>();
  // Where Windows (or Wine) lists no interface, a run still reaches the
  // drive it names.
  for (const app::ConsoleRun& run : options.runs) windows->NameDevice(run.device);
  if (!options.workerPath.empty()) windows->NameDevice(options.workerPath);
  return windows;
#elif defined(__linux__)
  // Whoever may open the devices' SCSI generic nodes (root, or the group
  // they belong to) may use them; the listing names a node this user may not.
  return std::make_unique<host::LinuxHost>();
#else
  std::fputs("tx4077x-console: no device access on this platform; use --simulate\n", stderr);
  return nullptr;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  app::ConsoleOptions options;
  std::string workerPath;
  int workerNumber = 0;
  const bool worker = app::TakeStationWorkerArguments(args, workerPath, workerNumber);
  std::string error;
  if (!app::ParseConsoleArgs(args, options, error)) {
    // One line: the whole usage would bury the mistake.
    std::fprintf(stderr, "tx4077x-console: %s; try --help\n", error.c_str());
    return app::kExitUsage;
  }
  options.toolVersion = TX_VERSION;
  options.toolCommit = TX_BUILD_COMMIT;
  // Where a worker cannot be a copy of this process, the station's workers
  // are this program again, given the same arguments.
  if (!host::WorkersAvailable()) options.workerProgram = "";
  options.workerPath = workerPath;
  options.workerNumber = workerNumber;
  if (const std::optional<int> status = AnswerWithoutDevice(options)) return *status;
  // A reader that went away (| head) must not end a run half-way: writes to
  // it just fail.
  host::IgnoreBrokenPipes();
  // Before the device checks: inspecting a file needs no device and no root.
  if (!options.inspect.empty())
    return app::RunInspect(options.inspect, options.json, stdout, stderr);
  const std::unique_ptr<host::Host> platform = MakeHost(options);
  if (!platform) return app::kExitUsage;
  host::ScopedHost scope(*platform);
  if (worker) return app::RunStationWorker(*platform, options);
  if (!options.json) return app::RunConsole(*platform, options, stdout);
  // The procedures' diagnostic lines go to stdout: send them to standard
  // error, so that standard output carries the document alone.
  host::File document = host::TakeStandardOutput();
  if (!document) {
    std::fputs("tx4077x-console: cannot keep standard output for the document\n", stderr);
    return app::kExitUsage;
  }
  return app::RunConsole(*platform, options, document.get());
}
