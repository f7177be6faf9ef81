// A fault at every command of clean disk-hosted runs: programming, erase-only
// and backup-only runs of the HDD bank and of the disk area. Success only
// with the area (or the backup file) as it must be, the area's NVRAM part
// kept, no reset or power-cycle box after a failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "disk_fixture.h"
#include "fault_matrix.h"
#include "engine/procedure_table.h"
#include "procedures/disk_area_firmware.h"
#include "procedures/hdd_firmware.h"
#include "sim/profiles.h"
#include "sim/test_images.h"

namespace {

using testing_support::DiskPattern;
using testing_support::FakeRunWindow;

using testing_support::RunMode;

bool AreaHolds(sim::BridgeChip& chip, std::uint64_t lba, const std::vector<std::uint8_t>& bytes) {
  const std::uint32_t x = chip.disk()->config().logicalSectorSize;
  std::vector<std::uint8_t> out((bytes.size() + x - 1) / x * x);
  chip.disk()->ReadSectors(lba, out.data(), out.size() / x);
  return std::equal(bytes.begin(), bytes.end(), out.begin());
}

struct Case {
  const char* name;
  const char* profile;
  bool hddBank;
  RunMode mode;
  std::uint64_t start;  // where the area lies on the profile's disk
};

class DiskFaultMatrixTest : public testing_support::ParamFilesTest<Case> {};

TEST_P(DiskFaultMatrixTest, EveryFaultEndsSafely) {
  const Case c = GetParam();
  const sim::EnclosureProfile profile = *sim::FindProfile(c.profile);
  const sim::DiskConfig& d = profile.disk;
  const std::vector<std::uint8_t> image = DiskPattern(c.hddBank ? 0x10000 : 0x18000, 0x3C);
  ASSERT_TRUE(sim::WriteImageFile(file_, image));

  // What the area must hold after a good run: the bank with its stamp, or
  // the image with the area tag naming the disk's sector count.
  const std::uint64_t start = c.start;
  std::vector<std::uint8_t> wanted = image;
  const std::vector<std::uint8_t> old = DiskPattern(0x20000, 0x77);
  const std::uint32_t bankEnd = profile.chipType == 16 ? 0x8000 : 0xC000;
  if (c.hddBank) {
    sim::PutHddBankStamp(wanted, bankEnd);
    wanted.resize(bankEnd);  // the NVRAM part is not written
  } else {
    sim::PutAreaTag(wanted.data(), static_cast<std::uint32_t>(d.sectors));
    wanted.resize(0x20000, 0x00);
  }
  if (c.mode == RunMode::EraseOnly) wanted.assign(c.hddBank ? bankEnd : 0x10000, 0x00);
  if (c.mode == RunMode::BackupOnly) wanted.assign(old.begin(), old.begin() + (c.hddBank ? bankEnd : 0x10000));

  testing_support::FaultMatrixSetup setup;
  setup.build = [&](sim::Machine& m) {
    auto chip = sim::AttachProfile(m, profile);
    const std::uint32_t x = d.logicalSectorSize;
    chip->disk()->WriteSectors(start, old.data(), old.size() / x);
    return chip;
  };
  setup.run = [&](sim::Machine&, sim::BridgeChip& chip) {
    std::remove(backup_.c_str());
    FakeRunWindow window;
    window.facts_.chipType = profile.chipType;
    window.options_.imageFile = file_;
    testing_support::SetRunMode(window, c.mode, backup_);
    const int result = c.hddBank ? program::RunVerb(program::Procedure::HddHostedFirmware, window, chip.path().c_str())
                                 : program::RunVerb(program::Procedure::DiskAreaFirmware, window, chip.path().c_str());
    return testing_support::SeenRunOf(window, result == 1);
  };
  setup.imageInPlace = [&](sim::BridgeChip& chip) {
    if (c.mode == RunMode::BackupOnly) return testing_support::ReadFile(backup_) == wanted;
    return AreaHolds(chip, start, wanted);
  };
  if (c.hddBank) {
    // The area's NVRAM part, never written with "Include 4K NVRAM" off.
    const std::vector<std::uint8_t> nvram(old.begin() + bankEnd, old.begin() + 0x10000);
    setup.nvramKept = [=](sim::BridgeChip& chip) {
      return AreaHolds(chip, start + bankEnd / chip.disk()->config().logicalSectorSize, nvram);
    };
  }
  setup.successBoxes = c.hddBank ? std::vector<std::string>{program::kAutoReset}
                                : testing_support::kPowerCycleBoxes;
  const testing_support::FaultMatrixReport report = testing_support::RunFaultMatrix(setup);
  EXPECT_TRUE(report.ok()) << report.Describe();
  EXPECT_GT(report.runs, 0);
}

INSTANTIATE_TEST_SUITE_P(
    DiskHosted, DiskFaultMatrixTest,
    // Starts: 2 MB below the last whole MB of the disk for the bank; the
    // sector count rounded down to 256, less 256, for the area.
    ::testing::Values(Case{"HddProgram", "txv929-hdd", true, RunMode::Program, 0x3A385000},
                      Case{"HddProgram4K", "txv927", true, RunMode::Program, 0x1D1C0F00},
                      Case{"HddEraseOnly", "txv929-hdd", true, RunMode::EraseOnly, 0x3A385000},
                      Case{"HddBackupOnly", "txv929-hdd", true, RunMode::BackupOnly, 0x3A385000},
                      Case{"AreaProgram", "txr649", false, RunMode::Program, 0x3A385F00},
                      Case{"AreaProgram4K", "txr649-4k", false, RunMode::Program, 0xE8E0C00},
                      Case{"AreaEraseOnly", "txr649", false, RunMode::EraseOnly, 0x3A385F00},
                      Case{"AreaBackupOnly", "txr649", false, RunMode::BackupOnly, 0x3A385F00}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
