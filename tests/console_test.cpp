// The console front end on the simulated machine: its arguments, the listing,
// and runs whose exit status must say how they ended.
#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/console.h"
#include "run_window_fixture.h"

namespace {

using app::ConsoleOptions;
using app::ParseConsoleArgs;

TEST(ConsoleArgsTest, RunGroupsCarryTheirOwnOptions) {
  ConsoleOptions o;
  std::string error;
  ASSERT_TRUE(ParseConsoleArgs({"--simulate", "--run", "0", "--image", "fw.bin", "--run", "2",
                                "--rd", "--backup-only", "--backup-file", "b.bin", "--nvram",
                                "off", "--size", "1MB"},
                               o, error))
      << error;
  EXPECT_TRUE(o.simulate);
  EXPECT_FALSE(o.list);
  ASSERT_EQ(2u, o.runs.size());
  EXPECT_EQ(0, o.runs[0].entry);
  EXPECT_EQ("fw.bin", o.runs[0].image);
  EXPECT_FALSE(o.runs[0].rd);
  EXPECT_FALSE(o.runs[0].nvram.has_value());
  EXPECT_EQ(2, o.runs[1].entry);
  EXPECT_TRUE(o.runs[1].rd);
  EXPECT_TRUE(o.runs[1].backupOnly);
  EXPECT_EQ("b.bin", o.runs[1].backupFile);
  EXPECT_EQ(false, o.runs[1].nvram.value());
  EXPECT_EQ("1MB", o.runs[1].fwSize);
  EXPECT_EQ("", o.runs[1].image);

  ASSERT_TRUE(ParseConsoleArgs({"--help"}, o, error));
  EXPECT_TRUE(o.help);
  ASSERT_TRUE(ParseConsoleArgs({}, o, error));
  EXPECT_TRUE(o.runs.empty());
}

TEST(ConsoleArgsTest, RefusesWhatTheWindowCannotExpress) {
  const std::vector<std::vector<std::string>> bad = {
      {"--frobnicate"},
      {"--image", "fw.bin"},                          // no --run before it
      {"--run"},                                      // missing entry
      {"--run", "x"},                                 // not a number
      {"--run", "-1"},
      {"--run", "0", "--erase-only"},                 // panel box without "RD Version"
      {"--run", "0", "--backup-file", "b.bin"},
      {"--run", "0", "--rd", "--size", "2MB"},        // not an item of the box
      {"--run", "0", "--rd", "--nvram", "maybe"},
      {"--run", "0", "--rd", "--erase-only", "--backup-only"},
      {"--run", "0", "--image", ""},
  };
  for (const auto& args : bad) {
    ConsoleOptions o;
    std::string error;
    EXPECT_FALSE(ParseConsoleArgs(args, o, error)) << args[0];
    EXPECT_FALSE(error.empty());
  }
  const std::string usage = app::ConsoleUsage();
  for (const char* option : {"--simulate", "--list", "--run", "--image", "--rd", "--erase-only",
                             "--backup-only", "--backup-file", "--nvram", "--size", "--program-anyway",
                             "Exit status"})
    EXPECT_NE(std::string::npos, usage.find(option)) << option;
}

TEST(ConsoleOutcomeTest, PowerCycleNoticesAreTheSuccessfulEndings) {
  EXPECT_TRUE(program::IsPowerCycleNotice("Please Turn-Off the Power and Turn-On Again !"));
  EXPECT_TRUE(program::IsPowerCycleNotice("Please Turn-Off the Power and Turn-On Again!"));
  EXPECT_TRUE(program::IsPowerCycleNotice("TXV929 Auto reset, Please wait device re-attached!"));
  EXPECT_FALSE(program::IsPowerCycleNotice("Default backup firmware as OldFalsh.bak!"));
}

class ConsoleTest : public testing_support::RunWindowFixture {
 protected:
  void SetUp() override {
    RunWindowFixture::SetUp();
    outName_ = TempName("console-out");
  }

  // Runs the console with the given arguments; output kept in output.
  int Console(const std::vector<std::string>& args) {
    ConsoleOptions options;
    std::string error;
    EXPECT_TRUE(ParseConsoleArgs(args, options, error)) << error;
    std::FILE* out = std::fopen(outName_.c_str(), "wb");
    EXPECT_NE(nullptr, out);
    const int status = app::RunConsole(options, out);
    std::fclose(out);
    std::ifstream in(outName_, std::ios::binary);
    output.assign(std::istreambuf_iterator<char>(in), {});
    return status;
  }
  bool Printed(const std::string& text) const { return output.find(text) != std::string::npos; }

  std::string output;

