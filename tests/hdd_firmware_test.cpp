// The HDD-hosted bank of storage controllers: the CRC-32 stamp, where the
// area lies, and the runs on emulated enclosures: what lands on the disk,
// what is refused before any write, and how failures end.
#include "engine/procedure_table.h"
#include "procedures/hdd_firmware.h"
#include "engine/image_file.h"

#include <algorithm>
#include <filesystem>
#include <optional>

#include "disk_fixture.h"
#include "engine/disk_area_steps.h"
#include "sim/test_images.h"

namespace {

using program::Crc32OfWords;
using program::HddFirmwareBase;
using testing_support::DiskPattern;

TEST(Crc32OfWordsTest, KnownValues) {
  const std::uint8_t abcd[] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(0x52BFF45Du, Crc32OfWords(abcd, 4, false));
  EXPECT_EQ(0x362324DFu, Crc32OfWords(abcd, 4, true));
  EXPECT_EQ(0x52325032u, Crc32OfWords(abcd, 3, false));  // a partial word is not covered
  // Trailing bytes past the last whole word change nothing.
  const std::uint8_t longer[] = {'a', 'b', 'c', 'd', 'e', 'f'};
  EXPECT_EQ(Crc32OfWords(abcd, 4, false), Crc32OfWords(longer, 6, false));
}

TEST(HddFirmwareBaseTest, TwoMegabytesBelowTheLastMegabyteBoundary) {
  struct Row {
    std::uint64_t capacity, lastLba;
    std::uint32_t sectorSize;
    std::optional<std::uint64_t> base;
  } rows[] = {
      {0x1D1C5970, 0, 512, 0x1D1C4800},          // IDENTIFY capacity, ATA path
      {0, 0x1D1C596F, 512, 0x1D1C4800},          // READ CAPACITY's last LBA, SCSI path
      {0x1D1C5970, 0x12345, 512, 0x1D1C4800},    // the capacity wins when there is one
      {488378646, 0, 4096, 488378624 - 512},     // 256 sectors a MB
      {0x100000000ull + 5000, 0, 512, 0x100000000ull},  // 64-bit all the way
      {4096, 0, 512, std::nullopt},              // below 3 MB: it would wrap below LBA 0
      {0, 0, 512, std::nullopt},                 // no geometry at all
      {6144, 0, 512, 0},                         // starts at LBA 0 (refused by the run)
  };
  for (const Row& r : rows) {
    EXPECT_EQ(r.base, HddFirmwareBase(r.capacity, r.lastLba, r.sectorSize))
        << std::hex << r.capacity << " " << r.lastLba;
  }
}

class HddFirmwareTest : public testing_support::DiskFixture {
 protected:
  std::uint64_t Base() const {
    const auto& d = chip->disk()->config();
    return *HddFirmwareBase(d.sectors, 0, d.logicalSectorSize);
  }
  // The image as the area must hold it: the stamp over the bank's end.
  static std::vector<std::uint8_t> Stamped(const std::vector<std::uint8_t>& image,
                                           std::uint32_t end) {
    std::vector<std::uint8_t> area(0x10000, 0x00);
    std::copy(image.begin(), image.begin() + std::min<std::size_t>(image.size(), area.size()),
              area.begin());
    sim::PutHddBankStamp(area, end);
    return area;
  }
  void ExpectResetAndNotice() {
    EXPECT_EQ(1, chip->resetCount());
    ASSERT_EQ(1u, window.messages.size());
    EXPECT_EQ(program::kAutoReset, window.messages[0].text);
    EXPECT_EQ("Message", window.messages[0].caption);
  }
  void ExpectNoResetNorNotice() {
    EXPECT_EQ(0, chip->resetCount());
    EXPECT_TRUE(window.messages.empty());
  }
};

TEST_F(HddFirmwareTest, BankAndStampGoToTheAreaAndTheNvramPartStays) {
  Attach("txv929-hdd");
  const std::vector<std::uint8_t> nvram = DiskPattern(0x4000, 0x71);
  FillDisk(Base() + 0xC000 / 512, nvram);
  const std::vector<std::uint8_t> image = DiskPattern(0x10000, 0x21);  // with an NVRAM part
  WriteImage(image);
  ASSERT_EQ(1, program::RunVerb(program::Procedure::HddHostedFirmware, window, path.c_str())) << window.StatusText();

  const std::vector<std::uint8_t> expected = Stamped(image, 0xC000);
  EXPECT_EQ(std::vector<std::uint8_t>(expected.begin(), expected.begin() + 0xC000),
            Disk(Base(), 0xC000));
  EXPECT_EQ(nvram, Disk(Base() + 0xC000 / 512, 0x4000));
  ASSERT_EQ(1u, Writes().size());
  EXPECT_EQ(Base(), Writes()[0].lba);
  EXPECT_EQ(0xC000u / 512, Writes()[0].sectors);
  EXPECT_EQ(0, Count("WriteDisk16"));
  EXPECT_TRUE(window.Showed("Programming"));
  EXPECT_EQ("Programming Success!!", window.StatusText());
  ExpectResetAndNotice();
}

TEST_F(HddFirmwareTest, IncludingTheNvramWritesTheWholeAreaWithZerosPastAShortFile) {
  Attach("txv929-hdd");
  window.options_.nvramChecked = true;
  FillDisk(Base(), DiskPattern(0x10000, 0x99));
  const std::vector<std::uint8_t> image = DiskPattern(0xD000, 0x22);
  WriteImage(image);
  ASSERT_EQ(1, program::RunVerb(program::Procedure::HddHostedFirmware, window, path.c_str())) << window.StatusText();
  EXPECT_EQ(Stamped(image, 0xC000), Disk(Base(), 0x10000));
  ASSERT_EQ(1u, Writes().size());
  EXPECT_EQ(0x10000u / 512, Writes()[0].sectors);
}

// The TXV927 with the HDD box: a 0x8000 bank on a disk of 4 KB sectors.
TEST_F(HddFirmwareTest, Type16WritesOneBankOf32KiBStampedAt7FFC) {
  Attach("txv927");
  window.facts_.flashTypeCode = 11;
  window.options_.hddFwChecked = true;
  const std::vector<std::uint8_t> image = DiskPattern(0x8000, 0x16);
  WriteImage(image);
  ASSERT_EQ(1, program::RunVerb(program::Procedure::HddHostedFirmware, window, path.c_str())) << window.StatusText();
  ASSERT_EQ(1u, Writes().size());
  EXPECT_EQ(Base(), Writes()[0].lba);
  EXPECT_EQ(0x8000u / 4096, Writes()[0].sectors);
  const std::vector<std::uint8_t> area = Disk(Base(), 0x8000);
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + 0x7FFC, area.begin()));
  std::vector<std::uint8_t> stamped = image;
  sim::PutHddBankStamp(stamped, 0x8000);
  EXPECT_EQ(stamped, area);
  ExpectResetAndNotice();
}

