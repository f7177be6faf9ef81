// The standard serial-flash update and the shared steps, end to end on an
// emulated TX40775 enclosure: flash contents, status texts, message boxes and
// the commands sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "scsi/flash_commands.h"
#include "procedure_fixture.h"
#include "engine/procedure_table.h"
#include "engine/shared_steps.h"
#include "procedures/standard_serial.h"

namespace {

using testing_support::FakeRunWindow;

using testing_support::Pattern;

// Attach options giving the flash one fault.
sim::AttachOptions WithFlashFault(sim::FlashFault::Kind kind, int atOperation = 1,
                                  std::uint8_t mask = 0x01) {
  sim::FlashFault fault;
  fault.kind = kind;
  fault.atOperation = atOperation;
  fault.mask = mask;
  sim::AttachOptions options;
  options.flashFaults = {fault};
  return options;
}

class StandardProcedureTest : public testing_support::ProcedureFixture {
 protected:
  // Attaches a profile, gives its flash a known NVRAM record and old firmware.
  void Attach(const std::string& profileName, const sim::AttachOptions& options = {}) {
    const sim::EnclosureProfile* profile = sim::FindProfile(profileName);
    ASSERT_NE(nullptr, profile);
    Attach(*profile, options);
  }
  void Attach(const sim::EnclosureProfile& profile, const sim::AttachOptions& options) {
    AttachProfile(profile, options);
    sim::FlashArray& cells = chip->serialFlash()->cells();
    oldFirmware_ = Pattern(cells.size(), 0x11);
    cells.Load(0, oldFirmware_.data(), oldFirmware_.size());
    nvram_ = Pattern(512, 0x5A);
    cells.Load(0x8000, nvram_.data(), nvram_.size());
    window.facts_.flashTypeCode = 1;
  }

  bool ReadAt(std::uint32_t address, std::uint32_t length) const {
    for (const auto& t : machine.transcript())
      if (t.command == "ReadFlash" && t.request.dataTransferLength == length &&
          testing_support::FlashAddress(t) == address)
        return true;
    return false;
  }

  void ExpectPowerCycleBox(const char* text) const {
    ASSERT_EQ(1u, window.messages.size());
    EXPECT_EQ(text, window.messages[0].text);
    EXPECT_EQ("Message", window.messages[0].caption);
  }

