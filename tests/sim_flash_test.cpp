// The emulated flash parts: the rules the programming procedures rely on, at
// opcode level and through the raw command blocks the host sends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "scsi/passthrough.h"
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
  f.Transfer({0x06}, 0, 10000);  // microseconds: after the page program
  f.Transfer({0x02, 0x00, 0x10, 0x00, 0xF0, 0x0F}, 0, 10000);
  EXPECT_EQ((Bytes{0x00, 0x00}), Read(f, 0x1000, 2));
  f.Transfer({0x06}, 0, 20000);
  f.Transfer({0x20, 0x00, 0x10, 0x00}, 0, 20000);  // 4 KB sector erase
  EXPECT_EQ((Bytes{0xFF, 0xFF}), Read(f, 0x1000, 2, 200000));
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
  EXPECT_EQ(0x00, f.Status(10000) & 0x02) << "the latch drops when the program completes";
  EXPECT_EQ(0x12, Read(f, 0, 1)[0]);
}

TEST(SerialFlashTest, PageProgramWrapsWithinItsPage) {
  sim::SerialFlash f = Part("winbond-w25x10");
  f.Transfer({0x06}, 0, 0);
  f.Transfer({0x02, 0x00, 0x00, 0xFE, 0xA1, 0xA2, 0xA3, 0xA4}, 0, 0);  // 2 bytes left in the page
  EXPECT_EQ((Bytes{0xA1, 0xA2}), Read(f, 0xFE, 2));
  EXPECT_EQ((Bytes{0xA3, 0xA4}), Read(f, 0x00, 2)) << "the rest lands at the page start";
  EXPECT_EQ(0xFF, Read(f, 0x100, 1)[0]);

  sim::SerialFlash m = Part("mxic-c22210-p32");
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
  const std::uint32_t erase = f.EraseUs(0xC7);
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
  f.SetProtection(0x0C);
  f.Transfer({0x06}, 0, 0);
  f.Transfer({0xC7}, 0, 0);
  EXPECT_EQ(0, f.eraseOperations) << "a protected part refuses the erase";
  f.Transfer({0x04}, 0, 0);
  f.Transfer({0x01, 0x00}, 0, 0);  // status write without write enable
  EXPECT_EQ(0x0C, f.protectionBits());
  f.Transfer({0x50}, 0, 0);  // this part does not take 0x50
  f.Transfer({0x01, 0x00}, 0, 0);
  EXPECT_EQ(0x0C, f.protectionBits());
  f.Transfer({0x06}, 0, 0);
  f.Transfer({0x01, 0x00}, 0, 0);
  EXPECT_EQ(0x00, f.protectionBits());
  EXPECT_EQ(0x03, f.Status(0) & 0x03) << "status write running";
  EXPECT_EQ(0x00, f.Status(10000) & 0x03) << "done: latch dropped";
}

TEST(SerialFlashTest, SstAaiByteModeNeedsWriteEnableAndEndsWithWriteDisable) {
  sim::SerialFlash f = Part("sst-25vf512");
  std::uint64_t t = 0;  // each cycle 100 us after the last: past a byte's program time
  f.Transfer({0xAF, 0x00, 0x20, 0x00, 0x11, 0x00}, 0, t += 100);  // no write enable
  EXPECT_FALSE(f.aaiActive());
  f.Transfer({0xAF, 0x22}, 0, t += 100);  // continuation outside AAI mode
  EXPECT_EQ((Bytes{0xFF, 0xFF}), Read(f, 0x2000, 2));

  f.Transfer({0x06}, 0, t += 100);
  f.Transfer({0xAF, 0x00, 0x20, 0x00, 0x11, 0x00}, 0, t += 100);
  EXPECT_TRUE(f.aaiActive());
  f.Transfer({0xAF, 0x22}, 0, t += 100);
  f.Transfer({0xAF, 0x33}, 0, t += 100);
  f.Transfer({0x06}, 0, t += 100);  // not taken in AAI mode
  f.Transfer({0x60}, 0, t += 100);  // nor an erase
  EXPECT_EQ(0x42, f.Status(t) & 0x42) << "the latch and the AAI flag stay set during AAI";
  f.Transfer({0x04}, 0, t += 100);
  EXPECT_FALSE(f.aaiActive());
  EXPECT_EQ(0x00, f.Status(t) & 0x42);
  EXPECT_EQ((Bytes{0x11, 0x22, 0x33, 0xFF}), Read(f, 0x2000, 4));
  f.Transfer({0xAF, 0x44}, 0, t += 100);  // after the end a continuation does nothing
  EXPECT_EQ(0xFF, Read(f, 0x2003, 1)[0]);
}

