// The emulated flash parts: the rules the programming procedures rely on, at
// opcode level and through the raw command blocks the host sends.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "device/passthrough.h"
#include "sim/bridge_chip.h"
#include "sim/parallel_flash.h"
#include "sim/serial_flash.h"
#include "sim_fixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

sim::SerialFlash Part(const std::string& name) {
  const sim::FlashPart* p = sim::FindFlashPart(name);
  EXPECT_NE(nullptr, p) << name;
  return sim::SerialFlash(p ? *p : sim::FlashParts().front());
}

Bytes Read(sim::SerialFlash& f, std::uint32_t a, std::size_t n, std::uint64_t now = 100000) {
  return f.Transfer({0x03, static_cast<std::uint8_t>(a >> 16), static_cast<std::uint8_t>(a >> 8),
                     static_cast<std::uint8_t>(a)},
                    n, now);
}

TEST(SerialFlashTest, ProgrammingWithoutEraseCannotSetBits) {
  sim::SerialFlash f = Part("winbond-w25x10");
  f.Transfer({0x06}, 0, 0);
  f.Transfer({0x02, 0x00, 0x10, 0x00, 0x0F, 0xF0}, 0, 0);
  f.Transfer({0x06}, 0, 10);
  f.Transfer({0x02, 0x00, 0x10, 0x00, 0xF0, 0x0F}, 0, 10);
  EXPECT_EQ((Bytes{0x00, 0x00}), Read(f, 0x1000, 2));
  f.Transfer({0x06}, 0, 20);
  f.Transfer({0x20, 0x00, 0x10, 0x00}, 0, 20);  // 4 KB sector erase
  EXPECT_EQ((Bytes{0xFF, 0xFF}), Read(f, 0x1000, 2));
}

TEST(SerialFlashTest, WriteEnableLatchGatesEveryModification) {
  sim::SerialFlash f = Part("winbond-w25x10");
  f.Transfer({0x02, 0x00, 0x00, 0x00, 0x12}, 0, 0);  // no write enable
  f.Transfer({0xC7}, 0, 0);
  EXPECT_EQ(0xFF, Read(f, 0, 1)[0]);
  EXPECT_EQ(2, f.ignoredCommands);
  EXPECT_EQ(0x00, f.Status(0) & 0x02);
  f.Transfer({0x06}, 0, 0);
  EXPECT_EQ(0x02, f.Status(0) & 0x02);
  f.Transfer({0x02, 0x00, 0x00, 0x00, 0x12}, 0, 0);
  EXPECT_EQ(0x00, f.Status(100) & 0x02) << "the latch drops when the program completes";
  EXPECT_EQ(0x12, Read(f, 0, 1)[0]);
}

TEST(SerialFlashTest, PageProgramWrapsWithinItsPage) {
  sim::SerialFlash f = Part("winbond-w25x10");
  f.Transfer({0x06}, 0, 0);
  f.Transfer({0x02, 0x00, 0x00, 0xFE, 0xA1, 0xA2, 0xA3, 0xA4}, 0, 0);  // 2 bytes left in the page
  EXPECT_EQ((Bytes{0xA1, 0xA2}), Read(f, 0xFE, 2));
  EXPECT_EQ((Bytes{0xA3, 0xA4}), Read(f, 0x00, 2)) << "the rest lands at the page start";
  EXPECT_EQ(0xFF, Read(f, 0x100, 1)[0]);

  sim::SerialFlash m = Part("mxic-mx25v512-p32");
  Bytes cycle{0x02, 0x00, 0x00, 0x00};
  for (int i = 0; i < 40; ++i) cycle.push_back(static_cast<std::uint8_t>(i));
  m.Transfer({0x06}, 0, 0);
  m.Transfer(cycle, 0, 0);
  // 40 bytes into a 32-byte page: the last 8 overwrite the buffer's start.
  EXPECT_EQ(32, Read(m, 0, 1)[0]);
  EXPECT_EQ(8, Read(m, 8, 1)[0]);
  EXPECT_EQ(0xFF, Read(m, 32, 1)[0]);
}

