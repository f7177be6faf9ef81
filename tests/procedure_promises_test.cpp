// What every procedure row promises, run over its scenario rows: a run is
// judged by what it reads back, and a run that failed shows no box.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "procedure_scenarios.h"

namespace {

using testing_support::Scenario;

std::vector<Scenario> RowsThatChange() {
  std::vector<Scenario> rows;
  for (const Scenario& s : testing_support::ScenarioRows())
    if (s.mode != testing_support::RunMode::BackupOnly) rows.push_back(s);
  return rows;
}

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
  const char* text = layout.readBackFails[s.mode == testing_support::RunMode::Program ? 0 : 1];
  EXPECT_EQ(s.readBackFails != nullptr ? s.readBackFails : text, seen.status);
  EXPECT_TRUE(seen.boxes.empty()) << seen.boxes.front();
}

INSTANTIATE_TEST_SUITE_P(Rows, ReadBackTest, ::testing::ValuesIn(RowsThatChange()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