TEST(SerialFlashTest, SstAaiWordModeContinuesAtItsInternalAddress) {
  sim::SerialFlash f = Part("sst-25vf016b");
  std::uint64_t t = 0;
  f.Transfer({0x06}, 0, t += 100);
  f.Transfer({0xAD, 0x00, 0x40, 0x00, 0x01, 0x02}, 0, t += 100);
  f.Transfer({0xAD, 0x03, 0x04}, 0, t += 100);
  f.Transfer({0xAD, 0x05, 0x06}, 0, t += 100);
  f.Transfer({0xAD, 0x07, 0x08}, 0, t + 5);  // lost: the part is busy 7 us with the last word
  f.Transfer({0xAF, 0x00, 0x50, 0x00, 0x99}, 0, t += 100);  // byte mode is not this part's
  f.Transfer({0x04}, 0, t += 100);
  EXPECT_EQ((Bytes{1, 2, 3, 4, 5, 6, 0xFF}), Read(f, 0x4000, 7));
  EXPECT_EQ(0xFF, Read(f, 0x5000, 1)[0]);
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
  std::uint64_t ready = 0;
  EXPECT_TRUE(f.ReadyAt(10000, ready));
  f.Transfer({0x06}, 0, 10000);
  f.Transfer({0x20, 0x00, 0x00, 0x00}, 0, 10000);  // the second operation never finishes
  EXPECT_EQ(0x01, f.Status(100000000) & 0x01);
  EXPECT_FALSE(f.ReadyAt(100000000, ready));
}

// --- every part as its chip's data sheet describes it ----------------------------------

// One row per part. ids: what the part drives after each identification
// opcode, as "op=hex" with the bytes from the first clock after the opcode
// (dummy clocks read FF); an opcode not listed leaves the line high. erase:
// each erase opcode the part takes as "opcode:unit=typical/maximum", the
// unit in KB, "*" for the whole chip, "a/b/..." for a boot-sector layout from
// address 0 upwards, the busy times in ms. The part must ignore every other
// opcode of kEraseProbes. page: the program buffer, with the busy time of one
// page program (of one byte or word on the AAI parts).
struct PartFacts {
  const char* name;
  const char* chip;  // "" for a stand-in
  const char* ids;
  const char* erase;
  std::uint32_t page;
  double pageTypMs, pageMaxMs;
  sim::StatusWriteEnable statusWrite;
  std::uint8_t protectMask;
};

constexpr auto kWren = sim::StatusWriteEnable::Wren;
constexpr auto kEwsr = sim::StatusWriteEnable::Ewsr;
constexpr auto kEither = sim::StatusWriteEnable::Either;

