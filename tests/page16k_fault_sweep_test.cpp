// A fault at each command of a clean run of the 16 KB-page updates, once as
// CHECK CONDITION, once as a short transfer and once as an unplug, each in a
// fresh simulated machine: a run reports success only with the image in
// place, shows no power-cycle box after a failure, and never loses the kept
// NVRAM without saying so.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fault_matrix.h"
#include "procedure_fixture.h"
#include "engine/procedure_table.h"
#include "procedures/nvram_page16k.h"
#include "procedures/sst_serial.h"
#include "sim/profiles.h"
#include "sim/test_images.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using testing_support::FakeRunWindow;

Bytes Pattern(std::size_t n, std::uint8_t seed) {
  Bytes v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i * 29 + seed);
  return v;
}

enum class Mode { Program, EraseOnly };

struct Sweep {
  const char* profile;
  bool sst;
  Mode mode;
  int flashKind;
  std::size_t imageLength;
  // The part starts unprotected (chip types that clear no protection before
  // they erase; protected parts: SstProtectionTest).
  bool unprotected = false;
};

struct Outcome {
  int result = 0;
  std::size_t commands = 0;
  bool imageInPlace = false;
  bool erased = false;
  bool nvramKept = false;
  bool nvramLossShown = false;
  std::size_t boxes = 0;
  std::vector<std::string> steps;  // each command's kind, for choosing fault positions
};

// The window a run starts from: the facts identification gives the part, the
// image file, and erase-only when the sweep asks for it.
FakeRunWindow SweepWindow(const Sweep& s, const sim::EnclosureProfile& profile,
                          const std::string& file) {
  FakeRunWindow window;
  window.facts_.chipType = profile.chipType;
  window.facts_.flashTypeCode = s.flashKind;
  window.facts_.sstJedecFlag = s.flashKind == 2 ? 1 : 0;
  window.facts_.flashSizeKb = 64;
  window.options_.imageFile = file;
  if (s.mode == Mode::EraseOnly) {
    window.options_.rdMode = true;
    window.facts_.eraseOnly = 1;
  }
  return window;
}

std::string SweepName(const ::testing::TestParamInfo<Sweep>& info) {
  return std::string(info.param.sst ? "Sst" : "Nvram") +
         (info.param.mode == Mode::Program ? "Program" : "EraseOnly");
}

class FaultSweep {
 public:
  explicit FaultSweep(const Sweep& s)
      : s_(s), image_(Pattern(s.imageLength, 0x5B)), file_(scratch_.Write("image.bin", image_)) {}

  // One run in a fresh machine, with the fault when there is one.
  Outcome Run(const sim::CommandFault* fault) const {
    sim::Machine machine;
    machine.SetTranscriptLimit(sim::kFullTranscript);
    host::ScopedHost scope(machine);
    const sim::EnclosureProfile& profile = *sim::FindProfile(s_.profile);
    auto chip = sim::AttachProfile(machine, profile);
    const Bytes nvram = Read(*chip, 0, 0x1000);
    const std::string path = chip->path();
    if (fault != nullptr) machine.AddFault(*fault);

    FakeRunWindow window = SweepWindow(s_, profile, file_);
    Outcome o;
    o.result = s_.sst ? program::RunVerb(program::Procedure::SstSerialFlash, window, path.c_str())
                      : program::RunVerb(program::Procedure::NvramPage16K, window, path.c_str());
    o.commands = machine.transcript().size();
    for (const auto& e : machine.transcript())
      o.steps.push_back(e.command + "/" + std::to_string(e.cdb[3]) + "/" +
                        std::to_string(e.cdb[5]));
    o.boxes = window.messages.size();
    o.nvramKept = Read(*chip, 0, 0x1000) == nvram;
    o.nvramLossShown =
        window.Showed("Write NVRAM back command fail!") || window.Showed("Compare NVRAM Fail!!");
    // Unsigned images: the NVRAM update puts the image behind the kept NVRAM.
    const std::size_t at = s_.sst ? 0 : 0x1000;
    o.imageInPlace = Read(*chip, at, image_.size()) == image_;
    o.erased = Read(*chip, 0x1000, 0xF000) == Bytes(0xF000, 0xFF);
    return o;
  }

  void Check(const Outcome& o, const std::string& where) const {
    SCOPED_TRACE(where);
    if (o.result == 1) {
      EXPECT_EQ(1u, o.boxes);
      EXPECT_TRUE(s_.mode == Mode::Program ? o.imageInPlace : o.erased);
      EXPECT_TRUE(s_.sst || o.nvramKept);
    } else {
      EXPECT_EQ(0u, o.boxes);
      EXPECT_TRUE(s_.sst || o.nvramKept || o.nvramLossShown);
    }
  }

