// Files that are no image and backup targets that cannot take one: a folder,
// a pipe, devices, a full device. Linux only (mkfifo, /dev/full).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "scratch_dir.h"
#include "fake_run_window.h"
#include "identify/image_checks.h"
#include "engine/procedure_table.h"
#include "engine/image_file.h"
#include "procedures/standard_serial.h"
#include "sim/profiles.h"
#include "sim_fixture.h"

namespace {

class OddFilesTest : public ::testing::Test, public testing_support::SimFixtureBase {
 protected:
  void SetUp() override {
    dir_ = testing_support::NewScratchDir("tx-odd");
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  testing_support::FakeRunWindow window;
  std::filesystem::path dir_;
};

// Each of them opens with the C runtime (a pipe only once a writer comes),
// yet none is a file an image can be read from.
TEST_F(OddFilesTest, FoldersPipesAndDevicesAreFilesThatCannotBeOpened) {
  const std::string fifo = (dir_ / "pipe").string();
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  const std::string files[] = {dir_.string(), fifo, "/dev/zero", "/dev/null"};
  const identify::ChipIdentity chip{1, 2};
  for (const std::string& file : files) {
    EXPECT_TRUE(identify::CheckImageMatchesChip(file, chip).openFailed) << file;
    EXPECT_TRUE(identify::CheckImageFitsFlash(file, 1024).openFailed) << file;
    EXPECT_FALSE(identify::ImageCarriesNvram(file, 6)) << file;
    window.statuses.clear();
    std::vector<std::uint8_t> image;
    EXPECT_FALSE(program::LoadImageFile(
        window, file, {0x10000, "Open File Error!!", "Allocate write buffer Error!!"}, image))
        << file;
    EXPECT_EQ(std::vector<std::string>{"Open File Error!!"}, window.statuses) << file;
  }
}

// A backup that cannot be stored whole is a failed run, never a success.
TEST_F(OddFilesTest, BackupToAFullDeviceOrAFolderFails) {
  const sim::EnclosureProfile* profile = sim::FindProfile("tx40775-pmc");
  ASSERT_NE(nullptr, profile);
  const auto chip = sim::AttachProfile(machine, *profile, {});
  window.facts_.chipType = profile->chipType;
  window.facts_.flashTypeCode = 1;
  window.options_.rdMode = true;
  window.options_.backupOnlyChecked = true;
  for (const std::string& target : {std::string("/dev/full"), dir_.string()}) {
    window.options_.backupFile = target;
    window.statuses.clear();
    window.messages.clear();
    EXPECT_EQ(0, program::RunVerb(program::Procedure::StandardSerialFlash, window, chip->path().c_str())) << target;
    EXPECT_EQ("Open Backup File Error!!", window.StatusText()) << target;
    EXPECT_TRUE(window.messages.empty()) << target;
  }
}

}  // namespace
