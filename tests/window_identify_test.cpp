// Identification through the window model: every built-in enclosure profile
// on the simulated machine, listed by the refresh, selected and shown, with
// the configuration commands the display sends; the refresh's edge cases;
// the version and "Internal code" rules against real device answers.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "window/headless_view.h"
#include "window/main_window.h"
#include "sim/profiles.h"
#include "sim_fixture.h"

namespace {

using app::HeadlessView;
using app::MainWindow;

// What the window shows for a profile once its entry is selected. '-' in a
// visibility column: the family leaves that control alone.
struct Shown {
  const char* chipName;
  const char* flash;    // SFlashTypeLable
  const char* version;  // FwVerLableEdit
  const char* status;   // StatusEdit
  bool versionVisible;
  char nvram;                       // 'S' shown, 'H' hidden
  char hddFw;                       // 'S', 'H' or '-'
  int sizeKb;                       // flashSizeKb, -1 where the family does not size the flash
  std::vector<std::string> config;  // configuration commands, "name/data length"
};

constexpr const char* kUnsupported = "The chip not support Firmware Update!";

// clang-format off
const std::map<std::string, Shown>& Expected() {
  static const std::map<std::string, Shown> rows = {
      {"tx40775-pmc", {"TX40775 Series", "PMC", "2.05.01", "", true, 'H', 'H', -1, {}}},
      {"tx40775-amic", {"TX40775 Series", "AMIC", "2.04", "", true, 'H', 'H', -1, {}}},
      {"tx40776-atmel", {"TX40776 Series", "", "2.01.00", "", true, 'H', '-', -1, {}}},
      {"tx40776-pmc", {"TX40776 Series", "", "2.01.00", "", true, 'H', '-', -1, {}}},
      {"tx40776-sst-a1", {"TX40776 Series", "", "2.01.00", "", true, 'H', '-', -1, {}}},
      {"tx40776-3e8a", {"TX40776", "", "3.02.00", "", true, 'H', '-', -1, {}}},
      {"tx40777", {"TX40777 Series", "ST/EON/MXIC", "1.08.00", "", true, 'H', 'H', -1, {}}},
      {"tx40779-c", {"TX40779 Series", "ATMEL", "2.09.03", "", true, 'H', 'H', -1, {}}},
      {"tx40779-e",
       {"TX40779 Series", "MXIC", "3.01.05", "", true, 'H', 'H', 128,
        {"SetFlashOpcodes/2", "FlashPageSize/2"}}},
      {"tx40769", {"TX40769 Series", "", "2.02.00", "", true, 'H', '-', -1, {}}},
      {"tx40769-old", {"TX40769 Series", "", "1.00.00", kUnsupported, false, 'H', '-', -1, {}}},
      {"txr649", {"TXR649 Series", "", "4.01.00", "", true, 'H', '-', -1, {}}},
      {"txr649-tagged", {"TXR649 Series", "", "4.01.00", "", true, 'H', '-', -1, {}}},
      {"txr649-2t", {"TXR649 Series", "", "4.01.00", "", true, 'H', '-', -1, {}}},
      {"txr649-4k", {"TXR649 Series", "", "4.01.00", "", true, 'H', '-', -1, {}}},
      {"txr649-tag0", {"TXR649 Series", "", "4.01.00", "", true, 'H', '-', -1, {}}},
      {"tx40779-e-noflash",
       {"TX40779 Series", "Unknown", "Internal code", "", true, 'H', 'H', -1, {}}},
      {"txv929-hdd", {"TXV929 Series", "Unknown", "01.02.03.04", "", true, 'S', 'S', -1, {}}},
      {"txr842", {"TXR842 Series", "MXIC", "1.03.02", "", true, 'S', 'H', -1, {}}},
      {"txr843-usb", {"TXR843 Series", "WINBOND", "1.06", "", true, 'H', 'H', -1, {}}},
      {"txr843-1394", {"TXR843 Series", "WINBOND", "1.07.02", "", true, 'H', 'S', -1, {}}},
      {"txr846", {"TXR845/846 Series", "EON", "8.03.01.16.00", "", true, 'S', 'S', -1, {}}},
      {"txr845", {"TXR845/846 Series", "WINBOND", "8.01.02.16.00", "", true, 'S', 'S', -1, {}}},
      // No release bit in its chip memory.
      {"txr845-info", {"TXR845/846 Series", "PMC", "Internal code", "", true, 'S', 'S', -1, {}}},
      {"txr846-b", {"TXR845/846 Series", "ATMEL", "8.04.04.16.00", "", true, 'S', 'S', -1, {}}},
      // Bytes 10 and 11 of its block are the chip number's characters "71".
      {"txr847-mxic32",
       {"TXR847 Series", "MXIC", "55.49.01.02.03", "", true, 'S', 'H', 64,
        {"SetFlashOpcodes/0", "FlashPageSize/0"}}},
      {"txr847-sst",
       {"TXR847 Series", "SST", "55.50.01.03.00", "", true, 'S', 'H', 2048,
        {"SetFlashOpcodes/0"}}},
      // The 0x506A probe flips the last field from 1 to 0.
      {"txv961", {"TXV961/929 Series", "MXIC", "9.20.01.16.00", "", true, 'S', 'S', -1, {}}},
      {"txv961-l5",
       {"TXV961/929 Series", "MXIC", "9.21.01.16.00", "", true, 'S', 'S', -1,
        {"SetFlashOpcodesAndPageSize/0"}}},
      {"txv929", {"TXV929 Series", "WINBOND", "01.02.03.04", "", true, 'S', 'S', 128, {}}},
      // The bank repair ran at start-up; selecting again does not repeat it.
      {"txv929-bank1-damaged",
       {"TXV929 Series", "WINBOND", "01.02.03.04", "", true, 'S', 'S', 128,
        {}}},
      {"txv929-bank0-damaged",
       {"TXV929 Series", "WINBOND", "01.02.03.04", "", true, 'S', 'S', 128,
        {}}},
      {"txv929-bank0-wrong-number",
       {"TXV929 Series", "WINBOND", "01.02.03.04", "", true, 'S', 'S', 128,
        {}}},
      {"txv929-banks-damaged",
       {"TXV929 Series", "WINBOND", "01.02.03.04", "", true, 'S', 'S', 128, {}}},
      {"txv927", {"TXV927 Series", "GIGADEVICE", "02.03.04.05", "", true, 'S', 'S', 128, {}}},
      {"txv929-txr847",
       {"TXV929/847 Series", "MXIC", "03.04.05.06.07", "", true, 'S', 'H', 64,
        {"AtaSetFlashOpcodes/0", "AtaSetFlashPageSize/0"}}},
      {"txv961-txr842", {"TXV929/842 Series", "WINBOND", "02.01.00", "", true, 'S', 'H', -1, {}}},
      {"txv929-txr842", {"TXV929/842 Series", "EON", "02.02.00", "", true, 'S', 'H', -1, {}}},
      {"txr659-a", {"TXR659 Series", "AMIC", "3.01.05", "", true, 'H', 'H', -1, {}}},
      {"txr659-c",
       {"TXR659 Series", "ESMT", "3.02.00", "", true, 'H', 'H', 128, {"SetFlashOpcodes/2"}}},
      // Variants with other flash parts or register values.
      {"txr842-atmel", {"TXR842 Series", "ATMEL", "1.03.02", "", true, 'S', 'H', -1, {}}},
      // The AT25F1024 answers 1F 60 as the smaller AT25F512 does: 64 KB.
      {"txr847-atmel",
       {"TXR847 Series", "ATMEL", "55.49.01.02.03", "", true, 'S', 'H', 64,
        {"SetFlashOpcodes/0"}}},
      {"txr847-sst-byte",
       {"TXR847 Series", "SST", "55.50.01.03.00", "", true, 'S', 'H', 64, {"SetFlashOpcodes/0"}}},
      {"txv961-page", {"TXV961/929 Series", "MXIC", "9.20.01.16.00", "", true, 'S', 'S', -1, {}}},
      {"txv961-l5-sst",
       {"TXV961/929 Series", "SST", "9.21.01.16.00", "", true, 'S', 'S', -1, {}}},
      {"txr659-sst",
       {"TXR659 Series", "SST", "3.02.00", "", true, 'H', 'H', 2048, {"SetFlashOpcodes/2"}}},
      {"tx40779-e-sst",
       {"TX40779 Series", "SST", "3.01.05", "", true, 'H', 'H', 2048, {"SetFlashOpcodes/2"}}},
      {"tx40777-legacy", {"TX40777", "", "", "Not Tavrion Chip!!", false, 'H', '-', -1, {}}},
      {"tx40778-legacy", {"TX40778", "", "", "Not Tavrion Chip!!", false, 'H', '-', -1, {}}},
      {"tx40779-legacy", {"TX40779", "", "", "Not Tavrion Chip!!", false, 'H', '-', -1, {}}},
      {"tx40775-legacy", {"TX40775", "", "", "Not Tavrion Chip!!", false, 'H', '-', -1, {}}},
      {"tx40778", {"TX40778", "", "1.01.00", kUnsupported, false, 'H', '-', -1, {}}},
  };
  return rows;
}
// clang-format on

bool IsConfigCommand(const std::string& name) {
  static const std::set<std::string> names = {"SetFlashOpcodes", "SetFlashOpcodesAndPageSize",
                                              "FlashPageSize", "AtaSetFlashOpcodes",
                                              "AtaSetFlashPageSize"};
  return names.count(name) != 0;
}

std::vector<std::string> ConfigSent(const sim::Machine& machine) {
  std::vector<std::string> sent;
  for (const auto& e : machine.transcript())
    if (IsConfigCommand(e.command))
      sent.push_back(e.command + "/" + std::to_string(e.request.dataTransferLength));
  return sent;
}

class IdentifyWindowTest : public ::testing::Test, public testing_support::SimFixtureBase {
 protected:
  void Start() { window = app::StartMainWindow(view); }
  int Count(const std::string& command) const {
    int n = 0;
    for (const auto& e : machine.transcript()) n += e.command == command ? 1 : 0;
    return n;
  }
  std::shared_ptr<sim::BridgeChip> Attach(const sim::EnclosureProfile& p, std::uint32_t disk = 1,
                                          char letter = 'E', bool cdrom = false) {
    sim::AttachOptions o;
    o.serial = p.name + std::to_string(disk);
    o.diskNumber = disk;
    o.volumes = {{letter, 1}};
    o.asCdrom = cdrom;
    return sim::AttachProfile(machine, p, o);
  }
  std::shared_ptr<sim::BridgeChip> Attach(const std::string& name, std::uint32_t disk = 1,
                                          char letter = 'E', bool cdrom = false) {
    return Attach(*sim::FindProfile(name), disk, letter, cdrom);
  }
  // A disk that answers INQUIRY but no identification command.
  void AttachPlain(const std::string& product, std::uint32_t disk) {
    SimFixtureBase::AttachUsb(product, disk);
  }

