// The block-command procedure end to end on emulated enclosures of chip
// types 8, 9, 11, 12 and 16: the NVRAM kept, the bank checksum, both banks,
// the ladder of erase modes, the erase-only run per flash maker, and the
// images refused before anything is sent.
#include <gtest/gtest.h>

#include <algorithm>

#include "block_fixture.h"
#include "engine/procedure_table.h"
#include "engine/bank_recovery.h"
#include "procedures/block_procedure.h"
#include "engine/block_transfer.h"
#include "engine/crc16.h"
#include "engine/image_file.h"

namespace {

using sim::CdbPattern;
using sim::CommandFault;
using testing_support::BlockCommand;
using testing_support::Pattern;

const CdbPattern kBlockRead("DF ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? FA");

sim::AttachOptions WrongReadAt(std::uint32_t address) {
  sim::FlashFault f;
  f.kind = sim::FlashFault::Kind::WrongReadData;
  f.address = address;
  f.length = 1;
  f.mask = 0x10;
  sim::AttachOptions o;
  o.flashFaults = {f};
  return o;
}

class BlockProcedureTest : public testing_support::BlockFixture {
 protected:
  int Program(const std::vector<std::uint8_t>& image, bool keepNvram = true) {
    window.options_.imageFile = WriteFile("image.bin", image);
    window.options_.nvramChecked = !keepNvram;
    machine.ClearTranscript();
    return program::RunVerb(program::Procedure::BlockCommandFlash, window, path.c_str());
  }
  bool EraseOnly(bool keepNvram = true) {
    window.options_.rdMode = true;
    window.facts_.eraseOnly = 1;
    window.options_.nvramChecked = !keepNvram;
    machine.ClearTranscript();
    return program::RunVerb(program::Procedure::BlockCommandFlash, window, path.c_str()) == 1;
  }
  // The codes of the writes that start a try at address.
  std::vector<std::uint8_t> TryCodes(std::uint32_t address) const {
    std::vector<std::uint8_t> codes;
    for (const BlockCommand& w : Writes())
      if (w.address == address) codes.push_back(w.code);
    return codes;
  }
  bool Boxed(const std::string& text) const {
    return std::any_of(window.messages.begin(), window.messages.end(),
                       [&](const auto& m) { return m.text == text && m.caption == "Message"; });
  }
  static constexpr const char* kAutoReset = "TXV929 Auto reset, Please wait device re-attached!";
  static constexpr const char* kPowerCycle = "Please Turn-Off the Power and Turn-On Again!";
};

TEST_F(BlockProcedureTest, ABankImageGoesIntoBothBanksWithTheNvramKept) {
  Attach("txv929");
  const std::vector<std::uint8_t> nvram = Flash(0xC000, 0x1000);
  const std::vector<std::uint8_t> image = Pattern(0x10000, 5);
  window.transfer_.blockSize = 0x800;  // " 2 KB" chosen: the procedure moves 8 KB anyway
  EXPECT_EQ(1, Program(image));
  EXPECT_EQ("Programming Success!!", window.StatusText());
  EXPECT_TRUE(Boxed(kAutoReset));
  EXPECT_EQ(1, chip->resetCount());
  for (std::uint32_t bank : {0x0u, 0x10000u}) {
    SCOPED_TRACE(bank);
    EXPECT_EQ(nvram, Flash(bank + 0xC000, 0x1000));
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 0xBFFE, Flash(bank, 0xBFFE).begin()));
    EXPECT_EQ(Flash(0, 0x10000), Flash(bank, 0x10000));
  }
  // The CRC-16 of the first 0xBFFC bytes, high byte first.
  EXPECT_EQ((std::vector<std::uint8_t>{0x08, 0x4E}), Flash(0xBFFE, 2));
  for (const BlockCommand& c : Writes()) EXPECT_LE(c.length, 0x2000u);
  EXPECT_EQ(0x2000u, window.transfer_.blockSize);
}

