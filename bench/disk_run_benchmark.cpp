// Full programming runs of the disk-hosted procedures on emulated enclosures:
// the HDD bank of a storage controller and the disk area of a bridge, with
// host and emulator CPU time per run and the commands sent, checked against
// the two commands per 64 KB piece the procedures need.
#include "bench_run.h"
#include "procedures/disk_area_firmware.h"
#include "procedures/hdd_firmware.h"

namespace {

// range(0): image bytes; range(1): 1 for the HDD bank, 0 for the disk area.
void DiskProgrammingRun(benchmark::State& state) {
  const std::size_t imageSize = static_cast<std::size_t>(state.range(0));
  const bool hddBank = state.range(1) == 1;
  sim::Image image(imageSize);
  sim::FillCode(image, 11);
  bench::Rig rig(bench::Profile(hddBank ? "txv929-hdd" : "txr649-4k"), image, "disk-bench",
                 bench::WithVolumeE());
  rig.window.options_.nvramChecked = true;

  const int pieces = static_cast<int>((imageSize + 0xFFFF) / 0x10000);
  bench::TimeRuns(
      state, rig, imageSize,
      [&] {
        const bool ok = hddBank ? program::ProgramHddFirmwareArea(rig.window, rig.path.c_str(), 12)
                                : program::ProgramDiskFirmwareArea(rig.window, rig.path.c_str(), 18);
        return ok && rig.window.status_ == "Programming Success!!";
      },
      [&](std::uint64_t) {
        const int transfers = bench::Count(rig.machine, "AtaWriteDma48") +
                              bench::Count(rig.machine, "AtaReadDma48");
        return transfers == 2 * pieces ? std::string()
                                       : std::string("not one write and one read-back per piece");
      });
}

BENCHMARK(DiskProgrammingRun)
    ->ArgNames({"bytes", "hdd_bank"})
    ->Args({64 * 1024, 1})
    ->Args({64 * 1024, 0})
    ->Args({1024 * 1024, 0})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();

}  // namespace