const PartFacts kPartFacts[] = {
    {"pmc-25ld512", "Pm25LD512", "9F=7F9D20",
     "20:4=40/120 D7:4=40/120 D8:32=40/120 60:*=40/120 C7:*=40/120", 256, 2, 6, kWren, 0x1C},
    {"pmc-25lv010", "Pm25LV010A", "9F=7F9D7C AB=FFFFFF9D7C",
     "D7:4=40/120 D8:32=40/120 C7:*=40/120", 256, 2, 6, kWren, 0x0C},
    {"pmc-25lv020", "Pm25LV020", "9F=7F9D7D", "D7:4=40/120 D8:64=40/120 C7:*=40/120", 256, 2, 6,
     kWren, 0x1C},
    {"pmc-25lv512-res", "Pm25LV512", "AB=FFFFFF9D7B", "D7:4=40/120 D8:32=40/120 C7:*=40/120",
     256, 2, 6, kWren, 0x0C},
    {"sst-25vf512", "SST25VF512", "90=FFFFFFBF48 AB=FFFFFFBF48",
     "20:4=18/25 52:32=18/25 60:*=70/100", 1, 0.014, 0.020, kEwsr, 0x0C},
    {"sst-25vf010", "SST25VF010", "90=FFFFFFBF49 AB=FFFFFFBF49",
     "20:4=18/25 52:32=18/25 60:*=70/100", 1, 0.014, 0.020, kEwsr, 0x0C},
    {"sst-25vf016b", "SST25VF016B", "9F=BF2541 90=FFFFFFBF41 AB=FFFFFFBF41",
     "20:4=18/25 52:32=18/25 D8:64=18/25 60:*=35/50 C7:*=35/50", 1, 0.007, 0.010, kEither, 0x3C},
    {"sst-25vf032b", "SST25VF032B", "9F=BF254A 90=FFFFFFBF4A AB=FFFFFFBF4A",
     "20:4=18/25 52:32=18/25 D8:64=18/25 60:*=35/50 C7:*=35/50", 1, 0.007, 0.010, kEwsr, 0x3C},
    {"st-m25p05", "M25P05-A", "9F=202010 AB=FFFFFF05", "D8:32=1000/3000 C7:*=2500/7500", 256,
     1.4, 5, kWren, 0x3C},
    {"st-m25p10", "M25P10-A", "9F=202011 AB=FFFFFF10", "D8:32=1000/3000 C7:*=1700/5100", 256,
     1.4, 5, kWren, 0x3C},
    {"st-m25p80", "M25P80", "9F=202014 AB=FFFFFF13", "D8:64=1000/3000 C7:*=10000/20000", 256,
     1.4, 5, kWren, 0x3C},
    {"st-m25p05-res", "M25P05", "AB=FFFFFF05", "D8:32=1000/3000 C7:*=2000/6000", 128, 3, 9,
     kWren, 0x3C},
    {"atmel-at25f512", "AT25F512", "15=1F60", "52:32=1000/3000 62:*=2000/6000", 256, 19.2, 57.6,
     kWren, 0x0C},
    {"atmel-at25f512a", "AT25F512A", "15=1F65", "52:32=1000/3000 62:*=2000/6000", 128, 9.6,
     28.8, kWren, 0x04},
    {"atmel-at25f1024", "AT25F1024", "15=1F60", "52:32=1000/3000 62:*=4000/12000", 256, 19.2,
     57.6, kWren, 0x0C},
    {"atmel-at25fs010", "AT25FS010", "9F=1F6601",
     "20:4=100/300 D7:4=100/300 52:32=500/1500 D8:32=500/1500 60:*=2000/6000 C7:*=2000/6000",
     256, 2.5, 7.5, kWren, 0x6C},
    {"atmel-at25f512b", "AT25F512B", "9F=1F6501",
     "20:4=100/300 52:32=500/1500 D8:32=500/1500 60:*=1000/3000 C7:*=1000/3000 62:*=1000/3000",
     256, 2.5, 7.5, kWren, 0x1C},
    {"mxic-mx25l512", "MX25L512", "9F=C22010 AB=FFFFFF05",
     "20:4=60/120 52:64=1000/2000 D8:64=1000/2000 60:*=1000/2000 C7:*=1000/2000", 256, 1.4, 5,
     kWren, 0x0C},
    {"mxic-mx25l8005", "MX25L8005", "9F=C22014 AB=FFFFFF13",
     "20:4=60/120 52:64=1000/2000 D8:64=1000/2000 60:*=8000/20000 C7:*=8000/20000", 256, 1.4, 5,
     kWren, 0x1C},
    {"mxic-mx25l1605", "MX25L1605", "9F=C22015 AB=FFFFFF14",
     "20:64=1000/2000 D8:64=1000/2000 60:*=15000/30000 C7:*=15000/30000", 256, 1.4, 5, kWren,
     0x1C},
    {"mxic-c22210-p32", "", "9F=C22210",
     "20:4=60/120 D8:64=1000/2000 60:*=1000/2000 C7:*=1000/2000", 32, 1.4, 5, kWren, 0x1C},
    {"mxic-c22211-p32", "", "9F=C22211",
     "20:4=60/120 D8:64=1000/2000 60:*=2000/4000 C7:*=2000/4000", 32, 1.4, 5, kWren, 0x1C},
    {"mxic-c22213-p32", "", "9F=C22213",
     "20:4=60/120 D8:64=1000/2000 60:*=5000/15000 C7:*=5000/15000", 32, 1.4, 5, kWren, 0x1C},
    {"winbond-w25x05", "W25X05", "9F=EF3010 90=FFFFFFEF05 AB=FFFFFF05",
     "20:4=150/300 52:32=500/1500 D8:64=1000/2000 60:*=1000/3000 C7:*=1000/3000", 256, 1.5, 3,
     kWren, 0x1C},
    {"winbond-w25x10", "W25X10", "9F=EF3011 90=FFFFFFEF10 AB=FFFFFF10",
     "20:4=150/300 D8:64=1000/2000 C7:*=2000/6000", 256, 1.5, 3, kWren, 0x1C},
    {"winbond-w25x20", "W25X20", "9F=EF3012 90=FFFFFFEF11 AB=FFFFFF11",
     "20:4=150/300 D8:64=1000/2000 C7:*=3000/9000", 256, 1.5, 3, kWren, 0x1C},
    {"winbond-w25x40", "W25X40", "9F=EF3013 90=FFFFFFEF12 AB=FFFFFF12",
     "20:4=150/300 D8:64=1000/2000 C7:*=5000/15000", 256, 1.5, 3, kWren, 0x1C},
    {"winbond-w25x80", "W25X80", "9F=EF3014 90=FFFFFFEF13 AB=FFFFFF13",
     "20:4=150/300 D8:64=1000/2000 C7:*=10000/30000", 256, 1.5, 3, kWren, 0x1C},
    {"winbond-ef4010", "", "9F=EF4010",
     "20:4=150/300 D8:64=1000/2000 60:*=1000/3000 C7:*=1000/3000", 256, 1.5, 3, kWren, 0x1C},
    {"amic-a25l05pu", "A25L05PU", "9F=7F372010", "D8:4/4/8/16/32=1000/3000 C7:*=1000/3000", 256,
     1.5, 5, kWren, 0x0C},
    {"amic-a25l05pt", "A25L05PT", "9F=7F372020 AB=FFFFFF05",
     "D8:32/16/8/4/4=1000/3000 C7:*=1000/3000", 256, 1.5, 5, kWren, 0x0C},
    {"amic-a25l10pt", "A25L10PT", "9F=7F372021", "D8:64/32/16/8/4/4=1000/3000 C7:*=2000/6000",
     256, 1.5, 5, kWren, 0x0C},
    {"amic-a25l080", "A25L080", "9F=373014", "20:4=150/450 D8:64=1000/3000 C7:*=10000/30000",
     256, 1.5, 5, kWren, 0x1C},
    {"eon-en25p05", "EN25P05", "9F=1C2010", "D8:32=800/2400 C7:*=1000/3000", 256, 1.5, 4.5,
     kWren, 0x1C},
    {"eon-en25f80", "EN25F80", "9F=1C3114",
     "20:4=150/450 D8:64=800/2400 60:*=10000/30000 C7:*=10000/30000", 256, 1.5, 4.5, kWren,
     0x1C},
    {"esmt-f25l01pa", "F25L01PA", "9F=8C3011",
     "20:4=90/270 D8:64=750/2250 60:*=1000/3000 C7:*=1000/3000", 256, 1.5, 4.5, kWren, 0x1C},
    {"sanyo-le25fu206", "LE25FU206", "AB=FFFFFF6244", "D7:4=150/450 D8:64=1000/3000 C7:*=3000/9000",
     256, 1.5, 4.5, kWren, 0x0C},
    {"sanyo-6206-res44", "", "9F=620612 AB=FFFFFF44", "D7:4=150/450 D8:64=1000/3000 C7:*=3000/9000",
     256, 1.5, 4.5, kWren, 0x1C},
    {"gd-gd25q512", "GD25Q512", "9F=C84010",
     "20:4=50/150 52:32=150/450 60:*=500/1500 C7:*=500/1500", 256, 0.7, 2.4, kWren, 0x7C},
    {"gd-gd25q10", "GD25Q10", "9F=C84011",
     "20:4=50/150 52:32=150/450 D8:64=250/750 60:*=1000/3000 C7:*=1000/3000", 256, 0.7, 2.4,
     kWren, 0x7C},
    {"gd-gd25q40", "GD25Q40", "9F=C84013",
     "20:4=50/150 52:32=150/450 D8:64=250/750 60:*=2000/6000 C7:*=2000/6000", 256, 0.7, 2.4,
     kWren, 0x7C},
};

