// The disk-area firmware of bridges without a serial flash: where the area
// starts, the pieces and the tag that land on the emulated disk, and the runs
// that must be refused before anything is written.
#include "engine/procedure_table.h"
#include "procedures/disk_area_firmware.h"

#include <algorithm>

#include "disk_fixture.h"
#include "engine/disk_area_steps.h"
#include "sim/test_images.h"

namespace {

using program::DiskAreaStart;
using testing_support::DiskPattern;

TEST(DiskAreaStartTest, AlignsTo256SectorsIn32Or64BitArithmetic) {
  struct Row {
    std::uint32_t r, h;
    bool p;
    std::uint64_t start;
  } rows[] = {
      {0x12345601, 0, false, 0x12345601 - 1 - 256},
      {0x12345600, 0, true, 0x12345600 - 256},
      {0x12345600, 0, false, 0x12345600 - 512},
      {0x12345680, 0, true, 0x12345600 - 256},
      {257, 0, true, 0},  // a zero tag on a signed area: LBA 0
      {0x100, 0, true, 0},
      {0x200, 0, false, 0},
      {0x80, 0, true, 0xFFFFFF00},  // wraps in 32 bits, high half stays 0
      {0x2345678, 1, true, 0x102345600 - 256},
      {0, 1, false, 0xFFFFFE00},  // 64 bits: the borrow reaches the high half
  };
  for (const Row& r : rows)
    EXPECT_EQ(r.start, DiskAreaStart(r.r, r.h, r.p)) << std::hex << r.r << " " << r.h << " " << r.p;
}

class DiskAreaTest : public testing_support::DiskFixture {
 protected:
  // The start on a profile disk whose area is unsigned and parameter byte 17 set.
  std::uint64_t Start() const {
    const std::uint64_t n = chip->disk()->config().sectors;
    return DiskAreaStart(static_cast<std::uint32_t>(n), static_cast<std::uint32_t>(n >> 32), true);
  }
  std::uint32_t SectorsPerPiece() const {
    return 0x10000 / chip->disk()->config().logicalSectorSize;
  }
  static std::vector<std::uint8_t> Tagged(std::vector<std::uint8_t> image, std::uint32_t r) {
    sim::PutAreaTag(image.data(), r);
    return image;
  }
  void ExpectPowerCycleNotice() {
    ASSERT_EQ(1u, window.messages.size());
    EXPECT_EQ("Please Turn-Off the Power and Turn-On Again!", window.messages[0].text);
    EXPECT_EQ("Message", window.messages[0].caption);
  }
  void EraseOnly() {
    window.options_.rdMode = true;
    window.facts_.eraseOnly = 1;
  }
  void BackupOnly(const std::string& file) {
    window.options_.rdMode = true;
    window.options_.backupOnlyChecked = true;
    window.options_.backupFile = file;
  }
};

// 100 KB in two pieces: the second holds the last 36 KB and 28 KB of zeros.
// The same on 512- and 4096-byte sectors and past 2^32 sectors.
TEST_F(DiskAreaTest, ImageGoesOutInVerifiedPiecesBehindItsTag) {
  for (const char* profile : {"txr649", "txr649-4k", "txr649-2t"}) {
    SCOPED_TRACE(profile);
    window = testing_support::FakeRunWindow{};
    Attach(profile);
    machine.ClearTranscript();
    std::vector<std::uint8_t> image = DiskPattern(100 * 1024, 0x18);
    WriteImage(image);
    ASSERT_EQ(1, program::RunVerb(program::Procedure::DiskAreaFirmware, window, path.c_str())) << window.StatusText();

    const auto n = chip->disk()->config().sectors;
    image = Tagged(image, static_cast<std::uint32_t>(n));
    ASSERT_EQ(2u, Writes().size());
    EXPECT_EQ(Start(), Writes()[0].lba);
    EXPECT_EQ(Start() + SectorsPerPiece(), Writes()[1].lba);
    EXPECT_EQ(SectorsPerPiece(), Writes()[0].sectors);
    ASSERT_EQ(2u, Reads().size());  // each piece read back
    EXPECT_EQ(Start() + SectorsPerPiece(), Reads()[1].lba);
    image.resize(0x20000, 0x00);
    EXPECT_EQ(image, Disk(Start(), 0x20000));
    EXPECT_EQ("Programming Success!!", window.StatusText());
    ExpectPowerCycleNotice();
  }
}

TEST_F(DiskAreaTest, TheTagReplacesWhatTheFileHeldAt150) {
  Attach("txr649-tagged");
  std::vector<std::uint8_t> image(0x300, 0xEE);
  WriteImage(image);
  ASSERT_EQ(1, program::RunVerb(program::Procedure::DiskAreaFirmware, window, path.c_str())) << window.StatusText();
  const std::uint64_t start = DiskAreaStart(0x000F4000, 0, true);
  const std::vector<std::uint8_t> first = Disk(start, 0x400);
  EXPECT_EQ((std::vector<std::uint8_t>{0x55, 0x00, 0x0F, 0x40, 0x00, 0xAA}),
            std::vector<std::uint8_t>(first.begin() + 150, first.begin() + 156));
  EXPECT_EQ(0xEE, first[149]);
  EXPECT_EQ(0xEE, first[156]);
  EXPECT_EQ(0x00, first[0x300]);
}

TEST_F(DiskAreaTest, FailureTextsNameTheCommandFamilyBySizeOfDisk) {
  struct Row {
    const char* profile;
    const char* faultCdb;
    const char* text;
  } rows[] = {
      {"txr649", "85 17", "Write Data To HDD FAIL!!"},
      {"txr649", "85 15 0B 00 00 00 80", "Read Data From HDD FAIL!!"},
      {"txr649-2t", "85 17", "Write Data SCSI16 To HDD FAIL!!"},
      {"txr649-2t", "85 15 0B 00 00 00 80", "Read Data SCSI16 From HDD FAIL!!"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.profile) + " " + r.faultCdb);
    machine.ClearFaults();
    window = testing_support::FakeRunWindow{};
    Attach(r.profile);
    sim::CommandFault fault;
    fault.pattern = sim::CdbPattern(r.faultCdb);
    machine.AddFault(fault);
    WriteImage(DiskPattern(0x8000, 0x19));
    EXPECT_EQ(0, program::RunVerb(program::Procedure::DiskAreaFirmware, window, path.c_str()));
    EXPECT_EQ(r.text, window.StatusText());
    EXPECT_TRUE(window.messages.empty());
  }
}

