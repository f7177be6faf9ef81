#include "scsi/spi_commands.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "scripted_device.h"

namespace {

using testing_support::ExpectedRequest;
using testing_support::Hex;
using testing_support::ScriptedDevice;

class SpiCommandsTest : public ::testing::Test, public testing_support::ScriptedFixture {
 protected:
  // CDBs of the device's requests, as "FF 04 20 ..." patterns of n bytes.
  std::vector<std::string> Sent(int n = 9) const {
    std::vector<std::string> out;
    for (const auto& r : device->requests) {
      std::string s;
      char hex[4];
      for (int i = 0; i < n; ++i) {
        std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", r.cdb[i]);
        s += hex;
      }
      out.push_back(s);
    }
    return out;
  }
};

std::vector<std::uint8_t> Pattern(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i * 13 + i / 256);
  return v;
}

const std::string kWriteEnable = "FF 04 20 01 00 06 00 00 00";
const std::string kWriteDisable = "FF 04 20 01 00 04 00 00 00";
const std::string kEnableWriteStatus = "FF 04 20 01 00 50 00 00 00";
const std::string kWriteStatusWithData = "FF 04 20 01 01 01 00 00 00";
const std::string kWriteTwoBytes = "FF 04 22 00 00 00 00 00 02";
const std::vector<std::string> kClearProtection = {kEnableWriteStatus, kWriteStatusWithData,
                                                   kWriteTwoBytes, kWriteEnable};

// Built by a call: brace-initialised requests inside the case table trip a
// false maybe-uninitialized warning in mingw g++ 12 at -O3.
ExpectedRequest Want(const char* cdb, bool dataIn, std::uint32_t length, std::uint32_t timeout) {
  ExpectedRequest r;
  r.cdb = cdb;
  r.dataIn = dataIn;
  r.length = length;
  r.timeout = timeout;
  return r;
}

TEST_F(SpiCommandsTest, TransportCommandsBuildTheirBlocks) {
  struct Case {
    std::string name;
    std::function<int(const char*)> send;
    ExpectedRequest want;
    std::string data;
  };
  static const std::vector<std::uint8_t> page = Pattern(256);
  const Case cases[] = {
      {"SpiCommand address record",
       [](const char* p) {
         return device::SpiCommand(p, device::MakeSpiAddressRecord(1, 0x02, 0x123456));
       },
       Want("FF 04 20 04 01 02 12 34 56 00 00 00", false, 0, 50),
       ""},
      {"SpiCommand all nine bytes",
       [](const char* p) {
         device::SpiRecord r = device::MakeSpiRecord(3, 0, 0xAD, 0x11, 0x22);
         r.args[2] = 0x33;
         r.args[5] = 0x66;
         return device::SpiCommand(p, r);
       },
       Want("FF 04 20 03 00 AD 11 22 33 00 00 66", false, 0, 50),
       ""},
      {"SpiWriteData",
       [](const char* p) { return device::SpiWriteData(p, page.data(), 0x100); },
       Want("FF 04 22 00 00 00 00 01 00 00 00 00", false, 0x100, 50),
       ""},
      {"FlashWriteEnable",
       [](const char* p) { return device::FlashWriteEnable(p); },
       Want("FF 04 20 01 00 06 00 00 00 00 00 00", false, 0, 50),
       ""},
      {"FlashWriteStatusZero",
       [](const char* p) { return device::FlashWriteStatusZero(p); },
       Want("FF 04 20 02 00 01 00 00 00 00 00 00", false, 2, 50),
       "01 00"},
      {"SpiWriteDisable",
       [](const char* p) { return device::SpiWriteDisable(p); },
       Want("FF 04 20 01 00 04 00 00 00 00 00 00", false, 0, 50),
       ""},
      {"SpiAaiEnd",
       [](const char* p) { return device::SpiAaiEnd(p); },
       Want("FF 04 20 01 00 04 00 00 00 00 00 00", false, 0, 50),
       ""},
  };
  for (const Case& c : cases) {
    machine.ClearTranscript();
    device->requests.clear();
    EXPECT_EQ(1, c.send(p())) << c.name;
    testing_support::ExpectWire(machine, {c.want}, c.name);
    if (!c.data.empty()) {
      EXPECT_EQ(Hex(c.data), device->requests.at(0).dataOut) << c.name;
    }
  }
}

