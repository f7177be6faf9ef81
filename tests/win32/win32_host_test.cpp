// The real platform host against what Wine offers: the system volume, a
// missing device, the volume calls, the interface lists and the waits for a
// device change.
#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <thread>

#include "device/discovery.h"
#include "device/passthrough.h"
#include "host/win32_host.h"

namespace {

DEV_BROADCAST_DEVICEINTERFACE_A DiskInterfaceHeader() {
  DEV_BROADCAST_DEVICEINTERFACE_A header{};
  header.dbcc_size = sizeof header;
  header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  header.dbcc_classguid = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
  return header;
}

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

// The notifications are sent from another thread, as the system sends them,
// with a disk interface's header.
TEST_F(Win32HostTest, DeviceWaitsWakeOnArrivalAndRemovalAndOtherwiseRunOut) {
  EXPECT_FALSE(platform.WaitForDeviceChange(0));  // starts listening
  HWND watch = FindWindowExA(HWND_MESSAGE, nullptr, host::Win32Host::kDeviceWatchClass, nullptr);
  ASSERT_NE(nullptr, watch) << "notifications unavailable: the waits would only poll";

  const struct {
    const char* name;
    WPARAM event;
    bool wakes;
  } rows[] = {
      {"arrival", DBT_DEVICEARRIVAL, true},
      {"removal", DBT_DEVICEREMOVECOMPLETE, true},
      {"a removal only asked about", DBT_DEVICEQUERYREMOVE, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    // Sent 100 ms into the wait; the wait takes it in.
    std::thread notifier([&] {
      Sleep(100);
      DEV_BROADCAST_DEVICEINTERFACE_A header = DiskInterfaceHeader();
      DWORD_PTR result = 0;
      SendMessageTimeoutA(watch, WM_DEVICECHANGE, row.event, reinterpret_cast<LPARAM>(&header),
                          SMTO_BLOCK, 10000, &result);
    });
    const DWORD start = GetTickCount();
    EXPECT_EQ(row.wakes, platform.WaitForDeviceChange(row.wakes ? 20000 : 400));
    const DWORD waited = GetTickCount() - start;
    notifier.join();
    EXPECT_GE(waited, 80u);
    EXPECT_LT(waited, row.wakes ? 5000u : 2000u);
  }
  // A notification that came between two waits wakes the next one at once.
  DEV_BROADCAST_DEVICEINTERFACE_A header = DiskInterfaceHeader();
  SendMessageA(watch, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&header));
  EXPECT_TRUE(platform.WaitForDeviceChange(0));
  EXPECT_FALSE(platform.WaitForDeviceChange(0));
}

}  // namespace