const std::uint8_t kEraseProbes[] = {0x20, 0x52, 0xD7, 0xD8, 0x60, 0xC7, 0x62};
const std::uint8_t kIdOpcodes[] = {0x9F, 0x90, 0xAB, 0x15};

using Run = std::pair<std::uint32_t, std::uint32_t>;  // [first, end)

Bytes Hex(const std::string& text) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  return out;
}

// What the part drives for each identification opcode, over as many clocks
// as the row lists; a part that ignores the opcode leaves the line high.
void ExpectIds(const sim::FlashPart& part, const std::string& ids) {
  for (std::uint8_t op : kIdOpcodes) {
    char key[4];
    std::snprintf(key, sizeof key, "%02X=", op);
    const std::size_t at = ids.find(key);
    const Bytes expected = at == std::string::npos
                               ? Bytes{0xFF, 0xFF}
                               : Hex(ids.substr(at + 3, ids.find(' ', at) - at - 3));
    sim::SerialFlash f(part);
    EXPECT_EQ(expected, f.Transfer({op}, expected.size(), 0)) << key;
  }
}

// Sends one erase cycle (after a write enable) to a part whose cells all read
// 0x00 and returns the runs of cells that read 0xFF afterwards.
std::vector<Run> ErasedRuns(const sim::FlashPart& part, Bytes cycle) {
  sim::SerialFlash f(part);
  const Bytes zeros(f.cells().size(), 0x00);
  f.cells().Load(0, zeros.data(), zeros.size());
  f.Transfer({0x06}, 0, 0);
  f.Transfer(cycle, 0, 0);
  std::vector<Run> runs;
  const std::vector<std::uint8_t>& cells = f.cells().cells();
  for (std::uint32_t a = 0; a < cells.size(); ++a) {
    if (cells[a] != 0xFF) continue;
    if (runs.empty() || runs.back().second != a) runs.push_back({a, a});
    runs.back().second = a + 1;
  }
  return runs;
}