TEST_F(SpiCommandsTest, ClearProtectionAndChipEraseSendTheirSequences) {
  ASSERT_EQ(1, device::SpiClearProtection(p()));
  EXPECT_EQ(kClearProtection, Sent());
  EXPECT_EQ(Hex("00 00"), device->requests[2].dataOut);
  EXPECT_EQ(20u, machine.SleptMs());

  device->requests.clear();
  device->Reject("FF 04 20 01 00 04");  // the closing write disable's answer is not the result
  ASSERT_EQ(1, device::SpiChipErase(p()));
  std::vector<std::string> erase = kClearProtection;
  erase.push_back("FF 04 20 01 00 C7 00 00 00");
  erase.push_back(kWriteDisable);
  EXPECT_EQ(erase, Sent());

  ScriptedFixture refusing;
  refusing.device->Reject("FF 04 20 01 00 C7");
  EXPECT_EQ(0, device::SpiChipErase(refusing.p()));
  EXPECT_EQ(6u, refusing.device->requests.size());
}

TEST_F(SpiCommandsTest, StatusSetWaitGivesUpAtTheThreeHundredFirstReRead) {
  struct Case {
    int unsetReads;
    int want;
    int statusReads;
    std::uint64_t ms;
  } cases[] = {{0, 1, 1, 0},
               {300, 1, 301, 3000},
               {301, 0, 302, 3010},
               {302, 0, 303, 3020},
               {9999, 0, 303, 3020}};
  for (const Case& c : cases) {
    ScriptedFixture f;
    if (c.unsetReads > 0) f.device->Reply("FF 04 12", {0x01}, c.unsetReads);  // busy, no latch
    f.device->Reply("FF 04 12", {0x03});
    EXPECT_EQ(c.want, device::WaitFlashStatusSet(f.p(), 0x02)) << c.unsetReads;
    EXPECT_EQ(c.statusReads, f.device->Count("FF 04 12")) << c.unsetReads;
    EXPECT_EQ(c.ms, f.machine.SleptMs()) << c.unsetReads;
  }
}

TEST_F(SpiCommandsTest, StatusClearWaitWatchesBitsOneAndTwo) {
  struct Case {
    std::uint8_t status;
    int setReads;
    int want;
  } cases[] = {{0x04, 300, 1}, {0x02, 301, 0}, {0x06, 0, 1}, {0x01, 0, 1}};
  for (const Case& c : cases) {
    ScriptedFixture f;
    if (c.setReads > 0) f.device->Reply("FF 04 12", {c.status}, c.setReads);
    f.device->Reply("FF 04 12", {0x01});  // busy alone does not hold the wait
    EXPECT_EQ(c.want, device::WaitFlashStatusClear(f.p())) << int(c.status) << "/" << c.setReads;
  }
}

TEST_F(SpiCommandsTest, FailedStatusReadsPassTheClearWaitAndExhaustTheSetWait) {
  device->Reject("FF 04 12");
  EXPECT_EQ(1, device::WaitFlashStatusClear(p()));
  EXPECT_EQ(1, device->Count("FF 04 12"));
  EXPECT_EQ(0, device::WaitFlashStatusSet(p(), 0x02));
  EXPECT_EQ(1 + 303, device->Count("FF 04 12"));
}

TEST_F(SpiCommandsTest, WaitsNeverPassAnUnreachableDevice) {
  EXPECT_EQ(0, device::WaitFlashStatusClear(gone.c_str()));
  EXPECT_EQ(0, device::WaitFlashStatusSet(gone.c_str(), 0x02));
  EXPECT_EQ(2 * 3020u, machine.SleptMs());
}

TEST_F(SpiCommandsTest, UnprotectSucceedsWhenTheLatchSetsAndTheBitsClear) {
  device->Reply("FF 04 12", {0x00}, 2);  // latch comes at the second re-read
  device->Reply("FF 04 12", {0x02}, 1);
  device->Reply("FF 04 12", {0x06}, 1);  // protection bits still set once
  device->Reply("FF 04 12", {0x00});
  EXPECT_EQ(1, device::UnprotectFlash(p()));
  EXPECT_EQ(std::vector<std::string>({kWriteEnable, "FF 04 12 00 00 00 00 00 00",
                                      "FF 04 12 00 00 00 00 00 00", "FF 04 12 00 00 00 00 00 00",
                                      "FF 04 20 02 00 01 00 00 00", "FF 04 12 00 00 00 00 00 00",
                                      "FF 04 12 00 00 00 00 00 00"}),
            Sent());
}

