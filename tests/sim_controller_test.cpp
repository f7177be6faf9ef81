// The emulated storage controller end to end: the bridge flash behind it
// behaves like flash, and its disk keeps what was written where it was written.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/ata_commands.h"
#include "device/disk_commands.h"
#include "device/passthrough.h"
#include "sim/storage_controller.h"
#include "sim_fixture.h"

namespace {

using sim::CdbPattern;
using sim::CommandFault;

class SimControllerTest : public ::testing::Test, public testing_support::SimFixtureBase {
 protected:
  static sim::ControllerConfig WithBridge(std::size_t flashSize = 128 * 1024) {
    sim::ControllerConfig config;
    config.bridge = sim::BridgeBehindConfig{};
    config.bridge->flashSize = flashSize;
    config.disk.sectors = 1u << 20;
    return config;
  }
  std::shared_ptr<sim::StorageController> Attach(sim::ControllerConfig config) {
    auto controller = std::make_shared<sim::StorageController>(std::move(config));
    sim::Attachment a;
    a.path = sim::UsbDiskPath("Tavrion", "TXV929", "s" + std::to_string(++serial_));
    a.device = controller;
    machine.Attach(a);
    path_ = a.path;
    return controller;
  }
  const char* path() const { return path_.c_str(); }
  static std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    return v;
  }
  std::string path_;
  int serial_ = 0;
};

// --- the bridge flash route -------------------------------------------------

TEST_F(SimControllerTest, RangeWrittenThroughTheRouteReadsBack) {
  auto c = Attach(WithBridge());
  ASSERT_EQ(0, device::AtaEraseAndBlankCheck(path(), 128 * 1024));
  std::vector<std::uint8_t> image = Pattern(64 * 1024, 3);
  ASSERT_EQ(0, device::AtaWriteFlashRange(path(), 0x8000, image.data(), 64 * 1024));
  std::vector<std::uint8_t> back(64 * 1024);
  ASSERT_EQ(0, device::AtaReadFlashRange(path(), 0x8000, back.data(), 64 * 1024));
  EXPECT_EQ(image, back);
  EXPECT_EQ(0xFF, c->bridgeFlash()->Read(0x7FFF));  // outside the range stays erased
  EXPECT_EQ(0xFF, c->bridgeFlash()->Read(0x18000));
}

TEST_F(SimControllerTest, ProgrammingWithoutEraseCannotSetBits) {
  Attach(WithBridge());
  ASSERT_EQ(0, device::AtaEraseAndBlankCheck(path(), 128 * 1024));
  std::vector<std::uint8_t> first(8192, 0x0F), second(8192, 0xF0), back(8192);
  ASSERT_EQ(0, device::AtaWriteFlashRange(path(), 0, first.data(), 8192));
  ASSERT_EQ(0, device::AtaWriteFlashRange(path(), 0, second.data(), 8192));
  ASSERT_EQ(0, device::AtaReadFlashRange(path(), 0, back.data(), 8192));
  EXPECT_EQ(std::vector<std::uint8_t>(8192, 0x00), back);

  ASSERT_EQ(0, device::AtaEraseAndBlankCheck(path(), 8192));
  ASSERT_EQ(0, device::AtaWriteFlashRange(path(), 0, second.data(), 8192));
  ASSERT_EQ(0, device::AtaReadFlashRange(path(), 0, back.data(), 8192));
  EXPECT_EQ(second, back);
}

TEST_F(SimControllerTest, ShortLastChunkStaysInsideTheCallersBuffer) {
  auto c = Attach(WithBridge());
  ASSERT_EQ(0, device::AtaEraseAndBlankCheck(path(), 128 * 1024));
  const std::int32_t length = 8192 + 100;
  std::vector<std::uint8_t> image = Pattern(length + 16, 9);
  ASSERT_EQ(0, device::AtaWriteFlashRange(path(), 0, image.data(), length));
  for (std::int32_t i = length; i < 2 * 8192; ++i)
    ASSERT_EQ(0xFF, c->bridgeFlash()->Read(static_cast<std::size_t>(i))) << i;

  std::vector<std::uint8_t> back(length + 16, 0xA5);
  ASSERT_EQ(0, device::AtaReadFlashRange(path(), 0, back.data(), length));
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + length, back.begin()));
  for (std::int32_t i = length; i < length + 16; ++i) EXPECT_EQ(0xA5, back[static_cast<std::size_t>(i)]);
}

