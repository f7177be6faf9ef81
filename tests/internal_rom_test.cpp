// The internal-ROM update of the parallel-flash bridges (chip types 2 and 24),
// end to end on emulated enclosures: ROM contents, status texts, boxes and the
// commands sent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "procedure_fixture.h"
#include "engine/procedure_table.h"
#include "engine/dispatch.h"
#include "engine/image_file.h"
#include "procedures/internal_rom.h"
#include "sim/parallel_flash.h"

namespace {

using testing_support::FakeRunWindow;

constexpr const char* kPowerCycle = "Please Turn-Off the Power and Turn-On Again!";

std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed) {
  return testing_support::Pattern(n, seed, 13, 7);
}

class InternalRomTest : public testing_support::ProcedureFixture {
 protected:
  InternalRomTest() : ProcedureFixture("tx-rom") {}

  void Attach(const std::string& profileName, const sim::AttachOptions& options = {}) {
    ASSERT_NE(nullptr, AttachNamed(profileName, options));
    oldFirmware_ = Pattern(program::kRomSize, 0x21);
    chip->parallelFlash()->cells().Load(0, oldFirmware_.data(), oldFirmware_.size());
  }

  std::string File(const std::string& stem, const std::vector<std::uint8_t>& bytes) {
    return scratch.Write(stem + ".bin", bytes);
  }

  std::vector<std::uint8_t> Rom() const {
    std::vector<std::uint8_t> out(program::kRomSize);
    chip->parallelFlash()->cells().Read(0, out.data(), out.size());
    return out;
  }

  // Requests sent with this ROM operation, answered or not.
  int Sent(std::uint8_t op) const {
    int n = 0;
    for (const auto& e : machine.transcript())
      n += e.cdb.size() > 2 && e.cdb[0] == 0xFF && e.cdb[1] == 0x04 && e.cdb[2] == op ? 1 : 0;
    return n;
  }

  int Run(int index) {
    window.options_.flashTypeIndex = index;
    return program::RunVerb(program::Procedure::InternalRomParallelFlash, window, path.c_str());
  }

  std::vector<std::uint8_t> oldFirmware_;
};

// Each part takes its own unlock sequence; a short image fills the whole ROM
// with 0xFF past its end.
TEST_F(InternalRomTest, ProgramsEachPartThroughItsIndex) {
  struct Row {
    const char* profile;
    int index;
    bool a1;
  };
  for (const Row& row : {Row{"tx40776-atmel", 0, false}, Row{"tx40776-pmc", 1, false},
                         Row{"tx40776-sst-a1", 2, true}, Row{"tx40776-3e8a", 2, false}}) {
    SCOPED_TRACE(row.profile);
    machine.ClearTranscript();
    window = FakeRunWindow{};
    Attach(row.profile);
    window.options_.a1ChipChecked = row.a1;
    const std::vector<std::uint8_t> image = Pattern(0x8000, 0x42);
    window.options_.imageFile = File("rom", image);
    ASSERT_EQ(1, Run(row.index)) << window.StatusText();

    std::vector<std::uint8_t> expected = image;
    expected.resize(program::kRomSize, 0xFF);
    EXPECT_EQ(expected, Rom());
    EXPECT_EQ(row.a1 ? 0 : 1, Count("SwitchToInternalRom"));
    ASSERT_EQ(1, Count("ProgramRom"));
    for (const auto& e : machine.transcript())
      if (e.command == "ProgramRom") {
        EXPECT_EQ(program::kRomSize, e.request.dataTransferLength);
      }
    EXPECT_EQ("Programming & Compare Success!!", window.StatusText());
    ASSERT_EQ(1u, window.messages.size());
    EXPECT_EQ(kPowerCycle, window.messages[0].text);
    EXPECT_EQ("Message", window.messages[0].caption);
    machine.Detach(path);
  }
}

// The PMC part ignores the other makers' unlock addresses: the erase never
// happens, the blank check sees it, and nothing is programmed over the old
// firmware.
TEST_F(InternalRomTest, WrongPartIsCaughtByTheBlankCheck) {
  Attach("tx40776-pmc");
  window.options_.imageFile = File("rom", Pattern(0x10000, 0x07));
  EXPECT_EQ(0, Run(0));
  EXPECT_EQ("Not Erase correctly!", window.StatusText());
  EXPECT_EQ(0, Count("ProgramRom"));
  EXPECT_EQ(oldFirmware_, Rom());
  EXPECT_TRUE(window.messages.empty());
}

