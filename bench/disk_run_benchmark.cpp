// Full programming runs of the disk-hosted procedures on emulated enclosures:
// the HDD bank of a storage controller and the disk area of a bridge, with
// host and emulator CPU time per run and the commands sent, checked against
// the two commands per 64 KB piece the procedures need.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "program/disk_area_firmware.h"
#include "program/hdd_firmware.h"
#include "program/run_window.h"
#include "program/settings.h"
#include "sim/machine.h"
#include "sim/profiles.h"
#include "sim/test_images.h"

namespace {

class QuietDiskWindow : public program::RunWindow {
 public:
  const program::ChipState& facts() const override { return facts_; }
  program::RunOptions options() const override { return options_; }
  void ShowStatus(const std::string& text) override { status_ = text; }
  void RepaintStatus(const std::string& text) override { status_ = text; }
  std::string StatusText() const override { return status_; }
  void Message(const std::string&, const std::string&, program::MessageIcon) override {}
  void SetImageSignatureResult(std::int32_t) override {}
  void CheckIncludeNvram() override { facts_.includeNvram = 1; }

  program::ChipState facts_;
  program::RunOptions options_;
  std::string status_;
};

int DiskTransfers(const sim::Machine& machine) {
  int n = 0;
  for (const auto& e : machine.transcript())
    n += e.command == "AtaWriteDma48" || e.command == "AtaReadDma48" ? 1 : 0;
  return n;
}

// range(0): image bytes; range(1): 1 for the HDD bank, 0 for the disk area.
void DiskProgrammingRun(benchmark::State& state) {
  const std::size_t imageSize = static_cast<std::size_t>(state.range(0));
  const bool hddBank = state.range(1) == 1;
  sim::Machine machine;
  host::ScopedHost scope(machine);
  sim::AttachOptions attach;
  attach.volumes = {{'E', 1}};
  const sim::EnclosureProfile& profile = *sim::FindProfile(hddBank ? "txv929-hdd" : "txr649-4k");
  const std::string path = sim::AttachProfile(machine, profile, attach)->path();

  sim::Image image(imageSize);
  sim::FillCode(image, 11);
  const std::string file = sim::TempImagePath("disk-bench");
  sim::WriteImageFile(file, image);
  program::Transfer() = program::TransferSettings{};
  QuietDiskWindow window;
  window.facts_.chipType = profile.chipType;
  window.options_.imageFile = file;
  window.options_.nvramChecked = true;

  const int pieces = static_cast<int>((imageSize + 0xFFFF) / 0x10000);
  double commands = 0;
  for (auto _ : state) {
    const bool ok = hddBank ? program::ProgramHddFirmwareArea(window, path.c_str(), 12)
                            : program::ProgramDiskFirmwareArea(window, path.c_str(), 18);
    state.PauseTiming();
    if (!ok || window.status_ != "Programming Success!!") {
      state.SkipWithError(("run failed: " + window.status_).c_str());
      break;
    }
    if (DiskTransfers(machine) != 2 * pieces) {
      state.SkipWithError("not one write and one read-back per piece");
      break;
    }
    commands = static_cast<double>(machine.transcript().size());
    machine.ClearTranscript();
    state.ResumeTiming();
  }
  state.counters["commands"] = commands;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(imageSize));
  std::remove(file.c_str());
}

BENCHMARK(DiskProgrammingRun)
    ->ArgNames({"bytes", "hdd_bank"})
    ->Args({64 * 1024, 1})
    ->Args({64 * 1024, 0})
    ->Args({1024 * 1024, 0})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();

}  // namespace
