// The IEEE 1394 procedure of chip type 7 on an emulated TXR843 attached over
// 1394: 256-byte transfers, the erase flag at 0 and 0x8000, the 1 KB NVRAM,
// and a power-cycle notice only after the flash was verified.
#include <gtest/gtest.h>

#include <algorithm>

#include "block_fixture.h"
#include "engine/procedure_table.h"
#include "procedures/ieee1394_procedure.h"

namespace {

using sim::CdbPattern;
using sim::CommandFault;
using testing_support::BlockCommand;
using testing_support::Pattern;

constexpr const char* kPowerCycle = "Please Turn-Off the Power and Turn-On Again!";
const CdbPattern kBlockRead("DF ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? FA");

class Ieee1394ProcedureTest : public testing_support::BlockFixture {
 protected:
  void SetUp() override {
    BlockFixture::SetUp();
    Attach("txr843-1394");
    nvram = Flash(0x8000, 0x400);
  }
  int Program(const std::vector<std::uint8_t>& image) {
    window.options_.imageFile = WriteFile("image.bin", image);
    machine.ClearTranscript();
    return program::RunVerb(program::Procedure::Ieee1394BridgeFlash, window, path.c_str());
  }
  bool EraseOnly() {
    window.options_.rdMode = true;
    window.facts_.eraseOnly = 1;
    machine.ClearTranscript();
    return program::RunVerb(program::Procedure::Ieee1394BridgeFlash, window, path.c_str()) == 1;
  }
  bool Boxed() const {
    return window.messages.size() == 1 && window.messages[0].text == kPowerCycle &&
           window.messages[0].caption == "Message";
  }
  std::vector<std::uint32_t> FlaggedWrites() const {
    std::vector<std::uint32_t> at;
    for (const BlockCommand& w : Writes())
      if (w.code == 1) at.push_back(w.address);
    return at;
  }
  std::vector<std::uint8_t> nvram;
};

TEST_F(Ieee1394ProcedureTest, ImagesAreProgrammedOverAtLeast32KWithTheEraseFlagAtItsPoints) {
  struct Case {
    std::size_t length;
    std::uint32_t programmed;
    std::vector<std::uint32_t> flagged;
    bool nvramRead;  // the record is read (and left alone) for images of 32 KB or less
  };
  for (const Case& c : {Case{20 * 1024, 0x8000, {0}, true}, Case{0x8000, 0x8000, {0}, true},
                        Case{40 * 1024, 0xA000, {0, 0x8000}, false}}) {
    SCOPED_TRACE(c.length);
    window.messages.clear();
    const std::vector<std::uint8_t> image = Pattern(c.length, 2);
    EXPECT_EQ(1, Program(image));
    EXPECT_EQ("Programming Success!!", window.StatusText());
    EXPECT_TRUE(Boxed());
    EXPECT_EQ(c.flagged, FlaggedWrites());
    EXPECT_EQ(c.programmed, Moved("WriteFlashBlock"));
    for (const BlockCommand& w : Writes()) EXPECT_EQ(0x100u, w.length);
    std::vector<std::uint8_t> expected = image;
    expected.resize(c.programmed, 0x00);
    EXPECT_EQ(expected, Flash(0, c.programmed));
    EXPECT_EQ(c.programmed / 0x100 + (c.nvramRead ? 4 : 0), Reads().size());
    if (c.programmed == 0x8000) {
      EXPECT_EQ(nvram, Flash(0x8000, 0x400));
    }
  }
}

TEST_F(Ieee1394ProcedureTest, A32KRunShowsItsProgressInOrder) {
  ASSERT_EQ(1, Program(Pattern(0x8000, 1)));
  std::vector<std::string> finals;
  const std::vector<std::string>& s = window.statuses;
  for (std::size_t i = 0; i < s.size(); ++i) {
    // The last form of each status line, before the next one replaces it.
    const bool last = i + 1 == s.size() || s[i + 1].rfind(s[i], 0) != 0;
    if (last) finals.push_back(s[i]);
  }
  EXPECT_EQ((std::vector<std::string>{"ReadFlash..." + std::string(4, '.'),
                                      "Programming" + std::string(16, '.'),
                                      "ReadFlash..." + std::string(128, '.'),
                                      "Programming Success!!"}),
            finals);
}

TEST_F(Ieee1394ProcedureTest, AFailedRunEndsWithoutThePowerCycleNotice) {
  struct Case {
    const char* name;
    std::vector<CommandFault> faults;
    const char* status;
  };
  const std::vector<Case> cases = {
      {"program", {{CommandFault::Kind::CheckCondition, "",
                    CdbPattern("DF ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? FB"), 5}},
       "Write Bin File fail!"},
      {"read back", {{CommandFault::Kind::CheckCondition, "", kBlockRead, 9}}, "Read command fail!"},
      {"NVRAM copy", {{CommandFault::Kind::CheckCondition, "", kBlockRead, 1}},
       "Backup NVRAM command fail!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    machine.Detach(path);
    Attach("txr843-1394");
    for (const CommandFault& f : c.faults) machine.AddFault(f);
    window.messages.clear();
    EXPECT_EQ(0, Program(Pattern(0x8000, 7)));
    EXPECT_EQ(c.status, window.StatusText());
    EXPECT_TRUE(window.messages.empty());
    machine.ClearFaults();
  }
  // An image that cannot be opened shows no notice either, and sends nothing.
  window.options_.imageFile = FileIn("missing.bin");
  machine.ClearTranscript();
  EXPECT_EQ(0, program::RunVerb(program::Procedure::Ieee1394BridgeFlash, window, path.c_str()));
  EXPECT_EQ("Open File Error!!", window.StatusText());
  EXPECT_TRUE(machine.transcript().empty());
}

TEST_F(Ieee1394ProcedureTest, EraseOnlyKeepsTheNvramAndChecksWhatItLeft) {
  EXPECT_TRUE(EraseOnly());
  EXPECT_EQ("Erase flash all success!", window.StatusText());
  EXPECT_TRUE(Boxed());
  EXPECT_EQ((std::vector<std::uint32_t>{0, 0x8000, 0x8000}), FlaggedWrites());
  std::vector<std::uint8_t> expected(0x10000, 0xFF);
  std::copy(nvram.begin(), nvram.end(), expected.begin() + 0x8000);
  EXPECT_EQ(expected, Flash(0, 0x10000));
  EXPECT_EQ(0x100u, window.transfer_.blockSize);
}

TEST_F(Ieee1394ProcedureTest, BackupReadsTheWholeFlashSizeIn256ByteCommands) {
  window.options_.rdMode = true;
  window.options_.backupOnlyChecked = true;
  window.options_.backupFile = FileIn("backup.bin");
  machine.ClearTranscript();
  EXPECT_EQ(1, program::RunVerb(program::Procedure::Ieee1394BridgeFlash, window, path.c_str()));
  EXPECT_EQ(Flash(0, 0x10000), ReadFile(window.options_.backupFile));
  EXPECT_EQ(0x200u, Reads().size());  // read twice, to agree
  EXPECT_TRUE(window.messages.empty());
}

}  // namespace