TEST(SerialFlashTest, BusyClearsAfterTheVirtualDurationAndIgnoresCommandsMeanwhile) {
  sim::SerialFlash f = Part("winbond-w25x10");
  const std::uint32_t erase = f.part().timing.chipEraseMs;
  f.Transfer({0x06}, 0, 1000);
  f.Transfer({0xC7}, 0, 1000);
  EXPECT_EQ(0x01, f.Status(1000) & 0x01);
  EXPECT_EQ(0x01, f.Status(1000 + erase - 1) & 0x01);
  f.Transfer({0x06}, 0, 1000 + erase - 1);  // ignored: the part is busy
  EXPECT_EQ(0x00, f.Status(1000 + erase) & 0x03);
  EXPECT_EQ((Bytes{0x03, 0x03}), f.Transfer({0x05}, 2, 1001)) << "busy, latch still set";
}

TEST(SerialFlashTest, ProtectionIsClearedOnlyByAProperStatusWrite) {
  sim::SerialFlash f = Part("mxic-mx25l512");
  f.SetProtection(0x1C);
  f.Transfer({0x06}, 0, 0);
  f.Transfer({0xC7}, 0, 0);
  EXPECT_EQ(0, f.eraseOperations) << "a protected part refuses the erase";
  f.Transfer({0x04}, 0, 0);
  f.Transfer({0x01, 0x00}, 0, 0);  // status write without write enable
  EXPECT_EQ(0x1C, f.protectionBits());
  f.Transfer({0x50}, 0, 0);  // this part does not take 0x50
  f.Transfer({0x01, 0x00}, 0, 0);
  EXPECT_EQ(0x1C, f.protectionBits());
  f.Transfer({0x06}, 0, 0);
  f.Transfer({0x01, 0x00}, 0, 0);
  EXPECT_EQ(0x00, f.protectionBits());
  EXPECT_EQ(0x03, f.Status(0) & 0x03) << "status write running";
  EXPECT_EQ(0x00, f.Status(10) & 0x03) << "done: latch dropped";

  sim::SerialFlash sst = Part("sst-25vf512");
  sst.SetProtection(0x0C);
  sst.Transfer({0x50}, 0, 0);  // SST: enable write-status-register also works
  sst.Transfer({0x01, 0x00}, 0, 0);
  EXPECT_EQ(0x00, sst.protectionBits());
}

TEST(SerialFlashTest, SstAaiByteModeNeedsWriteEnableAndEndsWithWriteDisable) {
  sim::SerialFlash f = Part("sst-25vf512");
  f.Transfer({0xAF, 0x00, 0x20, 0x00, 0x11, 0x00}, 0, 0);  // no write enable
  EXPECT_FALSE(f.aaiActive());
  f.Transfer({0xAF, 0x22}, 0, 0);  // continuation outside AAI mode
  EXPECT_EQ((Bytes{0xFF, 0xFF}), Read(f, 0x2000, 2));

  f.Transfer({0x06}, 0, 0);
  f.Transfer({0xAF, 0x00, 0x20, 0x00, 0x11, 0x00}, 0, 0);
  EXPECT_TRUE(f.aaiActive());
  f.Transfer({0xAF, 0x22}, 0, 0);
  f.Transfer({0xAF, 0x33}, 0, 0);
  f.Transfer({0x06}, 0, 0);  // not taken in AAI mode
  f.Transfer({0xC7}, 0, 0);  // nor an erase
  EXPECT_EQ(0x02, f.Status(0) & 0x02) << "the latch stays set during AAI";
  f.Transfer({0x04}, 0, 0);
  EXPECT_FALSE(f.aaiActive());
  EXPECT_EQ(0x00, f.Status(0) & 0x02);
  EXPECT_EQ((Bytes{0x11, 0x22, 0x33, 0xFF}), Read(f, 0x2000, 4));
  f.Transfer({0xAF, 0x44}, 0, 0);  // after the end a continuation does nothing
  EXPECT_EQ(0xFF, Read(f, 0x2003, 1)[0]);
}

TEST(SerialFlashTest, SstAaiWordModeContinuesAtItsInternalAddress) {
  sim::SerialFlash f = Part("sst-25vf016b");
  f.Transfer({0x06}, 0, 0);
  f.Transfer({0xAD, 0x00, 0x40, 0x00, 0x01, 0x02}, 0, 0);
  f.Transfer({0xAD, 0x03, 0x04}, 0, 0);
  f.Transfer({0xAD, 0x05, 0x06}, 0, 0);
  f.Transfer({0xAF, 0x00, 0x50, 0x00, 0x99}, 0, 0);  // byte mode is not this part's
  f.Transfer({0x04}, 0, 0);
  EXPECT_EQ((Bytes{1, 2, 3, 4, 5, 6, 0xFF}), Read(f, 0x4000, 7));
  EXPECT_EQ(0xFF, Read(f, 0x5000, 1)[0]);
}