  HeadlessView view{
      {[this] { return machine.NowMs(); }, [this](std::uint64_t ms) { machine.AdvanceMs(ms); }}};
  std::unique_ptr<MainWindow> window;
};

TEST(IdentifyWindow, EveryProfileIsIdentifiedAndShownAsItsFamilySays) {
  for (const sim::EnclosureProfile& p : sim::EnclosureProfiles()) {
    SCOPED_TRACE(p.name);
    const auto row = Expected().find(p.name);
    ASSERT_NE(Expected().end(), row) << "no expectation for this profile";
    const Shown& want = row->second;

    sim::Machine machine;
    host::ScopedHost scope(machine);
    sim::AttachOptions o;
    o.volumes = {{'E', 1}, {'F', 2}};
    sim::AttachProfile(machine, p, o);
    HeadlessView view{
        {[&] { return machine.NowMs(); }, [&](std::uint64_t ms) { machine.AdvanceMs(ms); }}};
    std::unique_ptr<MainWindow> w = app::StartMainWindow(view);

    // A bridge behind a controller is reached through the companion entry,
    // listed after the controller's own.
    const bool companion = p.chipType >= 13 && p.chipType <= 15;
    ASSERT_EQ(companion ? 2u : 1u, w->DeviceList.items().size());
    const std::string prefix = p.sbp2 ? "<<1394>> " : "<<USB>> ";
    EXPECT_EQ(0u, w->DeviceList.items()[0].rfind(prefix, 0));
    EXPECT_EQ(p.sbp2 ? "1394 DISK" : "USB DISK", w->diskLabel.text());
    if (companion) {
      EXPECT_EQ(0u, w->DeviceList.items()[1].rfind(p.chipType == 13 ? "<<847>> " : "<<842>> ", 0));
      EXPECT_EQ(w->DeviceList.items()[0].substr(prefix.size()), w->DeviceList.items()[1].substr(8));
    }

    // Selecting the entry identifies and shows it again.
    machine.ClearTranscript();
    w->DeviceList.UserSelect(companion ? 1 : 0);
    EXPECT_EQ(companion ? p.chipType : p.identifiedType, w->chip.chipType);
    EXPECT_EQ(p.subCode, w->chip.chipSubCode);
    EXPECT_EQ(want.chipName, w->ChipLabelEdit.text());
    EXPECT_EQ(want.flash, w->SFlashTypeLable.text());
    EXPECT_EQ(want.version, w->FwVerLableEdit.text());
    EXPECT_EQ(want.versionVisible, w->FwVerLableEdit.visible());
    EXPECT_EQ(want.status, w->StatusEdit.text());
    EXPECT_EQ("EF", w->DiskLetterLable.text());
    EXPECT_EQ(want.nvram == 'S', w->NVRAMCheck.visible());
    if (want.nvram == 'S') {
      EXPECT_TRUE(w->NVRAMCheck.checked());  // includeNvram starts at 1
    }
    if (want.hddFw != '-') {
      EXPECT_EQ(want.hddFw == 'S', w->TXV929HDDFwChk.visible());
    }
    if (want.sizeKb >= 0) {
      EXPECT_EQ(want.sizeKb, w->chip.flashSizeKb);
    }
    EXPECT_EQ(want.config, ConfigSent(machine));
    // Without an image, an option or a message, Run stays as the start left it.
    EXPECT_FALSE(w->UpdateBtn.enabled());
    EXPECT_TRUE(view.messages.empty());
  }
}

TEST_F(IdentifyWindowTest, FamilyControlsFollowTheSelection) {
  Attach("tx40776-atmel", 1, 'E');
  Attach("txr846", 2, 'G');
  Attach("tx40769-old", 3, 'H');
  Start();
  ASSERT_EQ(3u, window->DeviceList.items().size());
  MainWindow& w = *window;
  // Parallel flash: the part is picked in the list, which is shown and enabled.
  EXPECT_TRUE(w.FlashTypeList.visible());
  EXPECT_TRUE(w.FlashTypeList.enabled());
  EXPECT_TRUE(w.A1ChipCheck.visible());
  EXPECT_FALSE(w.SFlashTypeLable.visible());

  w.DeviceList.UserSelect(1);
  EXPECT_FALSE(w.FlashTypeList.visible());
  EXPECT_FALSE(w.FlashTypeLabel.visible());
  EXPECT_FALSE(w.A1ChipCheck.visible());
  EXPECT_TRUE(w.SFlashTypeLable.visible());
  EXPECT_EQ("G", w.DiskLetterLable.text());
  // The reported EON part sets the window's erase geometry from its row.
  EXPECT_EQ(0x10000u, w.eraseGeometry.eraseBlockSize);
  EXPECT_EQ(0x8000u, w.eraseGeometry.eraseSectorSize);

  // An unsupported parameter-block chip hides the flash and version boxes.
  w.DeviceList.UserSelect(2);
  EXPECT_FALSE(w.SFlashTypeLable.visible());
  EXPECT_FALSE(w.FwVerLableEdit.visible());
  EXPECT_EQ(kUnsupported, w.StatusEdit.text());
  EXPECT_TRUE(w.TXV929HDDFwChk.visible());  // no branch of this family touches it

  w.DeviceList.UserSelect(0);
  EXPECT_EQ("", w.StatusEdit.text());
  EXPECT_TRUE(w.FwVerLableEdit.visible());
}

// Discovery records the bus with the device; the entry, the disk label and
// the record all say it, for the USB and the IEEE 1394 enclosure alike.
TEST_F(IdentifyWindowTest, TheRecordCarriesTheBusTheEntryShows) {
  Attach("tx40775-pmc", 1, 'E');
  Attach("txr843-1394", 2, 'G');
  Start();
  ASSERT_EQ(2u, window->DeviceList.items().size());
  const struct {
    const char* prefix;
    device::BusKind bus;
  } rows[] = {{"<<USB>> ", device::BusKind::Usb}, {"<<1394>> ", device::BusKind::Ieee1394}};
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(0u, window->DeviceList.items()[i].rfind(rows[i].prefix, 0))
        << window->DeviceList.items()[i];
    EXPECT_EQ(rows[i].bus, window->devices[i].bus) << i;
  }
  EXPECT_EQ("1394 DISK", window->diskLabel.text());
}

