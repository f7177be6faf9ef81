// Programming runs of the 16 KB-page updates on emulated enclosures: the
// NVRAM-preserving update on a TXR842 and the SST update on a TXR847 in AAI
// word and byte mode. Besides CPU time each row reports the commands sent and
// the virtual time waited, and fails when the waits differ from what the
// procedures mandate: 10 ms before each status re-read while the flash is
// busy, and on the raw serial-flash path 10 ms after each write-enable and
// before each address, 20 ms per protection clear, 10 ms per write disable
// and 10 ms after each 8 KB chunk.
#include "bench_run.h"
#include "identify/device_identify.h"
#include "identify/flash_setup.h"
#include "engine/procedure_table.h"
#include "procedures/nvram_page16k.h"
#include "procedures/sst_serial.h"

namespace {

// The waits the commands of one run call for.
std::uint64_t MandatedWaitMs(const sim::Machine& machine) {
  std::uint64_t ms = 0;
  const sim::TranscriptEntry* previous = nullptr;
  for (const auto& e : machine.transcript()) {
    // A status read 10 ms after another one is a re-read of a busy flash.
    if (e.command == "ReadFlashStatus" && previous != nullptr &&
        previous->command == "ReadFlashStatus" && e.sleptMs == previous->sleptMs + 10)
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
  sim::Image image(imageSize);
  sim::FillCode(image, 9);
  const sim::EnclosureProfile& profile = bench::Profile(setup.profile);
  bench::Rig rig(profile, image, "bench16k", bench::WithVolumeE());
  // Selecting the entry configures the bridge for its flash part (erase
  // opcodes among them); a run never comes without it.
  identify::FlashState flash;
  flash.chipType = profile.chipType;
  identify::RunFlashSetup(identify::DeviceFlashCommands(rig.path.c_str()),
                          {profile.chipType, profile.subCode}, false, flash);
  rig.window.facts_.flashTypeCode = setup.flashKind;
  rig.window.facts_.sstJedecFlag = setup.sstJedecFlag;
  rig.window.facts_.flashSizeKb = 64;
  if (flash.flashTypeCode != setup.flashKind || flash.sstJedecFlag != setup.sstJedecFlag) {
    state.SkipWithError("the flash setup found another part than the row names");
    return;
  }
  const std::uint64_t chunks = (imageSize + 0x3FFF) / 0x4000 * 2;  // 8 KB steps of the SST path

  bench::TimeRuns(
      state, rig, imageSize,
      [&] {
        const int result = program::RunVerb(setup.sst ? program::Procedure::SstSerialFlash
                                                      : program::Procedure::NvramPage16K,
                                            rig.window, rig.path.c_str());
        return result == 1 && rig.window.status_ == "Programming Success!!";
      },
      [&](std::uint64_t waited) {
        const std::uint64_t mandated = MandatedWaitMs(rig.machine) + (setup.sst ? 10 * chunks : 0);
        return waited == mandated ? std::string() : bench::WaitError(waited, mandated);
      });
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
