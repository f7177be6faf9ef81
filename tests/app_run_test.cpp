// Run pressed in the window model: the dispatch table on the selected entry,
// the Run button's states, and what the user does while a run pumps messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#ifdef __linux__
#include <sys/inotify.h>
#include <unistd.h>
#endif

#include "run_window_fixture.h"
#include "sim/variant.h"

namespace {

using app::MainWindow;
using program::Procedure;

class RunTest : public testing_support::RunWindowFixture {
 protected:
  // A TX40775 enclosure with a matching 32 KB image chosen in the window.
  void StartWithTx40775() {
    chip = Attach("tx40775-pmc");
    Start();
    image = sim::MakeMatchingImage({1, 1});
    imageFile = WriteFile("run", image);
    window->FwFilenameEdit.SetText(imageFile);
    Identify(1, 1, 1);
    window->UpdateBtn.SetEnabled(true);
    machine.ClearTranscript();
  }
  std::vector<std::uint8_t> Flash(std::size_t address, std::size_t n) const {
    std::vector<std::uint8_t> out(n);
    chip->serialFlash()->cells().Read(address, out.data(), n);
    return out;
  }
  void PressRun() { window->UpdateBtn.Click(); }

  std::shared_ptr<sim::BridgeChip> chip;
  std::vector<std::uint8_t> image;
  std::string imageFile;
};

TEST_F(RunTest, ProgrammingRunDisablesRunUntilItEndsAndLeavesTheImageInFlash) {
  StartWithTx40775();
  window->StatusEdit.SetText("old text");
  std::vector<bool> enabledDuringRun;
  std::vector<bool> runningDuringRun;
  view.Post([&](MainWindow& w) {
    enabledDuringRun.push_back(w.UpdateBtn.enabled());
    runningDuringRun.push_back(w.running());
  });
  PressRun();

  EXPECT_EQ(Procedure::StandardSerialFlash, window->lastProcedure);
  EXPECT_EQ(program::RunOutcome::Succeeded, window->lastOutcome);
  EXPECT_EQ((std::vector<bool>{false}), enabledDuringRun);
  EXPECT_EQ((std::vector<bool>{true}), runningDuringRun);
  EXPECT_TRUE(window->UpdateBtn.enabled());
  EXPECT_FALSE(window->running());
  EXPECT_EQ(image, Flash(0, image.size()));
  EXPECT_EQ("Programming Success!!", window->StatusEdit.text());
  ASSERT_EQ(1u, view.messages.size());
  EXPECT_EQ("Please Turn-Off the Power and Turn-On Again !", view.messages[0].text);
  EXPECT_EQ("Message", view.messages[0].caption);
  const auto lines = machine.debugLines();
  EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "Update Btn Press\n"));
  for (const auto& e : machine.transcript()) EXPECT_EQ(window->devices[0].path, e.path);
}

// The image was checked when Load File chose it; changed before Run, it is
// not the image the checks passed, and it is refused before any command
// reaches the chip: a shorter one would otherwise be programmed whole.
TEST_F(RunTest, AnImageChangedAfterItsChecksIsRefusedBeforeAnyCommand) {
  struct Row {
    const char* what;
    std::function<void(std::vector<std::uint8_t>&)> change;
  } rows[] = {
      {"emptied", [](std::vector<std::uint8_t>& b) { b.clear(); }},
      {"shortened", [](std::vector<std::uint8_t>& b) { b.resize(0x4000); }},
      {"one byte rewritten", [](std::vector<std::uint8_t>& b) { b[0x2345] ^= 0x01; }},
      {"grown", [](std::vector<std::uint8_t>& b) { b.resize(b.size() + 0x1000, 0x5A); }},
  };
  chip = Attach("tx40775-pmc");
  Start();
  image = sim::MakeMatchingImage({1, 1});
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    imageFile = WriteFile(std::string("changed-") + std::to_string(&r - rows), image);
    view.dialogAnswers.push_back(imageFile);
    window->LoadBtn.Click();
    ASSERT_TRUE(window->UpdateBtn.enabled());
    std::vector<std::uint8_t> changed = image;
    r.change(changed);
    ASSERT_TRUE(sim::WriteImageFile(imageFile, changed));
    const auto before = Flash(0, 0x10000);
    machine.ClearTranscript();
    view.messages.clear();
    PressRun();
    EXPECT_EQ(program::RunOutcome::Failed, window->lastOutcome);
    EXPECT_EQ("Open File Error!!", window->StatusEdit.text());
    EXPECT_TRUE(machine.transcript().empty());
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(before, Flash(0, 0x10000));
  }
}

