// The firmware bank repair of chip types 12 and 16 on emulated TXV929
// enclosures with damaged banks: which bank is judged sound, what is written
// where, the retry with sector erases, and what a fault at any command leaves.
#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>

#include "block_fixture.h"
#include "engine/bank_recovery.h"
#include "engine/crc16.h"
#include "fault_matrix.h"

namespace {

using testing_support::BlockCommand;
using testing_support::FakeRunWindow;
using sim::CdbPattern;
using sim::CommandFault;

const CdbPattern kBlockWrite("DF ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? FB");

class BankRecoveryTest : public testing_support::BlockFixture {
 protected:
  bool BankSound(int bank) {
    return program::CheckBankImage(Flash(bank * 0x10000u, 0x10000).data(), 0x10000,
                                   window.facts_.chipType);
  }
  int Recover() {
    return program::RecoverFirmwareBanks(window, path.c_str(), window.facts_.chipType, checked);
  }
  std::uint32_t checked = 0;
};

TEST_F(BankRecoveryTest, BankImagesAreJudgedByMarkerChipNumberAndChecksum) {
  std::vector<std::uint8_t> bank(0x10000, 0x00);
  // The bank's CRC-16 in its last two bytes, high byte first.
  auto stamp = [&](std::uint32_t l, std::uint16_t crc) {
    bank[l - 2] = static_cast<std::uint8_t>(crc >> 8);
    bank[l - 1] = static_cast<std::uint8_t>(crc);
  };
  const std::uint8_t mark929[] = {0x55, 0xAA, 0xAA, 0x55, '9', '2', '9', '0'};
  std::copy(std::begin(mark929), std::end(mark929), bank.begin() + 0xBFF0);
  stamp(0xC000, 0xC38C);
  EXPECT_TRUE(program::CheckBankImage(bank.data(), bank.size(), 12));
  EXPECT_FALSE(program::CheckBankImage(bank.data(), bank.size(), 16));  // names 929
  EXPECT_FALSE(program::CheckBankImage(bank.data(), bank.size(), 8));
  bank[0x1234] ^= 1;
  EXPECT_FALSE(program::CheckBankImage(bank.data(), bank.size(), 12));
  // Chip type 16: marker at 0xBFF0 too, checksum over the first 32 KB.
  bank[0xBFF6] = '7';
  stamp(0x8000, 0x70F9);
  EXPECT_TRUE(program::CheckBankImage(bank.data(), bank.size(), 16));
  bank[0xBFF0] = 0x54;
  EXPECT_FALSE(program::CheckBankImage(bank.data(), bank.size(), 16));
}

TEST_F(BankRecoveryTest, OneSoundBankIsCopiedOverTheOther) {
  struct Case {
    const char* profile;
    int result;
    const char* status;
    std::uint32_t target;  // ~0: nothing written
    std::uint32_t soundBanks;  // each read a second time
  };
  for (const Case& c : {Case{"txv929", 0, "", ~0u, 2}, Case{"txv929-banks-damaged", 0, "", ~0u, 0},
                        Case{"txv929-bank0-damaged", 1, "FW Recovery successful!!", 0, 1},
                        Case{"txv929-bank0-wrong-number", 1, "FW Recovery successful!!", 0, 1},
                        Case{"txv929-bank1-damaged", 1, "FW Recovery successful!!", 0x10000, 1}}) {
    SCOPED_TRACE(c.profile);
    checked = 0;
    window.statuses.clear();
    Attach(c.profile);
    const std::vector<std::uint8_t> before = Flash(0, 0x20000);
    machine.ClearTranscript();
    EXPECT_EQ(c.result, Recover());
    EXPECT_EQ(c.status, window.StatusText());
    EXPECT_EQ(1u, checked);
    EXPECT_EQ(0x20000u + c.soundBanks * 0x10000u,
              Moved("ReadFlashBlock") - (c.target == ~0u ? 0 : 0x10000));
    if (c.target == ~0u) {
      EXPECT_TRUE(Writes().empty());
      EXPECT_EQ(before, Flash(0, 0x20000));
      continue;
    }
    const std::uint32_t source = c.target == 0 ? 0x10000 : 0;
    EXPECT_EQ(Flash(source, 0x10000), Flash(c.target, 0x10000));
    EXPECT_TRUE(BankSound(0) && BankSound(1));
    // Block erase: the first chunk of the target erases its block.
    ASSERT_FALSE(Writes().empty());
    EXPECT_EQ(c.target, Writes().front().address);
    EXPECT_EQ(2, Writes().front().code);
    for (const BlockCommand& w : Writes()) EXPECT_GE(w.address, c.target);

    // Once per record: a second evaluation sends nothing.
    machine.ClearTranscript();
    EXPECT_EQ(1, Recover());
    EXPECT_TRUE(machine.transcript().empty());
  }
}

TEST_F(BankRecoveryTest, SmallFlashesAndOtherChipsAreNotRead) {
  Attach("txv929-bank0-damaged");
  window.facts_.flashSizeKb = 64;
  EXPECT_EQ(1, Recover());
  window.facts_.flashSizeKb = 128;
  window.facts_.chipType = 11;
  EXPECT_EQ(1, Recover());
  EXPECT_TRUE(machine.transcript().empty());
  EXPECT_EQ(0u, checked);
}

TEST_F(BankRecoveryTest, AFailedFirstCopyIsRetriedWithSectorErases) {
  Attach("txv929-bank0-damaged");
  machine.AddFault({CommandFault::Kind::CheckCondition, "", kBlockWrite, 3});
  EXPECT_EQ(1, Recover());
  EXPECT_EQ("FW Recovery successful!!", window.StatusText());
  EXPECT_TRUE(BankSound(0) && BankSound(1));
  // The retry starts over at 0 and erases each 4 KB sector as it gets there.
  std::vector<BlockCommand> retry;
  for (const BlockCommand& w : Writes())
    if (w.code == 1) retry.push_back(w);
  ASSERT_EQ(16u, retry.size());
  EXPECT_EQ(0u, retry.front().address);
  EXPECT_EQ(0xF000u, retry.back().address);
}

TEST_F(BankRecoveryTest, ACopyThatNeverVerifiesFailsAndLeavesTheSoundBank) {
  Attach("txv929-bank0-damaged");
  machine.AddFault({CommandFault::Kind::CheckCondition, "", kBlockWrite, 0});
  const std::vector<std::uint8_t> sound = Flash(0x10000, 0x10000);
  EXPECT_EQ(0, Recover());
  EXPECT_EQ("FW Recovery Fail!!", window.StatusText());
  EXPECT_EQ(sound, Flash(0x10000, 0x10000));
  EXPECT_EQ(1u, checked);
}

TEST_F(BankRecoveryTest, AnUnreadableBankIsTriedAgainAtTheNextSelection) {
  Attach("txv929-bank0-damaged");
  machine.AddFault({CommandFault::Kind::CheckCondition, "",
                    CdbPattern("DF ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? FA"), 9});
  EXPECT_EQ(0, Recover());
  EXPECT_EQ(0u, checked);
  EXPECT_TRUE(Writes().empty());
  EXPECT_EQ(1, Recover());
  EXPECT_TRUE(BankSound(0));
}

// The bank repair: a bank is never left worse than before without "FW
// Recovery Fail!!", and the sound bank is never touched.
TEST(BankRepairFaultMatrix, NoFaultHarmsTheSoundBankOrPassesSilently) {
  std::vector<std::uint8_t> bank0Before, bank1;
  auto bank = [](sim::BridgeChip& chip, std::uint32_t at) {
    std::vector<std::uint8_t> b(0x10000);
    chip.serialFlash()->cells().Read(at, b.data(), b.size());
    return b;
  };
  testing_support::FaultMatrixSetup setup;
  setup.build = [&](sim::Machine& machine) {
    auto chip = sim::AttachProfile(machine, *sim::FindProfile("txv929-bank0-damaged"));
    bank0Before = bank(*chip, 0);
    bank1 = bank(*chip, 0x10000);
    return chip;
  };
  setup.run = [&](sim::Machine&, sim::BridgeChip& chip) {
    FakeRunWindow window;
    window.facts_.chipType = 12;
    window.facts_.flashTypeCode = 6;
    window.facts_.flashSizeKb = 128;
    window.geometry_ = testing_support::EraseGeometryForKind(6);
    std::uint32_t checked = 0;
    const int result = program::RecoverFirmwareBanks(window, chip.path().c_str(), 12, checked);
    if (bank(chip, 0x10000) != bank1) throw std::runtime_error("the sound bank was written");
    testing_support::SeenRun seen = testing_support::SeenRunOf(window, result == 1);
    if (seen.status.empty()) {
      // A bank that could not be read is left for the next selection.
      if (bank(chip, 0) != bank0Before) throw std::runtime_error("bank 0 changed silently");
      seen.status = "(not judged: nothing written)";
    }
    return seen;
  };
  setup.imageInPlace = [&](sim::BridgeChip& chip) {
    return program::CheckBankImage(bank(chip, 0).data(), 0x10000, 12) && bank(chip, 0) == bank1;
  };
  const testing_support::FaultMatrixReport report = testing_support::RunFaultMatrix(setup);
  std::printf("bank repair: %d commands, %d faulted runs\n", report.commands, report.runs);
  EXPECT_TRUE(report.ok()) << report.Describe();
}

}  // namespace