TEST_F(IdentifyWindowTest, AFlashTypeCodeOutsideTheTableShowsUnknownWithTheStartingGeometry) {
  sim::EnclosureProfile odd = *sim::FindProfile("txr846");
  odd.bridge.flashTypeCode = 0x20;
  Attach("txr846", 1, 'E');
  Attach(odd, 2, 'F');
  Start();
  EXPECT_EQ(0x8000u, window->eraseGeometry.eraseSectorSize);  // EON row
  window->DeviceList.UserSelect(1);
  EXPECT_EQ(0, window->chip.flashTypeCode);
  EXPECT_EQ("Unknown", window->SFlashTypeLable.text());
  EXPECT_EQ(0x8000u, window->eraseGeometry.eraseBlockSize);
  EXPECT_EQ(0x1000u, window->eraseGeometry.eraseSectorSize);
}

TEST_F(IdentifyWindowTest, VersionFormatFollowsTheTransferredCount) {
  sim::EnclosureProfile shortInfo = *sim::FindProfile("tx40779-c");
  shortInfo.bridge.chipInfoLength = 12;
  Attach("tx40779-c", 1);
  Attach(shortInfo, 2);
  Start();
  EXPECT_EQ("2.09.03", window->FwVerLableEdit.text());  // bytes 12..14
  window->DeviceList.UserSelect(1);
  EXPECT_EQ("2.09", window->FwVerLableEdit.text());  // bytes 6..7
}