// Runs whose area is not wholly in the disk's tail write nothing.
TEST_F(DiskAreaTest, AreasOutsideTheDisksTailAreRefused) {
  struct Row {
    const char* name;
    const char* profile;
    std::int64_t tag;  // -1: the profile's
    std::size_t imageSize;
  } rows[] = {
      {"zero tag: LBA 0", "txr649-tag0", -1, 0x8000},
      {"tag below 0x101: 32-bit wrap", "txr649-tagged", 0x80, 0x8000},
      {"tag in the middle of the disk", "txr649-tagged", 500000, 0x8000},
      {"image past the disk's end", "txr649", -1, 0x30000},
      {"zero tag past 2^32 sectors: the middle", "txr649-2t", 0, 0x8000},
  };
  for (const Row& r : rows) {
    for (int mode = 0; mode < 3; ++mode) {  // programming, erase-only, backup-only
      if (r.imageSize > 0x20000 && mode != 0) continue;  // only programming moves that much
      SCOPED_TRACE(std::string(r.name) + " mode " + std::to_string(mode));
      window = testing_support::FakeRunWindow{};
      AttachEdited(r.profile, [&](sim::EnclosureProfile& p) {
        if (r.tag < 0) return;
        p.diskAreaTag = static_cast<std::uint32_t>(r.tag);
        if (p.bridge.memory.empty() || p.bridge.memory.back().address != 0xC000) {
          p.bridge.memory.push_back({0xC000, {0x55, 0xAA, 0x00, 0x00}});  // signed area
          p.disk.hiddenSectors = 8;
        }
      });
      if (mode == 1) EraseOnly();
      if (mode == 2) BackupOnly(FileIn("refused.bak"));
      machine.ClearTranscript();
      WriteImage(DiskPattern(r.imageSize, 0x20));
      EXPECT_EQ(0, program::RunVerb(program::Procedure::DiskAreaFirmware, window, path.c_str()));
      EXPECT_TRUE(window.Showed(program::kAreaRefused));
      EXPECT_EQ(0, DiskWrites());
      // Only the tag query read the disk, past its reported end.
      for (const auto& read : Reads()) EXPECT_EQ(chip->disk()->config().sectors, read.lba);
      EXPECT_TRUE(window.messages.empty());
      EXPECT_FALSE(std::filesystem::exists(FileIn("refused.bak")));
    }
  }
}

