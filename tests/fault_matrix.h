// A fault at every command of a clean run. The matrix runs a procedure once
// without faults and records its commands; then, for every command position
// of that run, it reruns the procedure on a fresh simulated machine with one
// fault injected at that position: a CHECK CONDITION, a short transfer (data
// commands only: half the data moves) and an unplug. After every run it checks
// what a careful user would:
//   - success only when the flash (or disk area) holds the image;
//   - a kept NVRAM record is never lost unless the run failed;
//   - no power-cycle or reset box after a failure;
//   - no hang (a command and virtual-time budget) and no exception.
// Crashes are not caught: they end the test program, which fails the suite.
//
// Use: procedure_scenarios.h fills a setup for every procedure row
// (MatrixSetupOf); fault_matrix_test.cpp shows the bare parts.
//
// A run through the main window works the same way: build the HeadlessView
// and MainWindow inside `run` (their clock bound to the machine passed in),
// press Run there and fill SeenRun from the view; set skipCommands to leave
// the refresh and identification before Run unfaulted if they are not the
// subject, or onlyBeforeRun (with SeenRun::commandsBeforeRun filled in) to
// fault nothing but them. Every run gets a fresh machine installed as the current host, so
// nothing carries over; the window's transfer settings are the caller's to set.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fake_run_window.h"
#include "sim/bridge_chip.h"
#include "sim/machine.h"

namespace testing_support {

// What one run showed the user.
struct SeenRun {
  bool succeeded = false;          // the procedure's own result
  std::string status;              // the status line at the end
  std::vector<std::string> boxes;  // message box texts, in order
  // Commands the fault counter saw before Run was pressed (see
  // CommandsSoFar); -1 when the run does not tell.
  int commandsBeforeRun = -1;
};

// The commands a fault can be injected at that the machine has seen so far.
int CommandsSoFar(const sim::Machine& machine);

// The SeenRun of a procedure called on a FakeRunWindow.
SeenRun SeenRunOf(const FakeRunWindow& window, bool succeeded);

// Everything a run may change on the enclosure: each of its flashes and the
// disk's tail, where the firmware areas lie.
std::vector<std::uint8_t> EnclosureSnapshot(sim::BridgeChip& chip);

// True when the chip's serial flash holds bytes at address.
bool FlashHolds(sim::BridgeChip& chip, std::uint32_t address,
                const std::vector<std::uint8_t>& bytes);

// The boxes that ask for a power cycle after a good update.
inline const std::vector<std::string> kPowerCycleBoxes = {
    "Please Turn-Off the Power and Turn-On Again !",
    "Please Turn-Off the Power and Turn-On Again!"};

struct FaultMatrixSetup {
  // Attaches the enclosure to the fresh machine and sets up its contents;
  // returns the chip the run and the predicates look at. Commands sent here
  // are not part of the matrix.
  std::function<std::shared_ptr<sim::BridgeChip>(sim::Machine&)> build;
  // Runs the procedure once and reports what it showed.
  std::function<SeenRun(sim::Machine&, sim::BridgeChip&)> run;
  // True when the flash (or disk area) holds the image. Required.
  std::function<bool(sim::BridgeChip&)> imageInPlace;
  // True when the NVRAM record the procedure keeps is still there; leave
  // empty when the procedure keeps none.
  std::function<bool(sim::BridgeChip&)> nvramKept;
  // Boxes only a successful run may show (power-cycle, reset requests).
  std::vector<std::string> successBoxes = kPowerCycleBoxes;
  // The first commands of the run that are left unfaulted.
  int skipCommands = 0;
  // Fault only the commands the clean run sent before Run was pressed.
  bool onlyBeforeRun = false;
  // A run making more than budgetFactor times the clean run's commands (plus
  // 1000) in opens and commands, or sleeping more than 30 virtual minutes,
  // counts as a hang.
  int budgetFactor = 20;
};

enum class InjectedFault { CheckCondition, ShortTransfer, Unplug };
const char* FaultName(InjectedFault kind);

// One run that broke a rule.
struct FaultFinding {
  int position = 0;     // 1-based command position in the clean run
  std::string command;  // the name of the command there in the clean run
  InjectedFault kind = InjectedFault::CheckCondition;
  std::string problem;  // the rule it broke
  std::string status;   // the status it ended with
};

struct FaultMatrixReport {
  int commands = 0;  // commands of the clean run
  int runs = 0;      // faulted runs made
  // The clean run did not succeed with the image (and record) in place; the
  // matrix is then not run.
  std::string cleanProblem;
  std::vector<FaultFinding> findings;
  bool ok() const { return cleanProblem.empty() && findings.empty(); }
  // One line per finding (or the clean problem), for a failure message.
  std::string Describe() const;
};

FaultMatrixReport RunFaultMatrix(const FaultMatrixSetup& setup);

}  // namespace testing_support
