// The storage-controller profiles end to end, through the device commands the
// host sends: identification and companion entries, the flash of the bridge
// behind the controller (the catalogue part's own rules), and the disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/guarded_steps.h"
#include "scsi/ata_commands.h"
#include "scsi/chip_commands.h"
#include "scsi/disk_commands.h"
#include "scsi/passthrough.h"
#include "identify/chip_classify.h"
#include "identify/flash_setup.h"
#include "sim/profiles.h"
#include "sim_fixture.h"

namespace {

using sim::CdbPattern;
using testing_support::StepPattern;
using sim::CommandFault;
using sim::FlashFault;

class SimControllerTest : public ::testing::Test, public testing_support::SimFixtureBase {
 protected:
  std::shared_ptr<sim::BridgeChip> Attach(const std::string& name, sim::AttachOptions o = {}) {
    o.serial = "s";  // appended: mingw's g++ 12 warns falsely about "s" + std::string
    o.serial += std::to_string(++serial_);
    auto chip = AttachNamedProfile(name, o);
    if (chip) path_ = chip->path();
    return chip;
  }
  const char* path() const { return path_.c_str(); }
  static sim::SerialFlash& Behind(const std::shared_ptr<sim::BridgeChip>& chip) {
    return *chip->controllerRoute()->flash();
  }
  static sim::AttachOptions WithFault(FlashFault::Kind kind, std::uint8_t mask = 0x01) {
    sim::AttachOptions o;
    FlashFault f;
    f.kind = kind;
    f.mask = mask;
    o.behindFlashFaults = {f};
    return o;
  }
  // The identification and flash display of the host, wired to the device commands.
  identify::Identification Identify() const {
    const std::string p = path_;
    identify::ChipQueries q;
    q.inquiry = [p](std::uint8_t* out) { return device::Inquiry(p.c_str(), out, 40) == 1; };
    q.readChipVariant = [p](std::uint8_t* out) {
      return device::ReadChipVariant(p.c_str(), out) == 1;
    };
    q.readChipInfo = [p](std::uint8_t* out, std::uint32_t n) {
      std::int32_t moved = 0;
      return device::ReadChipInfo(p.c_str(), out, static_cast<std::int32_t>(n), &moved) == 1;
    };
    q.readChipIdString = [p](std::uint8_t* out) {
      return device::ReadChipIdString(p.c_str(), out, 40) == 1;
    };
    q.checkChipLevelFDB0 = [p] {
      return device::CheckChipLevelFDB0(p.c_str()) == 1 ? identify::ChipLevel::High
                                                         : identify::ChipLevel::Low;
    };
    return identify::IdentifyChipWith(q);
  }
  identify::FlashState FlashSetup(int chipType) const {
    const std::string p = path_;
    identify::FlashCommands c;
    c.ataSpiCommandRead = [p](std::uint8_t op, std::uint8_t* out, std::uint32_t n) {
      return device::AtaSpiCommandRead(p.c_str(), op, out, static_cast<int>(n)) == 1;
    };
    c.ataReadFlashTypeCode = [p](std::uint8_t* code) {
      std::uint8_t b[4] = {};
      if (device::AtaReadFlashTypeCode(p.c_str(), b) != 1) return false;
      *code = b[3];
      return true;
    };
    c.ataSetFlashOpcodes = [p](const device::FlashDescriptor& d) {
      return device::AtaSetFlashOpcodes(p.c_str(), d) == 1;
    };
    c.ataSetFlashPageSize = [p](std::uint32_t size) {
      return device::AtaSetFlashPageSize(p.c_str(), static_cast<std::uint16_t>(size)) == 1;
    };
    identify::FlashState state;
    identify::RunFlashSetup(c, identify::ChipIdentity{static_cast<std::uint8_t>(chipType), 0}, false,
                            state);
    return state;
  }

