#include "fault_matrix.h"

#include <algorithm>
#include <exception>
#include <sstream>

#include "host/host.h"
#include "sim/controller_route.h"
#include "sim/parallel_flash.h"

namespace testing_support {

namespace {

constexpr std::uint64_t kSleepBudgetMs = 30ull * 60 * 1000;

// Thrown out of the machine when a run overruns its budget: the procedure's
// RAII owners release everything on the way out to the matrix.
struct RunawayRun {
  const char* what;
};

// The simulated machine with a budget, so a run that never ends is reported
// instead of hanging the suite.
class WatchedMachine : public sim::Machine {
 public:
  // The whole transcript: the clean run's positions name every command.
  explicit WatchedMachine(std::uint64_t commandBudget) : commandBudget_(commandBudget) {
    SetTranscriptLimit(sim::kFullTranscript);
  }

  void Arm() { armed_ = true; }

  // Opens count too: a loop retrying a device that is gone never gets as far
  // as a command.
  host::Handle OpenDevice(const char* path, std::uint32_t access, std::uint32_t share,
                          std::uint32_t& lastError) override {
    Count();
    return sim::Machine::OpenDevice(path, access, share, lastError);
  }
  bool PassThrough(host::Handle handle, host::PassThroughRequest& request,
                   std::uint32_t& lastError) override {
    Count();
    return sim::Machine::PassThrough(handle, request, lastError);
  }
  void Sleep(std::uint32_t milliseconds) override {
    sim::Machine::Sleep(milliseconds);
    slept_ += milliseconds;
    if (armed_ && slept_ > kSleepBudgetMs) throw RunawayRun{"slept too long (hang)"};
  }

 private:
  void Count() {
    if (armed_ && ++calls_ > commandBudget_) throw RunawayRun{"too many device calls (hang)"};
  }

