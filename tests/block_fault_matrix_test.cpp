// A fault at every command of a clean run of the block-command and IEEE 1394
// procedures (programming, erase-only and backup-only runs), as CHECK
// CONDITION, as a short transfer and as an unplugged device: success is
// reported, and a notice shown, only when the flash holds what the run was
// for, and the NVRAM area is back in place unless its write-back is what
// failed.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "block_fixture.h"
#include "program/block_procedure.h"
#include "program/ieee1394_procedure.h"

namespace {

using sim::CdbPattern;
using sim::CommandFault;
using testing_support::Pattern;

enum class RunKind { Program, EraseOnly, Backup };

struct Scenario {
  const char* name;
  const char* profile;
  RunKind run;
  bool ieee1394;
  std::size_t imageSize;
  std::uint32_t nvram;        // NVRAM offset
  std::uint32_t nvramLength;  // 0: no NVRAM kept by this run
  std::uint32_t extent;       // what the run erases or backs up
};

class BlockFaultMatrixTest : public testing_support::BlockFixture,
                             public ::testing::WithParamInterface<Scenario> {
 protected:
  // Attaches the enclosure afresh and runs the scenario once.
  void RunOnce(const Scenario& s, const CommandFault* fault) {
    if (chip) (void)machine.Detach(path);
    machine.ClearFaults();
    Attach(s.profile);
    window.statuses.clear();
    window.messages.clear();
    window.options_ = {};
    window.facts_.eraseOnly = 0;
    window.options_.nvramChecked = false;  // keep the NVRAM
    window.options_.imageFile = image_;
    window.options_.backupFile = (dir_ / "backup.bin").string();
    std::filesystem::remove(window.options_.backupFile);
    if (s.run != RunKind::Program) window.options_.rdMode = true;
    if (s.run == RunKind::EraseOnly) window.facts_.eraseOnly = 1;
    if (s.run == RunKind::Backup) window.options_.backupOnlyChecked = true;
    nvramBefore_ = Flash(s.nvram, s.nvramLength);
    flashBefore_ = Flash(0, s.extent);
    machine.ClearTranscript();
    if (fault != nullptr) machine.AddFault(*fault);
    if (s.ieee1394)
      (void)program::Ieee1394Procedure(window, path.c_str());
    else
      (void)program::BlockFlashProcedure(window, path.c_str());
  }

  bool Succeeded(const Scenario& s) const {
    const std::string status = window.StatusText();
    switch (s.run) {
      case RunKind::Program: return status == "Programming Success!!";
      case RunKind::EraseOnly: return status == "Erase flash all success!";
      case RunKind::Backup: return status == "Read flash and backup success!";
    }
    return false;
  }

  void CheckOutcome(const Scenario& s) {
    const bool success = Succeeded(s);
    // A notice follows a successful programming or erase-only run, and nothing else.
    EXPECT_EQ(success && s.run != RunKind::Backup, !window.messages.empty());
    const bool nvramBack = s.nvramLength == 0 || Flash(s.nvram, s.nvramLength) == nvramBefore_;
    EXPECT_TRUE(nvramBack || window.StatusText() == "Write NVRAM back command fail!")
        << window.StatusText();
    if (!success) return;
    if (s.run == RunKind::Program) {
      std::vector<std::uint8_t> expected = Pattern(s.imageSize, 9);
      std::vector<std::uint8_t> flash = Flash(0, s.imageSize);
      // The kept NVRAM and the bank checksum are the procedure's, not the image's.
      for (std::uint32_t i = 0; i < s.nvramLength && s.nvram + i < s.imageSize; ++i)
        flash[s.nvram + i] = expected[s.nvram + i];
      if (s.imageSize == 0x10000) flash[0xBFFE] = expected[0xBFFE], flash[0xBFFF] = expected[0xBFFF];
      EXPECT_EQ(expected, flash);
    } else if (s.run == RunKind::EraseOnly) {
      std::vector<std::uint8_t> expected(s.extent, 0xFF);
      std::copy(nvramBefore_.begin(), nvramBefore_.end(), expected.begin() + s.nvram);
      EXPECT_EQ(expected, Flash(0, s.extent));
    } else {
      EXPECT_EQ(flashBefore_, ReadFile(window.options_.backupFile));
    }
  }

  std::string image_;
  std::vector<std::uint8_t> nvramBefore_;
  std::vector<std::uint8_t> flashBefore_;
};

TEST_P(BlockFaultMatrixTest, AFaultAtAnyCommandIsNeverReportedAsSuccess) {
  const Scenario s = GetParam();
  image_ = WriteFile("image.bin", Pattern(s.imageSize, 9));
  RunOnce(s, nullptr);
  ASSERT_TRUE(Succeeded(s)) << window.StatusText();
  CheckOutcome(s);
  const std::size_t clean = machine.transcript().size();
  ASSERT_GT(clean, 5u);
  int failures = 0;
  for (CommandFault::Kind kind : {CommandFault::Kind::CheckCondition,
                                  CommandFault::Kind::ShortTransfer, CommandFault::Kind::Unplug}) {
    for (std::size_t at = 1; at <= clean; ++at) {
      SCOPED_TRACE("fault kind " + std::to_string(static_cast<int>(kind)) + " at command " +
                   std::to_string(at));
      CommandFault fault{kind, "", CdbPattern(""), static_cast<int>(at)};
      fault.shortLength = 8;
      RunOnce(s, &fault);
      CheckOutcome(s);
      failures += Succeeded(s) ? 0 : 1;
    }
  }
  EXPECT_GT(failures, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Procedures, BlockFaultMatrixTest,
    ::testing::Values(
        Scenario{"Txv929Program", "txv929", RunKind::Program, false, 0x10000, 0xC000, 0x1000,
                 0x20000},
        Scenario{"Txr845Program", "txr845", RunKind::Program, false, 0x6000, 0, 0x1000, 0x10000},
        Scenario{"Txv929EraseOnly", "txv929", RunKind::EraseOnly, false, 1, 0xC000, 0x1000,
                 0x20000},
        Scenario{"Txr846EraseOnly", "txr846", RunKind::EraseOnly, false, 1, 0, 0x1000, 0x10000},
        Scenario{"Txv929Backup", "txv929", RunKind::Backup, false, 1, 0, 0, 0xC000},
        Scenario{"Ieee1394Program", "txr843-1394", RunKind::Program, true, 0x8000, 0x8000, 0x400,
                 0x10000},
        Scenario{"Ieee1394EraseOnly", "txr843-1394", RunKind::EraseOnly, true, 1, 0x8000, 0x400,
                 0x10000},
        Scenario{"Ieee1394Backup", "txr843-1394", RunKind::Backup, true, 1, 0, 0, 0x10000}),
    [](const ::testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

}  // namespace
