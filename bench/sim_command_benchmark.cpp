// The simulated machine's own cost per pass-through command, as the demo
// runs it: the demo's enclosures attached, the transcript bounded as the
// demo keeps it, and the same carrier calls the procedures make. The rows
// are the commands a programming run sends most: the flash status read of
// every wait, and the raw serial-flash command of an SST part's AAI word
// programming (one per two bytes).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "scsi/flash_commands.h"
#include "scsi/flash_types.h"
#include "scsi/spi_commands.h"
#include "host/host.h"
#include "sim/demo.h"
#include "sim/machine.h"

namespace {

enum class Command { StatusRead, AaiWord };

void SimulatorCommand(benchmark::State& state, Command command) {
  sim::Machine machine;
  host::ScopedHost scope(machine);
  sim::AttachDemoEnclosures(machine);
  std::string path;
  for (std::uint32_t i = 0; path.empty(); ++i) {
    auto list = machine.OpenInterfaceList(host::InterfaceClass::Disk);
    std::string member;
    if (!list || !list->Member(i, member)) break;
    if (member.find("txr847") != std::string::npos) path = member;
  }
  if (path.empty()) {
    state.SkipWithError("no TXR847 among the demo enclosures");
    return;
  }
  const device::SpiRecord word = device::MakeSpiRecord(3, 0, 0xAD, 0x12, 0x34);
  std::uint8_t status = 0;
  for (auto _ : state) {
    const device::Result sent = command == Command::StatusRead
                                    ? device::ReadFlashStatus(path.c_str(), &status)
                                    : device::SpiCommand(path.c_str(), word);
    if (sent.failed()) {
      state.SkipWithError("the command failed");
      break;
    }
  }
  state.counters["transcript_entries"] = static_cast<double>(machine.transcript().size());
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

BENCHMARK_CAPTURE(SimulatorCommand, StatusRead, Command::StatusRead)
    ->Unit(benchmark::kNanosecond)
    ->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(SimulatorCommand, AaiWord, Command::AaiWord)
    ->Unit(benchmark::kNanosecond)
    ->MeasureProcessCPUTime();

}  // namespace
