// The block flash transfer steps on an emulated TXV929: the erase-on-write
// bookkeeping, chunking and rounding of the range steps, and the backup-only
// run of the block-command chips.
#include <gtest/gtest.h>

#include <filesystem>

#include "block_fixture.h"
#include "engine/block_transfer.h"

namespace {

using testing_support::BlockCommand;
using testing_support::Pattern;

class BlockTransferTest : public testing_support::BlockFixture {};

TEST_F(BlockTransferTest, WritesCarryTheEraseCodeWhereTheErasedRegionEnds) {
  struct Case {
    const char* name;
    int kind;
    std::uint8_t mode;
    std::uint32_t length;
    std::vector<BlockCommand> writes;
  };
  const std::vector<BlockCommand> blockMode = {
      {0x0000, 0x1000, 2},    {0x1000, 0x2000, 0}, {0x3000, 0x2000, 0}, {0x5000, 0x2000, 0},
      {0x7000, 0x2000, 0},    {0x9000, 0x2000, 0}, {0xB000, 0x2000, 0}, {0xD000, 0x2000, 0},
      {0xF000, 0x1000, 0}};
  std::vector<BlockCommand> mxicBlockMode = blockMode;
  mxicBlockMode[0].code = 0x82;
  const std::vector<Case> cases = {
      {"sector mode", 6, 1, 0x4000,
       {{0x0000, 0x1000, 1}, {0x1000, 0x1000, 1}, {0x2000, 0x1000, 1}, {0x3000, 0x1000, 1}}},
      {"block mode", 6, 2, 0x10000, blockMode},
      {"MXIC, block mode", 5, 2, 0x10000, mxicBlockMode},
      {"mode 0", 6, 0, 0x5000, {{0x0000, 0x1000, 0}, {0x1000, 0x2000, 0}, {0x3000, 0x2000, 0}}},
      {"MXIC, mode 0", 5, 0, 0x1000, {{0x0000, 0x1000, 0}}},
  };
  Attach("txv929");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    machine.ClearTranscript();
    window.facts_.flashTypeCode = c.kind;
    program::StartErasedRegionAt(window.geometry_, 0);
    const std::vector<std::uint8_t> data = Pattern(c.length, 3);
    ASSERT_TRUE(program::WriteFlashRange(window, path.c_str(), 0, data.data(), c.length, c.mode));
    EXPECT_EQ(c.writes, Writes());
  }
}

TEST_F(BlockTransferTest, AWriteFromTheSecondBankErasesItsFirstBlock) {
  Attach("txv929");
  program::StartErasedRegionAt(window.geometry_, 0x10000);
  const std::vector<std::uint8_t> data = Pattern(0x4000, 9);
  ASSERT_TRUE(program::WriteFlashRange(window, path.c_str(), 0x10000, data.data(), 0x4000, 2));
  EXPECT_EQ((std::vector<BlockCommand>{{0x10000, 0x2000, 2}, {0x12000, 0x2000, 0}}), Writes());
  EXPECT_EQ(data, Flash(0x10000, 0x4000));
  EXPECT_EQ(2u, window.geometry_.erasedBlockCount);
}

TEST_F(BlockTransferTest, ClippingNeverWrapsAndFollowsTheMaskedMode) {
  window.geometry_.eraseSectorSize = 0x1000;
  window.geometry_.eraseBlockSize = 0x10000;
  window.geometry_.erasedSectorCount = 2;
  window.geometry_.erasedBlockCount = 1;
  struct Case {
    std::uint32_t address, length;
    std::uint8_t mode;
    std::uint32_t clipped;
  };
  for (const Case& c : {Case{0x1800, 0x2000, 1, 0x800}, Case{0x1800, 0x2000, 0x81, 0x800},
                        Case{0x3000, 0x1000, 1, 0}, Case{0xFFFFF000, 0x2000, 4, 0},
                        Case{0xF000, 0x2000, 0x82, 0x1000}, Case{0x20000, 0x2000, 2, 0},
                        Case{0x20000, 0x2000, 3, 0x2000}, Case{0x0, 0x2000, 0, 0x2000}}) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(c.clipped, program::ClipToErasedRegion(window.geometry_, c.address, c.length, c.mode));
  }
}

