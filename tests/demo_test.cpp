// The demo machine through the window model: every display family is there,
// and the demo's images are accepted by the entries they are written for.
#include "sim/demo.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "window/headless_view.h"
#include "window/main_window.h"
#include "sim/test_images.h"
#include "sim_fixture.h"

namespace {

class DemoTest : public ::testing::Test, public testing_support::SimFixtureBase {
 protected:
  ~DemoTest() override {
    std::error_code error;
    std::filesystem::remove_all(folder, error);
  }
  app::HeadlessView view{
      {[this] { return machine.NowMs(); }, [this](std::uint64_t ms) { machine.AdvanceMs(ms); }}};
  std::string folder = sim::TempImagePath("demo");
};

TEST_F(DemoTest, EveryEntryIsNamedAndTakesItsOwnImage) {
  sim::AttachDemoEnclosures(machine);
  auto window = app::StartMainWindow(view);
  const std::vector<std::string> images = sim::WriteDemoImages(folder);
  ASSERT_EQ(12u, window->DeviceList.items().size());
  ASSERT_EQ(12u, images.size());

  std::vector<int> types;
  for (int k = 0; k < 12; ++k) {
    SCOPED_TRACE(window->DeviceList.items()[static_cast<std::size_t>(k)]);
    window->DeviceList.UserSelect(k);
    types.push_back(window->chip.chipType);
    EXPECT_NE("", window->ChipLabelEdit.text());
    const std::string& image = images[static_cast<std::size_t>(k)];
    if (window->chip.chipType == 18) {
      // No image check accepts one for this chip: "Load File" still enables Run.
      window->FwFilenameEdit.SetText(image);
      EXPECT_FALSE(window->UpdateBtn.enabled());
      view.dialogAnswers.push_back(image);
      window->LoadBtn.Click();
      view.messages.clear();
    } else {
      window->FwFilenameEdit.SetText(image);
    }
    EXPECT_TRUE(window->UpdateBtn.enabled());
    EXPECT_TRUE(view.messages.empty());
    window->FwFilenameEdit.SetText("");
    window->UpdateBtn.SetEnabled(false);
    view.messages.clear();
  }
  // Serial flash (USB, IEEE 1394, CD-ROM), parallel flash, a controller and
  // the bridge behind it, a parameter block, an unsupported chip, two
  // keeping their firmware on the disk an SST flash and a
  // controller with a damaged bank.
  EXPECT_EQ((std::vector<int>{1, 7, 2, 12, 13, 5, 21, 18, 12, 10, 12, 6}), types);
  EXPECT_EQ("<<847>> Tavrion TXV929 Disk     ", window->DeviceList.items()[4]);
}

}  // namespace
