// Full programming runs of the block-command procedure (a 64 KB image into
// both banks of an emulated TXV929, NVRAM kept; once more with an SST part,
// which the chip's engine programs a word at a time, polling the part
// between words) and of the IEEE 1394 procedure (a 32 KB image on an emulated
// TXR843 over 1394). Neither mandates
// a fixed wait on these parts: the only waits are the 10 ms before each
// status re-read of a busy flash, in the poll before every block command and
// the one before each read-back, and the run fails when the virtual time
// spent waiting differs from that.
#include "bench_run.h"
#include "procedures/block_procedure.h"
#include "procedures/ieee1394_procedure.h"

namespace {

struct BlockRun {
  const char* profile;
  const char* flashPart;  // a part other than the profile's; "" keeps it
  std::uint8_t chipType;
  int flashKind;
  std::uint32_t eraseBlockSize;  // as the flash type table gives it for the kind
  std::size_t imageSize;
  int explicitPolls;  // polls not followed by a block command: one per read-back
  int (*procedure)(program::RunWindow&, const char*);
};

void RunBlockProcedure(benchmark::State& state, const BlockRun& run) {
  sim::Image image(run.imageSize);
  sim::FillCode(image, 11);
  sim::EnclosureProfile profile = bench::Profile(run.profile);
  sim::AttachOptions options;
  if (*run.flashPart != 0) {
    profile.flashPart = run.flashPart;
    options.powerUpProtection = false;  // as an earlier tool left it: the engine cannot unprotect
  }
  bench::Rig rig(profile, image, run.profile, options);
  rig.window.geometry_.eraseBlockSize = run.eraseBlockSize;
  rig.window.geometry_.eraseSectorSize = 0x1000;
  rig.window.facts_.chipType = run.chipType;
  rig.window.facts_.flashTypeCode = run.flashKind;
  rig.window.facts_.flashSizeKb = 128;

  bench::TimeRuns(
      state, rig, run.imageSize,
      [&] {
        (void)run.procedure(rig.window, rig.path.c_str());
        return rig.window.status_ == "Programming Success!!";
      },
      [&](std::uint64_t waited) {
        const int polls = bench::Count(rig.machine, "ReadFlashBlock") +
                          bench::Count(rig.machine, "WriteFlashBlock") + run.explicitPolls;
        const int reReads = bench::Count(rig.machine, "ReadFlashStatus") - polls;
        const std::uint64_t mandated = 10u * static_cast<std::uint64_t>(reReads);
        return waited == mandated ? std::string() : bench::WaitError(waited, mandated);
      });
}

void BlockCommandProgrammingRun(benchmark::State& state) {
  // Two banks: a read-back poll per pass.
  RunBlockProcedure(state,
                    {"txv929", "", 12, 6, 0x10000, 0x10000, 2, program::ProgramBlockFlash});
}

// The SST25VF016B, 7 us (10 us at most) per word: the engine's word program
// holds only when the part is polled ready between words.
void BlockCommandSstProgrammingRun(benchmark::State& state) {
  RunBlockProcedure(state, {"txv929", "sst-25vf016b", 12, 2, 0x8000, 0x10000, 2,
                            program::ProgramBlockFlash});
}

void Ieee1394ProgrammingRun(benchmark::State& state) {
  RunBlockProcedure(state,
                    {"txr843-1394", "", 7, 6, 0x10000, 0x8000, 1, program::ProgramIeee1394Flash});
}

BENCHMARK(BlockCommandProgrammingRun)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BlockCommandSstProgrammingRun)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(Ieee1394ProgrammingRun)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

}  // namespace
