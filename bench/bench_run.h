// What every programming-run benchmark sets up: a simulated machine installed
// as the host with one emulated enclosure, an image file that is removed again,
// a window that keeps only its status line, and the timing loop that checks
// each run before counting it. The flash parts take the busy times
// TX4077X_SIM_BUSY names (typical unless it says max); each row also reports
// the simulated clock's total for one run at typical and at maximum times.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "host/host.h"
#include "engine/run_window.h"
#include "engine/settings.h"
#include "sim/bridge_chip.h"
#include "sim/demo.h"
#include "sim/machine.h"
#include "sim/profiles.h"
#include "sim/test_images.h"

namespace bench {

// The window as a procedure sees it, keeping nothing but the status line.
class QuietWindow : public program::RunWindow {
 public:
  const program::ChipState& facts() const override { return facts_; }
  program::RunOptions options() const override { return options_; }
  void ShowStatus(const std::string& text) override { status_ = text; }
  void RepaintStatus(const std::string& text) override { status_ = text; }
  std::string StatusText() const override { return status_; }
  void Message(const std::string&, const std::string&, program::MessageIcon) override {}
  void SetImageSignatureResult(std::int32_t) override {}
  void CheckIncludeNvram() override {
    facts_.includeNvram = 1;
    options_.nvramChecked = true;
  }
  program::TransferSettings& transfer() const override { return transfer_; }
  program::EraseGeometry& geometry() const override { return geometry_; }
  // The installed simulated machine's.
  host::Clock& clock() const override { return host::Current().clock(); }
  host::Trace& trace() const override { return host::Current().trace(); }

  mutable program::TransferSettings transfer_;
  mutable program::EraseGeometry geometry_;
  program::ChipState facts_;
  program::RunOptions options_;
  std::string status_;
};

// An image file in the temporary folder for as long as the benchmark runs.
class ImageFile {
 public:
  ImageFile(const std::string& stem, const sim::Image& image)
      : path_(sim::TempImagePath(stem)), written_(sim::WriteImageFile(path_, image)) {}
  ~ImageFile() { std::remove(path_.c_str()); }
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;

  const std::string& path() const { return path_; }
  bool written() const { return written_; }

 private:
  std::string path_;
  bool written_;
};

// The busy times TX4077X_SIM_BUSY asks for; a value it cannot take ends the
// program rather than time something else.
inline sim::BusyTimes EnvironmentBusyTimes() {
  sim::BusyTimes which = sim::BusyTimes::Typical;
  if (!sim::BusyTimesFromEnvironment(which)) {
    std::fprintf(stderr, "%s must be typical or max\n", sim::kSimBusyVariable);
    std::exit(2);
  }
  return which;
}

inline sim::AttachOptions WithBusyTimes(sim::AttachOptions options, sim::BusyTimes which) {
  options.busyTimes = which;
  return options;
}

// A machine with one enclosure of the named profile (changed by the caller
// when it passes a copy), default transfer settings and a window that points
// at the image file.
struct Rig {
  Rig(const sim::EnclosureProfile& profile, const sim::Image& image, const std::string& stem,
      const sim::AttachOptions& options = {})
      : scope(machine),
        chip(sim::AttachProfile(machine, profile,
                                WithBusyTimes(options, EnvironmentBusyTimes()))),
        path(chip->path()),
        file(stem, image) {
    machine.SetTranscriptLimit(sim::kFullTranscript);  // the checks look at whole runs
    window.facts_.chipType = profile.chipType;
    window.options_.imageFile = file.path();
  }

  // Every flash part of the enclosure (the one behind a controller too).
  void SetBusyTimes(sim::BusyTimes which) {
    if (chip->serialFlash() != nullptr) chip->serialFlash()->SetBusyTimes(which);
    if (chip->parallelFlash() != nullptr) chip->parallelFlash()->SetBusyTimes(which);
    if (chip->controllerRoute() != nullptr && chip->controllerRoute()->flash() != nullptr)
      chip->controllerRoute()->flash()->SetBusyTimes(which);
  }

