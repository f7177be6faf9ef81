// What every programming-run benchmark sets up: a simulated machine installed
// as the host with one emulated enclosure, an image file that is removed again,
// a window that keeps only its status line, and the timing loop that checks
// each run before counting it.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "host/host.h"
#include "program/run_window.h"
#include "program/settings.h"
#include "sim/bridge_chip.h"
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

// A machine with one enclosure of the named profile (changed by the caller
// when it passes a copy), default transfer settings and a window that points
// at the image file.
struct Rig {
  Rig(const sim::EnclosureProfile& profile, const sim::Image& image, const std::string& stem,
      const sim::AttachOptions& options = {})
      : scope(machine),
        chip(sim::AttachProfile(machine, profile, options)),
        path(chip->path()),
        file(stem, image) {
    machine.SetTranscriptLimit(sim::kFullTranscript);  // the checks look at whole runs
    program::Transfer() = program::TransferSettings{};
    window.facts_.chipType = profile.chipType;
    window.options_.imageFile = file.path();
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

inline std::string WaitError(std::uint64_t waited, std::uint64_t mandated) {
  return "virtual waits differ from the mandated waits: waited " + std::to_string(waited) +
         " ms, the procedure mandates " + std::to_string(mandated) + " ms";
}

// Times `run` (returns true on success) once per iteration. After each run the
// transcript holds that run's commands only; `check(waitedMs)` returns what is
// wrong with it, or an empty text. Reports the commands and virtual wait of
// the last run and the image bytes per run as throughput.
template <typename Run, typename Check>
void TimeRuns(benchmark::State& state, Rig& rig, std::size_t bytesPerRun, Run run, Check check) {
  if (!rig.file.written()) {
    state.SkipWithError("image file not written");
    return;
  }
  double commands = 0;
  double waitedMs = 0;
  rig.machine.ClearTranscript();
  for (auto _ : state) {
    const std::uint64_t slept = rig.machine.SleptMs();
    const bool ok = run();
    state.PauseTiming();
    const std::uint64_t waited = rig.machine.SleptMs() - slept;
    if (!ok) {
      state.SkipWithError(("run failed: " + rig.window.status_).c_str());
      break;
    }
    const std::string wrong = check(waited);
    if (!wrong.empty()) {
      state.SkipWithError(wrong.c_str());
      break;
    }
    commands = static_cast<double>(rig.machine.transcript().size());
    waitedMs = static_cast<double>(waited);
    rig.machine.ClearTranscript();
    state.ResumeTiming();
  }
  state.counters["commands"] = commands;
  state.counters["virtual_wait_ms"] = waitedMs;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(bytesPerRun));
}

}  // namespace bench