// Without ATA pass-through the area is found from READ CAPACITY and moved
// with READ/WRITE(16), in 512-byte sectors whatever the disk says.
TEST_F(HddFirmwareTest, ScsiPathUsesTheLastLbaAndTheDefaultSectorSize) {
  AttachEdited("txv929-hdd", [](sim::EnclosureProfile& p) { p.disk.answersAta = false; });
  const std::vector<std::uint8_t> image = DiskPattern(0xC000, 0x33);
  WriteImage(image);
  ASSERT_EQ(1, program::RunVerb(program::Procedure::HddHostedFirmware, window, path.c_str())) << window.StatusText();
  ASSERT_EQ(1u, Writes().size());
  EXPECT_EQ(1, Count("WriteDisk16"));
  EXPECT_EQ(0, Count("AtaWriteDma48"));
  const std::uint64_t base = *HddFirmwareBase(0, 976773168 - 1, 512);
  EXPECT_EQ(base, Writes()[0].lba);
  std::vector<std::uint8_t> expected = Stamped(image, 0xC000);
  expected.resize(0xC000);
  EXPECT_EQ(expected, Disk(base, 0xC000));

  // On a 4 KB-sector disk the 512-byte count asks for eight times the data:
  // the disk refuses it and nothing is written.
  machine.ClearTranscript();
  window.messages.clear();
  AttachEdited("txv927", [](sim::EnclosureProfile& p) { p.disk.answersAta = false; });
  window.options_.hddFwChecked = true;
  ASSERT_EQ(0, program::RunVerb(program::Procedure::HddHostedFirmware, window, path.c_str()));
  EXPECT_EQ("Write Data SCSI16 To HDD FAIL!!", window.StatusText());
  EXPECT_EQ(0u, chip->disk()->storedSectors());
  ExpectNoResetNorNotice();
}