TEST_F(SpiCommandsTest, UnprotectOnAChipThatRejectsTheRawPathRunsAllStepsAndFails) {
  device->Reject("FF 04 20");
  EXPECT_EQ(0, device::UnprotectFlash(p()));
  EXPECT_EQ(2, device->Count("FF 04 20"));
  EXPECT_EQ(1, device->Count(kWriteEnable));
  EXPECT_EQ(1, device->Count("FF 04 20 02 00 01"));
  // The latch never showed, so the set wait ran to its bound; the clear wait
  // passed at once on the zero status.
  EXPECT_EQ(303 + 1, device->Count("FF 04 12"));
}

TEST_F(SpiCommandsTest, UnprotectNeedsBothCommandsAsWellAsBothWaits) {
  device->Reply("FF 04 12", {0x02}, 1);
  device->Reply("FF 04 12", {0x00});
  device->Reject("FF 04 20 02 00 01");
  EXPECT_EQ(0, device::UnprotectFlash(p()));

  ScriptedFixture noLatch;  // both commands go through, the latch never sets
  noLatch.device->Reply("FF 04 12", {0x00});
  EXPECT_EQ(0, device::UnprotectFlash(noLatch.p()));
  EXPECT_EQ(2, noLatch.device->Count("FF 04 20"));
}

TEST_F(SpiCommandsTest, PageProgramSendsWholePagesOnly) {
  const std::vector<std::uint8_t> image = Pattern(600);
  EXPECT_EQ(0, device::SpiPageProgram(p(), 0x1000, image.data(), 100, 256));
  EXPECT_TRUE(device->requests.empty());

  ASSERT_EQ(2, device::SpiPageProgram(p(), 0x01FF00, image.data(), 600, 256));
  EXPECT_EQ(std::vector<std::string>({kWriteEnable, "FF 04 20 04 01 02 01 FF 00",
                                      "FF 04 22 00 00 00 00 01 00", kWriteEnable,
                                      "FF 04 20 04 01 02 02 00 00", "FF 04 22 00 00 00 00 01 00"}),
            Sent());
  EXPECT_EQ(std::vector<std::uint8_t>(image.begin(), image.begin() + 256),
            device->requests[2].dataOut);
  EXPECT_EQ(std::vector<std::uint8_t>(image.begin() + 256, image.begin() + 512),
            device->requests[5].dataOut);
  EXPECT_EQ(40u, machine.SleptMs());  // two 10 ms pauses per page
}

TEST_F(SpiCommandsTest, PageProgramStopsAtTheFirstFailedPage) {
  const std::vector<std::uint8_t> image = Pattern(1024);
  device->Reply("FF 04 22", {}, 2);
  device->Reject("FF 04 22", 1);
  EXPECT_EQ(0, device::SpiPageProgram(p(), 0, image.data(), 1024, 256));
  EXPECT_EQ(3, device->Count("FF 04 22"));
  EXPECT_EQ(3, device->Count("FF 04 20 04 01 02"));

  ScriptedFixture refusedProgram;
  refusedProgram.device->Reject("FF 04 20 04 01 02");
  EXPECT_EQ(0, device::SpiPageProgram(refusedProgram.p(), 0, image.data(), 1024, 32));
  EXPECT_EQ(0, refusedProgram.device->Count("FF 04 22"));

  ScriptedFixture zeroPage;
  EXPECT_EQ(0, device::SpiPageProgram(zeroPage.p(), 0, image.data(), 1024, 0));
  EXPECT_TRUE(zeroPage.device->requests.empty());
}

