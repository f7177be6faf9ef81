// The option controls, "Load File" and every event that changes Run's
// enabled state, on the window model with emulated enclosures and real image
// files.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "window/headless_view.h"
#include "window/main_window.h"
#include "sim/profiles.h"
#include "sim/test_images.h"
#include "sim_fixture.h"

namespace {

using app::HeadlessView;
using app::MainWindow;

class OptionsTest : public ::testing::Test, public testing_support::SimFixtureBase {
 protected:
  ~OptionsTest() override {
    window.reset();
    for (const auto& p : files_) std::remove(p.c_str());
  }

  void Start(std::vector<std::string> profiles) {
    std::uint32_t disk = 1;
    for (const auto& name : profiles) {
      sim::AttachOptions o;
      o.serial = name + std::to_string(disk);
      o.diskNumber = disk;
      o.volumes = {{static_cast<char>('E' + disk - 1), 1}};
      chips.push_back(sim::AttachProfile(machine, *sim::FindProfile(name), o));
      ++disk;
    }
    window = app::StartMainWindow(view);
  }
  std::string Write(const sim::Image& image) {
    files_.push_back(sim::TempImagePath("opt"));
    EXPECT_TRUE(sim::WriteImageFile(files_.back(), image));
    return files_.back();
  }
  bool Run() const { return window->UpdateBtn.enabled(); }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const auto& m : view.messages) texts.push_back(m.text);
    return texts;
  }

  HeadlessView view{
      {[this] { return machine.NowMs(); }, [this](std::uint64_t ms) { machine.AdvanceMs(ms); }}};
  std::vector<std::shared_ptr<sim::BridgeChip>> chips;
  std::unique_ptr<MainWindow> window;

 private:
  std::vector<std::string> files_;
};

constexpr const char* kMismatch = "The firmware file seems not match this chip!";

TEST_F(OptionsTest, FileNameEnablesRunOnlyForAnImageOfTheSelectedChip) {
  Start({"tx40779-c", "txr846"});
  const std::string image779 = Write(sim::MakeMatchingImage({4, 2}));
  window->FwFilenameEdit.SetText(image779);
  EXPECT_TRUE(Run());
  EXPECT_TRUE(view.messages.empty());

  // The other entry refuses it: the mismatch box, Run off, the name kept.
  window->DeviceList.UserSelect(1);
  EXPECT_FALSE(Run());
  ASSERT_EQ(1u, view.messages.size());
  EXPECT_EQ(kMismatch, view.messages[0].text);
  EXPECT_EQ("Message", view.messages[0].caption);
  EXPECT_EQ(ui::Icon::None, view.messages[0].icon);
  EXPECT_EQ(image779, window->FwFilenameEdit.text());

  window->DeviceList.UserSelect(0);
  EXPECT_TRUE(Run());

  // A file that cannot be opened says so, and only that.
  window->FwFilenameEdit.SetText(sim::TempImagePath("missing"));
  EXPECT_FALSE(Run());
  ASSERT_EQ(2u, view.messages.size());
  EXPECT_EQ("Open Firmware File Error!!", view.messages[1].text);
  EXPECT_EQ("Error", view.messages[1].caption);
}

TEST_F(OptionsTest, WithoutAFileOrAnOptionRunKeepsItsState) {
  Start({"txv929"});
  EXPECT_FALSE(Run());
  window->DeviceList.UserSelect(0);
  EXPECT_FALSE(Run());
  window->UpdateBtn.SetEnabled(true);
  window->DeviceList.UserSelect(0);
  EXPECT_TRUE(Run());
  EXPECT_TRUE(view.messages.empty());
}

TEST_F(OptionsTest, EraseOnlyEnablesRunForARecognisedChipWithoutAFile) {
  Start({"tx40775-pmc"});
  window->RdCheckBox.Click();
  window->EraseOnlyCheck.Click();
  EXPECT_TRUE(Run());
  EXPECT_EQ(1u, window->chip.eraseOnly);
  EXPECT_FALSE(window->FwFilenameEdit.enabled());

  window->EraseOnlyCheck.Click();
  EXPECT_FALSE(Run());  // no file to check
  EXPECT_EQ(0u, window->chip.eraseOnly);
  EXPECT_TRUE(window->FwFilenameEdit.enabled());

  // With a matching file the box's own check enables Run, silently refusing
  // a mismatch.
  window->FwFilenameEdit.SetText(Write(sim::MakeMatchingImage({1, 1})));
  EXPECT_TRUE(Run());
  window->EraseOnlyCheck.Click();
  window->EraseOnlyCheck.Click();
  EXPECT_TRUE(Run());
  const std::string other = Write(sim::MakeRefusedImage({1, 1}));
  window->FwFilenameEdit.SetText(other);
  const std::size_t boxes = view.messages.size();
  window->EraseOnlyCheck.Click();
  window->EraseOnlyCheck.Click();
  EXPECT_FALSE(Run());
  EXPECT_EQ(boxes, view.messages.size());
}

