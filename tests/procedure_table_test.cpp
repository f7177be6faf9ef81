// The procedure table, the outcome Run keeps from what a procedure returns,
// and the window as a procedure sees it (WindowRun, ProcedureScope).
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "window/window_run.h"
#include "fake_run_window.h"
#include "engine/procedure_table.h"
#include "run_window_fixture.h"

namespace {

using program::Procedure;
using program::RunOutcome;

TEST(ProcedureTableTest, EveryProcedureHasItsOwnNamedRow) {
  std::set<std::string> names;
  int rows = 0;
  for (const program::ProcedureRow& row : program::ProcedureTable()) {
    EXPECT_EQ(&row, &program::RowOf(row.procedure));
    EXPECT_STRNE("", row.name);
    names.insert(row.name);
    ++rows;
  }
  EXPECT_EQ(static_cast<int>(Procedure::BridgeBehindController) + 1, rows);
  EXPECT_EQ(static_cast<std::size_t>(rows), names.size());
}

// Each row reaches its own entry: what the entry shows and returns is what
// Run keeps. The standard procedure is given no image file, so it stops at
// its first step with its own text, before any command.
TEST(ProcedureTableTest, EachRowRunsItsEntryAndKeepsItsOutcome) {
  struct Row {
    Procedure procedure;
    RunOutcome outcome;
    const char* status;   // "" when nothing is shown
    const char* message;  // "" when no box
    bool built;
  } rows[] = {
      {Procedure::None, RunOutcome::NothingRan, "", "", false},
      {Procedure::RefusedImageTooLarge, RunOutcome::Refused, "",
       "The firmware file size is bigger than the flash size!", false},
      {Procedure::StandardSerialFlash, RunOutcome::Failed, "Open File Error!!", "", true},
      {Procedure::DiskAreaFirmware, RunOutcome::Failed, "Open File Error!!", "", true},
      {Procedure::HddHostedFirmware, RunOutcome::Failed, "Open File Error!!", "", true},
      {Procedure::BridgeBehindController, RunOutcome::Failed, "Open File Error!!", "", true},
      {Procedure::InternalRomParallelFlash, RunOutcome::Failed, "Open New ROM File Error!!", "",
       true},
  };
  for (const Row& r : rows) {
    testing_support::FakeRunWindow window;
    window.options_.imageFile = "";
    EXPECT_EQ(r.outcome, program::RunProcedure(r.procedure, window, "no-device"))
        << program::ProcedureName(r.procedure);
    EXPECT_EQ(r.status, window.StatusText()) << program::ProcedureName(r.procedure);
    EXPECT_EQ(std::string(r.message), window.messages.empty() ? "" : window.messages[0].text);
    EXPECT_EQ(r.built, program::ProcedureBuilt(r.procedure));
  }
}

// The one mode split: most rows follow "RD Version"; the internal-ROM row
// acts on the boxes alone.
TEST(ProcedureTableTest, TheDriverPicksTheVerbByTheRowsModeSource) {
  using program::RunMode;
  struct Row {
    bool rdMode;
    int eraseOnlyFact;
    bool backupChecked;
    RunMode rdVersionRow;
    RunMode boxesRow;
  } rows[] = {
      {false, 0, false, RunMode::Program, RunMode::Program},
      {false, 1, false, RunMode::Program, RunMode::EraseOnly},
      {false, 0, true, RunMode::Program, RunMode::BackupOnly},
      {true, 1, true, RunMode::EraseOnly, RunMode::EraseOnly},
      {true, 0, true, RunMode::BackupOnly, RunMode::BackupOnly},
  };
  for (const Row& r : rows) {
    testing_support::FakeRunWindow window;
    window.options_.rdMode = r.rdMode;
    window.facts_.eraseOnly = static_cast<std::uint8_t>(r.eraseOnlyFact);
    window.options_.backupOnlyChecked = r.backupChecked;
    EXPECT_EQ(r.rdVersionRow, program::ModeOf(program::RowOf(Procedure::BlockCommandFlash), window));
    EXPECT_EQ(r.boxesRow,
              program::ModeOf(program::RowOf(Procedure::InternalRomParallelFlash), window));
  }
}

TEST(ProcedureTableTest, OnlyTheSuccessCodeIsASuccess) {
  EXPECT_EQ(RunOutcome::Succeeded, program::OutcomeOf(program::kProcedureSucceeded));
  EXPECT_EQ(RunOutcome::Failed, program::OutcomeOf(program::kProcedureFailed));
  EXPECT_EQ(RunOutcome::Refused, program::OutcomeOf(program::kProcedureRefused));
  EXPECT_EQ(RunOutcome::Failed, program::OutcomeOf(2));
}

class WindowRunTest : public testing_support::RunWindowFixture {
 protected:
  void SetUp() override {
    RunWindowFixture::SetUp();
    Attach("tx40775-pmc");
    Start();
  }
};

TEST_F(WindowRunTest, RepaintStatusPaintsWithoutDeliveringMessages) {
  app::WindowRun run(*window);
  int delivered = 0;
  view.Post([&](app::MainWindow&) { ++delivered; });
  const int paintsBefore = view.repaints["StatusEdit"];
  run.RepaintStatus("Erase...");
  EXPECT_EQ("Erase...", window->StatusEdit.text());
  EXPECT_EQ(paintsBefore + 1, view.repaints["StatusEdit"]);
  EXPECT_EQ(0, delivered);
  run.ShowStatus("Erase....");
  EXPECT_EQ(1, delivered);
}

TEST_F(WindowRunTest, CheckingNvramRecordsItForTheWindowAndTheRun) {
  window->RdCheckBox.SetChecked(true);
  window->NVRAMCheck.SetChecked(true);
  window->NVRAMCheck.SetChecked(false);
  ASSERT_EQ(0u, window->chip.includeNvram);
  window->A1ChipCheck.SetChecked(true);
  const app::ProcedureScope scope(*window);
  app::WindowRun run(*window);
  EXPECT_TRUE(run.options().a1ChipChecked);
  EXPECT_FALSE(run.options().nvramChecked);
  run.CheckIncludeNvram();
  EXPECT_TRUE(window->NVRAMCheck.checked());
  EXPECT_EQ(1u, window->chip.includeNvram);
  EXPECT_EQ(1u, run.facts().includeNvram);
  EXPECT_TRUE(run.options().nvramChecked);
}

// A procedure run outside Run (the bank repair of the selection handler)
// holds the scope: events its status updates pump never start a run or a
// second procedure, and the selection change waits until it ends.
TEST_F(WindowRunTest, EventsPumpedInsideAProcedureWaitForItsEnd) {
  window->FwFilenameEdit.SetText(WriteFile("scope", sim::MakeMatchingImage({1, 1})));
  window->UpdateBtn.SetEnabled(true);
  machine.ClearTranscript();
  int selectionChecks = 0;
  {
    const app::ProcedureScope scope(*window);
    ASSERT_TRUE(scope.held());
    const app::ProcedureScope second(*window);
    EXPECT_FALSE(second.held());
    EXPECT_TRUE(window->running());

    app::WindowRun repair(*window);
    view.Post([](app::MainWindow& w) { w.UpdateBtn.Click(); });
    view.Post([&](app::MainWindow& w) {
      w.DeviceList.UserSelect(0);
      selectionChecks = static_cast<int>(machine.transcript().size());
    });
    repair.ShowStatus("Repairing...");
    EXPECT_EQ(Procedure::None, window->lastProcedure);
    EXPECT_EQ(0u, machine.transcript().size()) << "an event sent commands inside the scope";
  }
  EXPECT_FALSE(window->running());
  EXPECT_EQ(0, selectionChecks);
}

}  // namespace