  std::vector<std::uint8_t> oldFirmware_;
  std::vector<std::uint8_t> nvram_;
};

TEST_F(StandardProcedureTest, SmallImageIsPaddedAndTheNvramRecordSurvives) {
  Attach("tx40775-pmc");
  const std::vector<std::uint8_t> image = Pattern(10 * 1024, 0x33);
  WriteImage(image);
  ASSERT_EQ(1, program::RunVerb(program::Procedure::StandardSerialFlash, window, path.c_str()));

  EXPECT_EQ(image, Flash(0, image.size()));
  EXPECT_EQ(std::vector<std::uint8_t>(0x8000 - image.size(), 0x00), Flash(image.size(), 0x8000 - image.size()));
  EXPECT_EQ(nvram_, Flash(0x8000, 512));
  EXPECT_EQ(4, Count("WriteFlash") - 1);  // four blocks plus the NVRAM record
  EXPECT_EQ((std::vector<std::uint32_t>{0x0000}), EraseAddresses());
  EXPECT_TRUE(ReadAt(0x8000, 512));
  EXPECT_EQ("Programming Success!!", window.StatusText());
  EXPECT_TRUE(window.Showed("...."));
  EXPECT_EQ(0, SpiOpcodes(0x01));  // only ST/EON/MXIC and MXIC parts are unprotected
  ExpectPowerCycleBox("Please Turn-Off the Power and Turn-On Again !");
}

TEST_F(StandardProcedureTest, NvramRecordIsReadWholeAndWrittenBackChecked) {
  Attach("txr843-usb");  // the erase at 0 takes the record with it
  WriteImage(Pattern(0x4000, 0x23));
  testing::internal::CaptureStdout();
  const int result = program::RunVerb(program::Procedure::StandardSerialFlash, window, path.c_str());
  EXPECT_EQ("NVRAM O.K.\nwrite NVRAM O.K.\n", testing::internal::GetCapturedStdout());
  ASSERT_EQ(1, result) << window.StatusText();
  EXPECT_EQ(nvram_, Flash(0x8000, 512));
  EXPECT_EQ(3, std::count_if(machine.transcript().begin(), machine.transcript().end(),
                             [](const sim::TranscriptEntry& t) {
                               return t.command == "ReadFlash" && t.request.dataTransferLength == 512;
                             }));  // read twice before the erase, and after the write-back
}

// A record that did not arrive whole must not be erased: writing back what
// did arrive would replace the chip's settings with zeros.
TEST_F(StandardProcedureTest, NvramRecordNotReadWholeStopsBeforeTheErase) {
  Attach("txr843-usb");
  WriteImage(Pattern(0x4000, 0x23));
  const std::vector<std::uint8_t> before = Flash(0, 0x10000);
  for (const sim::CommandFault::Kind kind :
       {sim::CommandFault::Kind::CheckCondition, sim::CommandFault::Kind::ShortTransfer}) {
    SCOPED_TRACE(static_cast<int>(kind));
    machine.ClearFaults();
    machine.ClearTranscript();
    sim::CommandFault fault;
    fault.kind = kind;
    fault.pattern = sim::CdbPattern("FF 04 10 00 80 00");
    fault.shortLength = 256;
    machine.AddFault(fault);
    testing::internal::CaptureStdout();
    const int result = program::RunVerb(program::Procedure::StandardSerialFlash, window, path.c_str());
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(0, result);
    EXPECT_EQ("Backup NVRAM command fail!", window.StatusText());
    EXPECT_TRUE(window.messages.empty());
    EXPECT_EQ(0, Count("EraseFlashSector") + Count("EraseFlashChip") + Count("WriteFlash"));
    EXPECT_EQ(before, Flash(0, 0x10000));
  }
}

TEST_F(StandardProcedureTest, ImageOfExactly32KiBErasesOnceAndRestoresTheRecord) {
  Attach("tx40775-pmc");
  const std::vector<std::uint8_t> image = Pattern(0x8000, 0x44);
  WriteImage(image);
  ASSERT_EQ(1, program::RunVerb(program::Procedure::StandardSerialFlash, window, path.c_str()));
  EXPECT_EQ((std::vector<std::uint32_t>{0x0000}), EraseAddresses());
  EXPECT_EQ(image, Flash(0, image.size()));
  EXPECT_EQ(nvram_, Flash(0x8000, 512));
}

TEST_F(StandardProcedureTest, ImageJustOver32KiBOverwritesTheRecord) {
  Attach("tx40775-pmc");
  std::vector<std::uint8_t> image = Pattern(0x8001, 0x55);
  WriteImage(image);
  ASSERT_EQ(1, program::RunVerb(program::Procedure::StandardSerialFlash, window, path.c_str()));
  EXPECT_EQ((std::vector<std::uint32_t>{0x0000, 0x8000}), EraseAddresses());
  EXPECT_EQ(5, Count("WriteFlash"));  // 0xA000 bytes in 8 KB blocks, no record
  image.resize(0xA000, 0x00);
  EXPECT_EQ(image, Flash(0, 0xA000));
}

TEST_F(StandardProcedureTest, ImageOver64KiBErasesTheChipWithoutReadingTheRecord) {
  Attach("tx40779-e");  // 128 KB MXIC flash with 32-byte pages
  window.facts_.flashTypeCode = 5;
  // What identification tells this chip before any run.
  ASSERT_EQ(1, device::SetFlashPageSize(path.c_str(), 32, 2));
  const std::vector<std::uint8_t> image = Pattern(0x18000, 0x66);
  WriteImage(image);
  ASSERT_EQ(1, program::RunVerb(program::Procedure::StandardSerialFlash, window, path.c_str())) << window.StatusText();
  EXPECT_EQ(1, SpiOpcodes(0x01));  // the MXIC part's protection is cleared first
  EXPECT_EQ(1, Count("EraseFlashChip"));
  EXPECT_TRUE(EraseAddresses().empty());
  EXPECT_FALSE(ReadAt(0x8000, 512));
  EXPECT_EQ(image, Flash(0, image.size()));
}

TEST_F(StandardProcedureTest, AmicIdentitiesChooseTheEraseLayout) {
  Attach("tx40775-amic");
  window.facts_.amicFlashId = 1;
  std::vector<std::uint8_t> image = Pattern(0x9000, 0x77);
  WriteImage(image);
  ASSERT_EQ(1, program::RunVerb(program::Procedure::StandardSerialFlash, window, path.c_str())) << window.StatusText();
  EXPECT_EQ((std::vector<std::uint32_t>{0x0000, 0x1000, 0x3000, 0x7000, 0xF000}), EraseAddresses());
  image.resize(0xA000, 0x00);
  EXPECT_EQ(image, Flash(0, image.size()));

  machine.ClearTranscript();
  window.facts_.amicFlashId = 2;
  const std::vector<std::uint8_t> before = Flash(0, 0x10000);
  ASSERT_EQ(0, program::RunVerb(program::Procedure::StandardSerialFlash, window, path.c_str()));
  EXPECT_EQ("Not Support this AMIC Flash Type!!", window.StatusText());
  EXPECT_EQ(0, Count("EraseFlashSector") + Count("EraseFlashChip"));
  EXPECT_EQ(before, Flash(0, 0x10000));
}

TEST_F(StandardProcedureTest, AmicBootSectorsPassOverAFailedSmallEraseButNotTheUpperOne) {
  Attach("tx40775-amic");
  window.facts_.amicFlashId = 3;
  WriteImage(Pattern(0x9000, 0x78));
  sim::CommandFault small;
  small.pattern = sim::CdbPattern("FF 04 14 00 10 00");
  machine.AddFault(small);
  EXPECT_EQ(0, program::RunVerb(program::Procedure::StandardSerialFlash, window, path.c_str()));
  // The run went on to the upper erase and the blank check, which finds the old data.
  EXPECT_EQ((std::vector<std::uint32_t>{0x0000, 0x3000, 0x7000, 0xF000}), EraseAddresses());
  EXPECT_EQ("Data not 0xff !!", window.StatusText());
  EXPECT_FALSE(window.Showed("Erase command fail!!"));

  machine.ClearFaults();
  machine.ClearTranscript();
  sim::CommandFault upper;
  upper.pattern = sim::CdbPattern("FF 04 14 00 F0 00");
  machine.AddFault(upper);
  EXPECT_EQ(0, program::RunVerb(program::Procedure::StandardSerialFlash, window, path.c_str()));
  EXPECT_EQ("Erase command fail!!", window.StatusText());
  EXPECT_EQ(0, Count("WriteFlash"));
}

TEST_F(StandardProcedureTest, AmicIdentityFourFollowsTheUniformLayout) {
  Attach("tx40775-pmc");
  window.facts_.amicFlashId = 4;
  WriteImage(Pattern(0x4000, 0x12));
  ASSERT_EQ(1, program::RunVerb(program::Procedure::StandardSerialFlash, window, path.c_str())) << window.StatusText();
  EXPECT_EQ((std::vector<std::uint32_t>{0x0000}), EraseAddresses());
}

TEST_F(StandardProcedureTest, AtmelLatchThatNeverSetsStopsBeforeAnyErase) {
  Attach("tx40775-pmc");
  window.facts_.atmelFlashId = 1;
  window.options_.rdMode = true;
  window.facts_.eraseOnly = 1;
  sim::CommandFault refuse;
  refuse.pattern = sim::CdbPattern("FF 04 20 01 00 06");
  refuse.occurrence = 0;
  machine.AddFault(refuse);
  ASSERT_EQ(0, program::RunVerb(program::Procedure::StandardSerialFlash, window, path.c_str()));
  EXPECT_EQ("Enable ATMEL flash write enable fail!!", window.StatusText());
  EXPECT_EQ(0, Count("EraseFlashSector") + Count("EraseFlashChip"));
  EXPECT_EQ(oldFirmware_[0], Flash(0, 1)[0]);
  EXPECT_TRUE(window.messages.empty());
}

// A flash that stays busy: the run reports it where the procedure looks and
// goes on until a command fails (the busy part reads 0xFF, so the blank
// check passes; the program waits for it in vain); the record cannot go back
// either, and that is the last word.
TEST_F(StandardProcedureTest, BusyFlashIsReportedWhereTheProcedureLooks) {
  Attach("tx40775-pmc", WithFlashFault(sim::FlashFault::Kind::StaysBusy, 1));
  WriteImage(Pattern(0x2000, 0x41));
  EXPECT_EQ(0, program::RunVerb(program::Procedure::StandardSerialFlash, window, path.c_str()));
  EXPECT_TRUE(window.Showed("Not ready after Erase flash success"));
  EXPECT_TRUE(window.Showed("Programming Fail!!"));
  EXPECT_EQ("Write NVRAM back command fail!", window.StatusText());
  EXPECT_TRUE(window.messages.empty());
  const auto lines = machine.debugLines();
  EXPECT_EQ(lines.end(), std::find(lines.begin(), lines.end(), "0.1 Device initial not ready!!"));
}

TEST_F(StandardProcedureTest, FlashBusyFromTheStartIsTracedAndStopsBeforeTheErase) {
  Attach("tx40775-pmc", WithFlashFault(sim::FlashFault::Kind::StaysBusy, 0));
  WriteImage(Pattern(0x2000, 0x42));
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, program::RunVerb(program::Procedure::StandardSerialFlash, window, path.c_str()));
  EXPECT_EQ("NVRAM fail\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ("Backup NVRAM command fail!", window.StatusText());
  EXPECT_EQ(0, Count("EraseFlashSector") + Count("EraseFlashChip"));
  const auto lines = machine.debugLines();
  EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "0.1 Device initial not ready!!"));
}

