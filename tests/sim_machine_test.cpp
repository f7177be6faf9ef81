#include <gtest/gtest.h>

#include <cctype>
#include <cstring>

#include "scsi/passthrough.h"
#include "sim_fixture.h"

namespace {

class SimMachineTest : public ::testing::Test, public testing_support::SimFixtureBase {};

TEST_F(SimMachineTest, SleepAdvancesVirtualTimeOnly) {
  machine.Sleep(500);
  machine.Sleep(10);
  EXPECT_EQ(510u, machine.NowMs());
  EXPECT_EQ(510u, machine.SleptMs());
}

TEST_F(SimMachineTest, UnknownCommandsAreRejectedAndInquiryAnswers) {
  const std::string a = AttachUsb("TX40775", 1);
  std::uint8_t inquiry[12] = {0x12, 0, 0, 0, 36};
  std::uint8_t data[36] = {};
  std::int32_t moved = 0;
  ASSERT_EQ(1, device::ScsiPassThroughIn(a.c_str(), inquiry, 12, data, 36, &moved));
  EXPECT_EQ(0, std::memcmp(data + 8, "Tavrion TX40775", 15));
  std::uint8_t odd[12] = {0xC7};
  EXPECT_EQ(0, device::ScsiPassThroughIn(a.c_str(), odd, 12, data, 4, &moved));
  EXPECT_EQ(sim::Outcome::CheckCondition, machine.transcript().back().outcome);
}

TEST_F(SimMachineTest, AttachAndDetachAreReportedAsDeviceChanges) {
  std::vector<std::uint32_t> events;
  machine.onDeviceChange = [&](std::uint32_t e) { events.push_back(e); };
  const std::string a = AttachUsb("A", 1, {{'E', 1}});
  EXPECT_EQ(host::kDriveRemovable, machine.DriveType("E:\\"));
  EXPECT_TRUE(machine.Detach(a));
  EXPECT_FALSE(machine.Detach(a));
  EXPECT_EQ((std::vector<std::uint32_t>{0x8000, 0x8004}), events);
  EXPECT_EQ(host::kDriveNoRootDir, machine.DriveType("E:\\"));
}

TEST_F(SimMachineTest, PathsOpenWhateverTheirCase) {
  const std::string a = AttachUsb("A", 1);
  std::string upper = a;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  host::DeviceNumber n;
  EXPECT_TRUE(device::GetDeviceNumber(upper.c_str(), &n));
}

TEST(CdbPatternTest, WildcardsAndLength) {
  const sim::CdbPattern p("FF ?? 54");
  const std::uint8_t a[3] = {0xFF, 0x12, 0x54};
  const std::uint8_t b[3] = {0xFF, 0x12, 0x55};
  EXPECT_TRUE(p.Matches(a, 3));
  EXPECT_FALSE(p.Matches(b, 3));
  EXPECT_FALSE(p.Matches(a, 2));
  EXPECT_THROW(sim::CdbPattern("GG"), std::invalid_argument);
}

}  // namespace

#include "sim/flash_array.h"

namespace {

TEST(FlashArrayTest, ProgramOnlyClearsBitsAndEraseRestoresOnes) {
  sim::FlashArray flash(0x2000);
  flash.Program(0x10, 0xF0);
  flash.Program(0x10, 0x0F);  // without an erase the second program cannot set bits
  EXPECT_EQ(0x00, flash.Read(0x10));
  flash.EraseUnit(0x1FFF, 0x1000);
  EXPECT_EQ(0x00, flash.Read(0x10));  // another unit
  flash.EraseUnit(0x0010, 0x1000);
  EXPECT_EQ(0xFF, flash.Read(0x10));
  flash.stuckBits = 0x01;
  flash.Program(0x20, 0x00);
  EXPECT_EQ(0x01, flash.Read(0x20));
}

}  // namespace