TEST_F(IdentifyWindowTest, FailedVersionReadsShowTheFixedTexts) {
  Attach("tx40779-c", 1);
  Attach("txr846", 2);
  machine.AddFault({sim::CommandFault::Kind::CheckCondition, "", sim::CdbPattern("E0 F4 E7"), 0});
  Start();
  EXPECT_EQ(4, window->chip.chipType);
  EXPECT_EQ("02.00", window->FwVerLableEdit.text());
  window->DeviceList.UserSelect(1);
  EXPECT_EQ("01.00", window->FwVerLableEdit.text());
}

TEST_F(IdentifyWindowTest, InternalCodeRulesAgainstTheDevice) {
  // A known internal build of a TXR846 shows as internal even though its
  // flash holds a valid "846" marker.
  sim::EnclosureProfile internal = *sim::FindProfile("txr846");
  internal.bridge.chipInfo[6] = 7;
  internal.bridge.chipInfo[7] = 7;
  internal.bridge.chipInfo[12] = 0;
  internal.bridge.chipInfo[13] = 16;
  internal.bridge.chipInfo[14] = 0;
  // A TXV929 whose parameter block says "not a release" in byte 19.
  sim::EnclosureProfile unreleased = *sim::FindProfile("txv929");
  unreleased.bridge.parameters[19] = 0;
  // The same with its release bit clear.
  sim::EnclosureProfile noBit = *sim::FindProfile("txv929");
  noBit.bridge.memory = {{0x70F0, {0x00, 0x00, 0x00, 0x00}}};
  Attach(internal, 1);
  Attach(unreleased, 2);
  Attach(noBit, 3);
  Start();
  EXPECT_EQ("Internal code", window->FwVerLableEdit.text());
  window->DeviceList.UserSelect(1);
  EXPECT_EQ(6, window->chip.flashTypeCode);
  EXPECT_EQ("Internal code", window->FwVerLableEdit.text());
  window->DeviceList.UserSelect(2);
  EXPECT_EQ("Internal code", window->FwVerLableEdit.text());
}

