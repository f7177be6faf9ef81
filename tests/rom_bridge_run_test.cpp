// Run in the window and in the console on the parallel-flash bridges and on
// the bridges behind a storage controller: each entry is updated through the
// controls a user would touch, and reads back as the image.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "console/console.h"
#include "run_window_fixture.h"
#include "sim/controller_route.h"
#include "sim/parallel_flash.h"

namespace {

class RomBridgeRunTest : public testing_support::RunWindowFixture {
 protected:
  // Selects an entry and chooses the image as a user would; Run must come on.
  void Choose(int entry, const std::string& file) {
    window->DeviceList.UserSelect(entry);
    view.ProcessMessages();
    window->FwFilenameEdit.SetText(file);
    view.ProcessMessages();
  }

  static std::vector<std::uint8_t> Cells(const sim::FlashArray& cells, std::size_t n) {
    std::vector<std::uint8_t> out(n);
    cells.Read(0, out.data(), n);
    return out;
  }
};

TEST_F(RomBridgeRunTest, EveryEntryIsUpdatedThroughRun) {
  struct Row {
    const char* profile;
    int entry;          // the "<<847>>" / "<<842>>" entry for a bridge behind a controller
    std::uint8_t type;  // the image's chip type
    int flashTypeItem;  // FlashTypeList item, parallel flash only
    bool a1;
  };
  const Row rows[] = {
      {"tx40776-atmel", 0, 2, 0, false}, {"tx40776-pmc", 0, 2, 1, false},
      {"tx40776-sst-a1", 0, 2, 2, true}, {"tx40776-3e8a", 0, 24, 2, false},
      {"txv929-txr847", 1, 13, 0, false}, {"txv961-txr842", 1, 14, 0, false},
      {"txv929-txr842", 1, 15, 0, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.profile);
    machine = sim::Machine{};
    const auto chip = Attach(row.profile);
    ASSERT_NE(nullptr, chip);
    Start();
    sim::ImageLayout layout;
    layout.nvramArea = row.type == 14 || row.type == 15;  // signed: the image's own 4 KB go in
    const sim::Image image = sim::MakeMatchingImage({row.type, 0}, layout);
    ASSERT_FALSE(image.empty());
    Choose(row.entry, WriteFile("rom-bridge", image));
    if (chip->parallelFlash() != nullptr) {
      window->FlashTypeList.UserSelect(row.flashTypeItem);
      window->A1ChipCheck.SetChecked(row.a1);
      view.ProcessMessages();
    }
    ASSERT_TRUE(window->UpdateBtn.enabled()) << window->StatusEdit.text();
    machine.ClearTranscript();
    view.messages.clear();
    window->UpdateBtn.Click();
    view.ProcessMessages();

    if (chip->parallelFlash() != nullptr) {
      sim::Image expected = image;
      expected.resize(sim::ParallelFlash::kSize, 0xFF);
      EXPECT_EQ(expected, Cells(chip->parallelFlash()->cells(), expected.size()));
      EXPECT_EQ(row.a1 ? 0 : 1, Count("SwitchToInternalRom"));
      EXPECT_EQ(program::Procedure::InternalRomParallelFlash, window->lastProcedure);
    } else {
      EXPECT_EQ(image, Cells(chip->controllerRoute()->flash()->cells(), image.size()));
      EXPECT_EQ(program::Procedure::BridgeBehindController, window->lastProcedure);
    }
    ASSERT_EQ(1u, view.messages.size()) << window->StatusEdit.text();
    EXPECT_EQ("Please Turn-Off the Power and Turn-On Again!", view.messages[0].text);
    EXPECT_TRUE(window->UpdateBtn.enabled());
    window.reset();
  }
}

using RomBridgeConsoleTest = testing_support::RunWindowFixture;
using testing_support::ReadFile;

// The console programs a parallel-flash bridge and a bridge behind a
// controller, and a backup-only run of the same window reads each back.
TEST_F(RomBridgeConsoleTest, ProgramsAndReadsBackEachFamily) {
  struct Row {
    const char* profile;
    const char* entry;
    std::uint8_t type;
    const char* procedure;
  };
  for (const Row& row : {Row{"tx40776-atmel", "0", 2, "internal-ROM parallel flash"},
                         Row{"txv929-txr847", "1", 13, "bridge behind controller"}}) {
    SCOPED_TRACE(row.profile);
    machine = sim::Machine{};
    Attach(row.profile);
    const sim::Image image = sim::MakeMatchingImage({row.type, 0});
    const std::string file = WriteFile("console-rom", image);
    const std::string backup = TempName("console-rom-back");
    EXPECT_EQ(app::kExitSuccess, Console({"--run", row.entry, "--image", file, "--run", row.entry,
                                          "--rd", "--backup-only", "--backup-file", backup}))
        << output;
    EXPECT_NE(std::string::npos, output.find(std::string("result: success (") + row.procedure))
        << output;
    const std::vector<std::uint8_t> saved = ReadFile(backup);
    ASSERT_LE(image.size(), saved.size());
    EXPECT_EQ(image, std::vector<std::uint8_t>(saved.begin(), saved.begin() + image.size()));
  }
}

// An A1 chip already runs from its internal ROM and refuses the switch: the
// console reaches its part only through the window's "A1 Chip" box and list.
TEST_F(RomBridgeConsoleTest, A1ChipAndFlashTypeAreSetThroughTheWindow) {
  const auto chip = Attach("tx40776-sst-a1");
  const sim::Image image = sim::MakeMatchingImage({2, 0});
  const std::string file = WriteFile("console-a1", image);
  EXPECT_EQ(app::kExitRunFailed, Console({"--run", "0", "--image", file, "--flash-type", "2"}));
  EXPECT_NE(std::string::npos, output.find("status: Can't switch to internal ROM\n")) << output;

  EXPECT_EQ(app::kExitSuccess, Console({"--run", "0", "--image", file, "--flash-type", "2", "--rd",
                                        "--a1-chip", "on"}))
      << output;
  std::vector<std::uint8_t> rom(image.size());
  chip->parallelFlash()->cells().Read(0, rom.data(), rom.size());
  EXPECT_EQ(image, rom);

  // A serial-flash chip has neither control.
  Attach("tx40775-pmc", 2);
  EXPECT_EQ(app::kExitUsage, Console({"--run", "1", "--flash-type", "1"}));
  EXPECT_EQ(app::kExitUsage, Console({"--run", "1", "--rd", "--a1-chip", "on"}));

  app::ConsoleOptions options;
  std::string error;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--run", "0", "--a1-chip", "on"},  // the box is on the panel
        std::vector<std::string>{"--run", "0", "--flash-type", "3"},
        std::vector<std::string>{"--flash-type", "0"}}) {
    EXPECT_FALSE(app::ParseConsoleArgs(args, options, error)) << args[2 % args.size()];
  }
}

}  // namespace