TEST(SerialFlashTest, EraseUnitsFollowTheOpcode) {
  sim::SerialFlash f = Part("sst-25vf016b");
  const Bytes zeros(16, 0x00);
  f.cells().Load(0x0000, zeros.data(), zeros.size());
  f.cells().Load(0x1000, zeros.data(), zeros.size());
  f.cells().Load(0x8000, zeros.data(), zeros.size());
  f.Transfer({0x06}, 0, 0);
  f.Transfer({0x20, 0x00, 0x00, 0x10}, 0, 0);  // 4 KB sector holding 0x0010
  EXPECT_EQ(0xFF, Read(f, 0x0000, 1)[0]);
  EXPECT_EQ(0x00, Read(f, 0x1000, 1)[0]);
  f.Transfer({0x06}, 0, 1000);
  f.Transfer({0x52, 0x00, 0x10, 0x00}, 0, 1000);  // 32 KB block
  EXPECT_EQ(0xFF, Read(f, 0x1000, 1)[0]);
  EXPECT_EQ(0x00, Read(f, 0x8000, 1)[0]);

  sim::SerialFlash boot = Part("amic-a25l512-boot");
  boot.cells().Load(0x2FFF, zeros.data(), 2);
  boot.Transfer({0x06}, 0, 0);
  boot.Transfer({0xD8, 0x00, 0x10, 0x00}, 0, 0);  // the 8 KB block 0x1000..0x2FFF
  EXPECT_EQ((Bytes{0xFF, 0x00}), Read(boot, 0x2FFF, 2));
}

TEST(SerialFlashTest, FaultsStayBusyStuckBitsAndWrongReads) {
  sim::SerialFlash f = Part("winbond-w25x10");
  f.AddFault({sim::FlashFault::Kind::StaysBusy, 2});
  f.AddFault({sim::FlashFault::Kind::BitsDoNotProgram, 1, 0x80});
  f.AddFault({sim::FlashFault::Kind::WrongReadData, 1, 0x01, 0x100, 4});
  f.Transfer({0x06}, 0, 0);
  f.Transfer({0x02, 0x00, 0x01, 0x00, 0x00, 0x00}, 0, 0);
  EXPECT_EQ((Bytes{0x81, 0x81}), Read(f, 0x100, 2)) << "bit 7 stuck, bit 0 misread";
  EXPECT_EQ(0xFF, Read(f, 0x104, 1)[0]);
  EXPECT_TRUE(f.Settle(10));
  f.Transfer({0x06}, 0, 10);
  f.Transfer({0x20, 0x00, 0x00, 0x00}, 0, 10);  // the second operation never finishes
  EXPECT_EQ(0x01, f.Status(1000000) & 0x01);
  EXPECT_FALSE(f.Settle(1000000));
}

TEST(ParallelFlashTest, OnlyTheMatchingUnlockSequenceProgramsOrErases) {
  sim::ParallelFlash pmc(sim::ParallelPartKind::Pmc39LV512);
  // The ATMEL/SST sequence on a PMC part does nothing.
  pmc.Write(0x5555, 0xAA);
  pmc.Write(0x2AAA, 0x55);
  pmc.Write(0x5555, 0xA0);
  pmc.Write(0x0010, 0x12);
  EXPECT_EQ(0xFF, pmc.Read(0x10));
  EXPECT_EQ(0, pmc.programmedBytes);
  pmc.Write(0x0555, 0xAA);
  pmc.Write(0x02AA, 0x55);
  pmc.Write(0x0555, 0xA0);
  pmc.Write(0x0010, 0x12);
  EXPECT_EQ(0x12, pmc.Read(0x10));
  EXPECT_TRUE(pmc.PollBusy());
  EXPECT_TRUE(pmc.PollBusy());
  EXPECT_FALSE(pmc.PollBusy());

  sim::ParallelFlash atmel(sim::ParallelPartKind::Atmel49BV512);
  atmel.cells().Program(0x20, 0x00);
  for (auto [a, d] : {std::pair{0x0555, 0xAA},
                      {0x02AA, 0x55},
                      {0x0555, 0x80},
                      {0x0555, 0xAA},
                      {0x02AA, 0x55},
                      {0x0555, 0x10}})
    atmel.Write(static_cast<std::uint16_t>(a), static_cast<std::uint8_t>(d));
  EXPECT_EQ(0x00, atmel.Read(0x20));
  EXPECT_EQ(0, atmel.chipErases);
  for (auto [a, d] : {std::pair{0x5555, 0xAA},
                      {0x2AAA, 0x55},
                      {0x5555, 0x80},
                      {0x5555, 0xAA},
                      {0x2AAA, 0x55},
                      {0x5555, 0x10}})
    atmel.Write(static_cast<std::uint16_t>(a), static_cast<std::uint8_t>(d));
  EXPECT_EQ(0xFF, atmel.Read(0x20));
  EXPECT_EQ(1, atmel.chipErases);
}