#ifdef __linux__
// The checks judge the bytes of one read, the same bytes a run holds the file
// against: no file swapped between a fingerprint and a check can pass as
// another. The run reads the file once more, to refuse a later rewrite, and
// programs what it read only when it equals those bytes.
TEST_F(RunTest, TheChecksAndTheRunReadTheImageOnceEach) {
  chip = Attach("tx40775-pmc");
  Start();
  image = sim::MakeMatchingImage({1, 1});
  imageFile = WriteFile("read-once", image);
  const int watch = inotify_init1(IN_NONBLOCK);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, imageFile.c_str(), IN_OPEN), 0);
  const auto opens = [watch] {
    alignas(inotify_event) char events[4096];
    int n = 0;
    for (ssize_t got; (got = read(watch, events, sizeof events)) > 0;) {
      for (char* at = events; at < events + got;
           at += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(at)->len)
        ++n;
    }
    return n;
  };
  window->FwFilenameEdit.SetText(imageFile);
  EXPECT_EQ(1, opens());
  Identify(1, 1, 1);
  window->UpdateBtn.SetEnabled(true);
  PressRun();
  EXPECT_EQ(1, opens());
  EXPECT_EQ(program::RunOutcome::Succeeded, window->lastOutcome);
  EXPECT_EQ(image, Flash(0, image.size()));
  close(watch);
}
#endif

// Choosing the same name again after the file changed checks it again, and
// Run then programs the new bytes.
TEST_F(RunTest, AChangedImageLoadedAgainIsCheckedAgainAndRuns) {
  chip = Attach("tx40775-pmc");
  Start();
  image = sim::MakeMatchingImage({1, 1});
  imageFile = WriteFile("reloaded", image);
  view.dialogAnswers.push_back(imageFile);
  window->LoadBtn.Click();

  // Another chip's image under the same name: the check says so again.
  ASSERT_TRUE(sim::WriteImageFile(imageFile, sim::MakeMatchingImage({4, 1})));
  view.messages.clear();
  view.dialogAnswers.push_back(imageFile);
  window->LoadBtn.Click();
  ASSERT_EQ(1u, view.messages.size());
  EXPECT_EQ("The firmware file seems not match this chip!", view.messages[0].text);

  image[0x2345] ^= 0x01;
  ASSERT_TRUE(sim::WriteImageFile(imageFile, image));
  view.messages.clear();
  view.dialogAnswers.push_back(imageFile);
  window->LoadBtn.Click();
  EXPECT_TRUE(view.messages.empty());
  ASSERT_TRUE(window->UpdateBtn.enabled());
  PressRun();
  EXPECT_EQ(program::RunOutcome::Succeeded, window->lastOutcome);
  EXPECT_EQ(image, Flash(0, image.size()));
}

TEST_F(RunTest, EachRowOfTheTableIsReachedThroughRun) {
  chip = Attach("tx40775-pmc");
  Start();
  const std::string file = WriteFile("small", std::vector<std::uint8_t>(0x4000, 0x11));
  window->FwFilenameEdit.SetText(file);
  view.messages.clear();  // the image is not this chip's: identification said so
  struct Row {
    int type, kind;
    std::int32_t bridgeVersion;
    Procedure expected;
  } rows[] = {
      {19, 0, 0, Procedure::DiskAreaFirmware},     {12, 0, 0, Procedure::HddHostedFirmware},
      {10, 2, 0, Procedure::SstSerialFlash},       {6, 1, 0, Procedure::NvramPage16K},
      {8, 1, 0, Procedure::BlockCommandFlash},     {16, 4, 0, Procedure::BlockCommandFlash},
      {2, 0, 0, Procedure::InternalRomParallelFlash}, {14, 1, 0, Procedure::BridgeBehindController},
      {18, 0, 0, Procedure::DiskAreaFirmware},     {5, 0, 208, Procedure::DiskAreaFirmware},
      {5, 0, 207, Procedure::None},                {0, 0, 0, Procedure::None},
      {21, 1, 0, Procedure::None},
  };
  for (const Row& r : rows) {
    Identify(static_cast<std::uint8_t>(r.type), 0, r.kind);
    window->chip.flashSizeKb = 64;
    window->chip.bridgeVersion = r.bridgeVersion;
    window->UpdateBtn.SetEnabled(true);
    machine.ClearTranscript();
    view.questionAnswers = {true};  // the file is no chip's image
    view.messages.clear();
    PressRun();
    EXPECT_EQ(r.expected, window->lastProcedure) << "chip type " << r.type;
    EXPECT_TRUE(window->UpdateBtn.enabled()) << "chip type " << r.type;
    // The disk-hosted procedures find no disk here and write nothing.
    for (const auto& e : machine.transcript())
      EXPECT_TRUE(e.command != "AtaWriteDma48" && e.command != "WriteDisk16") << e.command;
    if (program::ProcedureBuilt(r.expected)) continue;
    // Families still to come run nothing: Run is back at once, nothing sent.
    EXPECT_TRUE(machine.transcript().empty()) << "chip type " << r.type;
    EXPECT_TRUE(view.messages.empty()) << "chip type " << r.type;
  }
}

