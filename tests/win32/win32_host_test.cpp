// The real platform host against what Wine offers: the system volume, a
// missing device, the volume calls, the interface lists and the waits for a
// device change.
#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <atomic>
#include <thread>
#include <vector>

#include "scsi/discovery.h"
#include "scsi/passthrough.h"
#include "host/interrupts.h"
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
            platform.passThrough().OpenDevice("\\\\?\\usbstor#disk&ven_none#0#", host::kGenericRead, 0, lastError));
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
  const std::string windows = platform.volumes().WindowsDirectory();
  ASSERT_GE(windows.size(), 3u);
  const char system = static_cast<char>(std::toupper(static_cast<unsigned char>(windows[0])));
  EXPECT_NE(0u, platform.volumes().LogicalDrives() & (1u << (system - 'A')));
  const char root[] = {system, ':', '\\', '\0'};
  EXPECT_EQ(host::kDriveFixed, platform.volumes().DriveType(root));

  // The system volume's own device number is readable, so the field is
  // rewritten, but the system drive is never one of its letters.
  const char volume[] = {'\\', '\\', '.', '\\', system, ':', '\0'};
  char letters[15] = "##";
  device::GetDriveLetters(volume, letters);
  EXPECT_EQ(nullptr, std::strchr(letters, '#'));
  EXPECT_EQ(nullptr, std::strchr(letters, system));
}

TEST_F(Win32HostTest, InterfaceListsAreWalkedToTheirEnd) {
  ASSERT_NE(nullptr, platform.discovery().OpenInterfaceList(host::InterfaceClass::Disk));
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
  EXPECT_FALSE(platform.discovery().WaitForDeviceChange(0));  // starts listening
  HWND watch = FindWindowExA(HWND_MESSAGE, nullptr, host::Win32Discovery::kDeviceWatchClass, nullptr);
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
    EXPECT_EQ(row.wakes, platform.discovery().WaitForDeviceChange(row.wakes ? 20000 : 400));
    const DWORD waited = GetTickCount() - start;
    notifier.join();
    EXPECT_GE(waited, 80u);
    EXPECT_LT(waited, row.wakes ? 5000u : 2000u);
  }
  // A notification that came between two waits wakes the next one at once.
  DEV_BROADCAST_DEVICEINTERFACE_A header = DiskInterfaceHeader();
  SendMessageA(watch, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&header));
  EXPECT_TRUE(platform.discovery().WaitForDeviceChange(0));
  EXPECT_FALSE(platform.discovery().WaitForDeviceChange(0));
}

// One run per device: a named mutex per path, held by whichever thread or
// process runs on it; the others' runs and data opens are refused before
// the device is opened (this one does not even exist).
TEST_F(Win32HostTest, ARunHoldsItsDeviceAgainstEveryOtherHolder) {
  const char* path = "\\\\?\\usbstor#disk&ven_held#1#";
  HANDLE holding = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::thread other([&] {
    host::Win32Host elsewhere;
    std::uint32_t error = 0;
    if (!elsewhere.runLocks().BeginRun(path, error)) return;
    SetEvent(holding);
    WaitForSingleObject(release, INFINITE);
    elsewhere.runLocks().EndRun(path);
  });
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(holding, 10000));
  std::uint32_t error = 0;
  EXPECT_FALSE(platform.runLocks().BeginRun(path, error));
  EXPECT_EQ(static_cast<std::uint32_t>(ERROR_SHARING_VIOLATION), error);
  EXPECT_EQ(host::kInvalidHandle,
            platform.passThrough().OpenDevice(path, host::kGenericRead | host::kGenericWrite,
                                host::kShareRead | host::kShareWrite, error));
  EXPECT_EQ(static_cast<std::uint32_t>(ERROR_SHARING_VIOLATION), error);
  const std::vector<host::UnreachableDevice> refused = platform.discovery().TakeUnreachable();
  ASSERT_EQ(2u, refused.size());
  EXPECT_EQ(host::UnreachableDevice::Why::InUse, refused[0].why);
  EXPECT_NE(std::string::npos, refused[0].text.find("device in use"));
  SetEvent(release);
  other.join();

  // Free again; runs on one path nest.
  EXPECT_TRUE(platform.runLocks().BeginRun(path, error));
  EXPECT_TRUE(platform.runLocks().BeginRun(path, error));
  platform.runLocks().EndRun(path);
  platform.runLocks().EndRun(path);
  // A holder that ended without letting go (a crash) leaves the device free.
  std::thread crashed([&] {
    CreateMutexA(nullptr, TRUE, host::Win32RunLocks::RunMutexName(path).c_str());
  });
  crashed.join();
  EXPECT_TRUE(platform.runLocks().BeginRun(path, error));
  platform.runLocks().EndRun(path);
  CloseHandle(holding);
  CloseHandle(release);
}