TEST_F(IdentifyWindowTest, Txv929WithoutAFlashTypeShowsItsVersionOnTheReleaseBitAlone) {
  sim::EnclosureProfile unreleased = *sim::FindProfile("txv929");
  unreleased.bridge.parameters[19] = 0;  // would say "internal" if it were asked
  Attach(unreleased, 1);
  // Neither the chip's report nor the raw path names a flash part.
  machine.AddFault({sim::CommandFault::Kind::CheckCondition, "", sim::CdbPattern("FF 04 23"), 0});
  machine.AddFault({sim::CommandFault::Kind::CheckCondition, "", sim::CdbPattern("FF 04 20"), 0});
  Start();
  EXPECT_EQ(0, window->chip.flashTypeCode);
  EXPECT_EQ("01.02.03.04", window->FwVerLableEdit.text());
  EXPECT_EQ(0, Count("ReadChipParameters"));
}

TEST_F(IdentifyWindowTest, ChipType11ProbeRestoresTheByteItFlipped) {
  auto chip = Attach("txv961", 1);
  chip->memory()[0x506A] = 0x40;
  Start();
  EXPECT_EQ("9.20.01.16.00", window->FwVerLableEdit.text());
  // It read 0x41 (the held bit) and wrote that back with bit 0 inverted: the
  // stored byte is what it was.
  EXPECT_EQ(0x40, chip->memory()[0x506A]);
}

