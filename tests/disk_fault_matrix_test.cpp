// A fault at every command of clean disk-hosted runs: programming, erase-only
// and backup-only runs of the HDD bank and of the disk area. Success only
// with the area (or the backup file) as it must be, the area's NVRAM part
// kept, no reset or power-cycle box after a failure.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "disk_fixture.h"
#include "fault_matrix.h"
#include "program/disk_area_firmware.h"
#include "program/hdd_firmware.h"
#include "sim/profiles.h"
#include "sim/test_images.h"

namespace {

using testing_support::DiskPattern;
using testing_support::FakeRunWindow;

enum class Mode { Program, EraseOnly, BackupOnly };

bool AreaHolds(sim::BridgeChip& chip, std::uint64_t lba, const std::vector<std::uint8_t>& bytes) {
  const std::uint32_t x = chip.disk()->config().logicalSectorSize;
  std::vector<std::uint8_t> out((bytes.size() + x - 1) / x * x);
  chip.disk()->ReadSectors(lba, out.data(), out.size() / x);
  return std::equal(bytes.begin(), bytes.end(), out.begin());
}

std::vector<std::uint8_t> FileBytes(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

struct Case {
  const char* name;
  const char* profile;
  bool hddBank;
  Mode mode;
};

class DiskFaultMatrixTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override { program::Transfer() = program::TransferSettings{}; }
  void TearDown() override {
    std::remove(imageFile_.c_str());
    std::remove(backupFile_.c_str());
  }
  std::string imageFile_ = sim::TempImagePath("disk-matrix");
  std::string backupFile_ = sim::TempImagePath("disk-matrix-backup");
};

TEST_P(DiskFaultMatrixTest, EveryFaultEndsSafely) {
  const Case c = GetParam();
  const sim::EnclosureProfile profile = *sim::FindProfile(c.profile);
  const sim::DiskConfig& d = profile.disk;
  const std::vector<std::uint8_t> image = DiskPattern(c.hddBank ? 0x10000 : 0x18000, 0x3C);
  ASSERT_TRUE(sim::WriteImageFile(imageFile_, image));

  // Where the area lies and what it must hold after a good run.
  std::uint64_t start = 0;
  std::vector<std::uint8_t> wanted;
  const std::vector<std::uint8_t> old = DiskPattern(0x20000, 0x77);
  const std::uint32_t bankEnd = program::HddBankEnd(profile.chipType);
  if (c.hddBank) {
    start = *program::HddFirmwareBase(d.sectors, 0, d.logicalSectorSize);
    wanted = image;
    const std::uint32_t crc = program::Crc32OfWords(wanted.data(), bankEnd - 4, false);
    for (int i = 0; i < 4; ++i) wanted[bankEnd - 4 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
    wanted.resize(bankEnd);  // the NVRAM part is not written
  } else {
    const auto r = static_cast<std::uint32_t>(d.sectors);
    start = program::DiskAreaStart(r, 0, true);
    wanted = image;
    program::PutAreaTag(wanted.data(), r);
    wanted.resize(0x20000, 0x00);
  }
  if (c.mode == Mode::EraseOnly) wanted.assign(c.hddBank ? bankEnd : 0x10000, 0x00);
  if (c.mode == Mode::BackupOnly) wanted.assign(old.begin(), old.begin() + (c.hddBank ? bankEnd : 0x10000));

  testing_support::FaultMatrixSetup setup;
  setup.build = [&](sim::Machine& m) {
    auto chip = sim::AttachProfile(m, profile);
    const std::uint32_t x = d.logicalSectorSize;
    chip->disk()->WriteSectors(start, old.data(), old.size() / x);
    return chip;
  };
  setup.run = [&](sim::Machine&, sim::BridgeChip& chip) {
    std::remove(backupFile_.c_str());
    FakeRunWindow window;
    window.facts_.chipType = profile.chipType;
    window.options_.imageFile = imageFile_;
    window.options_.rdMode = c.mode != Mode::Program;
    window.facts_.eraseOnly = c.mode == Mode::EraseOnly ? 1 : 0;
    window.options_.backupOnlyChecked = c.mode == Mode::BackupOnly;
    window.options_.backupFile = backupFile_;
    const int result = c.hddBank ? program::HddFirmwareProcedure(window, chip.path().c_str())
                                 : program::DiskAreaProcedure(window, chip.path().c_str());
    return testing_support::SeenRunOf(window, result == 1);
  };
  setup.imageInPlace = [&](sim::BridgeChip& chip) {
    if (c.mode == Mode::BackupOnly) return FileBytes(backupFile_) == wanted;
    return AreaHolds(chip, start, wanted);
  };
  if (c.hddBank) {
    // The area's NVRAM part, never written with "Include 4K NVRAM" off.
    const std::vector<std::uint8_t> nvram(old.begin() + bankEnd, old.begin() + 0x10000);
    setup.nvramKept = [=](sim::BridgeChip& chip) {
      return AreaHolds(chip, start + bankEnd / chip.disk()->config().logicalSectorSize, nvram);
    };
  }
  setup.successBoxes = c.hddBank ? std::vector<std::string>{program::kAutoResetNotice}
                                : testing_support::kPowerCycleBoxes;
  const testing_support::FaultMatrixReport report = testing_support::RunFaultMatrix(setup);
  EXPECT_TRUE(report.ok()) << report.Describe();
  EXPECT_GT(report.runs, 0);
}

INSTANTIATE_TEST_SUITE_P(
    DiskHosted, DiskFaultMatrixTest,
    ::testing::Values(Case{"HddProgram", "txv929-hdd", true, Mode::Program},
                      Case{"HddProgram4K", "txv927", true, Mode::Program},
                      Case{"HddEraseOnly", "txv929-hdd", true, Mode::EraseOnly},
                      Case{"HddBackupOnly", "txv929-hdd", true, Mode::BackupOnly},
                      Case{"AreaProgram", "txr649", false, Mode::Program},
                      Case{"AreaProgram4K", "txr649-4k", false, Mode::Program},
                      Case{"AreaEraseOnly", "txr649", false, Mode::EraseOnly},
                      Case{"AreaBackupOnly", "txr649", false, Mode::BackupOnly}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