 private:
  std::string outName_;
};

TEST_F(ConsoleTest, ListsEveryEntryWithWhatTheWindowShows) {
  Attach("tx40775-pmc", 1);
  Attach("tx40777", 2);
  EXPECT_EQ(app::kExitSuccess, Console({"--list"}));
  EXPECT_TRUE(Printed("entry 0: <<USB>> Tavrion TX40775")) << output;
  EXPECT_TRUE(Printed("entry 1: <<USB>> Tavrion TX40777")) << output;
  EXPECT_TRUE(Printed("  chip:    ")) << output;
  EXPECT_TRUE(Printed("  drives:  ")) << output;
  EXPECT_TRUE(Printed("  version: ")) << output;
  EXPECT_TRUE(Printed("  flash:   ")) << output;
}

TEST_F(ConsoleTest, NoDeviceIsListedAsTheWindowSaysIt) {
  EXPECT_EQ(app::kExitSuccess, Console({}));
  EXPECT_EQ("No available device!!!\n", output);
  EXPECT_EQ(app::kExitUsage, Console({"--run", "0"}));
  EXPECT_TRUE(Printed("There is no entry 0.")) << output;
}

TEST_F(ConsoleTest, SuccessfulUpdatePrintsItsProgressAndExitsZero) {
  auto chip = Attach("tx40775-pmc", 1);
  const std::vector<std::uint8_t> image = sim::MakeMatchingImage({1, 1});
  const std::string file = WriteFile("console", image);
  EXPECT_EQ(app::kExitSuccess, Console({"--run", "0", "--image", file}));
  EXPECT_TRUE(Printed("status: ....\nstatus: Programming Success!!\n")) << output;
  EXPECT_TRUE(Printed("[Message] Please Turn-Off the Power and Turn-On Again !\n")) << output;
  EXPECT_TRUE(Printed("result: success (standard serial flash)")) << output;
  std::vector<std::uint8_t> flash(image.size());
  chip->serialFlash()->cells().Read(0, flash.data(), flash.size());
  EXPECT_EQ(image, flash);

  // The same window's backup-only run reads it back into a file.
  const std::string backup = TempName("readback");
  EXPECT_EQ(app::kExitSuccess, Console({"--run", "0", "--image", file, "--run", "0", "--rd",
                                        "--backup-only", "--backup-file", backup}));
  EXPECT_TRUE(Printed("status: Read flash and backup success!")) << output;
  std::ifstream in(backup, std::ios::binary);
  const std::vector<std::uint8_t> saved{std::istreambuf_iterator<char>(in), {}};
  ASSERT_EQ(0x10000u, saved.size());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), saved.begin()));
}

TEST_F(ConsoleTest, FailingRunsExitOne) {
  Attach("tx40775-pmc", 1);
  const std::string file = WriteFile("console", sim::MakeMatchingImage({1, 1}));
  sim::CommandFault fault;  // the second program command fails
  fault.pattern = sim::CdbPattern("FF 04 11 00 20 00");
  machine.AddFault(fault);
  EXPECT_EQ(app::kExitRunFailed, Console({"--run", "0", "--image", file}));
  EXPECT_TRUE(Printed("status: .\nstatus: Programming Fail!!\n")) << output;
  EXPECT_TRUE(Printed("result: failed (standard serial flash)")) << output;
  EXPECT_FALSE(Printed("[Message]")) << output;

  // A file the window cannot open leaves Run disabled, and the runs stop there.
  machine.ClearFaults();
  EXPECT_EQ(app::kExitRunFailed,
            Console({"--run", "0", "--image", TempName("missing"), "--run", "0", "--rd",
                     "--backup-only"}));
  EXPECT_TRUE(Printed("[Error] Open Firmware File Error!!\n")) << output;
  EXPECT_TRUE(Printed("result: Run is disabled")) << output;
  EXPECT_FALSE(Printed("Backup")) << output;
}

TEST_F(ConsoleTest, ChipsWithoutAProcedureAndDisabledRunAreNotSuccesses) {
  // A TX40769 whose bridge version is below 208: the table runs nothing.
  Attach("tx40769-old", 1);
  const std::string file = WriteFile("t769", sim::MakeMatchingImage({5, 0}));
  EXPECT_EQ(app::kExitRunFailed, Console({"--run", "0", "--image", file}));
  EXPECT_TRUE(Printed("result: nothing ran (none)")) << output;

  // Without an image Run stays disabled, and the console cannot press it.
  Attach("tx40775-pmc", 2);
  EXPECT_EQ(app::kExitRunFailed, Console({"--run", "1"}));
  EXPECT_TRUE(Printed("result: Run is disabled")) << output;
}

