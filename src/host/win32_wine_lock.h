// Under Wine, a run of the Windows console and a run of the Linux console on
// the same disk must see each other. The Linux console locks the disk's file
// /run/lock/tx4077x-MAJOR-MINOR.lock; Wine's LockFileEx on that file becomes
// a record lock that the Linux console's own lock conflicts with. On Windows
// itself (no Wine) nothing here does anything. Built only by the Windows
// toolchain.
#pragma once

namespace host {

// A held lock on the disk's lock file (or none); released when destroyed.
class WineDiskLock {
 public:
  enum class Outcome { Held, InUse, NotApplicable };

  WineDiskLock() = default;
  ~WineDiskLock();
  WineDiskLock(WineDiskLock&& other) noexcept;
  WineDiskLock& operator=(WineDiskLock&& other) noexcept;
  WineDiskLock(const WineDiskLock&) = delete;
  WineDiskLock& operator=(const WineDiskLock&) = delete;

  // Locks the file of the disk whose Unix node the device handle opened:
  // exclusive for a run or an exclusive open, else shared. InUse when a
  // conflicting lock is held (a Linux console's run, say); NotApplicable
  // when not under Wine, or the node is no disk the kernel lists, or the
  // lock folder is missing.
  Outcome Take(void* device, bool exclusive);

 private:
  void Release();
  void* file_ = nullptr;
};

// Under Wine, the numbers of the block node a device handle opened, as sysfs
// gives them, and whether it is a CD-ROM unit's (sr); false elsewhere or
// for a handle on no block node. Wine answers IOCTL_STORAGE_GET_DEVICE_NUMBER
// with the same made-up number for every node, so these tell drives apart.
bool WineBlockNumbers(void* device, unsigned& major, unsigned& minor, bool& cdrom);

}  // namespace host
