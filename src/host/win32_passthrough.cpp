// The Windows host's pass-through: CreateFileA per command and one
// IOCTL_SCSI_PASS_THROUGH_DIRECT, refused while another program runs on the
// device.
#include "host/win32_host.h"

#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cstddef>
#include <cstring>

namespace host {

namespace {

// The request as the SDK lays it out for x86_64, where the drivers (and
// Wine, which checks the length against its own 64-bit record) read it: a
// pointer-sized DataBuffer moves everything after it, so the 32-bit layout
// of 44 bytes would be refused as too small.
#if defined(_WIN64)
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 56);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Length) == 0);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus) == 2);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, PathId) == 3);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TargetId) == 4);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Lun) == 5);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, CdbLength) == 6);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoLength) == 7);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn) == 8);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == 12);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == 16);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 24);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 32);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 36);
static_assert(sizeof(STORAGE_DEVICE_NUMBER) == 12);
#endif

HANDLE ToHandle(Handle h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

Handle Win32PassThrough::OpenDevice(const char* path, std::uint32_t access, std::uint32_t share,
                             std::uint32_t& lastError) {
  const bool data = (access & (kGenericRead | kGenericWrite)) != 0;
  const bool outsideRun = data && !locks_.Holds(path);
  if (outsideRun && locks_.HeldElsewhere(path, lastError)) return kInvalidHandle;
  HANDLE h = CreateFileA(path, access, share, nullptr, OPEN_EXISTING, 0, nullptr);
  lastError = GetLastError();
  if (h == INVALID_HANDLE_VALUE) return kInvalidHandle;
  if (outsideRun) {
    WineDiskLock lock;
    if (!locks_.LockForWine(path, h, share == 0, lock, lastError)) {
      CloseHandle(h);
      return kInvalidHandle;
    }
    openLocks_[reinterpret_cast<Handle>(h)] = std::move(lock);
  }
  return reinterpret_cast<Handle>(h);
}

bool Win32PassThrough::PassThrough(Handle handle, PassThroughRequest& request, std::uint32_t& lastError) {
  SCSI_PASS_THROUGH_DIRECT sptd{};
  sptd.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
  sptd.PathId = request.pathId;
  sptd.TargetId = request.targetId;
  sptd.Lun = request.lun;
  sptd.CdbLength = request.cdbLength;
  sptd.SenseInfoLength = request.senseInfoLength;
  sptd.DataIn = request.dataIn;
  sptd.DataTransferLength = request.dataTransferLength;
  sptd.TimeOutValue = request.timeOutValue;
  sptd.DataBuffer = request.dataBuffer;
  sptd.SenseInfoOffset = request.senseInfoOffset;
  std::memcpy(sptd.Cdb, request.cdb, sizeof sptd.Cdb);
  DWORD returned = 0;
  // A successful call need not clear the thread's last error; clear it first so
  // a stale value from an earlier call does not turn success into failure.
  SetLastError(0);
  const BOOL ok = DeviceIoControl(ToHandle(handle), IOCTL_SCSI_PASS_THROUGH_DIRECT, &sptd,
                                  sizeof sptd, &sptd, sizeof sptd, &returned, nullptr);
  lastError = GetLastError();
  request.scsiStatus = sptd.ScsiStatus;
  request.dataTransferLength = sptd.DataTransferLength;
  return ok != FALSE;
}

bool DeviceNumberOfHandle(void* device, DeviceNumber& number) {
  STORAGE_DEVICE_NUMBER sdn{};
  DWORD returned = 0;
  SetLastError(0);
  const BOOL ok = DeviceIoControl(device, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &sdn,
                                  sizeof sdn, &returned, nullptr);
  number.deviceType = sdn.DeviceType;
  number.deviceNumber = sdn.DeviceNumber;
  number.partitionNumber = sdn.PartitionNumber;
  unsigned major = 0, minor = 0;
  bool cdrom = false;
  if (!ok || !WineBlockNumbers(device, major, minor, cdrom)) return ok != FALSE;
  number.deviceType = cdrom ? FILE_DEVICE_CD_ROM : FILE_DEVICE_DISK;
  // Packed as the Linux host packs them.
  number.deviceNumber = (static_cast<std::uint32_t>(major) << 20) | (minor & 0xFFFFFu);
  return true;
}

bool Win32PassThrough::QueryDeviceNumber(Handle handle, DeviceNumber& number, std::uint32_t& lastError) {
  const bool ok = DeviceNumberOfHandle(ToHandle(handle), number);
  lastError = ok ? 0 : GetLastError();
  return ok;
}

void Win32PassThrough::CloseDevice(Handle handle) {
  CloseHandle(ToHandle(handle));
  openLocks_.erase(handle);
}

}  // namespace host