// The size check of chip type 10 refuses an image that matches the chip but
// not its flash: nothing is sent to the flash and the exit status says so.
TEST_F(ConsoleTest, ImageRefusedForItsSizeIsNotASuccess) {
  Attach("txr847-mxic32", 1);
  sim::Image image = sim::MakeMatchingImage({10, 1});
  ASSERT_FALSE(image.empty());
  image.resize(128 * 1024 + 1, 0xFF);
  const std::string file = WriteFile("t847-big", image);
  EXPECT_EQ(app::kExitRunFailed, Console({"--run", "0", "--image", file}));
  EXPECT_TRUE(Printed("[Message] The firmware file size is bigger than the flash size!\n"))
      << output;
  EXPECT_TRUE(Printed("result: refused, Run stays disabled")) << output;
  EXPECT_EQ(0, Count("EraseFlashChip") + Count("EraseFlashSector") + Count("WriteFlash"));
}

// Another chip's image is written only with --program-anyway, which loads it
// as "Load File" does and answers Run's question with Yes.
TEST_F(ConsoleTest, AnotherChipsImageNeedsProgramAnyway) {
  auto chip = Attach("tx40775-pmc", 1);
  const std::vector<std::uint8_t> foreign = sim::MakeMatchingImage({6, 1});
  const std::string file = WriteFile("foreign", foreign);
  std::vector<std::uint8_t> flash(foreign.size());
  chip->serialFlash()->cells().Read(0, flash.data(), flash.size());
  const std::vector<std::uint8_t> before = flash;

  EXPECT_EQ(app::kExitRunFailed, Console({"--run", "0", "--image", file}));
  EXPECT_TRUE(Printed("[Message] The firmware file seems not match this chip!\n")) << output;
  EXPECT_TRUE(Printed("result: Run is disabled")) << output;
  chip->serialFlash()->cells().Read(0, flash.data(), flash.size());
  EXPECT_EQ(before, flash);

  EXPECT_EQ(app::kExitSuccess, Console({"--run", "0", "--image", file, "--program-anyway"}));
  EXPECT_TRUE(Printed("[Message] The firmware file seems not match this chip! Program it "
                      "anyway? -> Yes\n"))
      << output;
  EXPECT_TRUE(Printed("result: success")) << output;
  chip->serialFlash()->cells().Read(0, flash.data(), flash.size());
  EXPECT_EQ(foreign, flash);
}

TEST_F(ConsoleTest, ControlsTheWindowHidesAreRefused) {
  Attach("tx40775-pmc", 1);
  // The firmware size box shows only for some chips with erase or backup checked.
  EXPECT_EQ(app::kExitUsage, Console({"--run", "0", "--rd", "--size", "1MB"}));
  EXPECT_TRUE(Printed("does not offer the firmware size")) << output;
  EXPECT_EQ(0x10000u, program::Transfer().flashSize);
}

// The console is a view of the same window: the same run on two identical
// machines ends the same way, status line, boxes and flash alike.
TEST_F(ConsoleTest, ConsoleAndWindowGiveTheSameOutcome) {
  auto consoleChip = Attach("tx40775-pmc", 1);
  const std::string file = WriteFile("same", sim::MakeMatchingImage({1, 1}));
  const std::string backup = TempName("same-backup");
  ASSERT_EQ(app::kExitSuccess, Console({"--run", "0", "--image", file, "--run", "0", "--rd",
                                        "--backup-only", "--backup-file", backup}));
  std::vector<std::uint8_t> consoleFlash(0x10000);
  consoleChip->serialFlash()->cells().Read(0, consoleFlash.data(), consoleFlash.size());

  sim::Machine other;
  host::ScopedHost scope(other);
  sim::AttachOptions attach;
  attach.volumes = {{'E', 1}};
  auto windowChip = sim::AttachProfile(other, *sim::FindProfile("tx40775-pmc"), attach);
  app::HeadlessView view;
  auto w = app::StartMainWindow(view);
  w->DeviceList.UserSelect(0);
  w->FwFilenameEdit.SetText(file);
  w->UpdateBtn.Click();
  const std::string afterProgramming = w->StatusEdit.text();
  w->RdCheckBox.SetChecked(true);
  w->BackupFWCheckBox.SetChecked(true);
  w->BackupFileEdit.SetText(backup + ".window");
  w->UpdateBtn.Click();
  std::remove((backup + ".window").c_str());
  std::vector<std::uint8_t> windowFlash(0x10000);
  windowChip->serialFlash()->cells().Read(0, windowFlash.data(), windowFlash.size());

  EXPECT_EQ(consoleFlash, windowFlash);
  EXPECT_TRUE(Printed("status: " + afterProgramming + "\n")) << output;
  EXPECT_TRUE(Printed("status: " + w->StatusEdit.text() + "\n")) << output;
  for (const auto& m : view.messages)
    EXPECT_TRUE(Printed("[" + m.caption + "] " + m.text + "\n")) << m.text;
}

}  // namespace