Bytes WithAddress(std::uint8_t op, std::uint32_t a) {
  return {op, static_cast<std::uint8_t>(a >> 16), static_cast<std::uint8_t>(a >> 8),
          static_cast<std::uint8_t>(a)};
}

// The part stays busy for exactly the given time after the cycle, to the
// microsecond: the typical one unless the maximum is asked for.
void ExpectBusyFor(const sim::FlashPart& part, const Bytes& cycle, double typMs, double maxMs) {
  for (auto [which, ms] : {std::pair{sim::BusyTimes::Typical, typMs},
                           std::pair{sim::BusyTimes::Maximum, maxMs}}) {
    sim::SerialFlash f(part);
    f.SetBusyTimes(which);
    const std::uint64_t start = 1000, end = start + static_cast<std::uint64_t>(std::llround(ms * 1000));
    f.Transfer({0x06}, 0, start);
    f.Transfer(cycle, 0, start);
    if (end > start) {
      EXPECT_EQ(0x01, f.Status(end - 1) & 0x01) << ms;
    }
    EXPECT_EQ(0x00, f.Status(end) & 0x01) << ms;
  }
}

// Each opcode of the row's erase list clears exactly its unit (each boot
// block on its own) and keeps the part busy for its time; sent with one byte
// too many it does nothing; every other probe opcode clears nothing.
void ExpectEraseUnits(const sim::FlashPart& part, const std::string& units) {
  const std::uint32_t size = part.sizeBytes();
  std::vector<std::uint8_t> listed;
  std::istringstream tokens(units);
  for (std::string token; tokens >> token;) {
    const std::uint8_t op = static_cast<std::uint8_t>(std::stoul(token.substr(0, 2), nullptr, 16));
    const std::string unit = token.substr(3, token.find('=') - 3);
    const std::string times = token.substr(token.find('=') + 1);
    const double typMs = std::stod(times.substr(0, times.find('/')));
    const double maxMs = std::stod(times.substr(times.find('/') + 1));
    listed.push_back(op);
    SCOPED_TRACE(token);
    Bytes cycle;
    if (unit == "*") {
      cycle = {op};
      EXPECT_EQ((std::vector<Run>{{0, size}}), ErasedRuns(part, cycle));
    } else if (unit.find('/') != std::string::npos) {
      std::istringstream blocks(unit);
      std::uint32_t start = 0;
      for (std::string kb; std::getline(blocks, kb, '/');) {
        const std::uint32_t length = static_cast<std::uint32_t>(std::stoul(kb)) * 1024;
        cycle = WithAddress(op, start + length / 2);
        EXPECT_EQ((std::vector<Run>{{start, start + length}}), ErasedRuns(part, cycle));
        start += length;
      }
      EXPECT_EQ(size, start) << "the layout covers the part";
    } else {
      const std::uint32_t length = static_cast<std::uint32_t>(std::stoul(unit)) * 1024;
      const std::uint32_t start = size > length ? length : 0;  // the second unit when there is one
      cycle = WithAddress(op, start + 0x123);
      EXPECT_EQ((std::vector<Run>{{start, start + length}}), ErasedRuns(part, cycle));
    }
    ExpectBusyFor(part, cycle, typMs, maxMs);
    Bytes longer = cycle;
    longer.push_back(0x00);
    EXPECT_TRUE(ErasedRuns(part, longer).empty()) << "dropped with a byte too many";
  }
  for (std::uint8_t op : kEraseProbes) {
    if (std::find(listed.begin(), listed.end(), op) != listed.end()) continue;
    SCOPED_TRACE(static_cast<int>(op));
    EXPECT_TRUE(ErasedRuns(part, WithAddress(op, 0x123)).empty()) << "ignored with an address";
    EXPECT_TRUE(ErasedRuns(part, {op}).empty()) << "ignored alone";
  }
}