// --- the catalogue, as the host identifies it through the raw command path ----

class FlashCatalogueTest : public ::testing::Test, public testing_support::SimFixtureBase {
 public:
  // A generic bridge with the raw path, carrying the given part.
  std::string AttachWith(const sim::FlashPart& part) {
    sim::BridgeConfig config;
    config.product = "Probe";
    auto flash = std::make_shared<sim::SerialFlash>(part);
    auto chip = std::make_shared<sim::BridgeChip>(config, flash, nullptr);
    sim::Attachment a;
    a.path = sim::UsbDiskPath("Tavrion", "Probe", part.name);
    a.device = chip;
    machine.Attach(a);
    return a.path;
  }
  // The host's two-command probe: opcode, then a read of n bytes.
  Bytes Probe(const std::string& path, std::uint8_t op, int n) {
    const std::uint8_t command[12] = {0xFF, 0x04, 0x20, 0x01, 0x01, op};
    const std::uint8_t read[12] = {0xFF, 0x04, 0x21, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(n)};
    Bytes out(static_cast<std::size_t>(n), 0);
    EXPECT_EQ(1, device::ScsiPassThroughIn(path.c_str(), command, 12, nullptr, 0, nullptr));
    EXPECT_EQ(1, device::ScsiPassThroughIn(path.c_str(), read, 12, out.data(), n, nullptr));
    return out;
  }
  Bytes IdBytes(const std::string& path, std::uint8_t op, std::uint8_t flag) {
    const std::uint8_t cdb[12] = {0xFF, 0x04, 0x15, 0x03, op, flag};
    Bytes out(3, 0);
    EXPECT_EQ(1, device::ScsiPassThroughIn(path.c_str(), cdb, 12, out.data(), 3, nullptr));
    return out;
  }
};

// Flash maker the host derives from the identification answers (first hit wins).
int MakerOf(FlashCatalogueTest& t, const std::string& path, const Bytes& b) {
  if (b[0] == 0x7F && b[1] == 0x37) return 7;
  if (b[0] == 0x37 && b[1] == 0x30) return 7;
  if (b[0] == 0x1F) return 4;
  if (b[0] == 0xC2) return 5;
  if (b[0] == 0xEF) return 6;
  if (b[0] == 0x20) return 3;
  if (b[0] == 0x1C) return 8;
  if (b[0] == 0x8C) return 9;
  if (b[0] == 0x7F && b[1] == 0x9D) return 1;
  if (b[0] == 0x62) return 10;
  if (b[0] == 0xC8) return 11;
  if (t.Probe(path, 0x90, 4)[3] == 0xBF) return 2;
  const Bytes ab = t.Probe(path, 0xAB, 4);
  if (ab[3] == 0x9D) return 1;
  if (ab[3] == 0x05) return 3;
  if (t.Probe(path, 0x15, 4)[0] == 0x1F) return 4;
  if (t.IdBytes(path, 0x15, 0)[0] == 0x1F) return 4;
  if (t.IdBytes(path, 0xAB, 3)[0] == 0x05) return 3;
  return -1;
}

std::uint32_t Doubling(std::uint8_t b2, std::uint8_t low, std::uint8_t high) {
  return b2 >= low && b2 <= high ? 64u << (b2 - low) : 64u;
}