TEST_F(BlockTransferTest, AWriteOutsideItsErasedRegionProgramsNothing) {
  // Counts left from a write at 0: the erase the first chunk asks for would
  // end at 0x10000, below the write, and the clipped length would wrap.
  Attach("txv929");
  const std::vector<std::uint8_t> before = Flash(0x10000, 0x2000);
  program::StartErasedRegionAt(window.geometry_, 0);
  const std::vector<std::uint8_t> data = Pattern(0x2000, 1);
  EXPECT_FALSE(program::WriteFlashRange(window, path.c_str(), 0x10000, data.data(), 0x2000, 2));
  EXPECT_TRUE(Writes().empty());
  EXPECT_EQ(before, Flash(0x10000, 0x2000));
}

TEST_F(BlockTransferTest, OddLengthsMoveWhole512ByteUnits) {
  Attach("txv929");
  std::vector<std::uint8_t> out(1100, 0xEE);
  ASSERT_TRUE(program::ReadFlashRange(window, path.c_str(), 0x100, out.data(), 1000));
  EXPECT_EQ(1024u, Moved("ReadFlashBlock"));
  EXPECT_EQ(Flash(0x100, 1000), std::vector<std::uint8_t>(out.begin(), out.begin() + 1000));
  EXPECT_EQ(0xEE, out[1000]);  // nothing past the caller's length
  EXPECT_EQ("ReadFlash....", window.StatusText());  // one dot per chunk

  machine.ClearTranscript();
  program::StartErasedRegionAt(window.geometry_, 0);
  const std::vector<std::uint8_t> data = Pattern(1000, 4);
  ASSERT_TRUE(program::WriteFlashRange(window, path.c_str(), 0, data.data(), 1000, 1));
  EXPECT_EQ((std::vector<BlockCommand>{{0, 1024, 1}}), Writes());
  std::vector<std::uint8_t> expected = data;
  expected.resize(1024, 0x00);
  EXPECT_EQ(expected, Flash(0, 1024));
}

TEST_F(BlockTransferTest, ZeroLengthsSendNothing) {
  Attach("txv929");
  std::uint8_t b[16] = {};
  EXPECT_FALSE(program::ReadFlashRange(window, path.c_str(), 0, b, 0));
  EXPECT_FALSE(program::WriteFlashRange(window, path.c_str(), 0, b, 0, 2));
  EXPECT_TRUE(machine.transcript().empty());
}

TEST_F(BlockTransferTest, BackupsCoverTheExtentOfTheChipType) {
  struct Case {
    const char* profile;
    std::uint32_t skip;
    std::uint32_t from;
    std::uint32_t size;
  };
  for (const Case& c : {Case{"txr845", 4096, 0x1000, 0x10000 - 4096}, Case{"txr845", 0, 0, 0x10000},
                        Case{"txv927", 4096, 0, 0x8000}, Case{"txv927", 0, 0, 0x20000},
                        Case{"txv929", 4096, 0, 0xC000}}) {
    SCOPED_TRACE(std::string(c.profile) + " skip " + std::to_string(c.skip));
    Attach(c.profile);
    window.options_.backupFile = FileIn("backup.bin");
    ASSERT_TRUE(program::BackupFlashImage(window, path.c_str(), c.skip));
    EXPECT_EQ(Flash(c.from, c.size), ReadFile(window.options_.backupFile));
    EXPECT_EQ("Read flash and backup success!", window.StatusText());
    EXPECT_TRUE(window.messages.empty());
  }
}

TEST_F(BlockTransferTest, ABackupWithoutANameGoesToTheDefaultFileAfterTheNotice) {
  Attach("txr845");
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(scratch.dir());
  const bool ok = program::BackupFlashImage(window, path.c_str(), 0);
  std::filesystem::current_path(cwd);
  ASSERT_TRUE(ok);
  ASSERT_EQ(1u, window.messages.size());
  EXPECT_EQ("Default backup firmware as OldFalsh.bak!", window.messages[0].text);
  EXPECT_EQ("Message", window.messages[0].caption);
  EXPECT_EQ(Flash(0, 0x10000), ReadFile(FileIn("oldFlash.bak")));
}

}  // namespace