TEST_F(IdentifyWindowTest, AProbeThatCannotReadTheByteWritesNothing) {
  auto chip = Attach("txv961", 1);
  chip->memory()[0x506A] = 0x40;
  machine.AddFault(
      {sim::CommandFault::Kind::CheckCondition, "", sim::CdbPattern("DF 10 ?? 00 01 ?? 50 6A"), 0});
  Start();
  EXPECT_EQ(0, Count("WriteChipMemory"));
  EXPECT_EQ(0x40, chip->memory()[0x506A]);
  EXPECT_EQ("9.20.01.16.01", window->FwVerLableEdit.text());  // not flipped
}

TEST_F(IdentifyWindowTest, CompanionRecordsShareThePathAndTheDriveLetters) {
  Attach("txv929-txr847", 1, 'E');
  Attach("txv961-txr842", 2, 'F');
  Start();
  MainWindow& w = *window;
  ASSERT_EQ(2, w.deviceCount);
  ASSERT_EQ(4, w.recordCount);
  ASSERT_EQ(4u, w.DeviceList.items().size());
  EXPECT_STREQ(w.devices[0].path, w.devices[1].path);
  EXPECT_STREQ(w.devices[2].path, w.devices[3].path);
  EXPECT_EQ(1, w.devices[1].companion847);
  EXPECT_EQ(0, w.devices[1].companion842);
  EXPECT_EQ(1, w.devices[3].companion842);
  EXPECT_EQ(0, w.devices[0].companion847 + w.devices[0].companion842);
  EXPECT_STREQ("F", w.devices[3].driveLetters);
  EXPECT_EQ(0u, w.DeviceList.items()[3].rfind("<<842>> ", 0));

  w.DeviceList.UserSelect(3);
  EXPECT_EQ(14, w.chip.chipType);
  EXPECT_EQ("F", w.DiskLetterLable.text());
  w.DeviceList.UserSelect(2);
  EXPECT_EQ(11, w.chip.chipType);
  w.DeviceList.UserSelect(1);
  EXPECT_EQ(13, w.chip.chipType);
}