TEST_F(OptionsTest, EraseOnlyWithoutADeviceDisablesRunAndBackupEnablesIt) {
  Start({});
  ASSERT_EQ(0, window->deviceCount);
  window->EraseOnlyCheck.Click();
  EXPECT_FALSE(Run());
  // Backup unchecks erase-only and needs no device.
  window->BackupFWCheckBox.Click();
  EXPECT_TRUE(window->BackupFWCheckBox.checked());
  EXPECT_FALSE(window->EraseOnlyCheck.checked());
  EXPECT_EQ(0u, window->chip.eraseOnly);
  EXPECT_TRUE(Run());
}

TEST_F(OptionsTest, TheThreeTaggedBoxesExcludeEachOtherAsTheirTagsSay) {
  Start({"txv929"});
  window->BackupFWCheckBox.Click();
  window->TXV929HDDFwChk.Click();  // tag 0: unchecks the backup box
  EXPECT_TRUE(window->TXV929HDDFwChk.checked());
  EXPECT_FALSE(window->BackupFWCheckBox.checked());
  window->EraseOnlyCheck.Click();
  window->BackupFWCheckBox.Click();  // tag 1: unchecks erase-only only
  EXPECT_FALSE(window->EraseOnlyCheck.checked());
  EXPECT_TRUE(window->TXV929HDDFwChk.checked());
  EXPECT_TRUE(Run());
}

TEST_F(OptionsTest, FlashSizeBoxOnlyForChipType4) {
  Start({"tx40779-c", "txr846"});
  window->RdCheckBox.Click();
  EXPECT_FALSE(window->FwSizeCheck.visible());
  window->EraseOnlyCheck.Click();
  EXPECT_TRUE(window->FwSizeCheck.visible());
  EXPECT_TRUE(window->FwSizeCheck.enabled());
  EXPECT_TRUE(window->FwSizeLable.visible());
  window->BackupFWCheckBox.Click();
  EXPECT_TRUE(window->FwSizeCheck.visible());
  window->BackupFWCheckBox.Click();
  EXPECT_FALSE(window->FwSizeCheck.visible());
  EXPECT_FALSE(window->FwSizeLable.visible());

  window->DeviceList.UserSelect(1);
  window->EraseOnlyCheck.Click();
  EXPECT_FALSE(window->FwSizeCheck.visible());
  EXPECT_FALSE(window->FwSizeCheck.enabled());
}

TEST_F(OptionsTest, NvramBoxOfATxr842AndItsMark) {
  Start({"txr842", "tx40775-pmc"});
  EXPECT_TRUE(window->NVRAMCheck.visible());
  EXPECT_TRUE(window->NVRAMCheck.checked());
  window->NVRAMCheck.Click();
  EXPECT_EQ(0u, window->chip.includeNvram);
  // The next display presets the box from the choice.
  window->DeviceList.UserSelect(1);
  EXPECT_FALSE(window->NVRAMCheck.visible());
  window->DeviceList.UserSelect(0);
  EXPECT_TRUE(window->NVRAMCheck.visible());
  EXPECT_FALSE(window->NVRAMCheck.checked());
  window->NVRAMCheck.Click();
  EXPECT_EQ(1u, window->chip.includeNvram);

  // A click on a tag-0 box shows it for chip type 6 even where the display hid it.
  window->NVRAMCheck.SetVisible(false);
  window->EraseOnlyCheck.Click();
  EXPECT_TRUE(window->NVRAMCheck.visible());
}

TEST_F(OptionsTest, UncheckingRdVersionDisablesRunThenRedisplays) {
  Start({"tx40775-pmc"});
  window->RdCheckBox.Click();
  window->EraseOnlyCheck.Click();
  ASSERT_TRUE(Run());
  // Run goes off; the display then enables it again, since the hidden
  // erase-only box still counts.
  window->RdCheckBox.Click();
  EXPECT_TRUE(Run());
  window->RdCheckBox.Click();
  window->EraseOnlyCheck.Click();
  window->FwFilenameEdit.SetEnabled(false);
  ASSERT_FALSE(Run());
  window->UpdateBtn.SetEnabled(true);
  window->RdCheckBox.Click();
  EXPECT_FALSE(Run());  // nothing to enable it again
  EXPECT_TRUE(window->FwFilenameEdit.enabled());
}