TEST_F(DiskAreaTest, EraseOnlyClearsSixtyFourKiBAndKeepsASignedAreasTag) {
  for (const char* profile : {"txr649", "txr649-tagged"}) {
    SCOPED_TRACE(profile);
    window = testing_support::FakeRunWindow{};
    Attach(profile);
    const bool tagged = std::string(profile) == "txr649-tagged";
    const std::uint64_t start = tagged ? DiskAreaStart(0x000F4000, 0, true) : Start();
    const std::vector<std::uint8_t> old = DiskPattern(0x20000, 0x31);
    FillDisk(start, old);
    EraseOnly();
    ASSERT_EQ(1, program::RunVerb(program::Procedure::DiskAreaFirmware, window, path.c_str())) << window.StatusText();
    std::vector<std::uint8_t> expected(0x10000, 0x00);
    if (tagged) std::copy(old.begin() + 150, old.begin() + 156, expected.begin() + 150);
    EXPECT_EQ(expected, Disk(start, 0x10000));
    EXPECT_EQ(std::vector<std::uint8_t>(old.begin() + 0x10000, old.end()),
              Disk(start + 0x10000 / 512, 0x10000));
    EXPECT_EQ("Erase all data in HDD success!!", window.StatusText());
    ExpectPowerCycleNotice();
  }
}

// A failed write or read-back used to compare a blank area with a failed
// read's zeros and report success.
TEST_F(DiskAreaTest, EraseOnlyChecksItsWriteAndItsReadBack) {
  struct Row {
    const char* faultCdb;
    bool shortTransfer;
    const char* text;
  } rows[] = {
      {"85 17", false, "Write Data To HDD FAIL!!"},
      {"85 15 0B 00 00 00 80", false, "Read Data From HDD FAIL!!"},
      {"85 15 0B 00 00 00 80", true, "Read Data From HDD FAIL!!"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.faultCdb) + (r.shortTransfer ? " short" : ""));
    machine.ClearFaults();
    window = testing_support::FakeRunWindow{};
    Attach("txr649");
    EraseOnly();
    sim::CommandFault fault;
    fault.pattern = sim::CdbPattern(r.faultCdb);
    if (r.shortTransfer) {
      fault.kind = sim::CommandFault::Kind::ShortTransfer;
      fault.shortLength = 0x8000;
    }
    machine.AddFault(fault);
    EXPECT_EQ(0, program::RunVerb(program::Procedure::DiskAreaFirmware, window, path.c_str()));
    EXPECT_EQ(r.text, window.StatusText());
    EXPECT_TRUE(window.messages.empty());
  }
}

TEST_F(DiskAreaTest, BackupCopiesTheFlashSizeFromTheArea) {
  Attach("txr649");
  window.transfer_.flashSize = 0x20000;
  const std::vector<std::uint8_t> area = DiskPattern(0x20000, 0x41);
  FillDisk(Start(), area);
  BackupOnly(FileIn("area.bak"));
  ASSERT_EQ(1, program::RunVerb(program::Procedure::DiskAreaFirmware, window, path.c_str())) << window.StatusText();
  EXPECT_EQ(area, ReadFile(FileIn("area.bak")));
  EXPECT_EQ("Read flash and backup success!", window.StatusText());
  EXPECT_TRUE(window.messages.empty());
}

}  // namespace

namespace {

// A parameter read that fails once answers "flag clear": the area reference
// then moves by one and the tag would name the wrong place. The run refuses.
TEST_F(DiskAreaTest, QueriesThatDisagreeWriteNothing) {
  Attach("txr649");
  WriteImage(DiskPattern(0x8000, 0x52));
  sim::CommandFault fault;
  fault.pattern = sim::CdbPattern("FF 04 A0");
  machine.AddFault(fault);
  EXPECT_EQ(0, program::RunVerb(program::Procedure::DiskAreaFirmware, window, path.c_str()));
  EXPECT_EQ(program::kAreaUnsettled, window.StatusText());
  EXPECT_EQ(0, DiskWrites());
  EXPECT_TRUE(window.messages.empty());
}

}  // namespace