  std::string path_;
  int serial_ = 0;
};

// --- the companion profiles, as the host meets them ----------------------------

struct Companion {
  const char* profile;
  int frontType;      // what identification of the path gives
  int companionType;  // what the companion entry selects
  const char* productId;
  const char* part;
};

const Companion kCompanions[] = {
    {"txv929-txr847", 12, 13, "4847", "mxic-c22210-p32"},
    {"txv961-txr842", 11, 14, "4842", "winbond-w25x10"},
    {"txv929-txr842", 12, 15, "4842", "eon-en25p05"},
};

TEST_F(SimControllerTest, CompanionProfilesIdentifyAndAnswerForTheBridgeBehind) {
  for (const Companion& c : kCompanions) {
    SCOPED_TRACE(c.profile);
    auto chip = Attach(c.profile);
    const sim::FlashPart* part = sim::FindFlashPart(c.part);
    ASSERT_NE(nullptr, part);
    ASSERT_EQ(part->name, Behind(chip).part().name);

    const identify::Identification id = Identify();
    EXPECT_EQ(c.frontType, id.chip.type);
    const int with847 = device::MatchChipProductId(path(), "4847");
    const int with842 = device::MatchChipProductId(path(), "4842");
    EXPECT_EQ(1, device::MatchChipProductId(path(), c.productId));
    EXPECT_EQ(c.companionType,
              identify::ApplyCompanionRule(id.chip.type, with847 == 1, with842 == 1));

    std::uint8_t info[16] = {};
    ASSERT_EQ(1, device::AtaReadChipInfoBytes(path(), info, 16));
    EXPECT_EQ(0, std::memcmp(info, sim::FindProfile(c.profile)->controllerInfo->data(), 16));

    // The JEDEC answer is the catalogue part's; past it the line floats high.
    std::uint8_t jedec[4] = {};
    ASSERT_EQ(1, device::AtaSpiCommandRead(path(), 0x9F, jedec, 4));
    for (std::size_t i = 0; i < 4; ++i)
      EXPECT_EQ(i < part->answer9F.size() ? part->answer9F[i] : 0xFF, jedec[i]) << i;

    // The host's flash display names the part's maker and configures the route.
    const identify::FlashState state = FlashSetup(c.companionType);
    EXPECT_EQ(part->maker, state.flashTypeCode);
  }
}

TEST_F(SimControllerTest, CompanionFlashRoundTripsThroughTheRoute) {
  for (const Companion& c : kCompanions) {
    SCOPED_TRACE(c.profile);
    auto chip = Attach(c.profile);
    FlashSetup(c.companionType);
    const std::int32_t size = static_cast<std::int32_t>(Behind(chip).part().sizeBytes());
    ASSERT_EQ(0, program::AtaEraseBlankChecked(path(), size));
    std::vector<std::uint8_t> image = StepPattern(static_cast<std::size_t>(size), 0x31);
    ASSERT_EQ(0, device::AtaWriteFlashRange(path(), 0, image.data(), size));
    std::vector<std::uint8_t> back(static_cast<std::size_t>(size));
    ASSERT_EQ(0, device::AtaReadFlashRange(path(), 0, back.data(), size));
    EXPECT_EQ(image, back);
    EXPECT_EQ(image, Behind(chip).cells().cells());  // the bridge's own cells hold it
    EXPECT_EQ(1, Behind(chip).eraseOperations);
  }
}

TEST_F(SimControllerTest, CompanionFlashFaultsGiveTheirResultCodes) {
  for (const Companion& c : kCompanions) {
    SCOPED_TRACE(c.profile);
    // A part that never comes back from the erase reads 0xFF: the check
    // gives up waiting instead of taking that for blank.
    Attach(c.profile, WithFault(FlashFault::Kind::StaysBusy));
    EXPECT_EQ(device::kAtaNotReady, program::AtaEraseBlankChecked(path(), 0x10000, 1000));
    EXPECT_EQ(0, device::AtaWaitReady(path()));
    std::vector<std::uint8_t> data(8192, 0x00);
    EXPECT_EQ(device::kAtaWriteCommandFailed,
              device::AtaWriteFlashRange(path(), 0, data.data(), 8192));

    // Bits that do not program: the erase is sound, the programmed data is not.
    Attach(c.profile, WithFault(FlashFault::Kind::BitsDoNotProgram, 0x10));
    FlashSetup(c.companionType);
    ASSERT_EQ(0, program::AtaEraseBlankChecked(path(), 0x10000));
    ASSERT_EQ(0, device::AtaWriteFlashRange(path(), 0, data.data(), 8192));
    std::vector<std::uint8_t> back(8192);
    ASSERT_EQ(0, device::AtaReadFlashRange(path(), 0, back.data(), 8192));
    EXPECT_EQ(std::vector<std::uint8_t>(8192, 0x10), back);

    // Reads that come back wrong make the blank check fail with 6.
    sim::AttachOptions wrong = WithFault(FlashFault::Kind::WrongReadData, 0x01);
    wrong.behindFlashFaults[0].address = 0x2345;
    wrong.behindFlashFaults[0].length = 1;
    Attach(c.profile, wrong);
    EXPECT_EQ(device::kAtaNotBlank, program::AtaEraseBlankChecked(path(), 0x10000));
  }
}

// --- the route follows the part's rules ------------------------------------------

TEST_F(SimControllerTest, ProtectedPartIgnoresTheEraseUntilTheHostClearsIt) {
  sim::AttachOptions o;
  o.behindProtection = 0x1C;
  auto chip = Attach("txv961-txr842", o);
  // A status write without write enable changes nothing.
  ASSERT_EQ(1, device::AtaSpiCommand(path(), device::MakeSpiRecord(2, 0, 0x01, 0x00), nullptr, 0));
  EXPECT_EQ(0x1C, Behind(chip).protectionBits());
  // The erase goes to a protected part: the factory image stays.
  EXPECT_EQ(device::kAtaNotBlank, program::AtaEraseBlankChecked(path(), 0x10000));
  EXPECT_EQ(0, Behind(chip).eraseOperations);

  ASSERT_EQ(1, device::AtaSpiCommand(path(), device::MakeSpiRecord(1, 0, 0x06), nullptr, 0));
  ASSERT_EQ(1, device::AtaSpiCommand(path(), device::MakeSpiRecord(2, 0, 0x01, 0x00), nullptr, 0));
  EXPECT_EQ(0x00, Behind(chip).protectionBits());
  machine.Sleep(20);  // the status write cycle
  EXPECT_EQ(0, program::AtaEraseBlankChecked(path(), 0x10000));
}

TEST_F(SimControllerTest, ThirtyTwoBytePagesNeedThePageSizeSent) {
  auto chip = Attach("txv929-txr847");  // MXIC part with a 32-byte page buffer
  const std::vector<std::uint8_t> image = StepPattern(8192, 0x55);
  std::vector<std::uint8_t> back(8192);
  ASSERT_EQ(0, program::AtaEraseBlankChecked(path(), 0x10000));
  ASSERT_EQ(0,
            device::AtaWriteFlashRange(path(), 0, const_cast<std::uint8_t*>(image.data()), 8192));
  ASSERT_EQ(0, device::AtaReadFlashRange(path(), 0, back.data(), 8192));
  EXPECT_NE(image, back);  // 256-byte pages wrapped inside the part's buffer

  ASSERT_EQ(1, device::AtaSetFlashPageSize(path(), 32));
  EXPECT_EQ(32u, chip->controllerRoute()->engine().pageSize);
  ASSERT_EQ(0, program::AtaEraseBlankChecked(path(), 0x10000));
  ASSERT_EQ(0,
            device::AtaWriteFlashRange(path(), 0, const_cast<std::uint8_t*>(image.data()), 8192));
  ASSERT_EQ(0, device::AtaReadFlashRange(path(), 0, back.data(), 8192));
  EXPECT_EQ(image, back);
}

TEST_F(SimControllerTest, RangeWrittenThroughTheRouteReadsBack) {
  auto chip = Attach("txv961-txr842");
  ASSERT_EQ(0, program::AtaEraseBlankChecked(path(), 128 * 1024));
  std::vector<std::uint8_t> image = StepPattern(64 * 1024, 3);
  ASSERT_EQ(0, device::AtaWriteFlashRange(path(), 0x8000, image.data(), 64 * 1024));
  std::vector<std::uint8_t> back(64 * 1024);
  ASSERT_EQ(0, device::AtaReadFlashRange(path(), 0x8000, back.data(), 64 * 1024));
  EXPECT_EQ(image, back);
  EXPECT_EQ(0xFF, Behind(chip).cells().Read(0x7FFF));  // outside the range stays erased
  EXPECT_EQ(0xFF, Behind(chip).cells().Read(0x18000));
}

TEST_F(SimControllerTest, ProgrammingWithoutEraseCannotSetBits) {
  Attach("txv961-txr842");
  ASSERT_EQ(0, program::AtaEraseBlankChecked(path(), 128 * 1024));
  std::vector<std::uint8_t> first(8192, 0x0F), second(8192, 0xF0), back(8192);
  ASSERT_EQ(0, device::AtaWriteFlashRange(path(), 0, first.data(), 8192));
  ASSERT_EQ(0, device::AtaWriteFlashRange(path(), 0, second.data(), 8192));
  ASSERT_EQ(0, device::AtaReadFlashRange(path(), 0, back.data(), 8192));
  EXPECT_EQ(std::vector<std::uint8_t>(8192, 0x00), back);

  ASSERT_EQ(0, program::AtaEraseBlankChecked(path(), 8192));
  ASSERT_EQ(0, device::AtaWriteFlashRange(path(), 0, second.data(), 8192));
  ASSERT_EQ(0, device::AtaReadFlashRange(path(), 0, back.data(), 8192));
  EXPECT_EQ(second, back);
}

TEST_F(SimControllerTest, ShortLastChunkStaysInsideTheCallersBuffer) {
  auto chip = Attach("txv961-txr842");
  ASSERT_EQ(0, program::AtaEraseBlankChecked(path(), 128 * 1024));
  const std::int32_t length = 8192 + 100;
  std::vector<std::uint8_t> image = StepPattern(length + 16, 9);
  ASSERT_EQ(0, device::AtaWriteFlashRange(path(), 0, image.data(), length));
  for (std::int32_t i = length; i < 2 * 8192; ++i)
    ASSERT_EQ(0xFF, Behind(chip).cells().Read(static_cast<std::size_t>(i))) << i;

  std::vector<std::uint8_t> back(length + 16, 0xA5);
  ASSERT_EQ(0, device::AtaReadFlashRange(path(), 0, back.data(), length));
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + length, back.begin()));
  for (std::int32_t i = length; i < length + 16; ++i)
    EXPECT_EQ(0xA5, back[static_cast<std::size_t>(i)]);
}