// The erase commands of a part that stays busy go through (the part ignores
// them); the wait after them gives up, and the erase-only run never calls a
// flash that reads 0xFF because it is busy erased.
TEST_F(StandardProcedureTest, BlockEraseTracesABlockThatLeavesTheFlashBusy) {
  Attach("tx40775-pmc", WithFlashFault(sim::FlashFault::Kind::StaysBusy, 1));
  EXPECT_TRUE(program::EraseFlashBlocks(window, path.c_str(), 0x4000));
  EXPECT_EQ("Erase.....", window.StatusText());
  const auto lines = machine.debugLines();
  EXPECT_NE(lines.end(),
            std::find(lines.begin(), lines.end(), "Not ready after Erase flash success"));
  EXPECT_FALSE(program::EraseWholeFlash(window, path.c_str()));
  EXPECT_EQ("Not ready after Erase flash cmd success", window.StatusText());
}

TEST_F(StandardProcedureTest, DataThatWillNotEraseOrProgramIsCaught) {
  sim::AttachOptions badRead;
  sim::FlashFault wrong;
  wrong.kind = sim::FlashFault::Kind::WrongReadData;
  wrong.address = 0x100;
  wrong.length = 1;
  wrong.mask = 0x80;
  badRead.flashFaults = {wrong};
  Attach("tx40775-pmc", badRead);
  WriteImage(Pattern(0x2000, 0x31));
  EXPECT_EQ(0, program::RunVerb(program::Procedure::StandardSerialFlash, window, path.c_str()));
  EXPECT_EQ("Data not 0xff !!", window.StatusText());
}