// Under Wine a run also locks the disk's file under /run/lock, where a Linux
// console meets it; a lock held there keeps a run out. A loop device stands
// for the disk (its sysfs numbers are real); skipped where none can be opened.
TEST_F(Win32HostTest, UnderWineARunAndTheDisksLockFileExcludeEachOther) {
  const char* path = "\\\\?\\Z:\\dev\\loop7";
  HANDLE numbers = CreateFileA("Z:\\sys\\class\\block\\loop7\\dev", GENERIC_READ,
                               FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  char text[32] = {};
  DWORD got = 0;
  const bool known = numbers != INVALID_HANDLE_VALUE &&
                     ReadFile(numbers, text, sizeof text - 1, &got, nullptr) && got > 0;
  if (numbers != INVALID_HANDLE_VALUE) CloseHandle(numbers);
  HANDLE device = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
  if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
  if (!known || device == INVALID_HANDLE_VALUE ||
      GetFileAttributesA("Z:\\run\\lock") == INVALID_FILE_ATTRIBUTES)
    GTEST_SKIP() << "no Wine, no /dev/loop7 to open or no /run/lock here";
  unsigned major = 0, minor = 0;
  ASSERT_EQ(2, std::sscanf(text, "%u:%u", &major, &minor));
  // Wine answers the same made-up number for every node; the host gives the node's own.
  host::DeviceNumber n{};
  ASSERT_TRUE(device::GetDeviceNumber(path, &n));
  EXPECT_EQ(7u, n.deviceType);
  EXPECT_EQ((major << 20) | minor, n.deviceNumber);
  const std::string key = "Z:\\run\\lock\\tx4077x-" + std::to_string(major) + "-" +
                          std::to_string(minor) + ".lock";
  const auto lockFile = [&](DWORD flags) {
    HANDLE file = CreateFileA(key.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, 0, nullptr);
    OVERLAPPED from{};
    if (file != INVALID_HANDLE_VALUE &&
        !LockFileEx(file, flags | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &from)) {
      CloseHandle(file);
      file = INVALID_HANDLE_VALUE;
    }
    return file;
  };
  std::uint32_t error = 0;
  ASSERT_TRUE(platform.runLocks().BeginRun(path, error));
  EXPECT_EQ(INVALID_HANDLE_VALUE, lockFile(0));  // the run's lock is exclusive
  platform.runLocks().EndRun(path);
  HANDLE held = lockFile(0);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  EXPECT_FALSE(platform.runLocks().BeginRun(path, error));
  EXPECT_EQ(static_cast<std::uint32_t>(ERROR_SHARING_VIOLATION), error);
  const std::vector<host::UnreachableDevice> refused = platform.discovery().TakeUnreachable();
  ASSERT_EQ(1u, refused.size());
  EXPECT_NE(std::string::npos, refused[0].text.find("device in use"));
  CloseHandle(held);
  EXPECT_TRUE(platform.runLocks().BeginRun(path, error));  // the mutex was let go with the refusal
  platform.runLocks().EndRun(path);
}

// The console's events during a run: Ctrl+C and Ctrl+Break are taken and
// the process goes on; a close is answered (and the process ended) only
// after the run. Outside a run each takes its usual course.
TEST(InterruptHoldTest, ConsoleEventsWaitForTheRunsEnd) {
  EXPECT_FALSE(host::TakeConsoleEvent(CTRL_C_EVENT));
  {
    host::InterruptHold hold;
    EXPECT_TRUE(host::TakeConsoleEvent(CTRL_BREAK_EVENT));
    EXPECT_TRUE(host::TakeConsoleEvent(CTRL_C_EVENT));
    EXPECT_EQ(21, hold.End());  // the first that came
  }
  host::InterruptHold hold;
  std::atomic<bool> answered{false};
  std::thread closing([&] { answered = host::TakeConsoleEvent(CTRL_CLOSE_EVENT); });
  Sleep(300);
  EXPECT_FALSE(answered);
  EXPECT_EQ(1, hold.End());
  closing.join();
  EXPECT_TRUE(answered);
}

}  // namespace
