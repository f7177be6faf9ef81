// Run in the window on every dispatch row of the disk-hosted procedures: the
// image chosen with "Load File" ends up in the emulated disk's area.
#include <gtest/gtest.h>

#include <algorithm>

#include "procedures/disk_area_firmware.h"
#include "procedures/hdd_firmware.h"
#include "run_window_fixture.h"

namespace {

using program::Procedure;

class DiskRunTest : public testing_support::RunWindowFixture {};

TEST_F(DiskRunTest, EveryDiskHostedRowUpdatesItsDiskThroughRun) {
  struct Row {
    const char* profile;
    bool hddBox;  // "TXV929 HDD FW " checked
    Procedure procedure;
    std::uint32_t reference;  // R of the disk-area rows
    bool paramFlag;
  } rows[] = {
      {"tx40779-e-noflash", false, Procedure::DiskAreaFirmware, 488397168 - 1, false},
      {"txr649", false, Procedure::DiskAreaFirmware, 976773168, true},
      {"tx40769", false, Procedure::DiskAreaFirmware, 312581808 - 1, false},
      {"txv929-hdd", false, Procedure::HddHostedFirmware, 0, false},
      {"txv927", true, Procedure::HddHostedFirmware, 0, false},
  };
  std::uint32_t disk = 1;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.profile);
    window.reset();
    machine.ClearTranscript();
    auto chip = Attach(r.profile, disk++);
    Start();
    // This machine's enclosures so far: the new one is the last entry.
    const int entry = static_cast<int>(window->DeviceList.items().size()) - 1;
    window->DeviceList.UserSelect(entry);
    std::vector<std::uint8_t> image(0x9000);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7 + disk);
    const std::string file = WriteFile(std::string(r.profile) + "-image", image);
    if (r.hddBox) window->TXV929HDDFwChk.SetChecked(true);
    view.dialogAnswers.push_back(file);
    window->LoadBtn.Click();
    ASSERT_TRUE(window->UpdateBtn.enabled());
    view.messages.clear();
    view.questionAnswers = {true};  // no image check accepts these bytes: program them anyway
    window->UpdateBtn.Click();
    EXPECT_EQ(r.procedure, window->lastProcedure);
    EXPECT_EQ("Programming Success!!", window->StatusEdit.text());
    ASSERT_EQ(1u, view.messages.size());

    const sim::DiskConfig& d = chip->disk()->config();
    std::uint64_t start = 0;
    std::vector<std::uint8_t> expected = image;
    if (r.procedure == Procedure::DiskAreaFirmware) {
      start = program::DiskAreaStart(r.reference, 0, r.paramFlag);
      sim::PutAreaTag(expected.data(), r.reference);
      expected.resize(0x10000, 0x00);
    } else {
      start = *program::HddFirmwareBase(d.sectors, 0, d.logicalSectorSize);
      expected.resize(0x10000, 0x00);
      const std::uint32_t end = window->chip.chipType == 16 ? 0x8000 : 0xC000;
      if (!window->NVRAMCheck.checked()) expected.resize(end);
      sim::PutHddBankStamp(expected, end);
    }
    std::vector<std::uint8_t> area(expected.size());
    chip->disk()->ReadSectors(start, area.data(), area.size() / d.logicalSectorSize);
    EXPECT_EQ(expected, area);
    // Nothing lands outside the area.
    for (const auto& e : machine.transcript()) {
      if (e.command != "AtaWriteDma48") continue;
      const std::uint64_t lba = static_cast<std::uint64_t>(e.cdb[9]) << 32 |
                                static_cast<std::uint64_t>(e.cdb[7]) << 24 | e.cdb[12] << 16 |
                                e.cdb[10] << 8 | e.cdb[8];
      EXPECT_EQ(start, lba);
    }
    machine.Detach(chip->path());
  }
}

}  // namespace