// A page program of one byte more than the page: the last byte wraps to the
// page start.
void ExpectPageWrap(const sim::FlashPart& part, std::uint32_t page) {
  sim::SerialFlash f(part);
  Bytes cycle = WithAddress(0x02, 0);
  for (std::uint32_t i = 0; i < page; ++i) cycle.push_back(static_cast<std::uint8_t>(i));
  cycle.push_back(0x5A);
  f.Transfer({0x06}, 0, 0);
  f.Transfer(cycle, 0, 0);
  EXPECT_EQ(0x5A, Read(f, 0, 1)[0]) << "wrapped to the page start";
  EXPECT_EQ(0xFF, Read(f, page, 1)[0]) << "nothing past the page";
}

// Which enable lets a status write through, and which bits it can set; a
// write enable with a byte too many enables nothing.
void ExpectStatusWrite(const sim::FlashPart& part, sim::StatusWriteEnable rule,
                       std::uint8_t mask) {
  for (std::uint8_t enable : {0x06, 0x50}) {
    sim::SerialFlash f(part);
    f.SetProtection(0xFF);
    EXPECT_EQ(mask, f.protectionBits());
    f.Transfer({enable}, 0, 0);
    f.Transfer({0x01, 0x00}, 0, 0);
    const bool taken = enable == 0x06 ? rule != sim::StatusWriteEnable::Ewsr
                                      : rule != sim::StatusWriteEnable::Wren;
    EXPECT_EQ(taken ? 0x00 : mask, f.protectionBits()) << "after enable " << int{enable};
  }
  sim::SerialFlash f(part);
  f.Transfer({0x06, 0x00}, 0, 0);
  EXPECT_FALSE(f.writeEnabled());
}

TEST(FlashPartFactsTest, EveryPartAsItsChip) {
  std::vector<std::string> rows;
  for (const PartFacts& row : kPartFacts) {
    SCOPED_TRACE(row.name);
    rows.push_back(row.name);
    const sim::FlashPart* part = sim::FindFlashPart(row.name);
    ASSERT_NE(nullptr, part);
    EXPECT_EQ(row.name, part->name);
    EXPECT_EQ(row.chip, part->chip);
    EXPECT_EQ(part->standIn(), !part->standInFor.empty()) << "a stand-in names its row";
    ExpectIds(*part, row.ids);
    ExpectEraseUnits(*part, row.erase);
    ExpectPageWrap(*part, row.page);
    const std::uint8_t program = part->aai == sim::AaiMode::None   ? 0x02
                                 : part->aai == sim::AaiMode::Byte ? 0xAF
                                                                   : 0xAD;
    ExpectBusyFor(*part, Bytes{program, 0, 0, 0, 0, 0}, row.pageTypMs, row.pageMaxMs);
    // The status write cycle (tW), 10 ms typical and 15 ms at most; none on the SST parts.
    const double cycle = part->aai == sim::AaiMode::None ? 1 : 0;
    ExpectBusyFor(*part, Bytes{0x01, 0x00}, 10 * cycle, 15 * cycle);
    ExpectStatusWrite(*part, row.statusWrite, row.protectMask);
  }
  std::vector<std::string> catalogue;
  for (const sim::FlashPart& p : sim::FlashParts()) catalogue.push_back(p.name);
  EXPECT_EQ(catalogue, rows) << "one row per part, in catalogue order";
}