TEST_F(OptionsTest, SizeBoxesSetTheTransferSettingsByTheirSelection) {
  Start({"tx40779-c"});
  EXPECT_EQ(0x10000u, window->transferSettings.flashSize);  // the box shows "32KB" meanwhile
  EXPECT_EQ("32KB", window->FwSizeCheck.text());
  window->FwSizeCheck.UserSelect(5);
  EXPECT_EQ(0x100000u, window->transferSettings.flashSize);
  window->FwSizeCheck.UserSelect(0);
  EXPECT_EQ(0x8000u, window->transferSettings.flashSize);
  // Typed text selects no item: the setting stays.
  window->FwSizeCheck.UserType("2MB");
  EXPECT_EQ(0x8000u, window->transferSettings.flashSize);

  EXPECT_EQ(0x2000u, window->transferSettings.blockSize);
  window->FwPgSizeCheck.UserSelect(4);
  EXPECT_EQ(0x800u, window->transferSettings.blockSize);
  window->FwPgSizeCheck.UserType(" 3 KB");
  EXPECT_EQ(0x800u, window->transferSettings.blockSize);
  window->FwPgSizeCheck.UserSelect(0);
  EXPECT_EQ(0x8000u, window->transferSettings.blockSize);
  // TX929Path's change reads FwPgSizeCheck, whatever it itself shows.
  window->transferSettings.blockSize = 0x1000;
  window->TX929Path.UserSelect(2);
  EXPECT_EQ(0x8000u, window->transferSettings.blockSize);
}

TEST_F(OptionsTest, BackupBrowseNamesTheFileAndEnablesRun) {
  Start({"tx40775-pmc"});
  window->StatusEdit.SetText("old");
  window->BackupBtn.Click();  // cancelled
  EXPECT_EQ("", window->StatusEdit.text());
  EXPECT_EQ("", window->BackupFileEdit.text());
  EXPECT_FALSE(Run());
  ASSERT_EQ(1u, view.dialogs.size());
  EXPECT_EQ("C:\\Tools", view.dialogs[0].initialDir);
  EXPECT_EQ(app::kOpenDialogFilter, view.dialogs[0].filter);
  EXPECT_EQ("bin", view.dialogs[0].defaultExt);

  view.dialogAnswers.push_back("D:\\backup\\old.bin");
  window->OpenDialog1.initialDir = "D:\\backup";
  window->BackupBtn.Click();
  EXPECT_EQ("D:\\backup\\old.bin", window->BackupFileEdit.text());
  EXPECT_TRUE(Run());
  EXPECT_EQ("D:\\backup", view.dialogs[1].initialDir);  // a folder once set stays
}

TEST_F(OptionsTest, LoadFileChecksTheImageAndLeavesRunEnabledAfterAMismatch) {
  Start({"txr846"});
  const std::string good = Write(sim::MakeMatchingImage({8, 0}));
  const std::string other = Write(sim::MakeRefusedImage({8, 0}));

  window->LoadBtn.Click();  // cancelled: nothing
  EXPECT_EQ("", window->FwFilenameEdit.text());
  EXPECT_FALSE(Run());

  view.dialogAnswers.push_back(other);
  window->LoadBtn.Click();
  EXPECT_EQ(other, window->FwFilenameEdit.text());
  EXPECT_EQ(std::vector<std::string>{kMismatch}, Texts());
  EXPECT_TRUE(Run());  // loading is the operator's choice

  view.dialogAnswers.push_back(good);
  window->LoadBtn.Click();
  EXPECT_TRUE(Run());
  EXPECT_EQ(1u, view.messages.size());
}

TEST_F(OptionsTest, ChecksumOptionClosesTheSumWithTheEndMarker) {
  // A TX40779 of revision 4 takes "7793" images, whose sum ends with "ENDSTR".
  sim::EnclosureProfile rev4 = *sim::FindProfile("tx40779-c");
  rev4.bridge.idString = "t779C3.0";
  sim::AttachProfile(machine, rev4, {});
  window = app::StartMainWindow(view);
  ASSERT_EQ(4, window->chip.chipType);
  ASSERT_EQ(4, window->chip.chipSubCode);
  window->RdCheckBox.Click();
  window->ChkSumChk.Click();

  sim::ImageLayout layout;
  layout.endMarkerAt = 0x5000;
  sim::Image image = sim::MakeMatchingImage({4, 4}, layout);
  ASSERT_FALSE(image.empty());
  view.dialogAnswers.push_back(Write(image));
  window->LoadBtn.Click();
  EXPECT_TRUE(Run());
  EXPECT_TRUE(view.messages.empty());

  // Bytes after the marker are outside the sum.
  sim::Image tail = image;
  tail[0x5000 + 8 + 0x100] ^= 0x5A;
  view.dialogAnswers.push_back(Write(tail));
  window->LoadBtn.Click();
  EXPECT_TRUE(Run());
  EXPECT_TRUE(view.messages.empty());

  // A byte before it is inside: the notice, captioned with the title, and Run off.
  sim::Image body = image;
  body[0x4000] ^= 0x5A;
  view.dialogAnswers.push_back(Write(body));
  window->LoadBtn.Click();
  EXPECT_FALSE(Run());
  ASSERT_EQ(1u, view.messages.size());
  EXPECT_EQ("Please check the firmware file with checksum!", view.messages[0].text);
  EXPECT_EQ(app::kApplicationTitle, view.messages[0].caption);
}

}  // namespace