  std::uint64_t commandBudget_;
  std::uint64_t calls_ = 0;
  std::uint64_t slept_ = 0;
  bool armed_ = false;
};

struct RunResult {
  SeenRun seen;
  std::string abort;  // why the run did not end normally; "" when it did
  bool image = false;
  bool nvram = true;
};

// Commands the fault counter sees: every request that reached a device.
bool Faultable(const sim::TranscriptEntry& e) {
  return e.outcome == sim::Outcome::Good || e.outcome == sim::Outcome::CheckCondition;
}

RunResult RunOnce(const FaultMatrixSetup& setup, std::uint64_t budget, const sim::CommandFault* fault,
                  std::vector<sim::TranscriptEntry>* transcript) {
  RunResult result;
  WatchedMachine machine(budget);
  host::ScopedHost scope(machine);
  std::shared_ptr<sim::BridgeChip> chip = setup.build(machine);
  if (!chip) {
    result.abort = "build returned no chip";
    return result;
  }
  machine.ClearTranscript();
  if (fault != nullptr) machine.AddFault(*fault);
  machine.Arm();
  try {
    result.seen = setup.run(machine, *chip);
  } catch (const RunawayRun& r) {
    result.abort = r.what;
  } catch (const std::exception& e) {
    result.abort = std::string("exception: ") + e.what();
  }
  if (transcript != nullptr) *transcript = machine.transcript();
  result.image = setup.imageInPlace(*chip);
  if (setup.nvramKept) result.nvram = setup.nvramKept(*chip);
  return result;
}

// The rules every run must keep; "" when it kept them.
std::string Problem(const FaultMatrixSetup& setup, const RunResult& r) {
  if (!r.abort.empty()) return r.abort;
  if (r.seen.succeeded && !r.image) return "success without the image in place";
  if (r.seen.succeeded && !r.nvram) return "success with the NVRAM record lost";
  if (!r.seen.succeeded) {
    for (const std::string& box : r.seen.boxes)
      if (std::find(setup.successBoxes.begin(), setup.successBoxes.end(), box) !=
          setup.successBoxes.end())
        return "box \"" + box + "\" after a failure";
    if (r.seen.status.empty()) return "failure without a status text";
  }
  return "";
}

}  // namespace

int CommandsSoFar(const sim::Machine& machine) {
  return static_cast<int>(
      std::count_if(machine.transcript().begin(), machine.transcript().end(), Faultable));
}

SeenRun SeenRunOf(const FakeRunWindow& window, bool succeeded) {
  SeenRun seen;
  seen.succeeded = succeeded;
  seen.status = window.StatusText();
  for (const ShownMessage& m : window.messages) seen.boxes.push_back(m.text);
  return seen;
}

std::vector<std::uint8_t> EnclosureSnapshot(sim::BridgeChip& chip) {
  std::vector<std::uint8_t> all;
  auto add = [&all](const sim::FlashArray& cells) {
    const std::size_t at = all.size();
    all.resize(at + cells.size());
    cells.Read(0, all.data() + at, cells.size());
  };
  if (chip.serialFlash() != nullptr) add(chip.serialFlash()->cells());
  if (chip.parallelFlash() != nullptr) add(chip.parallelFlash()->cells());
  if (chip.controllerRoute() != nullptr && chip.controllerRoute()->flash() != nullptr)
    add(chip.controllerRoute()->flash()->cells());
  if (const sim::SimDisk* disk = chip.disk(); disk != nullptr && disk->config().sectors != 0) {
    const std::uint32_t x = disk->config().logicalSectorSize;
    const std::uint64_t end = disk->addressableSectors();
    const std::uint64_t from = end > (16u << 20) / x ? end - (16u << 20) / x : 0;
    const std::size_t at = all.size();
    all.resize(at + (end - from) * x);
    disk->ReadSectors(from, all.data() + at, end - from);
  }
  return all;
}

bool FlashHolds(sim::BridgeChip& chip, std::uint32_t address,
                const std::vector<std::uint8_t>& bytes) {
  sim::SerialFlash* flash = chip.serialFlash();
  if (flash == nullptr || address + bytes.size() > flash->cells().size()) return false;
  std::vector<std::uint8_t> held(bytes.size());
  flash->cells().Read(address, held.data(), held.size());
  return held == bytes;
}

const char* FaultName(InjectedFault kind) {
  switch (kind) {
    case InjectedFault::CheckCondition:
      return "CHECK CONDITION";
    case InjectedFault::ShortTransfer:
      return "short transfer";
    case InjectedFault::Unplug:
      return "unplug";
  }
  return "?";
}

std::string FaultMatrixReport::Describe() const {
  std::ostringstream out;
  out << commands << " commands, " << runs << " faulted runs, " << findings.size()
      << " flagged\n";
  if (!cleanProblem.empty()) out << "clean run: " << cleanProblem << "\n";
  for (const FaultFinding& f : findings)
    out << "  #" << f.position << " " << f.command << " " << FaultName(f.kind) << ": "
        << f.problem << " (status \"" << f.status << "\")\n";
  return out.str();
}

FaultMatrixReport RunFaultMatrix(const FaultMatrixSetup& setup) {
  FaultMatrixReport report;
  std::vector<sim::TranscriptEntry> clean;
  // The clean run gets a generous budget of its own; it sets the others'.
  const RunResult first = RunOnce(setup, 1000000, nullptr, &clean);
  std::string problem = Problem(setup, first);
  if (problem.empty() && !first.seen.succeeded) problem = "failed: " + first.seen.status;
  if (problem.empty() && !first.image) problem = "image not in place";
  if (problem.empty() && !first.nvram) problem = "NVRAM record lost";
  if (!problem.empty()) {
    report.cleanProblem = problem;
    return report;
  }

  std::vector<const sim::TranscriptEntry*> positions;
  for (const sim::TranscriptEntry& e : clean)
    if (Faultable(e)) positions.push_back(&e);
  report.commands = static_cast<int>(positions.size());
  const std::uint64_t budget =
      2 * (static_cast<std::uint64_t>(setup.budgetFactor) * clean.size() + 1000);
  int end = report.commands;
  if (setup.onlyBeforeRun) end = std::clamp(first.seen.commandsBeforeRun, 0, end);

  for (int i = setup.skipCommands; i < end; ++i) {
    const sim::TranscriptEntry& at = *positions[static_cast<std::size_t>(i)];
    for (InjectedFault kind :
         {InjectedFault::CheckCondition, InjectedFault::ShortTransfer, InjectedFault::Unplug}) {
      sim::CommandFault fault;
      fault.occurrence = i + 1;  // an empty pattern matches every command
      if (kind == InjectedFault::CheckCondition) fault.kind = sim::CommandFault::Kind::CheckCondition;
      if (kind == InjectedFault::Unplug) fault.kind = sim::CommandFault::Kind::Unplug;
      if (kind == InjectedFault::ShortTransfer) {
        // Without data there is nothing to cut short.
        if (at.request.dataTransferLength == 0) continue;
        fault.kind = sim::CommandFault::Kind::ShortTransfer;
        fault.shortLength = at.request.dataTransferLength / 2;
      }
      ++report.runs;
      const RunResult r = RunOnce(setup, budget, &fault, nullptr);
      const std::string p = Problem(setup, r);
      if (!p.empty()) report.findings.push_back({i + 1, at.command, kind, p, r.seen.status});
    }
  }
  return report;
}

}  // namespace testing_support