TEST(ParallelFlashTest, OnlyTheMatchingUnlockSequenceProgramsOrErases) {
  sim::ParallelFlash pmc(sim::ParallelPartKind::Pmc39LV512);
  // The ATMEL/SST sequence on a PMC part does nothing.
  pmc.Write(0x5555, 0xAA, 0);
  pmc.Write(0x2AAA, 0x55, 0);
  pmc.Write(0x5555, 0xA0, 0);
  pmc.Write(0x0010, 0x12, 0);
  EXPECT_EQ(0xFF, pmc.Read(0x10));
  EXPECT_EQ(0, pmc.programmedBytes);
  pmc.Write(0x0555, 0xAA, 0);
  pmc.Write(0x02AA, 0x55, 0);
  pmc.Write(0x0555, 0xA0, 0);
  pmc.Write(0x0010, 0x12, 0);
  EXPECT_EQ(0x12, pmc.Read(0x10));
  EXPECT_TRUE(pmc.Busy(0));

  sim::ParallelFlash atmel(sim::ParallelPartKind::Atmel49BV512);
  atmel.cells().Program(0x20, 0x00);
  for (auto [a, d] : {std::pair{0x0555, 0xAA},
                      {0x02AA, 0x55},
                      {0x0555, 0x80},
                      {0x0555, 0xAA},
                      {0x02AA, 0x55},
                      {0x0555, 0x10}})
    atmel.Write(static_cast<std::uint16_t>(a), static_cast<std::uint8_t>(d), 0);
  EXPECT_EQ(0x00, atmel.Read(0x20));
  EXPECT_EQ(0, atmel.chipErases);
  for (auto [a, d] : {std::pair{0x5555, 0xAA},
                      {0x2AAA, 0x55},
                      {0x5555, 0x80},
                      {0x5555, 0xAA},
                      {0x2AAA, 0x55},
                      {0x5555, 0x10}})
    atmel.Write(static_cast<std::uint16_t>(a), static_cast<std::uint8_t>(d), 0);
  EXPECT_EQ(0xFF, atmel.Read(0x20));
  EXPECT_EQ(1, atmel.chipErases);
}

TEST(ParallelFlashTest, SectorAndBlockErasesWhereThePartHasThem) {
  struct Row {
    sim::ParallelPartKind kind;
    std::uint16_t h, g;  // unlock addresses
    std::uint8_t command;
    std::uint32_t first, end;  // what the erase at 0x1234 clears; first == end: nothing
  };
  const Row rows[] = {
      {sim::ParallelPartKind::Atmel49BV512, 0x5555, 0x2AAA, 0x30, 0, 0},
      {sim::ParallelPartKind::Atmel49BV512, 0x5555, 0x2AAA, 0x50, 0, 0},
      {sim::ParallelPartKind::Pmc39LV512, 0x0555, 0x02AA, 0x30, 0x1000, 0x2000},
      {sim::ParallelPartKind::Pmc39LV512, 0x0555, 0x02AA, 0x50, 0x0000, 0x10000},
      {sim::ParallelPartKind::Sst39LF512, 0x5555, 0x2AAA, 0x30, 0x1000, 0x2000},
      {sim::ParallelPartKind::Sst39LF512, 0x5555, 0x2AAA, 0x50, 0, 0},
  };
  for (const Row& r : rows) {
    sim::ParallelFlash f(r.kind);
    SCOPED_TRACE(f.part().name + " " + std::to_string(r.command));
    const Bytes zeros(sim::ParallelFlash::kSize, 0x00);
    f.cells().Load(0, zeros.data(), zeros.size());
    for (auto [a, d] : {std::pair{r.h, 0xAA}, {r.g, 0x55}, {r.h, 0x80}, {r.h, 0xAA}, {r.g, 0x55}})
      f.Write(a, static_cast<std::uint8_t>(d), 0);
    f.Write(0x1234, r.command, 0);
    for (std::uint32_t a : {0x0000u, 0x0FFFu, 0x1000u, 0x1FFFu, 0x2000u, 0xFFFFu})
      EXPECT_EQ(a >= r.first && a < r.end ? 0xFF : 0x00, f.Read(a)) << a;
    EXPECT_EQ(r.first == r.end ? 0 : 1, f.unitErases);
    EXPECT_EQ(0, f.chipErases);
  }
}

