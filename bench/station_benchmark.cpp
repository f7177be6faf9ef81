// The production station on emulated enclosures whose waits take real time,
// as a real chip's busy times do: the station's wall time with four TX40775
// enclosures attached at once against its time with one. The station updates
// each enclosure in a worker process of its own, so four should take about
// the time of one (goal: at most 1.3 times). Counters: oneSeconds,
// fourSeconds, ratio. Linux only: the workers are copies of this process, so
// they share its real-time machine; Windows workers are the console program.
#include <benchmark/benchmark.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#include "console/console.h"
#include "host/interrupts.h"
#include "sim/machine.h"
#include "sim/profiles.h"
#include "sim/test_images.h"

namespace {

class RealTimeMachine : public sim::Machine {
 public:
  void Sleep(std::uint32_t milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    sim::Machine::Sleep(milliseconds);
  }
  // Every enclosure is there from the start: once the console has begun
  // listening, the first wait for more ends the station, as Ctrl+C would.
  bool WaitForDeviceChange(std::uint32_t) override {
    if (!listening_) {
      listening_ = true;
      return true;
    }
#ifdef _WIN32
    host::TakeConsoleEvent(0);  // CTRL_C_EVENT
#else
    std::raise(SIGINT);
#endif
    return true;
  }

 private:
  bool listening_ = false;
};

// Seconds the station takes to update `count` enclosures; negative when it
// did not end with all of them updated.
double StationSeconds(int count, const std::string& image) {
  RealTimeMachine machine;
  for (int k = 0; k < count; ++k) {
    sim::AttachOptions options;
    options.serial = "station-" + std::to_string(k);
    options.diskNumber = static_cast<std::uint32_t>(k + 1);
    options.volumes = {{static_cast<char>('E' + k), static_cast<std::uint32_t>(k + 1)}};
    sim::AttachProfile(machine, *sim::FindProfile("tx40775-pmc"), options);
  }
  host::ScopedHost scope(machine);
  app::ConsoleOptions options;
  std::string error;
  if (!app::ParseConsoleArgs({"--wait", "--repeat", "--run", "0", "--expect-chip", "TX40775",
                              "--image", image},
                             options, error))
    return -1;
  std::FILE* out = std::tmpfile();
  if (out == nullptr) return -1;
  const auto start = std::chrono::steady_clock::now();
  app::RunConsole(machine, options, out);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // The summary names how many were updated.
  std::rewind(out);
  std::string text;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;) text.append(buffer, n);
  std::fclose(out);
  const std::string summary = "station: " + std::to_string(count) + " updated, 0 failed";
  return text.find(summary) != std::string::npos ? seconds : -1;
}

void StationWallTime(benchmark::State& state) {
  const std::string image = sim::TempImagePath("station-bench");
  if (!sim::WriteImageFile(image, sim::MakeMatchingImage({1, 1}))) {
    state.SkipWithError("cannot write the image");
    return;
  }
  for (auto _ : state) {
    const double one = StationSeconds(1, image);
    const double four = StationSeconds(4, image);
    if (one < 0 || four < 0) {
      state.SkipWithError("the station did not update every enclosure");
      break;
    }
    state.SetIterationTime(four);
    state.counters["oneSeconds"] = one;
    state.counters["fourSeconds"] = four;
    state.counters["ratio"] = four / one;
  }
  std::remove(image.c_str());
}

BENCHMARK(StationWallTime)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