  sim::Machine machine;
  host::ScopedHost scope;
  std::shared_ptr<sim::BridgeChip> chip;
  std::string path;
  ImageFile file;
  QuietWindow window;
};

// The named profile; a benchmark that names one the table lacks is a typo.
inline const sim::EnclosureProfile& Profile(const char* name) {
  const sim::EnclosureProfile* profile = sim::FindProfile(name);
  if (profile == nullptr) {
    std::fprintf(stderr, "no enclosure profile %s\n", name);
    std::abort();
  }
  return *profile;
}

// Volumes the way the disk-hosted and page procedures expect a drive letter.
inline sim::AttachOptions WithVolumeE() {
  sim::AttachOptions options;
  options.volumes = {{'E', 1}};
  return options;
}

inline int Count(const sim::Machine& machine, const char* command) {
  int n = 0;
  for (const auto& e : machine.transcript()) n += e.command == command ? 1 : 0;
  return n;
}

// Status reads of `command` that re-read a busy part: those right after
// another with exactly one 10 ms poll slept between them.
inline int ReReads(const sim::Machine& machine, const char* command) {
  int n = 0;
  const sim::TranscriptEntry* previous = nullptr;
  for (const auto& e : machine.transcript()) {
    if (previous != nullptr && e.command == command && previous->command == command &&
        e.sleptMs == previous->sleptMs + 10)
      ++n;
    previous = &e;
  }
  return n;
}

inline std::string WaitError(std::uint64_t waited, std::uint64_t mandated) {
  return "virtual waits differ from the mandated waits: waited " + std::to_string(waited) +
         " ms, the procedure mandates " + std::to_string(mandated) + " ms";
}

// One run and its check: what is wrong, or an empty text. The run's waits
// and its time on the simulated clock in ms are set; the transcript holds
// this run's commands. With `timing` the check is left out of the time.
template <typename Run, typename Check>
std::string CheckedRun(Rig& rig, Run& run, Check& check, std::uint64_t& waitedMs,
                       double& clockMs, benchmark::State* timing = nullptr) {
  const std::uint64_t slept = rig.machine.SleptMs();
  const std::uint64_t started = rig.machine.NowUs();
  const bool ok = run();
  if (timing != nullptr) timing->PauseTiming();
  waitedMs = rig.machine.SleptMs() - slept;
  clockMs = static_cast<double>(rig.machine.NowUs() - started) / 1000;
  if (!ok) return "run failed: " + rig.window.status_;
  return check(waitedMs);
}

// Times `run` (returns true on success) once per iteration; `check(waitedMs)`
// returns what is wrong with a run, or an empty text. Reports the commands,
// virtual wait and simulated clock of the last run, the image bytes per run
// as throughput, and the simulated clock of one run at typical and one at
// maximum busy times (each checked the same way).
template <typename Run, typename Check>
void TimeRuns(benchmark::State& state, Rig& rig, std::size_t bytesPerRun, Run run, Check check) {
  if (!rig.file.written()) {
    state.SkipWithError("image file not written");
    return;
  }
  double commands = 0;
  std::uint64_t waitedMs = 0;
  double clockMs = 0;
  std::string wrong;
  rig.machine.ClearTranscript();
  for (auto _ : state) {
    wrong = CheckedRun(rig, run, check, waitedMs, clockMs, &state);
    if (!wrong.empty()) {
      state.SkipWithError(wrong.c_str());
      break;
    }
    commands = static_cast<double>(rig.machine.transcript().size());
    rig.machine.ClearTranscript();
    state.ResumeTiming();
  }
  if (!wrong.empty()) return;
  state.counters["commands"] = commands;
  state.counters["virtual_wait_ms"] = static_cast<double>(waitedMs);
  state.counters["sim_clock_ms"] = clockMs;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(bytesPerRun));
  for (sim::BusyTimes which : {sim::BusyTimes::Typical, sim::BusyTimes::Maximum}) {
    rig.SetBusyTimes(which);
    std::uint64_t waited = 0;
    double clock = 0;
    rig.machine.ClearTranscript();
    wrong = CheckedRun(rig, run, check, waited, clock);
    if (!wrong.empty()) {
      wrong = (which == sim::BusyTimes::Maximum ? "at maximum busy times: "
                                                 : "at typical busy times: ") + wrong;
      state.SkipWithError(wrong.c_str());
      return;
    }
    state.counters[which == sim::BusyTimes::Maximum ? "sim_max_ms" : "sim_typical_ms"] = clock;
  }
  rig.SetBusyTimes(EnvironmentBusyTimes());
}

}  // namespace bench