TEST_F(StandardProcedureTest, EraseOnlyRunErasesEverythingAndAsksForAPowerCycle) {
  Attach("tx40775-pmc");
  window.options_.rdMode = true;
  window.facts_.eraseOnly = 1;
  ASSERT_EQ(1, program::RunVerb(program::Procedure::StandardSerialFlash, window, path.c_str()));
  EXPECT_EQ(std::vector<std::uint8_t>(0x10000, 0xFF), Flash(0, 0x10000));
  EXPECT_EQ("Erase flash all success!", window.StatusText());
  EXPECT_TRUE(window.Showed("Start Erase only!"));
  ExpectPowerCycleBox("Please Turn-Off the Power and Turn-On Again!");
}

TEST_F(StandardProcedureTest, EraseOnlyRunWhoseReadBackFailsIsNotReportedAsSuccess) {
  Attach("tx40775-pmc");
  window.options_.rdMode = true;
  window.facts_.eraseOnly = 1;
  sim::CommandFault fault;
  fault.pattern = sim::CdbPattern("FF 04 10 00 00 00");
  machine.AddFault(fault);
  EXPECT_EQ(0, program::RunVerb(program::Procedure::StandardSerialFlash, window, path.c_str()));
  EXPECT_FALSE(window.Showed("Erase flash all success!"));
  EXPECT_EQ("Read Back Erased Flash Error!!", window.StatusText());
  EXPECT_TRUE(window.messages.empty());
}

