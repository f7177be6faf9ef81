// The bank repair as the window starts it when a TXV929 entry is selected:
// once per record, Run's state given back, and nothing the user does
// meanwhile starts a run or a second repair.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "console/console.h"
#include "engine/bank_recovery.h"
#include "run_window_fixture.h"

namespace {

using app::MainWindow;

class BankRepairWindowTest : public testing_support::RunWindowFixture {
 protected:
  bool BankSound(int bank) const {
    std::vector<std::uint8_t> b(0x10000);
    chip->serialFlash()->cells().Read(bank * 0x10000u, b.data(), b.size());
    return program::CheckBankImage(b.data(), b.size(), 12);
  }
  int Count(const char* command) const { return RunWindowFixture::Count(command); }
  std::shared_ptr<sim::BridgeChip> chip;
};

TEST_F(BankRepairWindowTest, SelectingADamagedControllerRepairsItOnceWithRunHeldBack) {
  Attach("tx40775-pmc", 1);
  chip = Attach("txv929-bank0-damaged", 2);
  Start();
  ASSERT_EQ(2u, window->DeviceList.items().size());
  ASSERT_FALSE(BankSound(0));
  window->FwFilenameEdit.SetText(WriteFile("txv929", sim::MakeMatchingImage({12, 0})));
  machine.ClearTranscript();

  std::vector<bool> runDuringRepair;
  view.Post([&](MainWindow& w) {
    runDuringRepair.push_back(w.UpdateBtn.enabled());
    w.UpdateBtn.SetEnabled(true);
    w.UpdateBtn.Click();
    w.DeviceList.UserSelect(1);
  });
  window->DeviceList.UserSelect(1);

  EXPECT_TRUE(BankSound(0));
  EXPECT_TRUE(BankSound(1));
  EXPECT_EQ((std::vector<bool>{false}), runDuringRepair);
  EXPECT_EQ(program::Procedure::None, window->lastProcedure);  // the click started nothing
  // Two banks read, the sound one twice, and one read back; the held-back
  // selection ran afterwards and found the record checked.
  EXPECT_EQ(32, Count("ReadFlashBlock"));
  EXPECT_EQ(1u, window->devices[1].recoveryChecked);
  EXPECT_TRUE(window->UpdateBtn.enabled());  // the image matches: Run as it was

  machine.ClearTranscript();
  window->DeviceList.UserSelect(0);
  window->DeviceList.UserSelect(1);
  EXPECT_EQ(0, Count("ReadFlashBlock"));
}

TEST_F(BankRepairWindowTest, RunStaysDisabledAfterTheRepairWhenItWasDisabled) {
  chip = Attach("txv929-bank1-damaged", 1);
  Start();  // the first entry is evaluated, and repaired, at start-up
  EXPECT_TRUE(BankSound(1));
  EXPECT_FALSE(window->UpdateBtn.enabled());  // no image chosen
}

// The console's listing only reads: the damaged bank is reported, in text
// and JSON, and nothing is written; selecting the entry for a run (here
// --repair) repairs it as the window's selection does.
TEST_F(BankRepairWindowTest, TheConsoleListingReportsTheDamageAndARunRepairs) {
  Attach("tx40775-pmc", 1);
  chip = Attach("txv929-bank0-damaged", 2);
  const auto console = [&](const std::vector<std::string>& args, std::string& output) {
    app::ConsoleOptions options;
    std::string error;
    EXPECT_TRUE(app::ParseConsoleArgs(args, options, error)) << error;
    const std::string outName = TempName("repair-listing");
    std::FILE* out = std::fopen(outName.c_str(), "wb");
    EXPECT_NE(nullptr, out);
    const int status = app::RunConsole(host::Current(), options, out);
    std::fclose(out);
    std::ifstream in(outName, std::ios::binary);
    output.assign(std::istreambuf_iterator<char>(in), {});
    return status;
  };
  const struct {
    std::vector<std::string> args;
    const char* says;
  } listings[] = {
      {{"--list"}, "  repair:  bank 1 damaged; `--run 1` repairs it\n"},
      {{"--json"}, "\"damagedBank\": 1"},
  };
  std::string output;
  for (const auto& row : listings) {
    machine.ClearTranscript();
    EXPECT_EQ(app::kExitSuccess, console(row.args, output));
    EXPECT_NE(std::string::npos, output.find(row.says)) << output;
    EXPECT_EQ(0, Count("WriteFlashBlock"));
    EXPECT_FALSE(BankSound(0));
  }
  EXPECT_EQ(app::kExitSuccess, console({"--repair", "1"}, output));
  EXPECT_NE(std::string::npos, output.find("status: FW Recovery successful!!")) << output;
  EXPECT_TRUE(BankSound(0));
}

}  // namespace
