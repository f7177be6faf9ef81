// A full programming run of the standard serial-flash procedure on an emulated
// TX40775 enclosure: host and emulator CPU time per run, the commands sent and
// the virtual time spent waiting. The waits are checked against what the
// procedure mandates: 500 ms after each erase, 1000 ms before the read-back,
// and 10 ms before each status re-read while the flash reports busy.
#include "bench_run.h"
#include "engine/procedure_table.h"
#include "procedures/standard_serial.h"

namespace {

void StandardProgrammingRun(benchmark::State& state) {
  const std::size_t imageSize = static_cast<std::size_t>(state.range(0));
  // The TX40775 with a flash large enough for the image.
  sim::EnclosureProfile profile = bench::Profile("tx40775-pmc");
  if (imageSize > 0x10000) profile.flashPart = "mxic-mx25l8005";
  sim::Image image(imageSize);
  sim::FillCode(image, 7);
  bench::Rig rig(profile, image, "bench", bench::WithVolumeE());
  rig.window.facts_.chipType = 1;
  // The part's kind, as identification finds it: it bounds the chip-erase wait.
  rig.window.facts_.flashTypeCode = imageSize > 0x10000 ? 5 : 1;

  // Fixed waits and the status reads that are not re-reads, per run.
  const bool chipErase = imageSize > 0x10000;
  const std::uint64_t fixedMs = chipErase ? 500 + 1000 : 500 + (imageSize > 0x8000 ? 500 : 0) + 1000;
  // The MXIC part is unprotected first: two more status waits.
  const int firstReads = (chipErase ? 3 : (imageSize > 0x8000 ? 4 : 3)) + (chipErase ? 2 : 0);

  bench::TimeRuns(
      state, rig, imageSize,
      [&] {
        return program::RunVerb(program::Procedure::StandardSerialFlash, rig.window,
                                rig.path.c_str()) == 1 &&
               rig.window.status_ == "Programming Success!!";
      },
      [&](std::uint64_t waited) {
        const int reReads = bench::Count(rig.machine, "ReadFlashStatus") - firstReads;
        const std::uint64_t mandated = fixedMs + 10u * static_cast<std::uint64_t>(reReads);
        return waited == mandated ? std::string() : bench::WaitError(waited, mandated);
      });
}

BENCHMARK(StandardProgrammingRun)
    ->Arg(64 * 1024)
    ->Arg(1024 * 1024)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();

}  // namespace

BENCHMARK_MAIN();
