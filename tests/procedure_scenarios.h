// The scenarios the cross-procedure suites run: for every row of the
// procedure table, how to set up an emulated enclosure for it, what its runs
// are told, and what a good run leaves behind; then the scenario rows (a
// profile, an image, the options, the run's mode). A suite that holds for
// every procedure loops over these rows, so a new procedure is covered by
// adding its layout and its rows here; ScenarioGaps names a built procedure
// without them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "engine/procedure_table.h"
#include "fault_matrix.h"
#include "procedure_fixture.h"

namespace testing_support {

using Bytes = std::vector<std::uint8_t>;

struct Scenario {
  const char* name;
  program::Procedure procedure;
  RunMode mode;
  const char* profile;
  std::size_t imageSize = 0x100;
  // The flash part as identification names it: the serial flash's type code,
  // or the internal ROM's part index.
  int flashKind = 0;
  bool keepsNvram = false;     // the run keeps an NVRAM record, which must survive
  std::uint16_t pageSize = 0;  // set on the bridge before the run as identification would
  bool a1Chip = false;
  bool signedImage = false;  // an image made for the chip, with its own first 4 KB
  bool unprotected = false;  // the serial flash starts without its power-up protection
  std::uint32_t nvram = 0;   // block commands: the area the run keeps
  std::uint32_t nvramLength = 0;
  std::uint32_t extent = 0;  // block commands: what the run erases or backs up
  std::uint64_t start = 0;   // disk-hosted: where the firmware area lies
  bool sampled = false;      // too many commands for the full matrix: FaultSweepTest samples it
  // The status a run whose read-back differs ends with, where it is not the
  // layout's (a kept record shares the spoilt unit).
  const char* readBackFails = nullptr;
};

inline void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

// What the runs of one scenario share: its files and what the enclosure
// held before.
struct ScenarioState {
  std::string imageFile;
  std::string backupFile;
  Bytes image;   // the image file's bytes
  Bytes old;     // what the build loads into the flash or area first
  Bytes kept;    // the NVRAM record the run keeps, as built
  Bytes before;  // what the run erases or backs up, as built
  Bytes wanted;  // what a good programming run leaves
  // Changes the profile or the attach options before every build.
  std::function<void(sim::EnclosureProfile&, sim::AttachOptions&)> edit;
};

// What is particular to the layout of one procedure row.
struct ProcedureLayout {
  program::Procedure procedure;
  // The image file's bytes and, from them, what a good programming run leaves.
  void (*image)(const Scenario&, ScenarioState&);
  // Attaches the enclosure and loads what it holds before the run.
  std::shared_ptr<sim::BridgeChip> (*build)(const Scenario&, sim::Machine&, ScenarioState&);
  // The facts and options identification and the window give the run, after
  // the image, the mode and the backup file are set.
  void (*window)(const Scenario&, sim::BridgeChip&, FakeRunWindow&);
  // True when the enclosure (or the backup file) is as a good run leaves it.
  bool (*inPlace)(const Scenario&, sim::BridgeChip&, const ScenarioState&);
  // True when the kept record is still there; null: the row keeps none.
  bool (*kept)(const Scenario&, sim::BridgeChip&, const ScenarioState&);
  // Checks of the run beyond the matrix's: "" when it kept them.
  std::string (*afterRun)(const Scenario&, sim::BridgeChip&, const ScenarioState&,
                          const FakeRunWindow&);
  // The boxes only a successful run of this row may show.
  std::vector<std::string> successBoxes;
  // Makes what a programming or erase-only run reads back differ from what
  // it wrote or erased, and the status such a run ends with (by mode:
  // programming, erase-only).
  void (*spoil)(const Scenario&, sim::EnclosureProfile&, sim::AttachOptions&);
  const char* readBackFails[2];
};

// The layout of a row; null when the row has none.
const ProcedureLayout* LayoutOf(program::Procedure procedure);
// Every scenario row; those for which keep is true.
const std::vector<Scenario>& ScenarioRows();
std::vector<Scenario> RowsWhere(bool (*keep)(const Scenario&));
// A parameterised test's name: the row's.
inline std::string RowName(const ::testing::TestParamInfo<Scenario>& info) {
  return info.param.name;
}
// Built procedure rows without a layout or without a scenario for each of
// their modes, one line each; "" when every row has them.
std::string ScenarioGaps();

// The fault matrix's setup for a scenario: the enclosure built fresh for
// every run, the row's verb run through the procedure table on a recording
// window, the row's predicates.
FaultMatrixSetup MatrixSetupOf(const Scenario& s, const std::shared_ptr<ScenarioState>& state);
// One run of the scenario on a fresh machine.
SeenRun RunScenario(const Scenario& s, const std::shared_ptr<ScenarioState>& state);
// A fresh state for a scenario whose files lie in folder; writes the image.
std::shared_ptr<ScenarioState> StateOf(const Scenario& s, const ScratchFolder& folder);

}  // namespace testing_support