TEST_F(RunTest, ChipTypeElevenAsksRegister505EOfTheSelectedDevice) {
  chip = Attach("tx40775-pmc");
  Start();
  Identify(11, 4, 5);
  window->UpdateBtn.SetEnabled(true);
  machine.ClearTranscript();
  PressRun();
  ASSERT_EQ(1u, machine.transcript().size());
  EXPECT_EQ("ReadChipMemory", machine.transcript()[0].command);
  EXPECT_EQ(window->devices[0].path, machine.transcript()[0].path);
  // This chip's memory does not read 00 01 at 0x505E: sub-code 4 takes the page procedure.
  EXPECT_EQ(Procedure::NvramPage16K, window->lastProcedure);
}

// An AT25F512 answers 1F 60 as the 128 KB AT25F1024 does. A 128 KB image is
// refused before anything is erased; sized by the larger part, the run erased
// the flash and wrapped the image's upper half onto its first pages.
TEST_F(RunTest, ImageLargerThanAnAt25f512IsRefusedBeforeTheErase) {
  sim::Variant v;
  v.profile = "txr847-atmel";
  v.flashPart = "atmel-at25f512";
  v.options.volumes = {{'E', 1}};
  chip = sim::AttachVariant(machine, v);
  const std::vector<std::uint8_t> before = chip->serialFlash()->cells().cells();
  sim::ImageLayout layout;
  layout.size = 0x20000;
  const std::string file = WriteFile("at25f512", sim::MakeMatchingImage({10, 1}, layout));
  Console({"--run", "0", "--image", file});
  EXPECT_NE(std::string::npos, output.find("The firmware file size is bigger than the flash size!"))
      << output;
  EXPECT_EQ(0, chip->serialFlash()->eraseOperations);
  EXPECT_EQ(before, chip->serialFlash()->cells().cells());
}

TEST_F(RunTest, ImageLargerThanTheChipFlashKeepsRunDisabled) {
  chip = Attach("tx40775-pmc");
  Start();
  window->FwFilenameEdit.SetText(WriteFile("big", std::vector<std::uint8_t>(64 * 1024 + 1, 0)));
  view.messages.clear();
  Identify(10, 1, 1);
  window->chip.flashSizeKb = 64;
  window->UpdateBtn.SetEnabled(true);
  machine.ClearTranscript();
  view.questionAnswers = {true};  // zeros are no chip's image: program it anyway
  PressRun();
  EXPECT_EQ(Procedure::RefusedImageTooLarge, window->lastProcedure);
  EXPECT_EQ(program::RunOutcome::Refused, window->lastOutcome);
  EXPECT_FALSE(window->UpdateBtn.enabled());
  ASSERT_EQ(1u, view.messages.size());
  EXPECT_EQ("The firmware file size is bigger than the flash size!", view.messages[0].text);
  EXPECT_EQ("Message", view.messages[0].caption);
  EXPECT_TRUE(machine.transcript().empty());

  // A file that cannot be opened is no oversized file: the check's own box,
  // then the procedure's open-failure text, nothing sent.
  window->FwFilenameEdit.SetText(TempName("missing"));
  Identify(10, 1, 1);
  window->UpdateBtn.SetEnabled(true);
  view.messages.clear();  // identification's own boxes about the file
  machine.ClearTranscript();
  PressRun();
  ASSERT_EQ(1u, view.messages.size());
  EXPECT_EQ("Open Firmware File Error!!", view.messages[0].text);
  EXPECT_EQ("Error", view.messages[0].caption);
  EXPECT_EQ("Open File Error!!", window->StatusEdit.text());
  EXPECT_TRUE(machine.transcript().empty());

  // An image that fits the flash goes to the page procedure, which refuses
  // it all the same: behind the kept 4 KB NVRAM it would run past the end.
  window->FwFilenameEdit.SetText(WriteFile("fits", std::vector<std::uint8_t>(64 * 1024, 0)));
  Identify(10, 1, 1);
  window->UpdateBtn.SetEnabled(true);
  view.questionAnswers = {true};
  machine.ClearTranscript();
  PressRun();
  EXPECT_EQ(Procedure::NvramPage16K, window->lastProcedure);
  EXPECT_EQ(program::RunOutcome::Failed, window->lastOutcome);
  EXPECT_EQ("The firmware file size is bigger than the flash size!", window->StatusEdit.text());
  EXPECT_TRUE(machine.transcript().empty());
  EXPECT_TRUE(window->UpdateBtn.enabled());
}

