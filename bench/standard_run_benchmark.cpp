// A full programming run of the standard serial-flash procedure on an emulated
// TX40775 enclosure: host and emulator CPU time per run, the commands sent and
// the virtual time spent waiting. The waits are checked against what the
// procedure mandates: 500 ms after each erase, 1000 ms before the read-back,
// and 10 ms before each status re-read while the flash reports busy.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "program/run_window.h"
#include "program/settings.h"
#include "program/standard_serial.h"
#include "sim/machine.h"
#include "sim/profiles.h"
#include "sim/test_images.h"

namespace {

// The window as a procedure sees it, keeping nothing but the status line.
class QuietWindow : public program::RunWindow {
 public:
  const program::ChipState& facts() const override { return facts_; }
  program::RunOptions options() const override { return options_; }
  void ShowStatus(const std::string& text) override { status_ = text; }
  void RepaintStatus(const std::string& text) override { status_ = text; }
  std::string StatusText() const override { return status_; }
  void Message(const std::string& text, const std::string&, program::MessageIcon) override {
    message_ = text;
  }
  void SetImageSignatureResult(std::int32_t) override {}
  void CheckIncludeNvram() override { facts_.includeNvram = 1; }

  program::ChipState facts_;
  program::RunOptions options_;
  std::string status_;
  std::string message_;
};

int Count(const sim::Machine& machine, const char* command) {
  int n = 0;
  for (const auto& e : machine.transcript()) n += e.command == command ? 1 : 0;
  return n;
}

void StandardProgrammingRun(benchmark::State& state) {
  const std::size_t imageSize = static_cast<std::size_t>(state.range(0));
  // The TX40775 with a flash large enough for the image.
  sim::EnclosureProfile profile = *sim::FindProfile("tx40775-pmc");
  if (imageSize > 0x10000) profile.flashPart = "mxic-mx25l8005";
  sim::Machine machine;
  host::ScopedHost scope(machine);
  sim::AttachOptions attach;
  attach.volumes = {{'E', 1}};
  const std::string path = sim::AttachProfile(machine, profile, attach)->path();

  sim::Image image(imageSize);
  sim::FillCode(image, 7);
  const std::string file = sim::TempImagePath("bench");
  sim::WriteImageFile(file, image);
  program::Transfer() = program::TransferSettings{};
  QuietWindow window;
  window.facts_.chipType = 1;
  window.facts_.flashTypeCode = 1;
  window.options_.imageFile = file;

  // Fixed waits and the status reads that are not re-reads, per run.
  const bool chipErase = imageSize > 0x10000;
  const std::uint64_t fixedMs = chipErase ? 500 + 1000 : 500 + (imageSize > 0x8000 ? 500 : 0) + 1000;
  const int firstReads = chipErase ? 3 : (imageSize > 0x8000 ? 4 : 3);

  double commands = 0;
  double waitedMs = 0;
  for (auto _ : state) {
    const std::uint64_t slept = machine.SleptMs();
    const int result = program::RunStandardSerialFlash(window, path.c_str());
    state.PauseTiming();
    const std::uint64_t waited = machine.SleptMs() - slept;
    const int reReads = Count(machine, "ReadFlashStatus") - firstReads;
    if (result != 1 || window.status_ != "Programming Success!!") {
      state.SkipWithError(("run failed: " + window.status_).c_str());
      break;
    }
    if (waited != fixedMs + 10u * static_cast<std::uint64_t>(reReads)) {
      std::fprintf(stderr, "waited %llu ms, the procedure mandates %llu ms\n",
                   static_cast<unsigned long long>(waited),
                   static_cast<unsigned long long>(fixedMs + 10u * reReads));
      state.SkipWithError("virtual waits differ from the mandated waits");
      break;
    }
    commands = static_cast<double>(machine.transcript().size());
    waitedMs = static_cast<double>(waited);
    machine.ClearTranscript();
    state.ResumeTiming();
  }
  state.counters["commands"] = commands;
  state.counters["virtual_wait_ms"] = waitedMs;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(imageSize));
  std::remove(file.c_str());
}

BENCHMARK(StandardProgrammingRun)
    ->Arg(64 * 1024)
    ->Arg(1024 * 1024)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();

}  // namespace

BENCHMARK_MAIN();