TEST_F(BlockProcedureTest, TheChecksumIsStampedOnlyOnImagesOfOneBank) {
  struct Case {
    std::size_t length;
    bool stamped;
  };
  for (const Case& c : {Case{0x10000, true}, Case{0x20000, false}}) {
    SCOPED_TRACE(c.length);
    Attach("txv927");
    const std::vector<std::uint8_t> image = Pattern(c.length, 8);
    EXPECT_EQ(1, Program(image, false));
    ASSERT_EQ("Programming Success!!", window.StatusText());
    // The CRC-16 of the first 0x7FFC bytes, or the image's own bytes.
    const std::vector<std::uint8_t> expected =
        c.stamped ? std::vector<std::uint8_t>{0xD7, 0x1B}
                  : std::vector<std::uint8_t>{image[0x7FFE], image[0x7FFF]};
    EXPECT_EQ(expected, Flash(0x7FFE, 2));
    // A two-bank image brings the second bank's bytes too.
    const std::vector<std::uint8_t> second(image.begin() + (c.stamped ? 0x7FFE : 0x17FFE),
                                           image.begin() + (c.stamped ? 0x8000 : 0x18000));
    EXPECT_EQ(c.stamped ? expected : second, Flash(0x17FFE, 2));
    machine.Detach(path);
  }
}

// A bank-length image would end where the NVRAM area begins: the area, erased
// with the bank, is programmed back from the saved copy.
TEST_F(BlockProcedureTest, ABankLengthImageLeavesTheNvramInPlace) {
  struct Case {
    const char* profile;
    std::uint32_t length;
    std::uint32_t nvram;
  };
  for (const Case& c : {Case{"txv929", 0xC000, 0xC000}, Case{"txv927", 0x8000, 0x8000}}) {
    SCOPED_TRACE(c.profile);
    Attach(c.profile);
    const std::vector<std::uint8_t> nvram = Flash(c.nvram, 0x1000);
    EXPECT_EQ(1, Program(Pattern(c.length, 2)));
    EXPECT_EQ("Programming Success!!", window.StatusText());
    EXPECT_EQ(nvram, Flash(c.nvram, 0x1000));
    machine.Detach(path);
  }
}

TEST_F(BlockProcedureTest, TypesWithTheNvramAtZeroKeepItOverTheImage) {
  Attach("txr845");
  const std::vector<std::uint8_t> nvram = Flash(0, 0x1000);
  const std::vector<std::uint8_t> image = Pattern(0x6000, 1);
  EXPECT_EQ(1, Program(image));
  EXPECT_EQ("Programming Success!!", window.StatusText());
  EXPECT_TRUE(Boxed(kPowerCycle));
  EXPECT_EQ(0, chip->resetCount());
  EXPECT_EQ(nvram, Flash(0, 0x1000));
  EXPECT_TRUE(std::equal(image.begin() + 0x1000, image.end(), Flash(0x1000, 0x5000).begin()));
}

TEST_F(BlockProcedureTest, ASmallImageIsComparedOverWholeUnitsPaddedWithZeros) {
  Attach("txr845");
  const std::vector<std::uint8_t> image = Pattern(100, 6);
  EXPECT_EQ(1, Program(image, false));
  EXPECT_EQ("Programming Success!!", window.StatusText());
  EXPECT_EQ((std::vector<BlockCommand>{{0, 512, 2}}), Writes());
  EXPECT_EQ(512u, Moved("ReadFlashBlock"));  // 256 programmed, read in whole 512-byte units
  std::vector<std::uint8_t> expected = image;
  expected.resize(512, 0x00);
  EXPECT_EQ(expected, Flash(0, 512));
}