  // Fault positions: every command, except inside a run of commands of one
  // kind (status re-reads, the bytes of an AAI sequence), where the first and
  // last stand for the rest; at most `limit`, spread over the run.
  static std::vector<int> Positions(const std::vector<std::string>& steps, std::size_t limit) {
    std::vector<int> candidates;
    for (std::size_t i = 0; i < steps.size(); ++i) {
      const bool inside =
          i > 0 && i + 1 < steps.size() && steps[i] == steps[i - 1] && steps[i] == steps[i + 1];
      if (!inside) candidates.push_back(static_cast<int>(i + 1));
    }
    if (candidates.size() <= limit) return candidates;
    std::vector<int> out;
    for (std::size_t k = 0; k < limit; ++k)
      out.push_back(candidates[k * candidates.size() / limit]);
    out.push_back(candidates.back());
    return out;
  }

 private:
  static Bytes Read(sim::BridgeChip& chip, std::size_t address, std::size_t n) {
    Bytes out(n);
    chip.serialFlash()->cells().Read(address, out.data(), n);
    return out;
  }

  Sweep s_;
  Bytes image_;
  testing_support::ScratchFolder scratch_{"tx-sweep"};
  std::string file_;
};

class FaultSweepTest : public ::testing::TestWithParam<Sweep> {};

TEST_P(FaultSweepTest, EveryFaultEndsSafely) {
  const FaultSweep sweep(GetParam());
  const Outcome clean = sweep.Run(nullptr);
  ASSERT_EQ(1, clean.result);
  sweep.Check(clean, "clean run");

  int failures = 0;
  for (int at : FaultSweep::Positions(clean.steps, GetParam().sst ? 15 : 200)) {
    for (auto kind : {sim::CommandFault::Kind::CheckCondition,
                      sim::CommandFault::Kind::ShortTransfer, sim::CommandFault::Kind::Unplug}) {
      sim::CommandFault fault;
      fault.kind = kind;
      fault.occurrence = at;
      fault.shortLength = 1;
      const Outcome o = sweep.Run(&fault);
      failures += o.result == 0 ? 1 : 0;
      sweep.Check(o, "command " + std::to_string(at) + ", fault kind " +
                         std::to_string(static_cast<int>(kind)));
    }
  }
  // Most injected faults must be noticed (a status read that fails only
  // delays the run).
  EXPECT_GT(failures, 0);
}

// The SST programming run sends about 8 300 commands per page (AAI): the
// full matrix below would take tens of thousands of runs, so it is sampled.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Procedures, FaultSweepTest, ::testing::Values(
    Sweep{"txr847-sst", true, Mode::Program, 2, 0x2000}),
    SweepName);
// clang-format on

// The full fault matrix: every command position of a clean run.
class FaultMatrixTest : public testing_support::ParamFilesTest<Sweep> {};

TEST_P(FaultMatrixTest, EveryFaultEndsSafely) {
  const Sweep s = GetParam();
  const Bytes image = Pattern(s.imageLength, 0x5B);
  ASSERT_TRUE(sim::WriteImageFile(file_, image));
  const sim::EnclosureProfile& profile = *sim::FindProfile(s.profile);
  Bytes nvram;
  testing_support::FaultMatrixSetup setup;
  setup.build = [&](sim::Machine& m) {
    sim::AttachOptions options;
    options.powerUpProtection = !s.unprotected;
    auto chip = sim::AttachProfile(m, profile, options);
    nvram.assign(0x1000, 0);
    chip->serialFlash()->cells().Read(0, nvram.data(), nvram.size());
    return chip;
  };
  setup.run = [&](sim::Machine&, sim::BridgeChip& chip) {
    FakeRunWindow window = SweepWindow(s, profile, file_);
    const int result = s.sst ? program::RunVerb(program::Procedure::SstSerialFlash, window, chip.path().c_str())
                             : program::RunVerb(program::Procedure::NvramPage16K, window, chip.path().c_str());
    return testing_support::SeenRunOf(window, result == 1);
  };
  setup.imageInPlace = [&](sim::BridgeChip& chip) {
    if (s.mode == Mode::EraseOnly)
      return testing_support::FlashHolds(chip, 0x1000, Bytes(0xF000, 0xFF));
    // Unsigned images: the NVRAM update puts the image behind the kept NVRAM.
    return testing_support::FlashHolds(chip, s.sst ? 0 : 0x1000, image);
  };
  if (!s.sst)
    setup.nvramKept = [&](sim::BridgeChip& chip) {
      return testing_support::FlashHolds(chip, 0, nvram);
    };
  const auto report = testing_support::RunFaultMatrix(setup);
  EXPECT_TRUE(report.ok()) << report.Describe();
  EXPECT_GT(report.runs, 2 * report.commands);
  std::printf("fault matrix: %d commands, %d faulted runs, %zu flagged\n", report.commands,
              report.runs, report.findings.size());
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Procedures, FaultMatrixTest, ::testing::Values(
    Sweep{"txr842", false, Mode::Program, 5, 0x9000},
    Sweep{"txr842", false, Mode::EraseOnly, 5, 0x9000},
    Sweep{"txv961-l5-sst", true, Mode::EraseOnly, 2, 0x2000, true}),
    SweepName);
// clang-format on

}  // namespace