TEST_F(SpiCommandsTest, AaiByteProgramSendsOneCommandPerByte) {
  const std::vector<std::uint8_t> image = Pattern(1024 + 100);
  ASSERT_NE(0, device::SpiAaiByteProgram(p(), 0x1000, image.data(), 1024 + 100, 512));
  // Per block: clear protection (4), addressed 0xAF, first byte, 511 bytes;
  // then one write disable. The 100-byte tail is not a whole block.
  EXPECT_EQ(2 * (4 + 1 + 1 + 511) + 1, static_cast<int>(device->requests.size()));
  const auto sent = Sent();
  EXPECT_EQ("FF 04 20 04 01 AF 00 10 00", sent[4]);
  EXPECT_EQ(Hex("00 00"), device->requests[5].dataOut);  // image[0] = 0, then 0x00
  EXPECT_EQ("FF 04 20 02 00 AF 0D 00 00", sent[6]);      // byte 1 of the block
  EXPECT_EQ("FF 04 20 04 01 AF 00 12 00", sent[517 + 4]);
  EXPECT_EQ(Hex("00 00").size(), device->requests[517 + 5].dataOut.size());
  EXPECT_EQ(image[512], device->requests[517 + 5].dataOut[0]);
  EXPECT_EQ(image[1023], device->requests[2 * 517 - 1].cdb[6]);
  EXPECT_EQ(kWriteDisable, sent.back());
}

TEST_F(SpiCommandsTest, AaiByteProgramStopsAtAFailedByteAndStillDisablesWrites) {
  const std::vector<std::uint8_t> image = Pattern(1024);
  device->Reply("FF 04 20 02 00 AF", {}, 100);
  device->Reject("FF 04 20 02 00 AF", 1);  // the 101st byte command is refused
  EXPECT_EQ(0, device::SpiAaiByteProgram(p(), 0, image.data(), 1024, 512));
  EXPECT_EQ(101, device->Count("FF 04 20 02 00 AF"));
  EXPECT_EQ(1, device->Count("FF 04 20 04 01 AF"));  // the second block never started
  EXPECT_EQ(kWriteDisable, Sent().back());

  ScriptedFixture tooShort;
  EXPECT_EQ(0, device::SpiAaiByteProgram(tooShort.p(), 0, image.data(), 511, 512));
  ASSERT_EQ(1u, tooShort.device->requests.size());
  EXPECT_TRUE(tooShort.device->requests[0].Is(kWriteDisable));
}

TEST_F(SpiCommandsTest, AaiWordProgramRestatesTheAddressOnlyAtSixteenKilobytes) {
  const std::vector<std::uint8_t> image = Pattern(1024);
  ASSERT_NE(0, device::SpiAaiWordProgram(p(), 0x4000, image.data(), 1024, 512));
  // Per block: clear protection (4), the 0xAD record, first word, 255 words.
  EXPECT_EQ(2 * (4 + 1 + 1 + 255), static_cast<int>(device->requests.size()));
  const auto sent = Sent();
  EXPECT_EQ("FF 04 20 04 01 AD 00 40 00", sent[4]);
  EXPECT_EQ("FF 04 20 01 01 AD 00 00 00", sent[261 + 4]);
  EXPECT_EQ(std::vector<std::uint8_t>(image.begin(), image.begin() + 2),
            device->requests[5].dataOut);
  const auto& word1 = device->requests[6].cdb;
  EXPECT_EQ(Hex("FF 04 20 03 00 AD"), std::vector<std::uint8_t>(word1.begin(), word1.begin() + 6));
  EXPECT_EQ(image[2], word1[6]);
  EXPECT_EQ(image[3], word1[7]);
  EXPECT_EQ(0, device->Count(kWriteDisable));  // the caller ends the sequence

  ScriptedFixture below;
  ASSERT_NE(0, device::SpiAaiWordProgram(below.p(), 0x3E00, image.data(), 1024, 512));
  EXPECT_EQ(1, below.device->Count("FF 04 20 01 01 AD"));
  EXPECT_EQ(1, below.device->Count("FF 04 20 04 01 AD 00 40 00"));
}

