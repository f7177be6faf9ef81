// Programming runs of the 16 KB-page updates on emulated enclosures: the
// NVRAM-preserving update on a TXR842 and the SST update on a TXR847 in AAI
// word and byte mode. Besides CPU time each row reports the commands sent and
// the virtual time waited, and fails when the waits differ from what the
// procedures mandate: 10 ms before each status re-read while the flash is
// busy, and on the raw serial-flash path 10 ms after each write-enable and
// before each address, 20 ms per protection clear, 10 ms per write disable
// and 10 ms after each 8 KB chunk.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "program/nvram_page16k.h"
#include "program/run_window.h"
#include "program/settings.h"
#include "program/sst_serial.h"
#include "sim/machine.h"
#include "sim/profiles.h"
#include "sim/test_images.h"

namespace {

class QuietWindow : public program::RunWindow {
 public:
  const program::ChipState& facts() const override { return facts_; }
  program::RunOptions options() const override { return options_; }
  void ShowStatus(const std::string& text) override { status_ = text; }
  void RepaintStatus(const std::string& text) override { status_ = text; }
  std::string StatusText() const override { return status_; }
  void Message(const std::string&, const std::string&, program::MessageIcon) override {}
  void SetImageSignatureResult(std::int32_t) override {}
  void CheckIncludeNvram() override { options_.nvramChecked = true; }

  program::ChipState facts_;
  program::RunOptions options_;
  std::string status_;
};

// The waits the commands of one run call for.
std::uint64_t MandatedWaitMs(const sim::Machine& machine) {
  std::uint64_t ms = 0;
  const sim::TranscriptEntry* previous = nullptr;
  for (const auto& e : machine.transcript()) {
    // A status read 10 ms after another one is a re-read of a busy flash.
    if (e.command == "ReadFlashStatus" && previous != nullptr &&
        previous->command == "ReadFlashStatus" && e.timeMs == previous->timeMs + 10)
      ms += 10;
    if (e.command == "SpiCommand") {
      const std::uint8_t count = e.cdb[3], opcode = e.cdb[5];
      if (opcode == 0x50) ms += 20;                // clear protection: two 10 ms pauses
      if (opcode == 0x04) ms += 10;                // write disable / AAI end
      if (opcode == 0x02 && count == 4) ms += 20;  // page program: before 0x06 and 0x02
    }
    previous = &e;
  }
  return ms;
}

struct Setup {
  const char* profile;
  bool sst;
  int flashKind;
  std::uint32_t sstJedecFlag;
};

void PageRun(benchmark::State& state, Setup setup) {
  const std::size_t imageSize = static_cast<std::size_t>(state.range(0));
  sim::Machine machine;
  host::ScopedHost scope(machine);
  sim::AttachOptions attach;
  attach.volumes = {{'E', 1}};
  const sim::EnclosureProfile& profile = *sim::FindProfile(setup.profile);
  const std::string path = sim::AttachProfile(machine, profile, attach)->path();

  sim::Image image(imageSize);
  sim::FillCode(image, 9);
  const std::string file = sim::TempImagePath("bench16k");
  sim::WriteImageFile(file, image);
  program::Transfer() = program::TransferSettings{};
  QuietWindow window;
  window.facts_.chipType = profile.chipType;
  window.facts_.flashTypeCode = setup.flashKind;
  window.facts_.sstJedecFlag = setup.sstJedecFlag;
  window.facts_.flashSizeKb = 64;
  window.options_.imageFile = file;
  const std::uint64_t chunks = (imageSize + 0x3FFF) / 0x4000 * 2;  // 8 KB steps of the SST path

  double commands = 0;
  double waitedMs = 0;
  for (auto _ : state) {
    machine.ClearTranscript();
    const std::uint64_t slept = machine.SleptMs();
    const int result = setup.sst ? program::RunSstSerialFlash(window, path.c_str())
                                 : program::RunNvramPage16K(window, path.c_str());
    state.PauseTiming();
    const std::uint64_t waited = machine.SleptMs() - slept;
    if (result != 1 || window.status_ != "Programming Success!!") {
      state.SkipWithError(("run failed: " + window.status_).c_str());
      break;
    }
    const std::uint64_t mandated = MandatedWaitMs(machine) + (setup.sst ? 10 * chunks : 0);
    if (waited != mandated) {
      std::fprintf(stderr, "waited %llu ms, the procedure mandates %llu ms\n",
                   static_cast<unsigned long long>(waited),
                   static_cast<unsigned long long>(mandated));
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
                          static_cast<std::int64_t>(imageSize));
  std::remove(file.c_str());
}

BENCHMARK_CAPTURE(PageRun, NvramPage16K, Setup{"txr842", false, 5, 0})
    ->Arg(0xC000)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(PageRun, SstWordAai, Setup{"txr847-sst", true, 2, 1})
    ->Arg(0xC000)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();
// One 16 KB page in byte mode: one command per byte.
BENCHMARK_CAPTURE(PageRun, SstByteAai, Setup{"txr847-sst-byte", true, 2, 0})
    ->Arg(0x4000)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();

}  // namespace
