// What every procedure row promises, run over its scenario rows: a run is
// judged by what it reads back, a backup by two reads that agree, and a run
// that failed shows no box.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "host/host.h"
#include "procedure_scenarios.h"

namespace {

using testing_support::RowName;
using testing_support::RowsWhere;
using testing_support::RunMode;
using testing_support::Scenario;

class ReadBackTest : public ::testing::TestWithParam<Scenario> {
 protected:
  testing_support::ScratchFolder scratch_{"tx-readback"};
};

// Flash that will not take the image, or erased flash that does not read
// blank, fails the run with its text: never a success, never a box.
TEST_P(ReadBackTest, ADifferingReadBackFailsWithItsTextAndNoBox) {
  const Scenario& s = GetParam();
  const testing_support::ProcedureLayout& layout = *testing_support::LayoutOf(s.procedure);
  const auto state = testing_support::StateOf(s, scratch_);
  state->edit = [&](sim::EnclosureProfile& p, sim::AttachOptions& o) { layout.spoil(s, p, o); };
  const testing_support::SeenRun seen = testing_support::RunScenario(s, state);
  EXPECT_FALSE(seen.succeeded);
  const char* text = layout.readBackFails[s.mode == RunMode::Program ? 0 : 1];
  EXPECT_EQ(s.readBackFails != nullptr ? s.readBackFails : text, seen.status);
  EXPECT_TRUE(seen.boxes.empty()) << seen.boxes.front();
}

INSTANTIATE_TEST_SUITE_P(Rows, ReadBackTest, ::testing::ValuesIn(RowsWhere([](const Scenario& s) {
                           return s.mode != RunMode::BackupOnly;
                         })),
                         RowName);

class BackupTest : public ReadBackTest {};

// A backup is read twice and the reads must agree: one bit flipped in the
// last read of a clean run fails the run, leaves no file and changes nothing.
TEST_P(BackupTest, ReadsThatDisagreeSaveNothing) {
  const Scenario& s = GetParam();
  const auto state = testing_support::StateOf(s, scratch_);
  const testing_support::FaultMatrixSetup setup = testing_support::MatrixSetupOf(s, state);
  auto run = [&](sim::Machine& machine, const sim::CommandFault* fault) {
    machine.SetTranscriptLimit(sim::kFullTranscript);
    const host::ScopedHost scope(machine);
    const auto chip = setup.build(machine);
    machine.ClearTranscript();
    if (fault != nullptr) machine.AddFault(*fault);
    const auto before = testing_support::EnclosureSnapshot(*chip);
    const testing_support::SeenRun seen = setup.run(machine, *chip);
    EXPECT_TRUE(before == testing_support::EnclosureSnapshot(*chip));
    return seen;
  };
  sim::Machine clean;
  ASSERT_TRUE(run(clean, nullptr).succeeded);
  sim::CommandFault flip;
  flip.kind = sim::CommandFault::Kind::FlipBit;
  const auto& sent = clean.transcript();
  for (std::size_t i = 0; i < sent.size(); ++i)
    if (sent[i].command.find("Read") != std::string::npos &&
        sent[i].request.dataTransferLength >= 256)
      flip.occurrence = static_cast<int>(i + 1);
  ASSERT_NE(0, flip.occurrence) << "no read";
  sim::Machine machine;
  const testing_support::SeenRun seen = run(machine, &flip);
  EXPECT_FALSE(seen.succeeded);
  EXPECT_NE("", seen.status);
  EXPECT_TRUE(seen.boxes.empty());
  EXPECT_FALSE(std::filesystem::exists(state->backupFile));
}

INSTANTIATE_TEST_SUITE_P(Rows, BackupTest, ::testing::ValuesIn(RowsWhere([](const Scenario& s) {
                           return s.mode == RunMode::BackupOnly;
                         })),
                         RowName);

}  // namespace
