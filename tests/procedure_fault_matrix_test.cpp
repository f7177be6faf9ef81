// Every procedure row under a fault at every command of a clean run
// (programming, erase-only and backup-only): a CHECK CONDITION, a short
// transfer and an unplug, each on a fresh machine. No false success, no
// lost NVRAM record, no closing box after a failure, no hang.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "procedure_scenarios.h"

namespace {

using testing_support::RowName;
using testing_support::RowsWhere;
using testing_support::Scenario;

// Tied to the procedure table: a row that runs something needs a layout and
// a scenario for each of its modes, or none of the suites covers it.
TEST(ProcedureScenariosTest, EveryBuiltRowHasItsLayoutAndAScenarioForEachMode) {
  EXPECT_EQ("", testing_support::ScenarioGaps());
}

class ProcedureFaultMatrixTest : public ::testing::TestWithParam<Scenario> {
 protected:
  testing_support::ScratchFolder scratch_{"tx-matrix"};
};

TEST_P(ProcedureFaultMatrixTest, NoFaultLeadsToAFalseSuccessOrALostRecord) {
  const Scenario& s = GetParam();
  const auto state = testing_support::StateOf(s, scratch_);
  ASSERT_FALSE(state->image.empty());
  const auto report = testing_support::RunFaultMatrix(testing_support::MatrixSetupOf(s, state));
  std::printf("%s: %s", s.name, report.Describe().c_str());
  EXPECT_TRUE(report.ok()) << report.Describe();
  EXPECT_GT(report.runs, 2 * report.commands);  // every data command got its short transfer
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ProcedureFaultMatrixTest,
    ::testing::ValuesIn(RowsWhere([](const Scenario& s) { return !s.sampled; })), RowName);

// The rows too long for the full matrix, sampled: every command except inside
// a run of commands of one kind (status re-reads, the bytes of an AAI
// sequence), where the first and last stand for the rest; at most 15 spread
// over the run. A success shows exactly its one box, a failure none, and
// most injected faults must be noticed.
std::vector<int> SampledPositions(const std::vector<sim::TranscriptEntry>& clean,
                                  std::size_t limit) {
  auto step = [&](std::size_t i) {
    const auto& e = clean[i];
    return e.command + "/" + std::to_string(e.cdb[3]) + "/" + std::to_string(e.cdb[5]);
  };
  std::vector<int> candidates;
  for (std::size_t i = 0; i < clean.size(); ++i) {
    const bool inside =
        i > 0 && i + 1 < clean.size() && step(i) == step(i - 1) && step(i) == step(i + 1);
    if (!inside) candidates.push_back(static_cast<int>(i + 1));
  }
  if (candidates.size() <= limit) return candidates;
  std::vector<int> out;
  for (std::size_t k = 0; k < limit; ++k) out.push_back(candidates[k * candidates.size() / limit]);
  out.push_back(candidates.back());
  return out;
}

class FaultSweepTest : public ProcedureFaultMatrixTest {};

TEST_P(FaultSweepTest, EveryFaultEndsSafely) {
  const Scenario& s = GetParam();
  const auto state = testing_support::StateOf(s, scratch_);
  testing_support::FaultMatrixSetup setup = testing_support::MatrixSetupOf(s, state);
  struct Outcome {
    testing_support::SeenRun seen;
    bool inPlace = false;
    bool kept = false;
  };
  std::vector<sim::TranscriptEntry> clean;
  auto run = [&](const sim::CommandFault* fault) {
    sim::Machine machine;
    machine.SetTranscriptLimit(sim::kFullTranscript);
    const host::ScopedHost scope(machine);
    auto chip = setup.build(machine);
    if (fault != nullptr) machine.AddFault(*fault);
    Outcome o;
    o.seen = setup.run(machine, *chip);
    o.inPlace = setup.imageInPlace(*chip);
    o.kept = !setup.nvramKept || setup.nvramKept(*chip);
    if (fault == nullptr) clean = machine.transcript();
    return o;
  };
  auto check = [&](const Outcome& o, const std::string& where) {
    SCOPED_TRACE(where);
    EXPECT_EQ(o.seen.succeeded ? 1u : 0u, o.seen.boxes.size());
    if (o.seen.succeeded) {
      EXPECT_TRUE(o.inPlace && o.kept);
    }
  };
  const Outcome first = run(nullptr);
  ASSERT_TRUE(first.seen.succeeded) << first.seen.status;
  check(first, "clean run");

  int failures = 0;
  for (int at : SampledPositions(clean, 15)) {
    for (auto kind : {sim::CommandFault::Kind::CheckCondition,
                      sim::CommandFault::Kind::ShortTransfer, sim::CommandFault::Kind::Unplug}) {
      sim::CommandFault fault;
      fault.kind = kind;
      fault.occurrence = at;
      fault.shortLength = 1;
      const Outcome o = run(&fault);
      failures += o.seen.succeeded ? 0 : 1;
      check(o, "command " + std::to_string(at) + ", fault kind " +
                   std::to_string(static_cast<int>(kind)));
    }
  }
  EXPECT_GT(failures, 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultSweepTest, ::testing::ValuesIn(RowsWhere([](const Scenario& s) {
                           return s.sampled;
                         })),
                         RowName);

}  // namespace