// A ROM that never comes back costs the full wait, and its erase is never
// taken as done: neither run programs or claims success.
TEST_F(InternalRomTest, RomThatStaysBusyEndsTheRunWithoutABox) {
  sim::FlashFault busy;
  busy.kind = sim::FlashFault::Kind::StaysBusy;
  busy.atOperation = 1;
  sim::AttachOptions options;
  options.flashFaults = {busy};
  for (bool eraseOnly : {false, true}) {
    SCOPED_TRACE(eraseOnly ? "erase only" : "programming");
    machine.ClearTranscript();
    window = FakeRunWindow{};
    Attach("tx40776-atmel", options);
    window.facts_.eraseOnly = eraseOnly ? 1 : 0;
    window.options_.imageFile = File("rom", Pattern(0x8000, 3));
    EXPECT_EQ(0, Run(0));
    // Given up only once the slowest part's maximum and its margin have
    // passed on the clock, and not a poll later.
    std::vector<std::uint64_t> at;
    for (const auto& e : machine.transcript())
      if (e.command == "IsRomBusy") at.push_back(e.timeMs);
    ASSERT_FALSE(at.empty());
    EXPECT_GE(at.back() - at.front(), std::uint64_t{12500});
    EXPECT_LT(at.back() - at.front(), std::uint64_t{12510});
    EXPECT_EQ("Erase command ok,status fail!!", window.StatusText());
    EXPECT_EQ(0, Count("ProgramRom"));
    EXPECT_EQ(0, Count("ReadRom"));
    EXPECT_TRUE(window.messages.empty());
    machine.Detach(path);
  }
}

// Failures of single commands, each at its place in the run: one text, no
// box, and no program command after a failed or unchecked erase.
TEST_F(InternalRomTest, CommandFailuresStopWithTheirText) {
  struct Row {
    const char* name;
    const char* pattern;
    int occurrence;
    bool eraseOnly;
    const char* status;
    bool programSent;
    bool romKept;  // failed before anything was erased
  };
  const Row rows[] = {
      {"switch", "FF 04 05", 1, false, "Can't switch to internal ROM", false, true},
      {"pre-erase", "FF 04 04", 1, false, "Error pre-erase command!!", false, true},
      {"erase", "FF 04 01", 1, false, "Erase command fail!!", false, true},
      {"erase only", "FF 04 01", 1, true, "Erase command fail!!", false, true},
      {"erased read", "FF 04 03", 1, false, "Read Back after Erase fail!!", false, false},
      {"erase-only read", "FF 04 03", 1, true, "Read Back after Erase fail!!", false, false},
      {"status read", "FF 04 00", 1, false, "Erase command ok,status fail!!", false, false},
      {"program", "FF 04 02", 1, false, "Programming Fail!!", true, false},
      {"verify read", "FF 04 03", 2, false, "Read Fail!!", true, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    machine.ClearFaults();
    machine.ClearTranscript();
    window = FakeRunWindow{};
    Attach("tx40776-atmel");
    window.facts_.eraseOnly = row.eraseOnly ? 1 : 0;
    window.options_.imageFile = File("rom", Pattern(0x8000, 9));
    sim::CommandFault fault;
    fault.pattern = sim::CdbPattern(row.pattern);
    fault.occurrence = row.occurrence;
    machine.AddFault(fault);
    EXPECT_EQ(0, Run(0));
    EXPECT_EQ(row.status, window.StatusText());
    EXPECT_EQ(row.programSent ? 1 : 0, Sent(0x02));
    EXPECT_TRUE(window.messages.empty());
    if (row.romKept) {
      EXPECT_EQ(oldFirmware_, Rom());
    }
    machine.Detach(path);
  }
}

// A chip that leaves the bus during the erase wait is not polled to the end
// of the wait.
TEST_F(InternalRomTest, UnpluggedChipEndsTheWaitAtOnce) {
  Attach("tx40776-atmel");
  window.options_.imageFile = File("rom", Pattern(0x8000, 5));
  sim::CommandFault unplug;
  unplug.kind = sim::CommandFault::Kind::Unplug;
  unplug.pattern = sim::CdbPattern("FF 04 00");
  machine.AddFault(unplug);
  const int opensBefore = machine.openCount();
  EXPECT_EQ(0, Run(0));
  EXPECT_EQ("Erase command ok,status fail!!", window.StatusText());
  EXPECT_GT(10, machine.openCount() - opensBefore);  // the erase commands and one status read
  EXPECT_TRUE(window.messages.empty());
}

// Erase-only and backup-only act on their boxes alone: these chips do not
// ask for "RD Version".
TEST_F(InternalRomTest, EraseOnlyAndBackupActWithoutRdMode) {
  Attach("tx40776-pmc");
  const std::string backup = FileIn("backup.bin");
  window.options_.backupOnlyChecked = true;
  window.options_.backupFile = backup;
  ASSERT_EQ(1, Run(1)) << window.StatusText();
  EXPECT_EQ("Read flash and backup success!", window.StatusText());
  EXPECT_EQ(oldFirmware_, ReadFile(backup));
  EXPECT_TRUE(window.messages.empty());

  window.facts_.eraseOnly = 1;
  ASSERT_EQ(1, Run(1)) << window.StatusText();
  EXPECT_EQ("Erase All success!!", window.StatusText());
  EXPECT_EQ(std::vector<std::uint8_t>(program::kRomSize, 0xFF), Rom());
  ASSERT_EQ(1u, window.messages.size());
  EXPECT_EQ(kPowerCycle, window.messages[0].text);
}

}  // namespace
