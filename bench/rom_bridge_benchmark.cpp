// Full programming runs of the internal-ROM procedure on an emulated TX40776
// and of the bridge-behind-controller procedure on the TXR847 behind an
// emulated TXV929: CPU time per run, the commands sent and the virtual time
// spent waiting. The ROM procedure never sleeps (its status reads follow each
// other); the bridge procedure waits 100 ms after its chip erase and 10 ms
// before each status re-read while the controller reports busy.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "device/ata_commands.h"
#include "program/bridge_flash.h"
#include "program/internal_rom.h"
#include "program/run_window.h"
#include "sim/bridge_chip.h"
#include "sim/machine.h"
#include "sim/profiles.h"
#include "sim/test_images.h"

namespace {

class QuietRomWindow : public program::RunWindow {
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

int Sent(const sim::Machine& machine, const char* command) {
  int n = 0;
  for (const auto& e : machine.transcript()) n += e.command == command ? 1 : 0;
  return n;
}

void InternalRomProgrammingRun(benchmark::State& state) {
  sim::Machine machine;
  host::ScopedHost scope(machine);
  const std::string path =
      sim::AttachProfile(machine, *sim::FindProfile("tx40776-atmel"))->path();
  const sim::Image image = sim::MakeMatchingImage({2, 0}, {0x10000});
  const std::string file = sim::TempImagePath("bench-rom");
  sim::WriteImageFile(file, image);
  QuietRomWindow window;
  window.facts_.chipType = 2;
  window.options_.imageFile = file;

  double commands = 0;
  double statusReads = 0;
  for (auto _ : state) {
    const std::uint64_t slept = machine.SleptMs();
    const int result = program::RunInternalRomParallelFlash(window, path.c_str(), 0);
    state.PauseTiming();
    if (result != 1) {
      state.SkipWithError(("run failed: " + window.status_).c_str());
      break;
    }
    if (machine.SleptMs() != slept) {
      state.SkipWithError("the ROM procedure slept");
      break;
    }
    commands = static_cast<double>(machine.transcript().size());
    statusReads = Sent(machine, "IsRomBusy");
    machine.ClearTranscript();
    state.ResumeTiming();
  }
  state.counters["commands"] = commands;
  state.counters["status_reads"] = statusReads;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 0x10000);
  std::remove(file.c_str());
}

void BridgeBehindControllerProgrammingRun(benchmark::State& state) {
  sim::Machine machine;
  host::ScopedHost scope(machine);
  const std::string path =
      sim::AttachProfile(machine, *sim::FindProfile("txv929-txr847"))->path();
  device::AtaSetFlashPageSize(path.c_str(), 32);  // as identification tells the MXIC part
  const sim::Image image = sim::MakeMatchingImage({13, 0}, {0x10000});
  const std::string file = sim::TempImagePath("bench-bridge");
  sim::WriteImageFile(file, image);
  QuietRomWindow window;
  window.facts_.chipType = 13;
  window.facts_.flashSizeKb = 64;
  window.options_.imageFile = file;
  window.options_.nvramChecked = true;  // a signed image brings its own first 4 KB
  // Status polls per run: one after the erase, one before each 8 KB chunk of
  // the blank check, the program and the read-back.
  const int polls = 1 + 3 * (0x10000 / device::kAtaFlashChunk);

  double commands = 0;
  double waitedMs = 0;
  for (auto _ : state) {
    const std::uint64_t slept = machine.SleptMs();
    const int result = program::BridgeFlashProcedure(window, path.c_str());
    state.PauseTiming();
    const std::uint64_t waited = machine.SleptMs() - slept;
    const int reReads = Sent(machine, "AtaReadStatus") - polls;
    if (result != 1) {
      state.SkipWithError(("run failed: " + window.status_).c_str());
      break;
    }
    if (waited != device::kAtaEraseSettleMs + 10u * static_cast<std::uint64_t>(reReads)) {
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
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 0x10000);
  std::remove(file.c_str());
}

BENCHMARK(InternalRomProgrammingRun)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BridgeBehindControllerProgrammingRun)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();

}  // namespace
