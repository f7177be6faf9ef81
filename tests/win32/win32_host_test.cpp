// The real platform host against what Wine offers: the system volume, a
// missing device, the volume calls and the interface lists.
#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

#include "device/discovery.h"
#include "device/passthrough.h"
#include "host/win32_host.h"

namespace {

class Win32HostTest : public ::testing::Test {
 protected:
  host::Win32Host platform;
  host::ScopedHost scope{platform};
};

TEST_F(Win32HostTest, DeviceNumberOfTheSystemVolume) {
  host::DeviceNumber n{99, 99, 99};
  ASSERT_TRUE(device::GetDeviceNumber("\\\\.\\C:", &n));
  EXPECT_EQ(7u, n.deviceType);  // FILE_DEVICE_DISK
  EXPECT_EQ(1u, n.partitionNumber);
  EXPECT_FALSE(device::GetDeviceNumber("\\\\?\\usbstor#disk&ven_none#0#", &n));
}

TEST_F(Win32HostTest, AMissingDeviceFailsTheOpenAndNothingIsCopied) {
  std::uint32_t lastError = 0;
  EXPECT_EQ(host::kInvalidHandle,
            platform.OpenDevice("\\\\?\\usbstor#disk&ven_none#0#", host::kGenericRead, 0, lastError));
  EXPECT_NE(0u, lastError);

  const std::uint8_t inquiry[12] = {0x12, 0, 0, 0, 36};
  std::uint8_t buffer[36];
  std::memset(buffer, 0xEE, sizeof buffer);
  std::int32_t moved = -1;
  EXPECT_EQ(0, device::ScsiPassThroughIn("\\\\?\\usbstor#disk&ven_none#0#", inquiry, 12, buffer,
                                         36, &moved));
  EXPECT_EQ(0xEE, buffer[0]);
  EXPECT_EQ(-1, moved);
}

TEST_F(Win32HostTest, VolumesAndTheSystemDrive) {
  const std::string windows = platform.WindowsDirectory();
  ASSERT_GE(windows.size(), 3u);
  const char system = static_cast<char>(std::toupper(static_cast<unsigned char>(windows[0])));
  EXPECT_NE(0u, platform.LogicalDrives() & (1u << (system - 'A')));
  const char root[] = {system, ':', '\\', '\0'};
  EXPECT_EQ(host::kDriveFixed, platform.DriveType(root));

  // The system volume's own device number is readable, so the field is
  // rewritten, but the system drive is never one of its letters.
  const char volume[] = {'\\', '\\', '.', '\\', system, ':', '\0'};
  char letters[15] = "##";
  device::GetDriveLetters(volume, letters);
  EXPECT_EQ(nullptr, std::strchr(letters, '#'));
  EXPECT_EQ(nullptr, std::strchr(letters, system));
}

TEST_F(Win32HostTest, InterfaceListsAreWalkedToTheirEnd) {
  ASSERT_NE(nullptr, platform.OpenInterfaceList(host::InterfaceClass::Disk));
  device::PathTable table{};
  const int disks = device::EnumDiskDevices(table, true);
  const int cdroms = device::EnumCdromDevices(table, disks, true);
  ASSERT_GE(disks, 0);
  ASSERT_LE(disks + cdroms, device::kMaxDevices);
  for (int i = 0; i < disks + cdroms; ++i) EXPECT_TRUE(device::IsCandidatePath(table[i], true));
}

}  // namespace