// A controller that names a TXR847 and a TXR842 behind it, in turn, in its
// information block (bytes 6-7), as one with both bridges would answer the
// two product checks of a refresh.
class TwoBridgeController : public sim::SimDevice {
 public:
  explicit TwoBridgeController(std::shared_ptr<sim::BridgeChip> chip) : chip_(std::move(chip)) {}
  void Execute(sim::Machine& machine, sim::Exchange& e) override {
    chip_->Execute(machine, e);
    if (e.command == "AtaReadChipInfo" && e.data != nullptr && e.length >= 8) {
      e.data[7] = next847_ ? 0x47 : 0x42;
      next847_ = !next847_;
    }
  }

 private:
  std::shared_ptr<sim::BridgeChip> chip_;
  bool next847_ = true;
};

TEST_F(IdentifyWindowTest, AControllerWithBothBridgesGivesThreeEntriesWithOnePath) {
  const sim::EnclosureProfile& p = *sim::FindProfile("txv929-txr847");
  auto chip = sim::MakeBridge(p);
  sim::InstallStorageController(*chip, p, sim::MakeBehindFlash(p));
  sim::Attachment a;
  a.path = sim::ProfilePath(p, "both");
  a.volumes = {{'E', 1}};
  a.device = std::make_shared<TwoBridgeController>(chip);
  chip->SetPath(a.path);
  machine.Attach(a);
  Start();

  MainWindow& w = *window;
  ASSERT_EQ(3u, w.DeviceList.items().size());
  EXPECT_EQ("<<USB>> Tavrion TXV929 Disk     ", w.DeviceList.items()[0]);
  EXPECT_EQ("<<847>> Tavrion TXV929 Disk     ", w.DeviceList.items()[1]);
  EXPECT_EQ("<<842>> Tavrion TXV929 Disk     ", w.DeviceList.items()[2]);
  EXPECT_EQ(1, w.deviceCount);
  for (int k = 1; k < 3; ++k) EXPECT_STREQ(w.devices[0].path, w.devices[k].path);
  w.DeviceList.UserSelect(1);
  EXPECT_EQ(13, w.chip.chipType);
  EXPECT_EQ("TXV929/847 Series", w.ChipLabelEdit.text());
  w.DeviceList.UserSelect(2);
  EXPECT_EQ(15, w.chip.chipType);
  EXPECT_EQ("TXV929/842 Series", w.ChipLabelEdit.text());
}

TEST_F(IdentifyWindowTest, UnrecognisedDevicesAreSkippedAndTheMarkStaysWithCdromRecords) {
  AttachPlain("DISKA", 1);
  AttachPlain("DISKB", 2);
  Attach("tx40775-pmc", 3);
  Attach("txr842", 4, 'J', true);
  Start();
  MainWindow& w = *window;
  ASSERT_EQ(4, w.deviceCount);
  ASSERT_EQ(2u, w.DeviceList.items().size());
  EXPECT_EQ(0, w.devices[0].vendorModeFlag);
  EXPECT_EQ(1, w.devices[1].vendorModeFlag);  // the CD-ROM unit, now record 1
  EXPECT_EQ("<<USB>> Tavrion TXR842 Disk     ", w.DeviceList.items()[1]);
  const std::string cd = w.devices[1].path;

  machine.ClearTranscript();
  window.reset();
  std::vector<std::string> left;
  for (const auto& e : machine.transcript())
    if (e.command == "LeaveVendorMode") left.push_back(e.path);
  EXPECT_EQ(std::vector<std::string>{cd}, left);
}

