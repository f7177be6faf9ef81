// A fault at every command the window sends before Run (the refresh, the
// identification of the selected entry, the flash setup, the bank repair,
// the version and image checks), then Run pressed as a user would: for every
// procedure, a run that reports success leaves the enclosure exactly as a
// clean run does, and a backup that reports success holds the flash as a
// clean run read it. The procedures' own commands have matrices of their own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "window/headless_view.h"
#include "window/main_window.h"
#include "engine/procedure_table.h"
#include "fault_matrix.h"
#include "procedure_fixture.h"
#include "sim/test_images.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using program::Procedure;

struct Case {
  const char* name;
  const char* profile;
  int entry;  // the device list entry selected (companions follow the device)
  Procedure procedure;
  bool eraseOnly;
  bool backupOnly = false;
};

Bytes FileBytes(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return Bytes{std::istreambuf_iterator<char>(in), {}};
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class IdentifyFaultMatrixTest : public testing_support::ParamFilesTest<Case> {};

TEST_P(IdentifyFaultMatrixTest, NoIdentificationFaultEndsInAFalseSuccess) {
  const Case c = GetParam();
  const sim::EnclosureProfile& profile = *sim::FindProfile(c.profile);
  const std::uint8_t type = c.entry == 0 ? profile.identifiedType : profile.behind->companionType;
  ASSERT_TRUE(sim::WriteImageFile(file_, sim::MakeMatchingImage({type, profile.subCode})));

  testing_support::FaultMatrixSetup setup;
  setup.build = [&](sim::Machine& machine) { return sim::AttachProfile(machine, profile); };
  Procedure ran = Procedure::None;
  setup.run = [&](sim::Machine& machine, sim::BridgeChip&) {
    app::HeadlessView view{{[&machine] { return machine.NowMs(); },
                            [&machine](std::uint64_t ms) { machine.AdvanceMs(ms); }}};
    const std::unique_ptr<app::MainWindow> w = app::StartMainWindow(view);
    testing_support::SeenRun seen;
    const bool listed = w->DeviceList.items().size() > static_cast<std::size_t>(c.entry);
    std::remove(backup_.c_str());  // only this run's backup counts
    if (listed) {
      w->DeviceList.UserSelect(c.entry);
      if (c.eraseOnly || c.backupOnly) {
        w->RdCheckBox.SetChecked(true);
        (c.eraseOnly ? w->EraseOnlyCheck : w->BackupFWCheckBox).SetChecked(true);
        w->BackupFileEdit.SetText(backup_);
      } else {
        w->FwFilenameEdit.SetText(file_);
      }
    }
    seen.commandsBeforeRun = testing_support::CommandsSoFar(machine);
    // As the console does: Run only where the window offers it, and No to
    // programming an image the checks refused.
    if (listed && w->UpdateBtn.enabled()) w->UpdateBtn.Click();
    ran = w->lastProcedure;
    seen.succeeded = w->lastOutcome == program::RunOutcome::Succeeded;
    seen.status = w->StatusEdit.text();
    if (w->lastOutcome != program::RunOutcome::Failed && seen.status.empty())
      seen.status = "(nothing run)";
    for (const auto& m : view.messages) seen.boxes.push_back(m.text);
    return seen;
  };
  // The clean run's enclosure is the only one a success may leave.
  Bytes wanted;
  {
    sim::Machine machine;
    const host::ScopedHost scope(machine);
    auto chip = setup.build(machine);
    ASSERT_TRUE(setup.run(machine, *chip).succeeded);
    ASSERT_EQ(c.procedure, ran);
    wanted = testing_support::EnclosureSnapshot(*chip);
  }
  const Bytes backup = FileBytes(backup_);
  if (c.backupOnly) {
    ASSERT_FALSE(backup.empty());
  }
  setup.imageInPlace = [&](sim::BridgeChip& chip) {
    return testing_support::EnclosureSnapshot(chip) == wanted &&
           (!c.backupOnly || FileBytes(backup_) == backup);
  };
  setup.successBoxes = testing_support::kPowerCycleBoxes;
  setup.successBoxes.push_back("TXV929 Auto reset, Please wait device re-attached!");
  setup.onlyBeforeRun = true;

  const testing_support::FaultMatrixReport report = testing_support::RunFaultMatrix(setup);
  std::printf("%s: %d commands, %d faulted runs, %zu flagged\n", c.name, report.commands,
              report.runs, report.findings.size());
  EXPECT_TRUE(report.ok()) << report.Describe();
}

const Case kCases[] = {
    Case{"Standard", "tx40775-pmc", 0, Procedure::StandardSerialFlash, false},
    Case{"StandardOrDiskArea", "tx40779-e", 0, Procedure::StandardSerialFlash, false},
    Case{"Page16K", "txr842", 0, Procedure::NvramPage16K, false},
    Case{"Sst", "txr847-sst", 0, Procedure::SstSerialFlash, false},
    Case{"BlockTwoBanks", "txv929-bank0-damaged", 0, Procedure::BlockCommandFlash, false},
    Case{"BlockEraseOnly", "txv929", 0, Procedure::BlockCommandFlash, true},
    Case{"Ieee1394", "txr843-1394", 0, Procedure::Ieee1394BridgeFlash, false},
    Case{"InternalRom", "tx40776-atmel", 0, Procedure::InternalRomParallelFlash, false},
    Case{"BehindController", "txv929-txr847", 1, Procedure::BridgeBehindController, false},
    Case{"BehindControllerEraseOnly", "txv929-txr842", 1, Procedure::BridgeBehindController,
         true},
    Case{"HddHosted", "txv929-hdd", 0, Procedure::HddHostedFirmware, false},
    Case{"DiskArea", "tx40769", 0, Procedure::DiskAreaFirmware, false},
    // A backup rests on facts read as much as an update: the chip, its
    // flash part, the flash size it reports, the bank layout.
    Case{"SstBackup", "txr847-sst", 0, Procedure::SstSerialFlash, false, true},
    Case{"Page16KBackup", "txr842", 0, Procedure::NvramPage16K, false, true},
    Case{"BlockBackup", "txv929", 0, Procedure::BlockCommandFlash, false, true},
    Case{"StandardBackup", "tx40775-pmc", 0, Procedure::StandardSerialFlash, false, true}};

INSTANTIATE_TEST_SUITE_P(EveryProcedure, IdentifyFaultMatrixTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// Every built row of the procedure table is reached through the window here.
TEST(IdentifyFaultMatrixRows, CoverEveryBuiltProcedure) {
  for (const program::ProcedureRow& row : program::ProcedureTable()) {
    if (!program::ProcedureBuilt(row.procedure) || row.procedure == Procedure::RefusedImageTooLarge) continue;
    EXPECT_TRUE(std::any_of(std::begin(kCases), std::end(kCases),
                            [&](const Case& c) { return c.procedure == row.procedure; }))
        << row.name;
  }
}

}  // namespace