TEST_F(RunTest, WithoutASelectedEntryNothingIsAddressed) {
  chip = Attach("tx40775-pmc");
  Start();
  Identify(1, 1, 1);
  window->DeviceList.UserType("typed text");
  ASSERT_EQ(-1, window->DeviceList.itemIndex());
  window->StatusEdit.SetText("before");
  window->UpdateBtn.SetEnabled(true);
  machine.ClearTranscript();
  PressRun();
  EXPECT_TRUE(machine.transcript().empty());
  EXPECT_EQ(Procedure::None, window->lastProcedure);
  EXPECT_EQ("", window->StatusEdit.text());
  EXPECT_TRUE(window->UpdateBtn.enabled());
}

// Everything a user can do while the run pumps messages: nothing reaches the
// device or changes what the run uses until the run has ended.
TEST_F(RunTest, UserInputDuringARunWaitsUntilTheRunEnds) {
  StartWithTx40775();
  Attach("tx40777", 2);  // a second enclosure, plugged in during the run
  machine.onDeviceChange = [this](std::uint32_t event) {
    view.Post([event](MainWindow& w) { w.OnDeviceChange(event); });
  };
  const std::string otherImage = WriteFile("other", std::vector<std::uint8_t>(0x8000, 0x00));
  const std::string runPath = window->devices[0].path;
  const program::TransferSettings settings = window->transferSettings;
  const int inquiriesBefore = Count("INQUIRY");
  std::size_t firedAt = 0;
  std::size_t runEndedAt = 0;
  bool panelDuringRun = true;
  std::size_t dialogsDuringRun = 0;
  std::size_t messagesDuringRun = 0;
  program::TransferSettings settingsDuringRun;

  struct EndProbe : app::ControlObserver {
    std::function<void()> onSuccess;
    void ControlChanged(app::Control& c, app::Property) override {
      if (c.text() == "Programming Success!!" && onSuccess) onSuccess();
    }
  } probe;
  probe.onSuccess = [&] {
    runEndedAt = machine.transcript().size();
    panelDuringRun = window->RdPanel.visible();
    dialogsDuringRun = view.dialogs.size();
    messagesDuringRun = view.messages.size();
    settingsDuringRun = window->transferSettings;
  };
  window->StatusEdit.SetObserver(&probe);

  view.Post([&](MainWindow& w) {
    firedAt = machine.transcript().size();
    machine.onDeviceChange(ui::kDeviceArrival);
    w.DeviceList.UserSelect(0);
    w.FwFilenameEdit.SetText(otherImage);
    w.FlashTypeList.UserSelect(2);
    w.LoadBtn.Click();
    w.BackupBtn.Click();
    w.RdCheckBox.Click();
    w.EraseOnlyCheck.Click();
    w.NVRAMCheck.Click();
    w.FwSizeCheck.UserSelect(5);
    w.FwPgSizeCheck.UserSelect(0);
    w.UpdateBtn.SetEnabled(true);  // whatever enabled it, a second Run does not start
    w.UpdateBtn.Click();
  });
  PressRun();
  window->StatusEdit.SetObserver(nullptr);

  ASSERT_GT(firedAt, 0u);
  ASSERT_GT(runEndedAt, firedAt);
  for (std::size_t i = firedAt; i < runEndedAt; ++i) {
    const auto& e = machine.transcript()[i];
    EXPECT_EQ(runPath, e.path) << i;
    EXPECT_NE("INQUIRY", e.command) << i;
  }
  EXPECT_FALSE(panelDuringRun);
  EXPECT_EQ(0u, dialogsDuringRun);
  EXPECT_EQ(0u, messagesDuringRun);
  EXPECT_EQ(settings.flashSize, settingsDuringRun.flashSize);
  EXPECT_EQ(settings.blockSize, settingsDuringRun.blockSize);
  // The run used what was chosen when Run was pressed: the first image, once.
  EXPECT_EQ(image, Flash(0, image.size()));
  ASSERT_FALSE(view.messages.empty());
  EXPECT_EQ("Please Turn-Off the Power and Turn-On Again !", view.messages[0].text);
  EXPECT_EQ(Procedure::StandardSerialFlash, window->lastProcedure);

  // Afterwards the waiting handlers ran once each: the panel follows its box.
  EXPECT_TRUE(window->RdPanel.visible());
  EXPECT_EQ(app::kClientHeight, view.clientHeight);
  EXPECT_EQ(otherImage, window->FwFilenameEdit.text());
  // The device change still leads to its refresh, after the run.
  view.RunFor(1200);
  EXPECT_EQ(2, window->deviceCount);
  EXPECT_GT(Count("INQUIRY"), inquiriesBefore);
}

