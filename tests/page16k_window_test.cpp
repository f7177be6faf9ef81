// The 16 KB-page updates through the window, on every enclosure whose rule
// picks them: identified by selecting the entry, an image the checks accept,
// Run pressed, and the flash read back as the update lays it out.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "window/headless_view.h"
#include "window/main_window.h"
#include "engine/dispatch.h"
#include "sim/profiles.h"
#include "sim/test_images.h"
#include "sim_fixture.h"

namespace {

using program::Procedure;

struct Row {
  const char* profile;
  Procedure procedure;
  bool imageNvramArea;  // the image starts with its own 4 KB NVRAM area
  // Rules 8 and 12 clear no protection before their erase: they program only a
  // part an earlier tool left unprotected (a protected one: SstProtectionTest).
  bool unprotected = false;
};

// clang-format off
const Row kRows[] = {
    {"txr842",          Procedure::NvramPage16K,   false},  // rule 5, chip type 6
    {"txr842",          Procedure::NvramPage16K,   true},
    {"txr842-atmel",    Procedure::NvramPage16K,   false},  // the ATMEL latch first
    {"txr847-mxic32",   Procedure::NvramPage16K,   false},  // rule 5, chip type 10
    {"txr847-atmel",    Procedure::NvramPage16K,   false},
    {"txv961-page",     Procedure::NvramPage16K,   false},  // rule 7
    {"txr847-sst",      Procedure::SstSerialFlash, false},  // rule 4, word AAI
    {"txr847-sst-byte", Procedure::SstSerialFlash, false},  // rule 4, byte AAI
    {"txv961-l5-sst",   Procedure::SstSerialFlash, false, true},  // rule 8
    {"txr659-sst",      Procedure::SstSerialFlash, false, true},  // rule 12, chip type 17
    {"tx40779-e-sst",   Procedure::SstSerialFlash, false, true},  // rule 12, chip type 19
};
// clang-format on

class Page16KWindowTest : public ::testing::TestWithParam<std::tuple<Row, bool>>,
                          public testing_support::SimFixtureBase {
 protected:
  std::vector<std::uint8_t> Flash(std::size_t address, std::size_t n) const {
    std::vector<std::uint8_t> out(n);
    chip->serialFlash()->cells().Read(address, out.data(), n);
    return out;
  }
  std::shared_ptr<sim::BridgeChip> chip;
};

TEST_P(Page16KWindowTest, RunUpdatesTheEnclosureAndKeepsWhatTheOptionsSay) {
  const auto [row, nvramChecked] = GetParam();
  const sim::EnclosureProfile* profile = sim::FindProfile(row.profile);
  ASSERT_NE(nullptr, profile);
  sim::AttachOptions options;
  options.volumes = {{'E', 1}};
  options.powerUpProtection = !row.unprotected;
  chip = sim::AttachProfile(machine, *profile, options);
  app::HeadlessView view{
      {[this] { return machine.NowMs(); }, [this](std::uint64_t ms) { machine.AdvanceMs(ms); }}};
  std::unique_ptr<app::MainWindow> w = app::StartMainWindow(view);
  w->DeviceList.UserSelect(0);
  ASSERT_EQ(profile->chipType, w->chip.chipType);

  sim::ImageLayout layout;
  layout.nvramArea = row.imageNvramArea;
  const sim::Image image = sim::MakeMatchingImage({profile->chipType, profile->subCode}, layout);
  const std::string file = sim::TempImagePath("page16k");
  ASSERT_TRUE(sim::WriteImageFile(file, image));
  w->FwFilenameEdit.SetText(file);
  ASSERT_TRUE(w->UpdateBtn.enabled());
  ASSERT_TRUE(view.messages.empty());
  w->NVRAMCheck.SetChecked(nvramChecked);
  const std::vector<std::uint8_t> oldNvram = Flash(0, 0x1000);

  w->UpdateBtn.Click();
  std::remove(file.c_str());

  EXPECT_EQ(row.procedure, w->lastProcedure);
  EXPECT_EQ(program::RunOutcome::Succeeded, w->lastOutcome);
  EXPECT_EQ("Programming Success!!", w->StatusEdit.text());
  ASSERT_EQ(1u, view.messages.size());
  EXPECT_EQ("Please Turn-Off the Power and Turn-On Again!", view.messages[0].text);
  EXPECT_TRUE(w->UpdateBtn.enabled());

  const bool signature = w->imageSignatureResult != 0;
  const bool keepNvram = row.procedure == Procedure::NvramPage16K && !(signature && nvramChecked);
  if (!keepNvram) {
    EXPECT_EQ(image, Flash(0, image.size()));
  } else if (!signature) {
    // The chip's NVRAM, then the whole image moved up by 4 KB.
    EXPECT_EQ(oldNvram, Flash(0, 0x1000));
    EXPECT_EQ(image, Flash(0x1000, image.size()));
  } else {
    // The image's code lands where it lies in the file; the NVRAM stays the
    // chip's, except the record at 128..207 that chip type 10 takes from the image.
    std::vector<std::uint8_t> nvram = oldNvram;
    if (profile->chipType == 10)
      std::copy(image.begin() + 128, image.begin() + 208, nvram.begin() + 128);
    EXPECT_EQ(nvram, Flash(0, 0x1000));
    EXPECT_EQ(std::vector<std::uint8_t>(image.begin() + 0x1000, image.end()),
              Flash(0x1000, image.size() - 0x1000));
  }
  if (row.procedure == Procedure::SstSerialFlash) {
    // The SST update checks "Include 4K NVRAM" as a click would: it stays so.
    EXPECT_TRUE(w->NVRAMCheck.checked());
    EXPECT_EQ(1u, w->chip.includeNvram);
  } else {
    EXPECT_EQ(nvramChecked, w->NVRAMCheck.checked());
  }
}

std::string RowName(const ::testing::TestParamInfo<std::tuple<Row, bool>>& info) {
  std::string name = std::get<0>(info.param).profile;
  for (char& c : name)
    if (c == '-') c = '_';
  if (std::get<0>(info.param).imageNvramArea) name += "_imageNvram";
  return name + (std::get<1>(info.param) ? "_checked" : "_unchecked");
}

INSTANTIATE_TEST_SUITE_P(EveryRule, Page16KWindowTest,
                         ::testing::Combine(::testing::ValuesIn(kRows), ::testing::Bool()),
                         RowName);

}  // namespace