std::uint32_t SizeOf(FlashCatalogueTest& t, const std::string& path, int maker, const Bytes& b) {
  switch (maker) {
    case 1:
      if (b[0] == 0x7F && b[1] == 0x9D) {
        if (b[2] == 0x20) return 64;
        if (b[2] == 0x21 || b[2] == 0x7C) return 128;
        if (b[2] == 0x22 || b[2] == 0x7D) return 256;
      } else {
        const Bytes ab = t.Probe(path, 0xAB, 6);
        if (ab[3] == 0x9D && ab[4] == 0x7B) return 64;
      }
      return 64;
    case 2:
      if (b[0] == 0xBF) return b[2] == 0x41 ? 2048 : b[2] == 0x4A ? 4096 : 64;
      {
        const Bytes ab = t.Probe(path, 0xAB, 6);
        if (ab[3] == 0xBF && ab[4] == 0x49) return 128;
      }
      return 64;
    case 3:
      return b[0] == 0x20 ? Doubling(b[2], 0x10, 0x16) : 64;
    case 4:
      if (b[0] == 0x1F) return b[1] == 0x66 ? 128 : 64;
      {
        const Bytes id = t.Probe(path, 0x15, 4);
        return id[0] == 0x1F && id[1] == 0x60 ? 128 : 64;
      }
    case 5:
      return b[0] == 0xC2 && (b[1] == 0x20 || b[1] == 0x22) ? Doubling(b[2], 0x10, 0x17) : 64;
    case 6:
      return b[0] == 0xEF && b[2] >= 0x11 && b[2] <= 0x14 ? 64u << (b[2] - 0x10) : 64;
    case 7:
      if (b[0] == 0x37) return Doubling(b[2], 0x10, 0x16);
      if (b[3] == 0x21) return 128;
      if (b[3] == 0x22) return 256;
      if (b[3] == 0x14) return 1024;
      return 64;
    case 8:
      return b[0] == 0x1C ? Doubling(b[2], 0x10, 0x17) : 64;
    case 9:
      return b[0] == 0x8C && b[1] == 0x30 && b[2] == 0x11 ? 128 : 64;
    case 10:
      return t.Probe(path, 0xAB, 4)[3] == 0x44 ? 256 : 64;
    case 11:
      return b[0] == 0xC8 && b[1] == 0x40 && b[2] <= 0x13 ? Doubling(b[2], 0x10, 0x13) : 64;
    default:
      return 64;
  }
}

TEST_F(FlashCatalogueTest, EveryPartIdentifiesAsItsMakerWithItsSize) {
  std::vector<int> makersSeen(12, 0);
  for (const sim::FlashPart& part : sim::FlashParts()) {
    SCOPED_TRACE(part.name);
    const std::string path = AttachWith(part);
    const Bytes jedec = Probe(path, 0x9F, 4);
    const int maker = MakerOf(*this, path, jedec);
    EXPECT_EQ(part.maker, maker);
    EXPECT_EQ(part.sizeKb, SizeOf(*this, path, maker, jedec));
    if (maker >= 0 && maker < 12) ++makersSeen[static_cast<std::size_t>(maker)];
  }
  for (int m = 1; m < 12; ++m) EXPECT_GT(makersSeen[static_cast<std::size_t>(m)], 0) << m;
}

TEST_F(FlashCatalogueTest, AmicAndAtmelDetectorsSeeTheirParts) {
  const std::string boot = AttachWith(*sim::FindFlashPart("amic-a25l512-boot"));
  EXPECT_EQ((Bytes{0x7F, 0x37, 0x20, 0x10}), Probe(boot, 0x9F, 4));
  const std::string atmel = AttachWith(*sim::FindFlashPart("atmel-at25fs010"));
  EXPECT_EQ((Bytes{0x1F, 0x66}), Probe(atmel, 0x9F, 2));
  // A part without a JEDEC answer leaves the line high.
  const std::string old = AttachWith(*sim::FindFlashPart("atmel-at25f512"));
  EXPECT_EQ((Bytes{0xFF, 0xFF, 0xFF, 0xFF}), Probe(old, 0x9F, 4));
  EXPECT_EQ((Bytes{0x1F, 0x65, 0x1F}), IdBytes(old, 0x15, 0));
}

}  // namespace