// Each operation keeps the part busy for its data sheet time, typical or
// maximum as asked; meanwhile the part ignores the bus.
TEST(ParallelFlashTest, BusyForThePartsTimesTypicalAndMaximum) {
  struct Row {
    sim::ParallelPartKind kind;
    std::uint16_t h, g;
    std::uint8_t command;  // 0x10 chip erase, 0x30 sector erase, 0xA0 byte program
    std::uint32_t typicalUs, maximumUs;
  };
  const Row rows[] = {
      {sim::ParallelPartKind::Atmel49BV512, 0x5555, 0x2AAA, 0x10, 3'300'000, 10'000'000},
      {sim::ParallelPartKind::Atmel49BV512, 0x5555, 0x2AAA, 0xA0, 30, 90},
      {sim::ParallelPartKind::Pmc39LV512, 0x0555, 0x02AA, 0x10, 40'000, 120'000},
      {sim::ParallelPartKind::Pmc39LV512, 0x0555, 0x02AA, 0x30, 40'000, 120'000},
      {sim::ParallelPartKind::Pmc39LV512, 0x0555, 0x02AA, 0xA0, 20, 60},
      {sim::ParallelPartKind::Sst39LF512, 0x5555, 0x2AAA, 0x10, 70'000, 100'000},
      {sim::ParallelPartKind::Sst39LF512, 0x5555, 0x2AAA, 0x30, 18'000, 25'000},
      {sim::ParallelPartKind::Sst39LF512, 0x5555, 0x2AAA, 0xA0, 14, 20},
  };
  for (const Row& r : rows) {
    for (sim::BusyTimes which : {sim::BusyTimes::Typical, sim::BusyTimes::Maximum}) {
      sim::ParallelFlash f(r.kind);
      f.SetBusyTimes(which);
      const std::uint32_t us = which == sim::BusyTimes::Maximum ? r.maximumUs : r.typicalUs;
      SCOPED_TRACE(f.part().name + " " + std::to_string(r.command) + " " + std::to_string(us));
      const std::uint64_t t0 = 5000;
      f.Write(r.h, 0xAA, t0);
      f.Write(r.g, 0x55, t0);
      if (r.command == 0xA0) {
        f.Write(r.h, 0xA0, t0);
        f.Write(0x0100, 0x00, t0);
      } else {
        for (auto [a, d] : {std::pair{r.h, 0x80}, {r.h, 0xAA}, {r.g, 0x55}})
          f.Write(a, static_cast<std::uint8_t>(d), t0);
        f.Write(r.command == 0x10 ? r.h : std::uint16_t{0x1000}, r.command, t0);
      }
      EXPECT_TRUE(f.Busy(t0 + us - 1));
      std::uint64_t settled = t0;
      EXPECT_TRUE(f.Settle(settled));
      EXPECT_EQ(t0 + us, settled);
      EXPECT_FALSE(f.Busy(t0 + us));
      // A program sent while busy is lost; once ready it takes.
      for (std::uint64_t at : {t0 + us - 1, t0 + us}) {
        f.Write(r.h, 0xAA, at);
        f.Write(r.g, 0x55, at);
        f.Write(r.h, 0xA0, at);
        f.Write(0x0200, static_cast<std::uint8_t>(at & 0x7F), at);
      }
      EXPECT_EQ((t0 + us) & 0x7F, f.Read(0x0200));
    }
  }
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
      return b[0] == 0x1F && b[1] == 0x66 ? 128 : 64;
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
    if (part.name == "sanyo-le25fu206") {
      // No JEDEC answer, and its 0xAB answer (62 44) matches no row: the
      // host cannot tell what it is.
      EXPECT_EQ(-1, maker);
      continue;
    }
    EXPECT_EQ(part.maker, maker);
    // The AT25F1024 answers 1F 60 as the 64 KB AT25F512 does: the host takes
    // the smaller size.
    const std::uint32_t sizeKb = part.name == "atmel-at25f1024" ? 64 : part.sizeKb;
    EXPECT_EQ(sizeKb, SizeOf(*this, path, maker, jedec));
    if (maker >= 0 && maker < 12) ++makersSeen[static_cast<std::size_t>(maker)];
  }
  for (int m = 1; m < 12; ++m) EXPECT_GT(makersSeen[static_cast<std::size_t>(m)], 0) << m;
}

TEST_F(FlashCatalogueTest, AmicAndAtmelDetectorsSeeTheirParts) {
  const std::string boot = AttachWith(*sim::FindFlashPart("amic-a25l05pu"));
  EXPECT_EQ((Bytes{0x7F, 0x37, 0x20, 0x10}), Probe(boot, 0x9F, 4));
  const std::string atmel = AttachWith(*sim::FindFlashPart("atmel-at25fs010"));
  EXPECT_EQ((Bytes{0x1F, 0x66}), Probe(atmel, 0x9F, 2));
  // A part without a JEDEC answer leaves the line high.
  const std::string old = AttachWith(*sim::FindFlashPart("atmel-at25f512"));
  EXPECT_EQ((Bytes{0xFF, 0xFF, 0xFF, 0xFF}), Probe(old, 0x9F, 4));
  EXPECT_EQ((Bytes{0x1F, 0x60, 0x1F}), IdBytes(old, 0x15, 0));
}

}  // namespace
