#include "console/console.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "console/console_view.h"
#include "console/json.h"
#include "console/listing.h"
#include "console/log.h"
#include "console/progress.h"
#include "console/runs.h"
#include "console/session.h"
#include "console/station.h"
#include "console/text.h"
#include "console/watch.h"
#include "engine/diagnostics.h"
#include "engine/procedure_table.h"
#include "host/host.h"
#include "host/interrupts.h"
#include "host/output_files.h"
#include "host/stdio_file.h"
#include "host/system_info.h"

namespace app {

namespace {

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

// The listing and the runs, or the station; then Exit as the window's own
// button leaves: the marked records leave vendor mode.
int DriveWindow(const ConsoleOptions& options, Session& s, host::Host& platform,
                std::FILE* record) {
  const int status = options.repeat ? Station(options, s, platform, record).Run()
                                    : ListAndRun(options, s, platform);
  if (options.json) s.view.RecordInto(&s.report.otherEvents);
  s.w.ExitBtn.Click();
  s.view.ProcessMessages();
  s.view.EndLine();
  return status;
}

// An output that failed (a full disk, a file-size limit, a closed pipe)
// never stopped a run; the exit status says the account is incomplete.
int CheckOutputsWhole(int status, const ConsoleOptions& options, const ConsoleLog* log,
                      std::FILE* out, std::FILE* err) {
  bool incomplete = false;
  if (log != nullptr && !log->complete()) {
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

}  // namespace

int RunConsole(host::Host& platform, const ConsoleOptions& options, std::FILE* out,
               std::FILE* err, std::FILE* answers) {
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
  // The window and the device layer reach the host installed; the console's
  // own steps are handed the watched host.
  WatchedHost watched(platform, watchers);
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
  // Start listening before the first look, so an enclosure plugged in
  // meanwhile is not missed.
  if (options.wait) watched.discovery().WaitForDeviceChange(0);
  watched.discovery().TakeUnreachable();
  std::unique_ptr<MainWindow> window = StartMainWindow(view);
  view.ProcessMessages();
  if (log) LogEnclosures(*log, *window);
  report.toolVersion = options.toolVersion;
  report.toolCommit = options.toolCommit;
  Session session{*window, view, options.json ? nullptr : out, report, log.get(), progress.get(),
                  options.toolVersion, nullptr, &traffic.traffic, err, answers, options.yes,
                  watched};
  const int status = DriveWindow(options, session, watched, record.get());
  if (options.json) {
    report.exitStatus = status;
    std::fputs(ConsoleJson(report).c_str(), out);
    std::fflush(out);
  }
  return CheckOutputsWhole(status, options, log.get(), out, err);
}
}  // namespace app