TEST_F(SimControllerTest, FlashIsBusyForAVirtualTimeAfterEraseAndProgram) {
  sim::ControllerConfig config = WithBridge();
  config.bridge->eraseBusyMs = 300;
  config.bridge->programBusyMs = 40;
  auto c = Attach(config);
  std::uint8_t buf[8192] = {};
  ASSERT_EQ(1, device::AtaEraseFlashChip(path()));
  std::uint8_t status = 0;
  ASSERT_EQ(1, device::AtaReadStatus(path(), &status));
  EXPECT_EQ(0x01, status);
  EXPECT_EQ(0, device::AtaReadFlash(path(), 0, buf, 8192));  // refused while busy
  EXPECT_EQ(0, device::AtaEraseFlashChip(path()));
  ASSERT_EQ(1, device::AtaWaitReady(path()));
  EXPECT_EQ(300u, machine.NowMs());
  ASSERT_EQ(1, device::AtaWriteFlash(path(), 0, buf, 8192));
  EXPECT_TRUE(c->FlashBusy(machine.NowMs()));
  EXPECT_FALSE(c->FlashBusy(machine.NowMs() + 40));
  EXPECT_EQ(1, c->bridgeFlash()->eraseCount);
}

TEST_F(SimControllerTest, FlashThatStaysBusyEndsTheBlankCheckWithAReadFailure) {
  sim::ControllerConfig config = WithBridge();
  config.bridge->staysBusy = true;
  Attach(config);
  EXPECT_EQ(1, device::AtaWaitReady(path()));  // idle until the first erase
  EXPECT_EQ(device::kAtaReadCommandFailed, device::AtaEraseAndBlankCheck(path(), 8192));
  EXPECT_EQ(0, device::AtaWaitReady(path()));
}

TEST_F(SimControllerTest, StuckBitsSurviveProgramming) {
  sim::ControllerConfig config = WithBridge();
  config.bridge->stuckBits = 0x10;
  Attach(config);
  ASSERT_EQ(0, device::AtaEraseAndBlankCheck(path(), 8192));
  std::vector<std::uint8_t> zeros(8192, 0x00), back(8192);
  ASSERT_EQ(0, device::AtaWriteFlashRange(path(), 0, zeros.data(), 8192));
  ASSERT_EQ(0, device::AtaReadFlashRange(path(), 0, back.data(), 8192));
  EXPECT_EQ(std::vector<std::uint8_t>(8192, 0x10), back);
}

TEST_F(SimControllerTest, SpiRouteAnswersIdentificationOpcodes) {
  sim::ControllerConfig config = WithBridge();
  config.bridge->jedecId = {0xEF, 0x40, 0x13};
  config.bridge->answerAB = {0xFF, 0xFF, 0xFF, 0x12};
  auto c = Attach(config);
  std::uint8_t id[6] = {};
  ASSERT_EQ(1, device::AtaSpiCommandRead(path(), 0x9F, id, 6));
  EXPECT_EQ(0xEF, id[0]);
  EXPECT_EQ(0x13, id[2]);
  EXPECT_EQ(0xFF, id[3]);  // nothing drives the line after the answer
  ASSERT_EQ(1, device::AtaSpiCommandRead(path(), 0xAB, id, 4));
  EXPECT_EQ(0x12, id[3]);
  ASSERT_EQ(1, device::AtaSpiCommandRead(path(), 0x90, id, 4));
  EXPECT_EQ(0xFF, id[3]);  // a part that does not answer 0x90

  // The answer is handed over once; a read without a command is refused.
  std::uint8_t block[512];
  EXPECT_EQ(0, device::AtaSpiReadData(path(), block, 512));
  const device::SpiRecord writeEnable = device::MakeSpiRecord(1, 0, 0x06);
  ASSERT_EQ(1, device::AtaSpiCommand(path(), writeEnable, nullptr, 0));
  EXPECT_TRUE(c->writeEnabled());
  EXPECT_EQ(0, device::AtaSpiReadData(path(), block, 512));

  // A busy flash ignores identification and only answers its status.
  ASSERT_EQ(1, device::AtaEraseFlashChip(path()));
  ASSERT_EQ(1, device::AtaSpiCommandRead(path(), 0x9F, id, 3));
  EXPECT_EQ(0xFF, id[0]);
  ASSERT_EQ(1, device::AtaSpiCommandRead(path(), 0x05, id, 1));
  EXPECT_EQ(0x01, id[0] & 0x01);
}

