// The block-command and IEEE 1394 procedures (programming, erase-only and
// backup-only runs) and the firmware bank repair under a fault at every
// command of a clean run. Beyond the matrix's own rules: a run that may have
// erased the NVRAM area puts it back, or says that the write-back failed.
#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>

#include "block_fixture.h"
#include "fault_matrix.h"
#include "engine/procedure_table.h"
#include "engine/bank_recovery.h"
#include "procedures/block_procedure.h"
#include "engine/block_transfer.h"
#include "procedures/ieee1394_procedure.h"
#include "sim/test_images.h"

namespace {

using testing_support::FakeRunWindow;
using testing_support::FlashHolds;
using testing_support::Pattern;

using testing_support::RunMode;

struct Scenario {
  const char* name;
  const char* profile;
  RunMode run;
  bool ieee1394;
  std::size_t imageSize;
  std::uint32_t nvram;        // the area the run keeps
  std::uint32_t nvramLength;  // 0: none kept
  std::uint32_t extent;       // what the run erases or backs up
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

class BlockFaultMatrixTest : public testing_support::ParamFilesTest<Scenario> {};

TEST_P(BlockFaultMatrixTest, NoFaultLeadsToAFalseSuccessOrASilentlyLostNvram) {
  const Scenario& s = GetParam();
  const sim::EnclosureProfile& profile = *sim::FindProfile(s.profile);
  const std::vector<std::uint8_t> image = Pattern(s.imageSize, 9);
  ASSERT_TRUE(sim::WriteImageFile(file_, image));
  std::vector<std::uint8_t> nvram;
  std::vector<std::uint8_t> flashBefore;

  testing_support::FaultMatrixSetup setup;
  setup.build = [&](sim::Machine& machine) {
    auto chip = sim::AttachProfile(machine, profile);
    nvram.resize(s.nvramLength);
    chip->serialFlash()->cells().Read(s.nvram, nvram.data(), nvram.size());
    flashBefore.resize(s.extent);
    chip->serialFlash()->cells().Read(0, flashBefore.data(), flashBefore.size());
    std::remove(backup_.c_str());
    return chip;
  };
  setup.run = [&](sim::Machine&, sim::BridgeChip& chip) {
    FakeRunWindow window;
    window.facts_.chipType = profile.identifiedType;
    window.facts_.flashTypeCode = profile.bridge.flashTypeCode;
    window.facts_.flashSizeKb =
        static_cast<std::int32_t>(chip.serialFlash()->cells().size() / 1024);
    window.geometry_ = testing_support::EraseGeometryForKind(profile.bridge.flashTypeCode);
    window.options_.nvramChecked = false;  // keep the NVRAM
    window.options_.imageFile = file_;
    testing_support::SetRunMode(window, s.run, backup_);
    const int result = s.ieee1394 ? program::RunVerb(program::Procedure::Ieee1394BridgeFlash, window, chip.path().c_str())
                                  : program::RunVerb(program::Procedure::BlockCommandFlash, window, chip.path().c_str());
    if (!FlashHolds(chip, s.nvram, nvram) &&
        window.StatusText() != "Write NVRAM back command fail!")
      throw std::runtime_error("NVRAM area lost without a failed write-back");
    return testing_support::SeenRunOf(window, result == 1);
  };
  setup.imageInPlace = [&](sim::BridgeChip& chip) {
    if (s.run == RunMode::EraseOnly) {
      std::vector<std::uint8_t> blank(s.extent, 0xFF);
      std::copy(nvram.begin(), nvram.end(), blank.begin() + s.nvram);
      return FlashHolds(chip, 0, blank);
    }
    if (s.run == RunMode::BackupOnly) {
      return testing_support::ReadFile(backup_) == flashBefore;
    }
    // The kept NVRAM and the bank checksum are the procedure's own bytes.
    std::vector<std::uint8_t> flash(s.imageSize);
    chip.serialFlash()->cells().Read(0, flash.data(), flash.size());
    std::vector<std::uint8_t> expected = image;
    for (std::uint32_t i = 0; i < s.nvramLength && s.nvram + i < s.imageSize; ++i)
      expected[s.nvram + i] = nvram[i];
    if (profile.chipType == 12) expected[0xBFFE] = flash[0xBFFE], expected[0xBFFF] = flash[0xBFFF];
    return flash == expected;
  };
  if (s.nvramLength != 0)
    setup.nvramKept = [&](sim::BridgeChip& chip) { return FlashHolds(chip, s.nvram, nvram); };
  setup.successBoxes = testing_support::kPowerCycleBoxes;
  setup.successBoxes.push_back("TXV929 Auto reset, Please wait device re-attached!");

  const testing_support::FaultMatrixReport report = testing_support::RunFaultMatrix(setup);
  std::printf("%s: %d commands, %d faulted runs\n", s.name, report.commands, report.runs);
  EXPECT_TRUE(report.ok()) << report.Describe();
}

INSTANTIATE_TEST_SUITE_P(
    Procedures, BlockFaultMatrixTest,
    ::testing::Values(
        Scenario{"Txv929Program", "txv929", RunMode::Program, false, 0x10000, 0xC000, 0x1000,
                 0x20000},
        Scenario{"Txr845Program", "txr845", RunMode::Program, false, 0x6000, 0, 0x1000, 0x10000},
        Scenario{"Txv929EraseOnly", "txv929", RunMode::EraseOnly, false, 1, 0xC000, 0x1000,
                 0x20000},
        Scenario{"Txr846EraseOnly", "txr846", RunMode::EraseOnly, false, 1, 0, 0x1000, 0x10000},
        Scenario{"Txv929Backup", "txv929", RunMode::BackupOnly, false, 1, 0, 0, 0xC000},
        Scenario{"Ieee1394Program", "txr843-1394", RunMode::Program, true, 0x8000, 0x8000, 0x400,
                 0x10000},
        Scenario{"Ieee1394EraseOnly", "txr843-1394", RunMode::EraseOnly, true, 1, 0x8000, 0x400,
                 0x10000},
        Scenario{"Ieee1394Backup", "txr843-1394", RunMode::BackupOnly, true, 1, 0, 0, 0x10000}),
    [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

// The bank repair: a bank is never left worse than before without "FW
// Recovery Fail!!", and the sound bank is never touched.
TEST(BankRepairFaultMatrix, NoFaultHarmsTheSoundBankOrPassesSilently) {
  std::vector<std::uint8_t> bank0Before, bank1;
  auto bank = [](sim::BridgeChip& chip, std::uint32_t at) {
    std::vector<std::uint8_t> b(0x10000);
    chip.serialFlash()->cells().Read(at, b.data(), b.size());
    return b;
  };
  testing_support::FaultMatrixSetup setup;
  setup.build = [&](sim::Machine& machine) {
    auto chip = sim::AttachProfile(machine, *sim::FindProfile("txv929-bank0-damaged"));
    bank0Before = bank(*chip, 0);
    bank1 = bank(*chip, 0x10000);
    return chip;
  };
  setup.run = [&](sim::Machine&, sim::BridgeChip& chip) {
    FakeRunWindow window;
    window.facts_.chipType = 12;
    window.facts_.flashTypeCode = 6;
    window.facts_.flashSizeKb = 128;
    window.geometry_ = testing_support::EraseGeometryForKind(6);
    std::uint32_t checked = 0;
    const int result = program::RecoverFirmwareBanks(window, chip.path().c_str(), 12, checked);
    if (bank(chip, 0x10000) != bank1) throw std::runtime_error("the sound bank was written");
    testing_support::SeenRun seen = testing_support::SeenRunOf(window, result == 1);
    if (seen.status.empty()) {
      // A bank that could not be read is left for the next selection.
      if (bank(chip, 0) != bank0Before) throw std::runtime_error("bank 0 changed silently");
      seen.status = "(not judged: nothing written)";
    }
    return seen;
  };
  setup.imageInPlace = [&](sim::BridgeChip& chip) {
    return program::CheckBankImage(bank(chip, 0).data(), 0x10000, 12) && bank(chip, 0) == bank1;
  };
  const testing_support::FaultMatrixReport report = testing_support::RunFaultMatrix(setup);
  std::printf("bank repair: %d commands, %d faulted runs\n", report.commands, report.runs);
  EXPECT_TRUE(report.ok()) << report.Describe();
}

}  // namespace