// Tries go block erase, sector erase, chip erase. Every try erases what it
// writes from its own start, including the second bank's tries.
TEST_F(BlockProcedureTest, FailedTriesClimbTheLadderAndEachEraseWhatTheyWrite) {
  struct Case {
    const char* name;
    std::vector<int> failedVerifyReads;  // occurrences of block reads that fail
    bool wrongReadInBank0;
    std::vector<std::uint8_t> bank0Codes, bank1Codes;
    const char* status;
  };
  // Block reads: 2 for the NVRAM (read twice), then 8 per verify of a bank. A
  // fault counts the reads it is asked about; a read an earlier fault took is
  // not one.
  const std::vector<Case> cases = {
      {"pass 0 fails once", {3}, false, {2, 1}, {1}, "Programming Success!!"},
      {"pass 1 fails once", {11}, false, {2}, {2, 1}, "Programming Success!!"},
      {"each pass fails once", {3, 11}, false, {2, 1}, {1, 1}, "Programming Success!!"},
      {"pass 1 fails twice", {11, 18}, false, {2}, {2, 1, 2}, "Programming Success!!"},
      {"compare never passes", {}, true, {2, 1, 3}, {}, "Data compare fail !!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Attach("txv929", c.wrongReadInBank0 ? WrongReadAt(0x4000) : sim::AttachOptions{});
    const std::vector<std::uint8_t> nvram = Flash(0xC000, 0x1000);
    for (int at : c.failedVerifyReads)
      machine.AddFault({CommandFault::Kind::CheckCondition, "", kBlockRead, at});
    window.messages.clear();
    const bool success = std::string(c.status) == "Programming Success!!";
    EXPECT_EQ(success ? 1 : 0, Program(Pattern(0x10000, 4)));
    EXPECT_EQ(c.status, window.StatusText());
    EXPECT_EQ(c.bank0Codes, TryCodes(0));
    EXPECT_EQ(c.bank1Codes, TryCodes(0x10000));
    EXPECT_EQ(success, Boxed(kAutoReset));
    EXPECT_EQ(success ? 1 : 0, chip->resetCount());
    EXPECT_EQ(nvram, Flash(0xC000, 0x1000));
    machine.ClearFaults();
    machine.Detach(path);
  }
}

TEST_F(BlockProcedureTest, AnMxicPartGetsItsFirstBlockWrittenBeforeTheLadder) {
  Attach("txv961");
  const std::vector<std::uint8_t> image = Pattern(0x8000, 3);
  EXPECT_EQ(1, Program(image, false));
  EXPECT_EQ("Programming Success!!", window.StatusText());
  const std::vector<BlockCommand> writes = Writes();
  ASSERT_GE(writes.size(), 2u);
  EXPECT_EQ((BlockCommand{0, 0x1000, 2}), writes[0]);
  EXPECT_EQ((BlockCommand{0, 0x1000, 0x82}), writes[1]);
  EXPECT_EQ(image, Flash(0, 0x8000));
}

TEST_F(BlockProcedureTest, EraseOnlyRunsPerFlashMaker) {
  struct Case {
    const char* profile;
    bool dirtyAfterFirstErase;
    std::vector<std::uint8_t> codesAtZero;  // erase writes at 0, in order
    bool erasesAt8000;
  };
  for (const Case& c : {Case{"txv929", false, {3}, false}, Case{"txv961", false, {0x83}, false},
                        Case{"txv961", true, {0x83, 0x03}, false},
                        Case{"txr846", false, {2}, false}, Case{"txr846-b", false, {2}, true},
                        Case{"txr845", true, {3, 1}, false}, Case{"txv927", false, {3}, false}}) {
    SCOPED_TRACE(std::string(c.profile) + (c.dirtyAfterFirstErase ? " dirty" : ""));
    Attach(c.profile);
    const program::BlockChipLayout layout = program::BlockLayoutFor(window);
    const std::vector<std::uint8_t> nvram = Flash(layout.nvramOffset, 0x1000);
    // A byte the first erase does not reach: the not-blank path (the first
    // two block reads are the NVRAM's).
    if (c.dirtyAfterFirstErase) {
      machine.AddFault({CommandFault::Kind::CheckCondition, "", kBlockRead, 3});
    }
    window.messages.clear();
    EXPECT_TRUE(EraseOnly());
    EXPECT_EQ("Erase flash all success!", window.StatusText());
    std::vector<std::uint8_t> codes;
    bool at8000 = false;
    for (const BlockCommand& w : Writes()) {
      if (w.address == 0 && w.length == 0x1000 && w.code != 0) codes.push_back(w.code);
      at8000 |= w.address == 0x8000 && w.code == c.codesAtZero.front();
    }
    EXPECT_EQ(c.codesAtZero, std::vector<std::uint8_t>(codes.begin(),
                                                        codes.begin() + std::min(codes.size(),
                                                                                 c.codesAtZero.size())));
    EXPECT_EQ(c.erasesAt8000, at8000);
    // Blank but for the NVRAM area, which is back.
    std::vector<std::uint8_t> expected(layout.flashExtent, 0xFF);
    std::copy(nvram.begin(), nvram.end(), expected.begin() + layout.nvramOffset);
    EXPECT_EQ(expected, Flash(0, layout.flashExtent));
    const bool bank = window.facts_.chipType == 12 || window.facts_.chipType == 16;
    EXPECT_TRUE(Boxed(bank ? kAutoReset : kPowerCycle));
    machine.ClearFaults();
    machine.Detach(path);
  }
}

TEST_F(BlockProcedureTest, EraseOnlyWithTheNvramIncludedSendsNoNvramCommand) {
  Attach("txv929");
  EXPECT_TRUE(EraseOnly(false));
  for (const BlockCommand& r : Reads()) EXPECT_FALSE(r.address == 0xC000 && r.length == 0x1000);
  for (const BlockCommand& w : Writes()) EXPECT_NE(0, w.code);
  EXPECT_EQ(std::vector<std::uint8_t>(0x20000, 0xFF), Flash(0, 0x20000));
}

}  // namespace
