// Enclosure variants built from data, and the transient flash faults that let
// a retry succeed.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "scsi/flash_commands.h"
#include "sim/parallel_flash.h"
#include "sim/serial_flash.h"
#include "sim/variant.h"
#include "sim_fixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class SimVariantTest : public ::testing::Test, public testing_support::SimFixtureBase {};

Bytes Cells(const sim::FlashArray& cells, std::uint32_t address, std::size_t n) {
  Bytes out(n);
  cells.Read(address, out.data(), n);
  return out;
}

TEST_F(SimVariantTest, VariantReplacesOnlyWhatItNames) {
  const Bytes bank0(0x100, 0x11), bank1(0x80, 0x22), nvram(512, 0x33);
  auto chip = sim::AttachVariant(machine, {.chipType = 12, .flashPart = "gd-gd25q40",
                                           .bank0 = bank0, .bank1 = bank1, .nvram = nvram,
                                           .nvramAddress = 0x9000, .diskSectors = 4096,
                                           .diskAreaTag = 0x01020304});
  ASSERT_NE(nullptr, chip->serialFlash());
  EXPECT_EQ("gd-gd25q40", chip->serialFlash()->part().name);
  EXPECT_EQ(11, chip->config().flashTypeCode);  // the new part's maker, as the old one's was
  const sim::FlashArray& cells = chip->serialFlash()->cells();
  EXPECT_EQ(bank0, Cells(cells, 0, bank0.size()));
  EXPECT_EQ(bank1, Cells(cells, sim::kBank1Address, bank1.size()));
  EXPECT_EQ(nvram, Cells(cells, 0x9000, nvram.size()));
  // Past the given bytes the factory firmware stays.
  const sim::EnclosureProfile base = *sim::FindProfile("txv929");
  const Bytes factory = sim::FactoryFirmware(base, cells.size());
  EXPECT_EQ(Bytes(factory.begin() + 0x100, factory.begin() + 0x200), Cells(cells, 0x100, 0x100));
  ASSERT_NE(nullptr, chip->disk());
  const sim::EnclosureProfile p = sim::VariantProfile({.chipType = 12, .diskSectors = 4096,
                                                       .diskAreaTag = 0x01020304});
  EXPECT_EQ(4096u, p.disk.sectors);
  EXPECT_EQ(0x01020304u, p.diskAreaTag.value_or(0));
  // A chip that answers 0 for its flash kind keeps answering 0.
  EXPECT_EQ(0, sim::VariantProfile({.profile = "tx40775-pmc", .flashPart = "mxic-mx25l512"})
                   .bridge.flashTypeCode);
  EXPECT_EQ(0u, sim::VariantProfile({.chipType = 12, .diskSectors = 0}).disk.sectors);
}

TEST_F(SimVariantTest, VariantMistakesAreRefusedAndLeaveNothingAttached) {
  const std::vector<sim::Variant> wrong = {
      {.profile = "no-such-profile"},
      {.chipType = 99},
      {.chipType = 12, .flashPart = "no-such-part"},
      {.profile = "tx40775-pmc", .bank1 = Bytes(0x10001, 0)},  // 64 KB part
      {.profile = "tx40775-pmc", .nvram = Bytes(512, 0), .nvramAddress = 0xFF00},
  };
  for (const sim::Variant& v : wrong) {
    EXPECT_THROW(sim::AttachVariant(machine, v), std::invalid_argument) << v.profile;
  }
  EXPECT_EQ(nullptr, machine.Find(sim::ProfilePath(*sim::FindProfile("tx40775-pmc"),
                                                   "tx40775-pmc")));
}

// A transient fault acts on the next N operations that touch its range and
// then lets the part behave: the second read or program of a retry succeeds.
TEST(TransientFlashFaultTest, ActsOnTheNextOperationsOnly) {
  sim::SerialFlash f(*sim::FindFlashPart("pmc-25lv512"));
  const Bytes data(16, 0x5A);
  f.cells().Load(0x100, data.data(), data.size());
  sim::FlashFault wrong;
  wrong.kind = sim::FlashFault::Kind::WrongReadData;
  wrong.address = 0x100;
  wrong.length = 16;
  wrong.mask = 0x80;
  wrong.times = 2;
  f.AddFault(wrong);
  auto read = [&f](std::uint32_t a) {
    return f.Transfer({0x03, 0x00, static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a)},
                      16, 100000);
  };
  EXPECT_EQ(Bytes(16, 0xFF), read(0x200));   // outside the range: not counted
  EXPECT_EQ(Bytes(16, 0xDA), read(0x100));   // 1
  Bytes second(16, 0xFF);
  std::fill_n(second.begin(), 8, std::uint8_t{0xDA});
  EXPECT_EQ(second, read(0x108));  // 2: touches the range
  EXPECT_EQ(data, read(0x100));

  sim::FlashFault stuck;
  stuck.kind = sim::FlashFault::Kind::BitsDoNotProgram;
  stuck.mask = 0x01;
  stuck.times = 1;
  f.AddFault(stuck);
  const std::uint64_t t = 200000;
  f.Transfer({0x06}, 0, t);
  f.Transfer({0x02, 0x00, 0x30, 0x00, 0x00}, 0, t);
  EXPECT_EQ(0x01, f.cells().Read(0x3000));  // the bit stayed set
  f.Transfer({0x06}, 0, t + 10000);  // microseconds: once the first program is done
  f.Transfer({0x02, 0x00, 0x30, 0x00, 0x00}, 0, t + 10000);
  EXPECT_EQ(0x00, f.cells().Read(0x3000));  // the retry programs it
}

TEST(TransientFlashFaultTest, ParallelPartCountsBytes) {
  sim::ParallelFlash f(sim::ParallelPartKind::Atmel49BV512);
  f.cells().Load(0x10, Bytes(4, 0x0F).data(), 4);
  sim::FlashFault wrong;
  wrong.kind = sim::FlashFault::Kind::WrongReadData;
  wrong.mask = 0xF0;
  wrong.times = 3;
  f.AddFault(wrong);
  Bytes seen;
  for (std::uint32_t a = 0x10; a < 0x14; ++a) seen.push_back(f.Read(a));
  EXPECT_EQ((Bytes{0xFF, 0xFF, 0xFF, 0x0F}), seen);
}

}  // namespace
