// The standard serial-flash update under a fault at every command of a clean
// run, for the image sizes that take its different erase and NVRAM paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "scsi/flash_commands.h"
#include "fault_matrix.h"
#include "procedure_fixture.h"
#include "engine/procedure_table.h"
#include "procedures/standard_serial.h"
#include "sim/test_images.h"

namespace {

using testing_support::FakeRunWindow;

using testing_support::RunMode;

std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed) {
  return testing_support::Pattern(n, seed, 13, 9);
}

struct MatrixCase {
  const char* name;
  RunMode mode;
  const char* profile;
  int flashTypeCode;
  std::uint16_t pageSize;  // set before the run as identification would; 0 none
  std::size_t imageSize;
  bool keepsNvram;  // the record at 0x8000 must survive
};

void PrintTo(const MatrixCase& c, std::ostream* os) { *os << c.name; }

class StandardFaultMatrixTest : public testing_support::ParamFilesTest<MatrixCase> {};

TEST_P(StandardFaultMatrixTest, NoFaultLeadsToAFalseSuccessOrALostRecord) {
  const MatrixCase& c = GetParam();
  const std::vector<std::uint8_t> image = Pattern(c.imageSize, 0x3C);
  ASSERT_TRUE(sim::WriteImageFile(file_, image));
  // What the flash holds after a good run: the image padded to whole blocks.
  std::vector<std::uint8_t> padded = image;
  padded.resize(std::max<std::size_t>(0x8000, (image.size() + 0x1FFF) / 0x2000 * 0x2000), 0x00);
  const std::vector<std::uint8_t> nvram = Pattern(512, 0xA5);

  testing_support::FaultMatrixSetup setup;
  setup.build = [&](sim::Machine& machine) {
    auto chip = sim::AttachProfile(machine, *sim::FindProfile(c.profile));
    sim::FlashArray& cells = chip->serialFlash()->cells();
    const std::vector<std::uint8_t> old = Pattern(cells.size(), 0x11);
    cells.Load(0, old.data(), old.size());
    cells.Load(0x8000, nvram.data(), nvram.size());
    if (c.pageSize != 0) (void)device::SetFlashPageSize(chip->path().c_str(), c.pageSize, 2);
    std::remove(backup_.c_str());
    return chip;
  };
  setup.run = [&](sim::Machine&, sim::BridgeChip& chip) {
    FakeRunWindow window;
    window.facts_.chipType = sim::FindProfile(c.profile)->chipType;
    window.facts_.flashTypeCode = c.flashTypeCode;
    window.options_.imageFile = file_;
    testing_support::SetRunMode(window, c.mode, backup_);
    const int result = program::RunVerb(program::Procedure::StandardSerialFlash, window, chip.path().c_str());
    return testing_support::SeenRunOf(window, result == 1);
  };
  setup.imageInPlace = [&](sim::BridgeChip& chip) {
    const sim::FlashArray& cells = chip.serialFlash()->cells();
    if (c.mode == RunMode::EraseOnly)
      return testing_support::FlashHolds(chip, 0, std::vector<std::uint8_t>(cells.size(), 0xFF));
    if (c.mode == RunMode::BackupOnly) {
      // The backup file must hold the flash, byte for byte.
      const std::vector<std::uint8_t> saved = testing_support::ReadFile(backup_);
      return saved.size() == cells.size() && testing_support::FlashHolds(chip, 0, saved);
    }
    return testing_support::FlashHolds(chip, 0, padded);
  };
  if (c.keepsNvram)
    setup.nvramKept = [&](sim::BridgeChip& chip) {
      return testing_support::FlashHolds(chip, 0x8000, nvram);
    };

  const testing_support::FaultMatrixReport report = testing_support::RunFaultMatrix(setup);
  std::printf("%s: %s", c.name, report.Describe().c_str());
  EXPECT_TRUE(report.ok()) << report.Describe();
  EXPECT_GT(report.runs, 2 * report.commands);  // every data command got its short transfer
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, StandardFaultMatrixTest,
    ::testing::Values(
        // 64 KB first erase unit: the erase at 0 takes the record with it.
        MatrixCase{"Under32KiB", RunMode::Program, "txr843-usb", 1, 0, 0x6000, true},
        MatrixCase{"Under32KiBSmallUnits", RunMode::Program, "tx40775-pmc", 1, 0, 0x2345, true},
        MatrixCase{"Between32And64KiB", RunMode::Program, "tx40775-pmc", 1, 0, 0x9000, false},
        MatrixCase{"Over64KiB", RunMode::Program, "tx40779-e", 5, 32, 0x18000, false},
        MatrixCase{"EraseOnly", RunMode::EraseOnly, "tx40775-pmc", 1, 0, 0x2000, false},
        MatrixCase{"BackupOnly", RunMode::BackupOnly, "tx40775-pmc", 1, 0, 0x2000, false}),
    [](const ::testing::TestParamInfo<MatrixCase>& info) { return std::string(info.param.name); });

}  // namespace