TEST_F(SimControllerTest, FlashIsBusyForThePartsEraseTime) {
  auto chip = Attach("txv929-txr842");
  const std::uint32_t eraseMs = Behind(chip).EraseMs(0xC7);
  ASSERT_EQ(1, device::AtaEraseFlashChip(path()));
  std::uint8_t status = 0;
  ASSERT_EQ(1, device::AtaReadStatus(path(), &status));
  EXPECT_EQ(0x01, status);
  // A busy part ignores identification and answers only its status read.
  std::uint8_t id[3] = {};
  ASSERT_EQ(1, device::AtaSpiCommandRead(path(), 0x9F, id, 3));
  EXPECT_EQ(0xFF, id[0]);
  ASSERT_EQ(1, device::AtaSpiCommandRead(path(), 0x05, id, 1));
  EXPECT_EQ(0x01, id[0] & 0x01);
  ASSERT_EQ(1, device::AtaWaitReady(path()));
  // Ready no sooner than the erase ends, and within a poll (10 ms and a command) of it.
  EXPECT_GE(machine.NowMs(), eraseMs);
  EXPECT_LE(machine.NowMs(), eraseMs + 10);
  ASSERT_EQ(1, device::AtaSpiCommandRead(path(), 0x9F, id, 3));
  EXPECT_EQ(Behind(chip).part().answer9F[0], id[0]);
  EXPECT_EQ(1, Behind(chip).eraseOperations);
}