// The erase-only step takes the first erase that works: the chip erase of an
// ATMEL part, the chip erase of chip type 10, then block by block.
TEST_F(StandardProcedureTest, EraseWholeFlashTakesTheFirstEraseThatWorks) {
  Attach("tx40775-pmc");
  const std::vector<std::uint8_t> blank(0x10000, 0xFF);
  // Refused commands never reach the chip: count them by their blocks.
  auto sent = [this](std::uint8_t op) {
    int n = 0;
    for (const auto& t : machine.transcript())
      n += t.cdb.size() > 2 && t.cdb[0] == 0xFF && t.cdb[1] == 0x04 && t.cdb[2] == op ? 1 : 0;
    return n;
  };
  auto spiChipErases = [this] { return SpiOpcodes(0xC7); };
  window.facts_.atmelFlashId = 1;
  ASSERT_TRUE(program::EraseWholeFlash(window, path.c_str())) << window.StatusText();
  EXPECT_EQ(1, Count("EraseFlashChip"));
  EXPECT_EQ(0, Count("EraseFlashSector"));
  EXPECT_EQ(blank, Flash(0, blank.size()));

  // Chip type 10 asks for the chip erase a second time before going block by
  // block; with the SST kind it also sends the serial chip erase.
  chip->serialFlash()->cells().Load(0, oldFirmware_.data(), oldFirmware_.size());
  machine.ClearTranscript();
  window.facts_.chipType = 10;
  window.facts_.flashTypeCode = 2;
  sim::CommandFault refuseChipErase;
  refuseChipErase.pattern = sim::CdbPattern("FF 04 13");
  refuseChipErase.occurrence = 0;
  machine.AddFault(refuseChipErase);
  ASSERT_TRUE(program::EraseWholeFlash(window, path.c_str())) << window.StatusText();
  EXPECT_EQ(2, sent(0x13));
  EXPECT_EQ(8, sent(0x14));
  EXPECT_EQ(1, spiChipErases());
  EXPECT_EQ(blank, Flash(0, blank.size()));
  EXPECT_EQ("Erase flash all success!", window.StatusText());

  // When no erase works the step fails without reading anything back.
  machine.ClearTranscript();
  window.facts_.flashTypeCode = 1;
  sim::CommandFault refuseSectorErase;
  refuseSectorErase.pattern = sim::CdbPattern("FF 04 14");
  refuseSectorErase.occurrence = 0;
  machine.AddFault(refuseSectorErase);
  EXPECT_FALSE(program::EraseWholeFlash(window, path.c_str()));
  EXPECT_EQ("Erase command fail!!", window.StatusText());
  EXPECT_EQ(1, sent(0x14));  // the first refused block ends the step
  EXPECT_EQ(0, sent(0x10));
  EXPECT_EQ(0, spiChipErases());
}

TEST_F(StandardProcedureTest, BackupOnlyRunWritesTheDefaultFileAfterItsNotice) {
  Attach("tx40775-pmc");
  window.options_.rdMode = true;
  window.options_.backupOnlyChecked = true;
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(scratch.dir());
  const int result = program::RunVerb(program::Procedure::StandardSerialFlash, window, path.c_str());
  std::filesystem::current_path(cwd);
  ASSERT_EQ(1, result);
  ExpectPowerCycleBox("Default backup firmware as OldFalsh.bak!");
  const std::vector<std::uint8_t> saved = ReadFile(FileIn("oldflash.bak"));
  EXPECT_EQ(Flash(0, 0x10000), saved);
  EXPECT_EQ("Read flash and backup success!", window.StatusText());
}

