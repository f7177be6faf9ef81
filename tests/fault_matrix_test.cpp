// The fault matrix itself: it must flag the faults it exists to find.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scsi/flash_commands.h"
#include "fault_matrix.h"
#include "host/host.h"
#include "sim/profiles.h"

namespace {

using testing_support::SeenRun;

enum class Flaw { None, IgnoresWriteResult, BoxAfterFailure, PollsForever };

// A small update: erase the first unit, program 256 bytes, read them back.
SeenRun MiniUpdate(const char* path, Flaw flaw, const std::vector<std::uint8_t>& image) {
  SeenRun seen;
  seen.status = "Programming Fail!!";
  auto finish = [&](bool ok) {
    seen.succeeded = ok;
    if (ok) seen.status = "Programming Success!!";
    if (ok || flaw == Flaw::BoxAfterFailure)
      seen.boxes.push_back(testing_support::kPowerCycleBoxes[0]);
    return seen;
  };
  if (flaw == Flaw::PollsForever) {
    std::uint8_t status = 0x01;
    while (!device::ReadFlashStatus(path, &status) || (status & 0x01) != 0) {
    }
  }
  if (!device::EraseFlashSector(path, 0)) return finish(false);
  host::Current().Sleep(500);  // longer than the part's erase
  const bool written = device::WriteFlash(path, 0, image.data(), 256) != 0;
  if (flaw == Flaw::IgnoresWriteResult) return finish(true);
  if (!written) return finish(false);
  std::vector<std::uint8_t> back(256);
  return finish(device::ReadFlash(path, 0, back.data(), 256) != 0 && back == image);
}

TEST(FaultMatrixTest, FlagsFalseSuccessLateBoxesAndHangs) {
  std::vector<std::uint8_t> image(256);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i);
  const struct {
    Flaw flaw;
    int commands;  // of the clean run
    int runs;      // three per command, less the short transfers of those without data
    const char* problem;  // expected in the findings; "" none
  } cases[] = {{Flaw::None, 3, 8, ""},
               {Flaw::IgnoresWriteResult, 2, 5, "success without the image in place"},
               {Flaw::BoxAfterFailure, 3, 8, "after a failure"},
               {Flaw::PollsForever, 4, 11, "(hang)"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.flaw));
    testing_support::FaultMatrixSetup setup;
    setup.build = [](sim::Machine& m) { return sim::AttachProfile(m, *sim::FindProfile("tx40775-pmc")); };
    setup.run = [&](sim::Machine&, sim::BridgeChip& chip) {
      return MiniUpdate(chip.path().c_str(), c.flaw, image);
    };
    setup.imageInPlace = [&](sim::BridgeChip& chip) {
      return testing_support::FlashHolds(chip, 0, image);
    };
    const testing_support::FaultMatrixReport report = testing_support::RunFaultMatrix(setup);
    EXPECT_TRUE(report.cleanProblem.empty()) << report.cleanProblem;
    EXPECT_EQ(c.commands, report.commands);
    EXPECT_EQ(c.runs, report.runs);
    bool found = false;
    for (const auto& f : report.findings) found = found || f.problem.find(c.problem) != std::string::npos;
    if (*c.problem == '\0') {
      EXPECT_TRUE(report.ok()) << report.Describe();
    } else {
      EXPECT_TRUE(found) << report.Describe();
    }
  }
}

}  // namespace