TEST_F(SimControllerTest, SpiRouteHandsEachAnswerOverOnce) {
  auto chip = Attach("txv961-txr842");
  std::uint8_t block[512];
  EXPECT_EQ(0, device::AtaSpiReadData(path(), block, 512));  // nothing asked yet
  std::uint8_t id[4] = {};
  ASSERT_EQ(1, device::AtaSpiCommandRead(path(), 0x9F, id, 4));
  EXPECT_EQ(0, device::AtaSpiReadData(path(), block, 512));
  // A cycle without a data phase reaches the part and leaves nothing to read.
  ASSERT_EQ(1, device::AtaSpiCommand(path(), device::MakeSpiRecord(1, 0, 0x06), nullptr, 0));
  EXPECT_TRUE(Behind(chip).writeEnabled());
  EXPECT_EQ(0, device::AtaSpiReadData(path(), block, 512));
  ASSERT_EQ(1, device::AtaSpiCommandRead(path(), 0x05, id, 1));
  EXPECT_EQ(0x02, id[0] & 0x02);  // the part's own write-enable latch
}

TEST_F(SimControllerTest, EngineSettingsKindCodeAndReset) {
  auto chip = Attach("txv929-txr842");
  const sim::EngineSettings native = chip->controllerRoute()->engine();
  device::FlashDescriptor descriptor;
  descriptor.chipEraseOpcode = 0x60;
  descriptor.blockEraseOpcode = 0x52;
  descriptor.programOpcode = 0xAF;
  descriptor.flashMaker = 0x02;
  ASSERT_EQ(1, device::AtaSetFlashOpcodes(path(), descriptor));
  const sim::EngineSettings& set = chip->controllerRoute()->engine();
  EXPECT_EQ(0x02, set.maker);
  EXPECT_EQ(0x60, set.chipErase);
  EXPECT_EQ(0x52, set.blockErase);
  EXPECT_EQ(0xAF, set.program);
  std::uint8_t kind[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  ASSERT_EQ(1, device::AtaReadFlashTypeCode(path(), kind));
  EXPECT_EQ(8, kind[3]);  // EON
  EXPECT_EQ(0xEE, kind[0]);

  // The controller forgets what the host sent when it resets.
  ASSERT_EQ(1, device::ResetChip(path()));
  EXPECT_EQ(native.chipErase, chip->controllerRoute()->engine().chipErase);
  EXPECT_EQ(native.program, chip->controllerRoute()->engine().program);
}

TEST_F(SimControllerTest, ControllerWithoutBridgeRefusesTheFlashRoute) {
  for (const char* name : {"txv929", "txv961", "txv927"}) {
    SCOPED_TRACE(name);
    auto chip = Attach(name);
    std::uint8_t buf[8192];
    EXPECT_EQ(0, device::MatchChipProductId(path(), "4847"));
    EXPECT_EQ(0, device::MatchChipProductId(path(), "4842"));
    std::uint8_t info[16] = {};
    ASSERT_EQ(1, device::AtaReadChipInfoBytes(path(), info, 16));
    EXPECT_EQ(info[4], info[6]);  // names itself
    EXPECT_EQ(0, device::AtaReadFlash(path(), 0, buf, 8192));
    EXPECT_EQ(0, device::AtaEraseFlashChip(path()));
    EXPECT_EQ(device::kAtaEraseCommandFailed, program::AtaEraseBlankChecked(path(), 8192));
    std::uint8_t kind[4] = {};
    EXPECT_EQ(0, device::AtaReadFlashTypeCode(path(), kind));
    EXPECT_EQ(nullptr, chip->controllerRoute()->flash());
  }
}

TEST_F(SimControllerTest, BlocksSentWithTheWrongDirectionAreRefused) {
  Attach("txv961-txr842");
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

TEST_F(SimControllerTest, ReplacedControllerModelAndTheBuiltInOne) {
  std::string seen;
  sim::SetStorageControllerHook([&](sim::BridgeChip&, const sim::EnclosureProfile& p,
                                    std::shared_ptr<sim::SerialFlash> flash) {
    seen += p.name + ":" + (flash ? flash->part().name : "none") + " ";
  });
  Attach("txv929-txr847");
  Attach("txv929");
  Attach("txr842");  // a bridge, not a controller
  EXPECT_EQ(0, device::MatchChipProductId(path(), "4847"));
  sim::SetStorageControllerHook(nullptr);
  EXPECT_EQ("txv929-txr847:mxic-c22210-p32 txv929:none ", seen);
  Attach("txv929-txr847");
  EXPECT_EQ(1, device::MatchChipProductId(path(), "4847"));
}

// --- every controller profile ------------------------------------------------------

TEST_F(SimControllerTest, ControllerProfilesAnswerAsTheirChipTypes) {
  int controllers = 0;
  for (const sim::EnclosureProfile& p : sim::EnclosureProfiles()) {
    const bool controllerType =
        p.identifiedType == 11 || p.identifiedType == 12 || p.identifiedType == 16;
    EXPECT_EQ(controllerType, p.controllerInfo.has_value()) << p.name;
    if (!p.controllerInfo) continue;
    SCOPED_TRACE(p.name);
    ++controllers;
    auto chip = Attach(p.name);
    EXPECT_EQ(p.identifiedType, Identify().chip.type);
    const bool has847 = p.behind && p.behind->bridge == "TXR847";
    const bool has842 = p.behind && p.behind->bridge == "TXR842";
    EXPECT_EQ(has847, device::MatchChipProductId(path(), "4847") == 1);
    EXPECT_EQ(has842, device::MatchChipProductId(path(), "4842") == 1);
    std::uint8_t kind[4] = {};
    EXPECT_EQ(p.behind ? 1 : 0, device::AtaReadFlashTypeCode(path(), kind));
    // The front chip's own information block still answers beside the ATA one.
    std::uint8_t info[16] = {};
    std::int32_t moved = 0;
    ASSERT_EQ(1, device::ReadChipInfo(path(), info, 16, &moved));
    EXPECT_EQ(16, moved);
  }
  EXPECT_EQ(14, controllers);
}

// The disk queries of the disk-area procedures, on the profiles' disks.
TEST_F(SimControllerTest, ProfileDisksAnswerTheDiskAreaQueries) {
  int disks = 0;
  for (const sim::EnclosureProfile& p : sim::EnclosureProfiles()) {
    if (p.disk.sectors == 0) continue;
    SCOPED_TRACE(p.name);
    ++disks;
    Attach(p.name);
    const std::uint64_t sectors = p.disk.sectors;
    EXPECT_EQ(sectors, device::GetDiskCapacity(path()));
    EXPECT_EQ(p.disk.logicalSectorSize, device::GetLogicalSectorSize(path()));
    EXPECT_EQ(sectors - 1, device::GetLastLba(path()));
    // Unsigned areas fall back to the last LBA, one further with byte 17 set.
    const bool plus = p.bridge.answersParameters && p.bridge.parameters[8] != 0 &&
                      p.bridge.parameters[17] == 0x01;
    // A signed area whose tag holds 0 names 257 on a disk below 2^32 sectors.
    const std::uint32_t expected =
        p.diskAreaTag ? (*p.diskAreaTag != 0 ? *p.diskAreaTag : device::kNoAreaTag)
                      : static_cast<std::uint32_t>(sectors - 1 + (plus ? 1 : 0));
    EXPECT_EQ(expected, device::GetHddFirmwareLba(path(), 512, p.chipType));
  }
  EXPECT_GE(disks, 12);
  EXPECT_EQ(4096u, (Attach("txv927"), device::GetLogicalSectorSize(path())));
  Attach("txr649-tagged");
  EXPECT_EQ(1, device::CheckHddAreaSignature(path(), 18));
  EXPECT_EQ(0x000F4000u, device::GetHddFirmwareLba(path(), 512, 18));
}

// --- the disk model ------------------------------------------------------------------

class SimDiskTest : public ::testing::Test, public testing_support::SimFixtureBase {
 protected:
  sim::SimDisk& Attach(sim::DiskConfig config) {
    disk_ = std::make_unique<sim::SimDisk>(config);
    ++serial_;
    std::string product = "TXV929-";
    product += std::to_string(serial_);
    path_ = AttachUsb(product, static_cast<std::uint32_t>(serial_));
    auto* enclosure = dynamic_cast<sim::Enclosure*>(machine.Find(path_)->device.get());
    disk_->Install(enclosure->commands());
    return *disk_;
  }
  const char* path() const { return path_.c_str(); }

  std::unique_ptr<sim::SimDisk> disk_;
  std::string path_;
  int serial_ = 0;
};

TEST_F(SimDiskTest, DiskKeepsOnlyWrittenSectors) {
  sim::DiskConfig config;
  config.sectors = 1ull << 40;  // far too large to hold densely
  config.logicalSectorSize = 4096;
  sim::SimDisk& disk = Attach(config);
  std::vector<std::uint8_t> piece = StepPattern(0x10000, 5), back(0x10000);
  const std::uint64_t lba = (1ull << 36) + 16;
  const auto lo = static_cast<std::uint32_t>(lba), hi = static_cast<std::uint32_t>(lba >> 32);
  ASSERT_EQ(1, device::AtaWriteDma48(path(), piece.data(), lo, hi, 0x10000, 4096));
  EXPECT_EQ(16u, disk.storedSectors());
  ASSERT_EQ(1, device::ReadDisk16(path(), back.data(), lo, hi, 0x10000, 4096));
  EXPECT_EQ(piece, back);  // the same sectors through the SCSI side
  ASSERT_EQ(1, device::AtaReadDma48(path(), back.data(), lo + 8, hi, 4096, 4096));
  EXPECT_TRUE(std::equal(back.begin(), back.begin() + 4096, piece.begin() + 8 * 4096));

  std::vector<std::uint8_t> zeros(0x10000, 0);
  ASSERT_EQ(1, device::WriteDisk16(path(), zeros.data(), lo, hi, 0x10000, 4096));
  EXPECT_EQ(0u, disk.storedSectors());
  std::uint8_t cap[16] = {};
  ASSERT_EQ(1, device::ReadCapacity16(path(), cap, 16));
  const std::uint8_t expected[12] = {0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0x10, 0};
  EXPECT_EQ(0, std::memcmp(expected, cap, 12));  // last LBA 2^40 - 1, 4096-byte blocks
}

TEST_F(SimDiskTest, DiskRefusesSectorsPastItsEnd) {
  sim::DiskConfig config;
  config.sectors = 1000;
  config.hiddenSectors = 8;
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

TEST_F(SimDiskTest, CorruptingDiskReadsAreSeenByTheReader) {
  sim::DiskConfig config;
  config.sectors = 4096;
  config.corruptReadLba = 130;
  Attach(config);
  std::vector<std::uint8_t> piece = StepPattern(0x10000, 1), back(0x10000);
  ASSERT_EQ(1, device::AtaWriteDma48(path(), piece.data(), 128, 0, 0x10000, 512));
  ASSERT_EQ(1, device::AtaReadDma48(path(), back.data(), 128, 0, 0x10000, 512));
  EXPECT_NE(piece, back);
  EXPECT_EQ(static_cast<std::uint8_t>(~piece[2 * 512]), back[2 * 512]);
  back[2 * 512] = piece[2 * 512];
  EXPECT_EQ(piece, back);
}

TEST_F(SimDiskTest, IdentifyDataDescribesTheDisk) {
  sim::DiskConfig config;
  config.sectors = 0x12345678;
  config.logicalSectorSize = 4096;
  Attach(config);
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

}  // namespace