TEST_F(IdentifyWindowTest, AMarkedRecordPushedPastTheDeviceCountStillLeavesVendorMode) {
  Attach("txv929-txr847", 1);
  Attach("txr842", 2, 'J', true);
  Start();
  ASSERT_EQ(2, window->deviceCount);
  ASSERT_EQ(3, window->recordCount);
  EXPECT_EQ(1, window->devices[2].vendorModeFlag);
  const std::string cd = window->devices[2].path;
  machine.ClearTranscript();
  window.reset();
  ASSERT_EQ(1u, machine.transcript().size());
  EXPECT_EQ("LeaveVendorMode", machine.transcript()[0].command);
  EXPECT_EQ(cd, machine.transcript()[0].path);
}

TEST_F(IdentifyWindowTest, NeverMoreThanSixteenRecords) {
  for (std::uint32_t i = 1; i <= 10; ++i) Attach("txv929-txr847", i);
  Start();
  EXPECT_EQ(10, window->deviceCount);
  EXPECT_EQ(16, window->recordCount);
  EXPECT_EQ(16u, window->DeviceList.items().size());
  EXPECT_EQ(0u, window->DeviceList.items()[15].rfind("<<847>> ", 0));
  window->DeviceList.UserSelect(15);
  EXPECT_EQ(13, window->chip.chipType);
}

TEST_F(IdentifyWindowTest, NoSelectedEntryAddressesNoRecord) {
  // Devices found, none recognised: the list is empty and nothing is selected.
  AttachPlain("DISKA", 1);
  Start();
  EXPECT_EQ(1, window->deviceCount);
  EXPECT_EQ(0, window->recordCount);
  EXPECT_TRUE(window->DeviceList.items().empty());
  EXPECT_EQ(0, window->chip.chipType);
  EXPECT_EQ("", window->ChipLabelEdit.text());
  EXPECT_FALSE(window->UpdateBtn.enabled());

  // Text typed into the list leaves no entry selected either.
  Attach("tx40775-pmc", 2);
  window->RefreshBtnClick(window->RefreshBtn);
  ASSERT_EQ(1u, window->DeviceList.items().size());
  EXPECT_EQ(1, window->chip.chipType);
  window->BackupFWCheckBox.SetChecked(true);
  EXPECT_TRUE(window->UpdateBtn.enabled());
  machine.ClearTranscript();
  window->DeviceList.UserType("<<USB>> Tavrion TX40775 Disk    ");
  EXPECT_TRUE(machine.transcript().empty());
  EXPECT_EQ(0, window->chip.chipType);
  EXPECT_EQ("", window->ChipLabelEdit.text());
  EXPECT_EQ("", window->DiskLetterLable.text());
  EXPECT_FALSE(window->UpdateBtn.enabled());
}

TEST_F(IdentifyWindowTest, ChipInfoFailureOfATxr843IsReportedAtEachIdentification) {
  Attach("txr843-usb", 1);
  machine.AddFault({sim::CommandFault::Kind::CheckCondition, "", sim::CdbPattern("E0 F4 E7"), 0});
  Start();
  // By the refresh, by its closing display of the entry, and by the display
  // that construction's "RD Version" handler runs.
  ASSERT_EQ(3u, view.messages.size());
  for (const auto& m : view.messages) {
    EXPECT_EQ("Get chip information fail !", m.text);
    EXPECT_EQ("Error", m.caption);
    EXPECT_EQ(ui::Icon::Error, m.icon);
  }
  EXPECT_EQ(7, window->chip.chipType);
  EXPECT_EQ(0, window->chip.chipSubCode);
  EXPECT_EQ("01.00", window->FwVerLableEdit.text());
}

TEST_F(IdentifyWindowTest, SubCodesWrapInEightBits) {
  sim::EnclosureProfile wrapped = *sim::FindProfile("tx40779-e");
  wrapped.bridge.idString = std::string("t779E\x7F", 6);
  Attach(wrapped, 1);
  Start();
  EXPECT_EQ(19, window->chip.chipType);
  EXPECT_EQ(-128, window->chip.chipSubCode);
}

}  // namespace