TEST_F(HddFirmwareTest, BackupSizeFollowsTheNvramBox) {
  struct Row {
    bool nvram;
    std::size_t size;
    const char* name;  // empty: the default name, in the current folder
  } rows[] = {{false, 0xC000, ""}, {false, 0xC000, "without.bak"}, {true, 0x10000, "with.bak"}};
  Attach("txv929-hdd");
  const std::vector<std::uint8_t> area = DiskPattern(0x10000, 0x44);
  FillDisk(Base(), area);
  window.options_.rdMode = true;
  window.options_.backupOnlyChecked = true;
  for (const Row& r : rows) {
    window.messages.clear();
    window.options_.nvramChecked = r.nvram;
    window.options_.backupFile = *r.name ? FileIn(r.name) : "";
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(FileIn(""));
    const int result = program::RunVerb(program::Procedure::HddHostedFirmware, window, path.c_str());
    std::filesystem::current_path(cwd);
    ASSERT_EQ(1, result) << window.StatusText();
    // This procedure's default is "oldFlash.bak", not the standard one's "oldflash.bak".
    EXPECT_EQ(std::vector<std::uint8_t>(area.begin(), area.begin() + static_cast<long>(r.size)),
              ReadFile(*r.name ? FileIn(r.name) : FileIn("oldFlash.bak")));
    EXPECT_EQ(*r.name ? 0u : 1u, window.messages.size());
    EXPECT_EQ("Read flash and backup success!", window.StatusText());
  }
  EXPECT_EQ(0, DiskWrites());
  ExpectNoResetNorNotice();
}

TEST_F(HddFirmwareTest, EraseOnlyClearsTheBankAndIsJudgedByItsReadBack) {
  Attach("txv929-hdd");
  const std::vector<std::uint8_t> old = DiskPattern(0x10000, 0x55);
  FillDisk(Base(), old);
  window.options_.rdMode = true;
  window.facts_.eraseOnly = 1;
  ASSERT_EQ(1, program::RunVerb(program::Procedure::HddHostedFirmware, window, path.c_str())) << window.StatusText();
  EXPECT_EQ(std::vector<std::uint8_t>(0xC000, 0x00), Disk(Base(), 0xC000));
  EXPECT_EQ(std::vector<std::uint8_t>(old.begin() + 0xC000, old.end()), Disk(Base() + 0x60, 0x4000));
  EXPECT_EQ("Erase all data in HDD success!!", window.StatusText());
  ExpectResetAndNotice();

  // A read-back that comes short is not taken as the zeros it leaves.
  FillDisk(Base(), old);
  window.messages.clear();
  sim::CommandFault fault;
  fault.kind = sim::CommandFault::Kind::ShortTransfer;
  fault.pattern = sim::CdbPattern("85 15");
  fault.shortLength = 0x1000;
  machine.AddFault(fault);
  ASSERT_EQ(0, program::RunVerb(program::Procedure::HddHostedFirmware, window, path.c_str()));
  EXPECT_EQ("Read Data SCSI16 From HDD FAIL!!", window.StatusText());
  EXPECT_TRUE(window.messages.empty());
}

// Each failure shows its text and ends the run without reset or notice.
TEST_F(HddFirmwareTest, FailuresShowTheirTextAndNeitherResetNorNotify) {
  struct Row {
    const char* name;
    bool eraseOnly;
    const char* faultCdb;
    const char* text;
  } rows[] = {
      {"write", false, "85 17", "Write Data SCSI16 To HDD FAIL!!"},
      {"read", false, "85 15", "Read Data SCSI16 From HDD FAIL!!"},
      {"erase write", true, "85 17", "Write Data SCSI16 To HDD FAIL!!"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    machine.ClearFaults();
    window = testing_support::FakeRunWindow{};
    Attach("txv929-hdd");
    sim::CommandFault fault;
    fault.pattern = sim::CdbPattern(r.faultCdb);
    machine.AddFault(fault);
    window.options_.rdMode = r.eraseOnly;
    window.facts_.eraseOnly = r.eraseOnly ? 1 : 0;
    WriteImage(DiskPattern(0x8000, 0x66));
    EXPECT_EQ(0, program::RunVerb(program::Procedure::HddHostedFirmware, window, path.c_str()));
    EXPECT_EQ(r.text, window.StatusText());
    ExpectNoResetNorNotice();
  }
}

// An area the disk cannot hold is refused before any write.
TEST_F(HddFirmwareTest, AreasOutsideTheDiskWriteNothing) {
  struct Row {
    const char* name;
    std::uint64_t diskSectors;
  } rows[] = {{"disk under 3 MB", 4096}, {"area at LBA 0", 6144}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    window = testing_support::FakeRunWindow{};
    AttachEdited("txv929-hdd", [&](sim::EnclosureProfile& p) { p.disk.sectors = r.diskSectors; });
    WriteImage(std::vector<std::uint8_t>(0x8000, 0x5A));
    EXPECT_EQ(0, program::RunVerb(program::Procedure::HddHostedFirmware, window, path.c_str()));
    EXPECT_EQ(program::kAreaRefused, window.StatusText());
    EXPECT_EQ(0, DiskWrites());
    ExpectNoResetNorNotice();
  }
}

}  // namespace
