// The kept region on a scripted flash area: what is written back, when, and
// what the status line says afterwards.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fake_run_window.h"
#include "engine/guarded_steps.h"

namespace {

using program::WriteBack;

struct Case {
  const char* name;
  bool secondReadDiffers;  // the save's two reads disagree
  bool atRisk;             // an erase was sent before the way out
  WriteBack write;         // what the write-back does
  bool readBackLoses;      // the check after the write-back reads other bytes
  bool reshow;             // the failure's text is shown again after a write-back
  int writes;              // write-backs expected
  const char* status;      // the status line after the way out
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class KeptRegionTest : public testing::TestWithParam<Case> {};

TEST_P(KeptRegionTest, PutsTheCopyBackOnlyWhenAtRiskAndSaysWhenItFailed) {
  const Case& c = GetParam();
  testing_support::FakeRunWindow window;
  std::vector<std::uint8_t> flash = {1, 2, 3, 4};
  int reads = 0;
  int writes = 0;
  program::RegionAccess access{
      [&](std::uint8_t* into) {
        std::memcpy(into, flash.data(), flash.size());
        if (++reads == 2 && c.secondReadDiffers) into[0] ^= 1;
        if (reads > 2 && c.readBackLoses) into[3] ^= 1;
        return true;
      },
      [&](const std::uint8_t* from) {
        ++writes;
        if (c.write == WriteBack::Written) std::memcpy(flash.data(), from, flash.size());
        return c.write;
      }};
  {
    program::KeptRegion kept(window, flash.size(), access,
                             {"save failed", "write-back failed", nullptr, "compare failed",
                              program::StatusPaint::Show, c.reshow});
    if (kept.Save()) {
      kept.AtRisk();
      if (!c.atRisk) kept.InPlace();
      flash.assign(flash.size(), 0xFF);  // the erase
      window.ShowStatus("the failure");
    }
  }
  EXPECT_EQ(c.writes, writes);
  EXPECT_EQ(c.status, window.StatusText());
  if (c.writes == 1 && c.write == WriteBack::Written && !c.readBackLoses) {
    EXPECT_EQ((std::vector<std::uint8_t>{1, 2, 3, 4}), flash);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ways, KeptRegionTest,
    testing::Values(
        Case{"ReadsDisagree", true, true, WriteBack::Written, false, false, 0, "save failed"},
        Case{"InPlace", false, false, WriteBack::Written, false, false, 0, "the failure"},
        Case{"RestoredKeepsTheFailure", false, true, WriteBack::Written, false, false, 1,
             "the failure"},
        Case{"RestoredShowsTheFailureAgain", false, true, WriteBack::Written, false, true, 1,
             "the failure"},
        Case{"AlreadyThere", false, true, WriteBack::AlreadyInPlace, true, false, 1,
             "the failure"},
        Case{"WriteFails", false, true, WriteBack::Failed, false, true, 1, "write-back failed"},
        Case{"CheckDiffers", false, true, WriteBack::Written, true, true, 1, "compare failed"}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(GuardedChecksTest, BlankAndEqualShowTheirTextOnlyWhenTheyFail) {
  testing_support::FakeRunWindow window;
  const std::uint8_t blank[3] = {0xFF, 0xFF, 0xFF};
  const std::uint8_t data[3] = {0xFF, 0x00, 0xFF};
  EXPECT_TRUE(program::RequireBlank(window, blank, 3));
  EXPECT_TRUE(program::RequireEqual(window, data, data, 3, {"differs"}));
  EXPECT_TRUE(window.statuses.empty());
  EXPECT_FALSE(
      program::RequireBlank(window, data, 3, {"not blank", program::StatusPaint::Repaint}));
  EXPECT_EQ(1, window.repaintsWithoutPump);
  EXPECT_FALSE(program::RequireEqual(window, blank, data, 3, {"differs"}));
  EXPECT_EQ((std::vector<std::string>{"not blank", "differs"}), window.statuses);
}

}  // namespace
