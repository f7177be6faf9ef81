// Full programming runs of the internal-ROM procedure on an emulated TX40776
// and of the bridge-behind-controller procedure on the TXR847 behind an
// emulated TXV929: CPU time per run, the commands sent and the virtual time
// spent waiting. The ROM procedure waits only 10 ms before each re-read of
// the busy ROM's status; the bridge procedure waits 100 ms after its chip
// erase and 10 ms before each status re-read while the controller reports
// busy.
#include "bench_run.h"
#include "scsi/ata_commands.h"
#include "engine/procedure_table.h"
#include "procedures/bridge_flash.h"
#include "procedures/internal_rom.h"

namespace {

void InternalRomProgrammingRun(benchmark::State& state) {
  bench::Rig rig(bench::Profile("tx40776-atmel"), sim::MakeMatchingImage({2, 0}, {0x10000}),
                 "bench-rom");
  double statusReads = 0;
  bench::TimeRuns(
      state, rig, 0x10000,
      [&] { return program::RunVerb(program::Procedure::InternalRomParallelFlash, rig.window,
                                       rig.path.c_str()) == 1; },
      [&](std::uint64_t waited) {
        statusReads = bench::Count(rig.machine, "IsRomBusy");
        const std::uint64_t mandated =
            10u * static_cast<std::uint64_t>(bench::ReReads(rig.machine, "IsRomBusy"));
        return waited == mandated ? std::string() : bench::WaitError(waited, mandated);
      });
  state.counters["status_reads"] = statusReads;
}

void BridgeBehindControllerProgrammingRun(benchmark::State& state) {
  bench::Rig rig(bench::Profile("txv929-txr847"), sim::MakeMatchingImage({13, 0}, {0x10000}),
                 "bench-bridge");
  device::AtaSetFlashPageSize(rig.path.c_str(), 32);  // as identification tells the MXIC part
  rig.window.facts_.chipType = 13;
  rig.window.facts_.flashSizeKb = 64;
  rig.window.options_.nvramChecked = true;  // a signed image brings its own first 4 KB
  // Status polls per run: one after the erase, one before each 8 KB chunk of
  // the blank check, the program and the read-back.
  const int polls = 1 + 3 * (0x10000 / device::kAtaFlashChunk);

  bench::TimeRuns(
      state, rig, 0x10000,
      [&] { return program::RunVerb(program::Procedure::BridgeBehindController, rig.window,
                                       rig.path.c_str()) == 1; },
      [&](std::uint64_t waited) {
        const int reReads = bench::Count(rig.machine, "AtaReadStatus") - polls;
        const std::uint64_t mandated =
            device::kAtaEraseSettleMs + 10u * static_cast<std::uint64_t>(reReads);
        return waited == mandated ? std::string() : bench::WaitError(waited, mandated);
      });
}

BENCHMARK(InternalRomProgrammingRun)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BridgeBehindControllerProgrammingRun)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();

}  // namespace
