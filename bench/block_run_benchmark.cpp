// Full programming runs of the block-command procedure (a 64 KB image into
// both banks of an emulated TXV929, NVRAM kept) and of the IEEE 1394
// procedure (a 32 KB image on an emulated TXR843 over 1394). Neither mandates
// a fixed wait on these parts: the only waits are the 10 ms before each
// status re-read of a busy flash, in the poll before every block command and
// the one before each read-back, and the run fails when the virtual time
// spent waiting differs from that.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "program/block_procedure.h"
#include "program/ieee1394_procedure.h"
#include "program/run_window.h"
#include "program/settings.h"
#include "sim/machine.h"
#include "sim/profiles.h"
#include "sim/test_images.h"

namespace {

class SilentWindow : public program::RunWindow {
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

struct BlockRun {
  const char* profile;
  std::uint8_t chipType;
  int flashKind;
  std::size_t imageSize;
  int explicitPolls;  // polls not followed by a block command: one per read-back
  int (*procedure)(program::RunWindow&, const char*);
};

void RunBlockProcedure(benchmark::State& state, const BlockRun& run) {
  sim::Machine machine;
  host::ScopedHost scope(machine);
  const sim::EnclosureProfile& profile = *sim::FindProfile(run.profile);
  const std::string path = sim::AttachProfile(machine, profile)->path();
  sim::Image image(run.imageSize);
  sim::FillCode(image, 11);
  const std::string file = sim::TempImagePath(run.profile);
  sim::WriteImageFile(file, image);
  program::Transfer() = program::TransferSettings{};
  program::Geometry() = program::EraseGeometry{};
  program::Geometry().eraseBlockSize = 0x10000;
  program::Geometry().eraseSectorSize = 0x1000;
  SilentWindow window;
  window.facts_.chipType = run.chipType;
  window.facts_.flashTypeCode = run.flashKind;
  window.facts_.flashSizeKb = 128;
  window.options_.imageFile = file;

  double commands = 0;
  double waitedMs = 0;
  for (auto _ : state) {
    machine.ClearTranscript();
    const std::uint64_t slept = machine.SleptMs();
    (void)run.procedure(window, path.c_str());
    state.PauseTiming();
    const std::uint64_t waited = machine.SleptMs() - slept;
    const int polls = Count(machine, "ReadFlashBlock") + Count(machine, "WriteFlashBlock") +
                      run.explicitPolls;
    const int reReads = Count(machine, "ReadFlashStatus") - polls;
    if (window.status_ != "Programming Success!!") {
      state.SkipWithError(("run failed: " + window.status_).c_str());
      break;
    }
    if (waited != 10u * static_cast<std::uint64_t>(reReads)) {
      std::fprintf(stderr, "waited %llu ms, the procedure mandates %llu ms\n",
                   static_cast<unsigned long long>(waited),
                   static_cast<unsigned long long>(10u * reReads));
      state.SkipWithError("virtual waits differ from the mandated waits");
      break;
    }
    commands = static_cast<double>(machine.transcript().size());
    waitedMs = static_cast<double>(waited);
    state.ResumeTiming();
  }
  state.counters["commands"] = commands;
  state.counters["virtual_wait_ms"] = waitedMs;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(run.imageSize));
  std::remove(file.c_str());
}

void BlockCommandProgrammingRun(benchmark::State& state) {
  // Two banks: a read-back poll per pass.
  RunBlockProcedure(state, {"txv929", 12, 6, 0x10000, 2, program::BlockFlashProcedure});
}

void Ieee1394ProgrammingRun(benchmark::State& state) {
  RunBlockProcedure(state, {"txr843-1394", 7, 6, 0x8000, 1, program::Ieee1394Procedure});
}

BENCHMARK(BlockCommandProgrammingRun)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(Ieee1394ProgrammingRun)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

}  // namespace