TEST_F(SimControllerTest, FlashEngineSettingsAndKindCode) {
  sim::ControllerConfig config = WithBridge();
  config.bridge->flashKindCode = 6;
  auto c = Attach(config);
  device::FlashDescriptor descriptor;
  descriptor.chipEraseOpcode = 0x60;
  descriptor.blockEraseOpcode = 0x52;
  descriptor.programOpcode = 0xAF;
  descriptor.flashMaker = 0x02;
  ASSERT_EQ(1, device::AtaSetFlashOpcodes(path(), descriptor));
  EXPECT_EQ((std::array<std::uint8_t, 4>{0x02, 0x60, 0x52, 0xAF}), c->flashOpcodes());
  ASSERT_EQ(1, device::AtaSetFlashPageSize(path(), 32));
  EXPECT_EQ(32u, c->pageSize());
  std::uint8_t kind[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  ASSERT_EQ(1, device::AtaReadFlashTypeCode(path(), kind));
  EXPECT_EQ(6, kind[3]);
  EXPECT_EQ(0xEE, kind[0]);
}

TEST_F(SimControllerTest, InformationBlockNamesTheBridgeBehind) {
  sim::ControllerConfig config = WithBridge();
  config.bridge->kind = sim::BridgeKind::Txr842;
  config.infoTail = {1, 2, 3, 4, 5, 6, 7, 8};
  auto controller = Attach(config);
  EXPECT_EQ(1, device::MatchChipProductId(path(), "4842"));
  EXPECT_EQ(0, device::MatchChipProductId(path(), "4847"));
  std::uint8_t info[16] = {};
  ASSERT_EQ(1, device::AtaReadChipInfoBytes(path(), info, 16));
  EXPECT_EQ(0xF4, info[0]);
  EXPECT_EQ(3, info[10]);

  std::uint8_t inquiry[40] = {};
  std::int32_t moved = 0;
  const std::uint8_t cdb[12] = {0x12, 0, 0, 0, 40};
  ASSERT_EQ(1, device::ScsiPassThroughIn(path(), cdb, 12, inquiry, 40, &moved));
  EXPECT_EQ(0, std::memcmp(inquiry + 36, "t929", 4));

  const std::uint8_t reset[12] = {0xFF, 0x04, 0x26, 0x54, 0x58};
  EXPECT_EQ(1, device::ScsiPassThroughIn(path(), reset, 12, nullptr, 0, &moved));
  EXPECT_EQ(1, controller->resets());
}

TEST_F(SimControllerTest, ControllerWithoutBridgeRefusesTheFlashRoute) {
  sim::ControllerConfig config;
  config.productId = {0x09, 0x29};
  Attach(config);
  std::uint8_t buf[8192];
  EXPECT_EQ(1, device::MatchChipProductId(path(), "929"));
  EXPECT_EQ(0, device::AtaReadFlash(path(), 0, buf, 8192));
  EXPECT_EQ(0, device::AtaEraseFlashChip(path()));
  EXPECT_EQ(device::kAtaEraseCommandFailed, device::AtaEraseAndBlankCheck(path(), 8192));
  std::uint8_t kind[4] = {};
  EXPECT_EQ(0, device::AtaReadFlashTypeCode(path(), kind));
}

TEST_F(SimControllerTest, BlocksSentWithTheWrongDirectionAreRefused) {
  Attach(WithBridge());
  // The program command on the data-in carrier, and a read on the data-out one.
  const std::uint8_t write[12] = {0xA1, 0x0A, 0x03, 0xE9, 0x10, 0, 0, 0, 0xB0, 0xB0};
  const std::uint8_t read[12] = {0xA1, 0x08, 0x0B, 0xE8, 0x10, 0, 0, 0, 0xB0, 0xB0};
  std::uint8_t buf[8192] = {};
  std::int32_t moved = 0;
  EXPECT_EQ(0, device::ScsiPassThroughIn(path(), write, 12, buf, 8192, &moved));
  EXPECT_EQ(0, device::ScsiPassThroughOut(path(), read, 12, buf, 8192, &moved));
  // A count larger than the host buffer is refused rather than overrun.
  EXPECT_EQ(0, device::ScsiPassThroughIn(path(), read, 12, buf, 4096, &moved));
}

// --- the disk -----------------------------------------------------------------

TEST_F(SimControllerTest, DiskKeepsOnlyWrittenSectors) {
  sim::ControllerConfig config;
  config.disk.sectors = 1ull << 40;  // far too large to hold densely
  config.disk.logicalSectorSize = 4096;
  auto c = Attach(config);
  std::vector<std::uint8_t> piece = Pattern(0x10000, 5), back(0x10000);
  const std::uint64_t lba = (1ull << 36) + 16;
  const auto lo = static_cast<std::uint32_t>(lba), hi = static_cast<std::uint32_t>(lba >> 32);
  ASSERT_EQ(1, device::AtaWriteDma48(path(), piece.data(), lo, hi, 0x10000, 4096));
  EXPECT_EQ(16u, c->disk().storedSectors());
  ASSERT_EQ(1, device::ReadDisk16(path(), back.data(), lo, hi, 0x10000, 4096));
  EXPECT_EQ(piece, back);  // the same sectors through the SCSI side
  ASSERT_EQ(1, device::AtaReadDma48(path(), back.data(), lo + 8, hi, 4096, 4096));
  EXPECT_TRUE(std::equal(back.begin(), back.begin() + 4096, piece.begin() + 8 * 4096));

  std::vector<std::uint8_t> zeros(0x10000, 0);
  ASSERT_EQ(1, device::WriteDisk16(path(), zeros.data(), lo, hi, 0x10000, 4096));
  EXPECT_EQ(0u, c->disk().storedSectors());
  std::uint8_t cap[16] = {};
  ASSERT_EQ(1, device::ReadCapacity16(path(), cap, 16));
  const std::uint8_t expected[12] = {0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0x10, 0};
  EXPECT_EQ(0, std::memcmp(expected, cap, 12));  // last LBA 2^40 - 1, 4096-byte blocks
}

TEST_F(SimControllerTest, DiskRefusesSectorsPastItsEnd) {
  sim::ControllerConfig config;
  config.disk.sectors = 1000;
  config.disk.hiddenSectors = 8;
  Attach(config);
  std::vector<std::uint8_t> buf(4 * 512, 0x5A);
  EXPECT_EQ(0, device::ReadDisk16(path(), buf.data(), 998, 0, 4 * 512, 512));
  EXPECT_EQ(0, device::WriteDisk16(path(), buf.data(), 1000, 0, 512, 512));
  // Only ATA pass-through reaches the sectors kept past the reported end.
  EXPECT_EQ(1, device::AtaWriteDma48(path(), buf.data(), 1004, 0, 4 * 512, 512));
  EXPECT_EQ(0, device::AtaWriteDma48(path(), buf.data(), 1005, 0, 4 * 512, 512));
  std::vector<std::uint8_t> back(4 * 512);
  ASSERT_EQ(1, device::AtaReadDma48(path(), back.data(), 1004, 0, 4 * 512, 512));
  EXPECT_EQ(buf, back);
}

TEST_F(SimControllerTest, CorruptingDiskReadsAreSeenByTheReader) {
  sim::ControllerConfig config;
  config.disk.sectors = 4096;
  config.disk.corruptReadLba = 130;
  Attach(config);
  std::vector<std::uint8_t> piece = Pattern(0x10000, 1), back(0x10000);
  ASSERT_EQ(1, device::AtaWriteDma48(path(), piece.data(), 128, 0, 0x10000, 512));
  ASSERT_EQ(1, device::AtaReadDma48(path(), back.data(), 128, 0, 0x10000, 512));
  EXPECT_NE(piece, back);
  EXPECT_EQ(static_cast<std::uint8_t>(~piece[2 * 512]), back[2 * 512]);
  back[2 * 512] = piece[2 * 512];
  EXPECT_EQ(piece, back);
}

TEST_F(SimControllerTest, IdentifyDataDescribesTheDisk) {
  sim::ControllerConfig config;
  config.disk.sectors = 0x12345678;
  config.disk.logicalSectorSize = 4096;
  auto c = Attach(config);
  std::uint8_t id[512] = {};
  ASSERT_EQ(1, device::AtaIdentify(path(), id));
  EXPECT_EQ(0xFF, id[120]);  // words 60-61 hold the 28-bit ceiling
  EXPECT_EQ(0x0F, id[123]);
  EXPECT_EQ(0x12345678u, device::IdentifyCapacity(id));
  EXPECT_EQ(0x50, id[213]);  // word 106
  EXPECT_EQ(4096u, device::GetLogicalSectorSize(path()));
  EXPECT_EQ('T', id[2 * 27 + 1]);  // "TAVRION...": first character in the high byte
  EXPECT_EQ('A', id[2 * 27]);
}

// --- profiles -------------------------------------------------------------------

TEST_F(SimControllerTest, ProfilesAnswerAsTheirChipTypes) {
  const std::vector<sim::ControllerProfile> profiles = sim::ControllerProfiles();
  ASSERT_FALSE(profiles.empty());
  for (const sim::ControllerProfile& p : profiles) {
    SCOPED_TRACE(p.name);
    Attach(p.config);
    std::uint8_t inquiry[40] = {};
    std::int32_t moved = 0;
    const std::uint8_t cdb[12] = {0x12, 0, 0, 0, 40};
    ASSERT_EQ(1, device::ScsiPassThroughIn(path(), cdb, 12, inquiry, 40, &moved));
    const std::string number(reinterpret_cast<const char*>(inquiry) + 37, 3);
    EXPECT_EQ('t', inquiry[36]);
    EXPECT_EQ(p.listedAs, number == "961" ? 11 : number == "929" ? 12 : number == "927" ? 16 : 0);

    // The companion entries: 847 only behind type 12, 842 behind 11 or 12.
    const int with847 = device::MatchChipProductId(path(), "4847");
    const int with842 = device::MatchChipProductId(path(), "4842");
    EXPECT_EQ(p.companionType == 13, with847 == 1);
    EXPECT_EQ(p.companionType == 14 || p.companionType == 15, with842 == 1);
    if (p.companionType == 14) {
      EXPECT_EQ(11, p.listedAs);
    } else if (p.companionType == 13 || p.companionType == 15) {
      EXPECT_EQ(12, p.listedAs);
    }

    std::uint8_t kind[4] = {};
    EXPECT_EQ(p.companionType != 0 ? 1 : 0, device::AtaReadFlashTypeCode(path(), kind));
    EXPECT_EQ(p.config.disk.sectors, device::GetDiskCapacity(path()));
    EXPECT_EQ(p.config.disk.logicalSectorSize, device::GetLogicalSectorSize(path()));
    std::uint8_t info[16] = {};
    const std::uint8_t chipInfo[12] = {0xE0, 0xF4, 0xE7};
    ASSERT_EQ(1, device::ScsiPassThroughIn(path(), chipInfo, 12, info, 16, &moved));
    EXPECT_EQ(16, moved);
    EXPECT_EQ(0, std::memcmp(info + 8, inquiry + 37, 3));
  }
}

}  // namespace