TEST_F(SpiCommandsTest, ProgramImageEndsTheWordSequenceAfterTheLastChunkOnly) {
  const std::vector<std::uint8_t> image = Pattern(0x4000);
  ASSERT_EQ(1, device::SpiProgramImage(p(), 0x10000, image.data(), 0x4000, 2, 1));
  EXPECT_EQ(1, device->Count(kWriteDisable));
  EXPECT_EQ(kWriteDisable, Sent().back());
  // Each 8 KB chunk starts with a ready check; 16 blocks of 512 per chunk.
  EXPECT_EQ(2, device->Count("FF 04 12"));
  EXPECT_EQ(2 * 16 * (4 + 1 + 1 + 255) + 2 + 1, static_cast<int>(device->requests.size()));
  // Only 0x10000 is on a 16 KB boundary; the sequence runs on through 0x12000.
  EXPECT_EQ(1, device->Count("FF 04 20 04 01 AD 01 00 00"));
  EXPECT_EQ(31, device->Count("FF 04 20 01 01 AD"));
}

TEST_F(SpiCommandsTest, ProgramImagePicksTheMethodByFlashKind) {
  const std::vector<std::uint8_t> image = Pattern(0x4000);
  struct Case {
    int kind;
    int wordMode;
    std::string program;  // the command that starts each unit
    int units;
    int writeDisables;
  } cases[] = {
      {2, 0, "FF 04 20 04 01 AF", 32, 2},   // byte AAI: each chunk ends its own sequence
      {5, 0, "FF 04 20 04 01 02", 512, 0},  // MXIC: 32-byte pages
      {5, 1, "FF 04 20 04 01 02", 512, 0},  // word mode is for SST only
      {3, 0, "FF 04 20 04 01 02", 64, 0},   // others: 256-byte pages
      {0, 0, "FF 04 20 04 01 02", 64, 0},
  };
  for (const Case& c : cases) {
    ScriptedFixture f;
    ASSERT_EQ(1, device::SpiProgramImage(f.p(), 0, image.data(), 0x4000, c.kind, c.wordMode))
        << c.kind;
    EXPECT_EQ(c.units, f.device->Count(c.program)) << c.kind;
    EXPECT_EQ(c.writeDisables, f.device->Count(kWriteDisable)) << c.kind;
    EXPECT_EQ(2, f.device->Count("FF 04 12")) << c.kind;
  }
}

TEST_F(SpiCommandsTest, ProgramImageRefusesWhatItCannotProgramWhole) {
  const std::vector<std::uint8_t> image = Pattern(0x4100);
  EXPECT_EQ(0, device::SpiProgramImage(p(), 0, image.data(), 0, 3, 0));
  EXPECT_EQ(0, device::SpiProgramImage(p(), 0, image.data(), 0x4000 + 100, 3, 0));
  EXPECT_EQ(0, device::SpiProgramImage(p(), 0, image.data(), 0x4000 + 256, 2, 1));
  EXPECT_TRUE(device->requests.empty());
  // A whole number of 32-byte pages is fine for MXIC.
  EXPECT_EQ(1, device::SpiProgramImage(p(), 0, image.data(), 0x4000 + 32, 5, 0));
  EXPECT_EQ(0x4000 / 32 + 1, device->Count("FF 04 20 04 01 02"));
}

TEST_F(SpiCommandsTest, ProgramImageFailureStopsAndClosesAnOpenWordSequence) {
  const std::vector<std::uint8_t> image = Pattern(0x4000);
  device->Reject("FF 04 20 03 00 AD", 1);
  EXPECT_EQ(0, device::SpiProgramImage(p(), 0, image.data(), 0x4000, 2, 1));
  EXPECT_EQ(1, device->Count("FF 04 12"));  // the second chunk never started
  EXPECT_EQ(kWriteDisable, Sent().back());

  ScriptedFixture pages;
  pages.device->Reject("FF 04 22", 1);
  EXPECT_EQ(0, device::SpiProgramImage(pages.p(), 0, image.data(), 0x4000, 4, 0));
  EXPECT_EQ(1, pages.device->Count("FF 04 22"));

  // A sequence that fails in its last chunk stays a failure even though the
  // closing write disable goes through.
  ScriptedFixture lastChunk;
  // Two data phases per block (clear protection, first word), 16 blocks per
  // chunk: the 34th is the first word of the last chunk.
  lastChunk.device->Reply("FF 04 22", {}, 33);
  lastChunk.device->Reject("FF 04 22", 1);
  EXPECT_EQ(0, device::SpiProgramImage(lastChunk.p(), 0, image.data(), 0x4000, 2, 1));
  EXPECT_EQ(1, lastChunk.device->Count(kWriteDisable));
}

}  // namespace
