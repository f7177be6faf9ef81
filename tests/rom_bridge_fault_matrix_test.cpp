// The internal-ROM update and the bridge-behind-controller update under a
// fault at every command of a clean run: programming, erase-only and
// backup-only runs.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "scsi/ata_commands.h"
#include "fault_matrix.h"
#include "procedure_fixture.h"
#include "engine/procedure_table.h"
#include "procedures/bridge_flash.h"
#include "procedures/internal_rom.h"
#include "sim/controller_route.h"
#include "sim/parallel_flash.h"
#include "sim/profiles.h"
#include "sim/test_images.h"

namespace {

using testing_support::FakeRunWindow;

using testing_support::RunMode;

std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed) {
  return testing_support::Pattern(n, seed, 29, 10);
}

// The flash the procedure works on: the parallel ROM, or the serial flash of
// the bridge behind the controller.
sim::FlashArray& Cells(sim::BridgeChip& chip) {
  if (chip.parallelFlash() != nullptr) return chip.parallelFlash()->cells();
  return chip.controllerRoute()->flash()->cells();
}

bool Holds(sim::BridgeChip& chip, std::size_t address, const std::vector<std::uint8_t>& bytes) {
  const sim::FlashArray& cells = Cells(chip);
  if (address + bytes.size() > cells.size()) return false;
  std::vector<std::uint8_t> now(bytes.size());
  cells.Read(address, now.data(), now.size());
  return now == bytes;
}

struct MatrixCase {
  const char* name;
  RunMode mode;
  const char* profile;
  int flashTypeIndex;  // parallel flash only
  bool a1Chip;
  std::size_t imageSize;
  bool keepsNvram;  // bridge behind a controller: its first 4 KB stay
  bool signedImage = false;  // carries its own first 4 KB ("Include 4K NVRAM" then takes them)
};

void PrintTo(const MatrixCase& c, std::ostream* os) { *os << c.name; }

class RomBridgeFaultMatrixTest : public testing_support::ParamFilesTest<MatrixCase> {};

TEST_P(RomBridgeFaultMatrixTest, NoFaultLeadsToAFalseSuccessOrALostNvram) {
  const MatrixCase& c = GetParam();
  const sim::EnclosureProfile& profile = *sim::FindProfile(c.profile);
  const bool rom = profile.parallelPart.has_value();
  sim::ImageLayout layout;
  layout.size = c.imageSize;
  layout.nvramArea = true;
  const std::vector<std::uint8_t> image =
      c.signedImage ? sim::MakeMatchingImage({profile.chipType, 0}, layout) : Pattern(c.imageSize, 0x4B);
  ASSERT_FALSE(image.empty());
  ASSERT_TRUE(sim::WriteImageFile(file_, image));
  const std::vector<std::uint8_t> old = Pattern(rom ? 0x10000 : 0x20000, 0x17);
  const std::vector<std::uint8_t> nvram(old.begin(), old.begin() + 4096);

  // What a good programming run leaves: the ROM takes 64 KB with 0xFF past
  // the image; the bridge takes whole 8 KB chunks, zeros past the image,
  // with its own first 4 KB when they are kept.
  std::vector<std::uint8_t> expected = image;
  if (rom) {
    expected.resize(0x10000, 0xFF);
  } else {
    expected.resize((image.size() + 0x1FFF) / 0x2000 * 0x2000, 0x00);
    if (c.keepsNvram) std::copy(nvram.begin(), nvram.end(), expected.begin());
  }

  testing_support::FaultMatrixSetup setup;
  setup.build = [&](sim::Machine& machine) {
    auto chip = sim::AttachProfile(machine, profile);
    sim::FlashArray& cells = Cells(*chip);
    cells.Load(0, old.data(), std::min(old.size(), cells.size()));
    // What identification tells the controller about the TXR847's MXIC part.
    if (profile.chipType == 13) (void)device::AtaSetFlashPageSize(chip->path().c_str(), 32);
    std::remove(backup_.c_str());
    return chip;
  };
  setup.run = [&](sim::Machine&, sim::BridgeChip& chip) {
    FakeRunWindow window;
    window.facts_.chipType = profile.chipType;
    window.facts_.flashSizeKb = static_cast<std::int32_t>(Cells(chip).size() / 1024);
    testing_support::SetRunMode(window, c.mode, backup_);
    window.options_.imageFile = file_;
    window.options_.a1ChipChecked = c.a1Chip;
    window.options_.flashTypeIndex = c.flashTypeIndex;
    window.options_.nvramChecked = !c.keepsNvram;
    const int result =
        rom ? program::RunVerb(program::Procedure::InternalRomParallelFlash, window,
                               chip.path().c_str())
            : program::RunVerb(program::Procedure::BridgeBehindController, window, chip.path().c_str());
    return testing_support::SeenRunOf(window, result == 1);
  };
  setup.imageInPlace = [&](sim::BridgeChip& chip) {
    const std::size_t size = Cells(chip).size();
    if (c.mode == RunMode::EraseOnly) return Holds(chip, 0, std::vector<std::uint8_t>(size, 0xFF));
    if (c.mode == RunMode::BackupOnly) {
      const std::vector<std::uint8_t> saved = testing_support::ReadFile(backup_);
      return !saved.empty() && Holds(chip, 0, saved);
    }
    return Holds(chip, 0, expected);
  };
  if (c.keepsNvram) setup.nvramKept = [&](sim::BridgeChip& chip) { return Holds(chip, 0, nvram); };

  const testing_support::FaultMatrixReport report = testing_support::RunFaultMatrix(setup);
  EXPECT_TRUE(report.ok()) << report.Describe();
  EXPECT_GT(report.runs, 2 * report.commands);  // every data command got its short transfer
}

INSTANTIATE_TEST_SUITE_P(
    Runs, RomBridgeFaultMatrixTest,
    ::testing::Values(
        MatrixCase{"RomProgram", RunMode::Program, "tx40776-pmc", 1, false, 0x8000, false},
        MatrixCase{"RomProgramA1", RunMode::Program, "tx40776-sst-a1", 2, true, 0x10000, false},
        MatrixCase{"RomEraseOnly", RunMode::EraseOnly, "tx40776-atmel", 0, false, 0x100, false},
        MatrixCase{"RomBackupOnly", RunMode::BackupOnly, "tx40776-atmel", 0, false, 0x100, false},
        MatrixCase{"BridgeKeepsNvram", RunMode::Program, "txv929-txr847", 0, false, 0x5000, true},
        MatrixCase{"BridgeWholeImage", RunMode::Program, "txv929-txr842", 0, false, 0x4000, false, true},
        MatrixCase{"BridgeEraseOnly", RunMode::EraseOnly, "txv929-txr842", 0, false, 0x100, false},
        MatrixCase{"BridgeBackupOnly", RunMode::BackupOnly, "txv929-txr847", 0, false, 0x100, false}),
    [](const ::testing::TestParamInfo<MatrixCase>& info) { return std::string(info.param.name); });

}  // namespace
