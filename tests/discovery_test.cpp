#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "scsi/discovery.h"
#include "sim_fixture.h"

namespace {

using host::InterfaceClass;

class DiscoveryTest : public ::testing::Test, public testing_support::SimFixtureBase {
 protected:
  device::PathTable table{};
};

TEST_F(DiscoveryTest, FilterIsCaseSensitiveAndFireWireNeedsTheFlag) {
  EXPECT_TRUE(device::IsCandidatePath("\\\\?\\usbstor#disk&ven_x", false));
  EXPECT_FALSE(device::IsCandidatePath("\\\\?\\USBSTOR#DISK&VEN_X", true));
  EXPECT_FALSE(device::IsCandidatePath("\\\\?\\sbp2#x", false));
  EXPECT_TRUE(device::IsCandidatePath("\\\\?\\sbp2#x", true));
  EXPECT_FALSE(device::IsCandidatePath("\\\\?\\SBP2#x", true));
  EXPECT_FALSE(device::IsCandidatePath("\\\\?\\ide#diskst3500", true));
}

TEST_F(DiscoveryTest, BusKindFollowsThePathAsThePlatformSpellsIt) {
  struct Row {
    const char* path;
    device::BusKind bus;
  } rows[] = {
      {"\\\\?\\usbstor#disk&ven_x&prod_y#1#{53f56307}", device::BusKind::Usb},
      {"\\\\?\\usbstor#cdrom&ven_x", device::BusKind::Usb},
      {"\\\\?\\sbp2#tavrion&tx40771&lun0#1#", device::BusKind::Ieee1394},
      {"\\\\?\\SBP2#TAVRION&TX40771", device::BusKind::Other},
      {"\\\\?\\USBSTOR#DISK&VEN_X", device::BusKind::Other},
      {"\\\\?\\ide#diskst3500#1#", device::BusKind::Other},
      {"", device::BusKind::Other},
  };
  for (const Row& r : rows) EXPECT_EQ(r.bus, device::BusKindOfPath(r.path)) << r.path;
}

TEST_F(DiscoveryTest, CdromPathsFollowTheDiskPaths) {
  machine.AddSystemDisk("\\\\?\\ide#diskst3500#1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
  const std::string cd = AttachUsb("CD1", 3, {}, InterfaceClass::Cdrom);
  const std::string a = AttachUsb("A", 1);
  sim::Attachment fw;
  fw.path = sim::Sbp2DiskPath("Tavrion", "FW", "9");
  machine.Attach(fw);

  const int disks = device::EnumDiskDevices(table, true);
  ASSERT_EQ(2, disks);
  EXPECT_EQ(a, table[0]);
  EXPECT_EQ(fw.path, table[1]);
  ASSERT_EQ(1, device::EnumCdromDevices(table, disks, true));
  EXPECT_EQ(cd, table[2]);

  device::PathTable usbOnly{};
  EXPECT_EQ(1, device::EnumDiskDevices(usbOnly, false));
}

TEST_F(DiscoveryTest, EnumerationStopsAtTheFirstFailingMember) {
  AttachUsb("A", 1);
  AttachUsb("B", 2);
  AttachUsb("C", 3);
  machine.FailEnumerationAt(InterfaceClass::Disk, 1);
  EXPECT_EQ(1, device::EnumDiskDevices(table, true));
  machine.FailInterfaceList(InterfaceClass::Cdrom);
  EXPECT_EQ(0, device::EnumCdromDevices(table, 1, true));
}

TEST_F(DiscoveryTest, NeverWritesPastTheSixteenSlots) {
  for (int i = 0; i < 20; ++i) {
    std::string name = "D";
    name += std::to_string(i);
    AttachUsb(name, static_cast<std::uint32_t>(i + 1));
  }
  AttachUsb("CD", 40, {}, InterfaceClass::Cdrom);
  const int disks = device::EnumDiskDevices(table, true);
  EXPECT_EQ(16, disks);
  EXPECT_EQ(0, device::EnumCdromDevices(table, disks, true));
  EXPECT_EQ(sim::UsbDiskPath("Tavrion", "D15", "D15"), table[15]);
}

TEST_F(DiscoveryTest, OverlongPathsAreSkippedNotCut) {
  sim::Attachment longOne;
  longOne.path = "\\\\?\\usbstor#disk&" + std::string(260, 'x');
  machine.Attach(longOne);
  const std::string ok = AttachUsb("OK", 1);
  sim::Attachment exact;
  exact.path = "\\\\?\\usbstor#" + std::string(255 - 12, 'y');
  ASSERT_EQ(255u, exact.path.size());
  machine.Attach(exact);
  ASSERT_EQ(2, device::EnumDiskDevices(table, true));
  EXPECT_EQ(ok, table[0]);
  EXPECT_EQ(exact.path, table[1]);
}

TEST_F(DiscoveryTest, DriveLettersMatchTypeAndNumberButNotPartition) {
  const std::string a = AttachUsb("A", 1, {{'F', 2}, {'E', 1}});
  AttachUsb("B", 2, {{'G', 1}});
  machine.AddNetworkDrive('Z', {7, 1, 0});  // would match if it were compared
  char letters[15];
  std::memset(letters, 'q', sizeof letters);
  device::GetDriveLetters(a.c_str(), letters);
  EXPECT_STREQ("EF", letters);
}

TEST_F(DiscoveryTest, SystemDriveIsNeverListed) {
  const std::string a = AttachUsb("A", 1, {{'E', 1}});
  machine.SetWindowsDirectory("e:\\windows");
  char letters[15] = "XYZ";
  device::GetDriveLetters(a.c_str(), letters);
  EXPECT_STREQ("", letters);
}

TEST_F(DiscoveryTest, DevicesAndVolumesInUseElsewhereKeepTheirLetters) {
  // Mounted volumes are always open somewhere; the device-number query opens
  // them without data access, which sharing does not refuse.
  const std::string a = AttachUsb("A", 1, {{'E', 1}, {'F', 2}});
  machine.HoldOpenElsewhere(a);
  machine.HoldOpenElsewhere("\\\\.\\E:");
  char letters[15] = {};
  device::GetDriveLetters(a.c_str(), letters);
  EXPECT_STREQ("EF", letters);
}

TEST_F(DiscoveryTest, UnreadableDeviceNumberLeavesLettersAlone) {
  const std::string a = AttachUsb("A", 1, {{'E', 1}});
  machine.FailOpen(a, host::kErrorAccessDenied);
  char letters[15] = "KEEP";
  device::GetDriveLetters(a.c_str(), letters);
  EXPECT_STREQ("KEEP", letters);
}

TEST_F(DiscoveryTest, ManyVolumesNeverOverflowTheField) {
  std::vector<sim::Volume> volumes;
  for (char c = 'D'; c <= 'Y'; ++c) volumes.push_back({c, static_cast<std::uint32_t>(c - 'C')});
  const std::string a = AttachUsb("A", 1, volumes);
  char field[15 + 4];
  std::memset(field, '#', sizeof field);
  device::GetDriveLetters(a.c_str(), field);
  EXPECT_EQ(14u, std::strlen(field));
  EXPECT_EQ('D', field[0]);
  EXPECT_EQ('#', field[15]);  // the byte past the field is untouched
}

TEST_F(DiscoveryTest, VendorModeCommandsCarryTheMakerBytes) {
  const std::string a = AttachUsb("A", 1);
  EXPECT_EQ(1, device::EnterVendorMode(a.c_str()));
  EXPECT_EQ(1, device::LeaveVendorMode(a.c_str()));
  ASSERT_EQ(2u, machine.transcript().size());
  const std::vector<std::uint8_t> enter = {0xFF, 0x04, 0x54, 0x58, 0x55, 0, 0, 0, 0, 0, 0, 0};
  const std::vector<std::uint8_t> leave = {0xFF, 0x04, 0x54, 0x58, 0xAA, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(enter, machine.transcript()[0].cdb);
  EXPECT_EQ(leave, machine.transcript()[1].cdb);
  EXPECT_EQ(0, machine.transcript()[0].request.dataIn);
  EXPECT_EQ("EnterVendorMode", machine.transcript()[0].command);
}

}  // namespace