TEST_F(RunTest, TogglingRdVersionTwiceDuringARunLeavesThePanelAsItWas) {
  StartWithTx40775();
  view.Post([](MainWindow& w) {
    w.RdCheckBox.Click();
    w.RdCheckBox.Click();
  });
  PressRun();
  EXPECT_FALSE(window->RdPanel.visible());
  EXPECT_EQ(app::kClientHeight - 129, view.clientHeight);
}

TEST_F(RunTest, ExitDuringARunClosesTheWindowOnceTheRunHasEnded) {
  StartWithTx40775();
  bool closedDuringRun = true;
  view.Post([&](MainWindow& w) {
    w.ExitBtn.Click();
    view.Post([&](MainWindow&) { closedDuringRun = view.closed; });
  });
  PressRun();
  EXPECT_FALSE(closedDuringRun);
  EXPECT_EQ(image, Flash(0, image.size()));
  view.ProcessMessages();
  EXPECT_TRUE(view.closed);
}

}  // namespace

namespace {

// Run with an image the chip check refuses asks first, No being the default;
// runs that write no image do not ask.
TEST_F(RunTest, AnImageRefusedForTheChipIsWrittenOnlyAfterAYes) {
  struct Case {
    const char* name;
    bool foreignImage;
    bool eraseOnly;
    bool backupOnly;
    std::deque<bool> answers;
    std::size_t questions;
    program::RunOutcome outcome;
  } cases[] = {
      {"foreign image, No (the default)", true, false, false, {}, 1,
       program::RunOutcome::Refused},
      {"foreign image, Yes", true, false, false, {true}, 1, program::RunOutcome::Succeeded},
      {"own image", false, false, false, {}, 0, program::RunOutcome::Succeeded},
      {"foreign image, erase only", true, true, false, {}, 0, program::RunOutcome::Succeeded},
      {"foreign image, backup only", true, false, true, {}, 0, program::RunOutcome::Succeeded},
  };
  StartWithTx40775();
  const std::string ownFile = imageFile;
  // An image made for another chip type.
  const std::vector<std::uint8_t> foreign = sim::MakeMatchingImage({6, 1});
  const std::string foreignFile = WriteFile("foreign", foreign);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    view.questions.clear();
    const std::vector<std::uint8_t> before = Flash(0, image.size());
    window->FwFilenameEdit.SetText(c.foreignImage ? foreignFile : ownFile);
    if (c.eraseOnly || c.backupOnly) window->RdCheckBox.SetChecked(true);
    if (c.eraseOnly) window->EraseOnlyCheck.SetChecked(true);
    if (c.backupOnly) {
      window->BackupFWCheckBox.SetChecked(true);
      window->BackupFileEdit.SetText(TempName("backup"));
    }
    Identify(1, 1, 1);
    window->UpdateBtn.SetEnabled(true);
    machine.ClearTranscript();
    view.questionAnswers = c.answers;
    PressRun();

    ASSERT_EQ(c.questions, view.questions.size());
    if (c.questions != 0) {
      EXPECT_EQ("The firmware file seems not match this chip! Program it anyway?",
                view.questions[0].text);
      EXPECT_EQ("Message", view.questions[0].caption);
    }
    EXPECT_EQ(c.outcome, window->lastOutcome);
    EXPECT_TRUE(window->UpdateBtn.enabled());
    if (c.outcome == program::RunOutcome::Refused) {
      EXPECT_TRUE(machine.transcript().empty());
      EXPECT_EQ(before, Flash(0, image.size()));
    } else if (!c.eraseOnly && !c.backupOnly) {
      const std::vector<std::uint8_t>& written = c.foreignImage ? foreign : image;
      EXPECT_EQ(written, Flash(0, written.size()));
    }
    window->EraseOnlyCheck.SetChecked(false);
    window->BackupFWCheckBox.SetChecked(false);
    window->RdCheckBox.SetChecked(false);
  }
}

}  // namespace