TEST_F(StandardProcedureTest, BackupWithSkipLeavesOutTheFirst4KiB) {
  Attach("tx40775-pmc");
  window.options_.backupFile = FileIn("named.bin");
  ASSERT_TRUE(program::BackupFlashToFile(window, program::WholeRangeReader(path.c_str()), 0x10000, 4096));
  EXPECT_TRUE(window.messages.empty());
  const std::vector<std::uint8_t> saved = ReadFile(window.options_.backupFile);
  EXPECT_EQ(Flash(0x1000, 0x10000 - 0x1000), saved);

  window.options_.backupFile = (scratch.dir() / "no-such-dir" / "x.bin").string();
  EXPECT_FALSE(program::BackupFlashToFile(window, program::WholeRangeReader(path.c_str()), 0x10000, 0));
  EXPECT_EQ("Open Backup File Error!!", window.StatusText());
}

TEST_F(StandardProcedureTest, BlockStepsRoundUpAndRefuseZeroLength) {
  Attach("tx40775-pmc");
  std::vector<std::uint8_t> buffer(0x4000);
  EXPECT_FALSE(program::ReadFlashBlocks(window, path.c_str(), 0, buffer.data(), 0));
  EXPECT_FALSE(program::EraseFlashBlocks(window, path.c_str(), 0));
  EXPECT_EQ(0, Count("ReadFlash") + Count("EraseFlashSector"));

  ASSERT_TRUE(program::ReadFlashBlocks(window, path.c_str(), 0x1000, buffer.data(), 0x3000));
  EXPECT_EQ(2, Count("ReadFlash"));  // 1.5 blocks read as two whole ones
  EXPECT_EQ(Flash(0x1000, 0x4000), buffer);
  EXPECT_EQ("ReadFlash.....", window.StatusText());  // one dot per block

  ASSERT_TRUE(program::EraseFlashBlocks(window, path.c_str(), 0x3000));
  EXPECT_EQ((std::vector<std::uint32_t>{0x0000, 0x2000}), EraseAddresses());
  EXPECT_EQ("Erase.....", window.StatusText());
}

// The erase addresses the procedure uses fit some real parts and not others.
// Where they do not, the run fails the way the hardware does: the blank check
// finds what the erase left, nothing is programmed, no box is shown.
TEST_F(StandardProcedureTest, EraseAddressesFitOnlyThePartsWhoseUnitsTheyCover) {
  struct Row {
    const char* part;
    std::int32_t amicFlashId;
    const char* failure;  // null: the run succeeds
  };
  const Row rows[] = {
      // bottom boot 4/4/8/16/32 KB: every block is hit
      {"amic-a25l05pu", 5, nullptr},
      // top boot: 0x8000 clears 16 KB, 0xC000.. keeps its data
      {"amic-a25l05pt", 4, "Data not 0xff !!"},
      // 0xD8 clears 32 KB: 0 and 0x8000 cover the part
      {"st-m25p05", -1, nullptr},
      // takes no 0xD8 at all
      {"gd-gd25q512", -1, "Data not 0xff !!"},
      // 128-byte pages, which a bridge that knows its part programs
      {"atmel-at25f512a", -1, nullptr},
      {"st-m25p05-res", -1, nullptr},
  };
  const std::vector<std::uint8_t> image = Pattern(0x10000, 0x21);
  WriteImage(image);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.part);
    sim::EnclosureProfile profile = *sim::FindProfile("tx40775-amic");
    profile.flashPart = r.part;
    sim::AttachOptions options;
    options.serial = r.part;
    Attach(profile, options);
    window.facts_.amicFlashId = r.amicFlashId;
    window.messages.clear();
    machine.ClearTranscript();
    const int result = program::RunVerb(program::Procedure::StandardSerialFlash, window, path.c_str());
    if (r.failure == nullptr) {
      EXPECT_EQ(1, result) << window.StatusText();
      EXPECT_EQ(image, Flash(0, image.size()));
    } else {
      EXPECT_EQ(0, result);
      EXPECT_EQ(r.failure, window.StatusText());
      EXPECT_NE(image, Flash(0, image.size()));
      EXPECT_TRUE(window.messages.empty());
    }
  }
}

}  // namespace
