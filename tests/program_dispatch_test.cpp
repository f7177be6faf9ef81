#include <gtest/gtest.h>

#include <cstring>

#include "chips/chip_types.h"
#include "chips/display_rules.h"
#include "engine/crc16.h"
#include "engine/dispatch.h"

namespace {

using device::ChipState;
using program::DispatchChecks;
using program::Procedure;
using program::RunOptions;
using program::SelectProcedure;

constexpr device::BusKind kUsb = device::BusKind::Usb;
constexpr device::BusKind kFireWire = device::BusKind::Ieee1394;

ChipState Chip(int type, int kind = 1) {
  ChipState f;
  f.chipType = static_cast<std::uint8_t>(type);
  f.flashTypeCode = kind;
  return f;
}

TEST(DispatchTest, EachChipTypeGetsItsProcedure) {
  const DispatchChecks fits{[] { return true; }, [] { return false; }};
  const RunOptions o;
  struct Row {
    int type, kind;
    Procedure expected;
  } rows[] = {
      {19, 0, Procedure::DiskAreaFirmware},   {12, 0, Procedure::HddHostedFirmware},
      {16, 0, Procedure::HddHostedFirmware},  {10, 2, Procedure::SstSerialFlash},
      {10, 1, Procedure::NvramPage16K},       {6, 1, Procedure::NvramPage16K},
      {8, 1, Procedure::BlockCommandFlash},   {9, 1, Procedure::BlockCommandFlash},
      {12, 1, Procedure::BlockCommandFlash},  {16, 4, Procedure::BlockCommandFlash},
      {1, 1, Procedure::StandardSerialFlash}, {3, 3, Procedure::StandardSerialFlash},
      {4, 1, Procedure::StandardSerialFlash}, {7, 1, Procedure::StandardSerialFlash},
      {17, 1, Procedure::StandardSerialFlash}, {19, 1, Procedure::StandardSerialFlash},
      {2, 0, Procedure::InternalRomParallelFlash}, {24, 0, Procedure::InternalRomParallelFlash},
      {13, 1, Procedure::BridgeBehindController}, {14, 1, Procedure::BridgeBehindController},
      {15, 1, Procedure::BridgeBehindController}, {18, 0, Procedure::DiskAreaFirmware},
      {0, 0, Procedure::None},                {20, 1, Procedure::None},
      {23, 1, Procedure::None},
  };
  for (const Row& r : rows)
    EXPECT_EQ(r.expected, SelectProcedure(Chip(r.type, r.kind), o, kUsb, fits))
        << "chip type " << r.type << " kind " << r.kind;
}

// A chip type the window offers an update for reaches a procedure; one it
// calls unsupported reaches none.
TEST(DispatchTest, EveryChipTypeOfferedAnUpdateHasAProcedure) {
  const DispatchChecks fits{[] { return true; }, [] { return false; }};
  for (const device::ChipRow& row : device::kChipTable) {
    const int code = device::Code(row.type);
    ChipState facts = Chip(code);
    facts.bridgeVersion = 208;
    const bool offered = identify::DisplayGroupOf(code) != identify::DisplayGroup::Unsupported;
    EXPECT_EQ(offered, SelectProcedure(facts, RunOptions{}, kUsb, fits) != Procedure::None)
        << row.name << " (chip type " << code << ")";
  }
}

TEST(DispatchTest, FlagsAndPathsDecideWithinAFamily) {
  const DispatchChecks fits{[] { return true; }, [] { return false; }};
  RunOptions o;
  ChipState sst = Chip(1, 2);
  sst.sstJedecFlag = 1;
  EXPECT_EQ(Procedure::SstSerialFlash, SelectProcedure(sst, o, kUsb, fits));
  EXPECT_EQ(Procedure::Ieee1394BridgeFlash, SelectProcedure(Chip(7), o, kFireWire, fits));
  // The IEEE 1394 rule comes before the SST one.
  ChipState sst7 = Chip(7, 2);
  sst7.sstJedecFlag = 1;
  EXPECT_EQ(Procedure::Ieee1394BridgeFlash, SelectProcedure(sst7, o, kFireWire, fits));
  // Only an enclosure found on IEEE 1394 gets the 1394 procedure.
  EXPECT_EQ(Procedure::StandardSerialFlash,
            SelectProcedure(Chip(7), o, device::BusKind::Other, fits));
  o.hddFwChecked = true;
  EXPECT_EQ(Procedure::HddHostedFirmware, SelectProcedure(Chip(12, 1), o, kUsb, fits));

  ChipState five = Chip(5);
  five.bridgeVersion = 207;
  EXPECT_EQ(Procedure::None, SelectProcedure(five, o, kUsb, fits));
  five.bridgeVersion = 208;
  EXPECT_EQ(Procedure::DiskAreaFirmware, SelectProcedure(five, o, kUsb, fits));
}

TEST(DispatchTest, ChipTypeElevenFollowsRegister505EAndSubCode) {
  RunOptions o;
  ChipState f = Chip(11);
  int asked = 0;
  DispatchChecks off{nullptr, [&] { ++asked; return false; }};
  DispatchChecks on{nullptr, [&] { ++asked; return true; }};
  f.chipSubCode = 4;
  EXPECT_EQ(Procedure::NvramPage16K, SelectProcedure(f, o, kUsb, off));
  EXPECT_EQ(Procedure::BlockCommandFlash, SelectProcedure(f, o, kUsb, on));
  f.chipSubCode = 5;
  EXPECT_EQ(Procedure::BlockCommandFlash, SelectProcedure(f, o, kUsb, off));
  f.sstJedecFlag = 1;
  EXPECT_EQ(Procedure::SstSerialFlash, SelectProcedure(f, o, kUsb, off));
  // The register test and the sub-code come before the SST flag.
  f.chipSubCode = 4;
  EXPECT_EQ(Procedure::NvramPage16K, SelectProcedure(f, o, kUsb, off));
  f.chipSubCode = -2;  // the sub-code is signed
  EXPECT_EQ(Procedure::NvramPage16K, SelectProcedure(f, o, kUsb, off));
  EXPECT_EQ(6, asked);
}

TEST(DispatchTest, OversizedImageOnChipTenIsRefusedOnlyForProgrammingRuns) {
  RunOptions o;
  int asked = 0;
  DispatchChecks tooBig{[&] { ++asked; return false; }, nullptr};
  EXPECT_EQ(Procedure::RefusedImageTooLarge, SelectProcedure(Chip(10, 2), o, kUsb, tooBig));
  o.eraseOnlyChecked = true;
  EXPECT_EQ(Procedure::SstSerialFlash, SelectProcedure(Chip(10, 2), o, kUsb, tooBig));
  o.eraseOnlyChecked = false;
  o.backupOnlyChecked = true;
  EXPECT_EQ(Procedure::NvramPage16K, SelectProcedure(Chip(10, 1), o, kUsb, tooBig));
  EXPECT_EQ(1, asked);
  EXPECT_EQ(Procedure::StandardSerialFlash, SelectProcedure(Chip(1), RunOptions{}, kUsb, tooBig));
}

TEST(Crc16Test, KnownValuesAndTrailingBytes) {
  const std::uint8_t abcd[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(0x40D7, program::Crc16OfWords(abcd, 4, 0));
  EXPECT_EQ(0x1234, program::Crc16OfWords(abcd, 3, 0x1234));
  // Bit by bit, CRC-16/XMODEM over each word's bytes in the order 3, 2, 1, 0.
  std::uint8_t data[64];
  for (int i = 0; i < 64; ++i) data[i] = static_cast<std::uint8_t>(i * 37 + 11);
  std::uint16_t crc = 0xFFFF;
  for (int w = 0; w < 16; ++w) {
    for (int k = 3; k >= 0; --k) {
      crc = static_cast<std::uint16_t>(crc ^ (data[4 * w + k] << 8));
      for (int bit = 0; bit < 8; ++bit)
        crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
  }
  EXPECT_EQ(crc, program::Crc16OfWords(data, 64, 0xFFFF));
}

}  // namespace
