// The real Windows host: CreateFileA, DeviceIoControl, SetupDi and the volume
// calls. Built only by the Windows toolchain.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/host.h"
#include "host/win32_wine_lock.h"

namespace host {

class Win32Host : public PlatformHost {
 public:
  Win32Host();
  ~Win32Host() override;
  Win32Host(const Win32Host&) = delete;
  Win32Host& operator=(const Win32Host&) = delete;

  // An open for data fails with ERROR_SHARING_VIOLATION while another
  // program (or thread) holds the device for a run.
  Handle OpenDevice(const char* path, std::uint32_t access, std::uint32_t share,
                    std::uint32_t& lastError) override;
  bool PassThrough(Handle handle, PassThroughRequest& request, std::uint32_t& lastError) override;
  bool QueryDeviceNumber(Handle handle, DeviceNumber& number, std::uint32_t& lastError) override;
  void CloseDevice(Handle handle) override;
  std::unique_ptr<InterfaceList> OpenInterfaceList(InterfaceClass cls) override;
  std::uint32_t LogicalDrives() override;
  std::string WindowsDirectory() override;
  unsigned DriveType(const char* root) override;
  // Woken by the system's notifications that a disk or CD-ROM interface came
  // or went, received by a message-only window of class kDeviceWatchClass
  // that the first call creates. Where that window or its registration
  // cannot be had, it sleeps and answers maybe, as a poll.
  bool WaitForDeviceChange(std::uint32_t milliseconds) override;
  void Sleep(std::uint32_t milliseconds) override;
  void DebugOutput(const char* text) override;
  // A run owns a named mutex per device path, seen by every process of the
  // machine; the carriers keep opening the device per command.
  bool BeginRun(const char* path, std::uint32_t& lastError) override;
  void EndRun(const char* path) override;
  std::vector<UnreachableDevice> TakeUnreachable() override;
  std::string DiscoveryNote() override;
  // A device the operator named (\\.\X:, say) is offered after the disk
  // interfaces the system lists, unless one of those is the same device:
  // where the system lists none (Wine), a run can still name it.
  void NameDevice(const std::string& path);
  // Whether a typed path names a record's device: the same text without
  // regard to case, or the same device number.
  bool NamesDevice(const std::string& recordPath, const std::string& given) override;

  static constexpr char kDeviceWatchClass[] = "TTxDeviceWatch";
  // The mutex a run on path holds ("Global\\tx4077x-device-" and a hash of
  // the path without regard to case).
  static std::string RunMutexName(const char* path);

 private:
  struct DeviceWatch;
  struct Run {
    void* mutex = nullptr;
    int depth = 0;
    WineDiskLock disk;  // under Wine: the lock a Linux console meets
  };
  // Under Wine, refuses (with a note) a device whose disk a Linux console
  // holds: takes its lock file's lock into lock, or nothing applies.
  bool LockForWine(const char* path, void* device, bool exclusive, WineDiskLock& lock,
                   std::uint32_t& lastError);
  void NoteInUse(const char* path);
  std::unique_ptr<DeviceWatch> watch_;
  std::map<std::string, Run> runs_;  // by lower-cased path
  std::vector<UnreachableDevice> unreachable_;
  std::map<Handle, WineDiskLock> openLocks_;  // data opens outside a run, under Wine
  std::vector<std::string> named_;
  // What SetupDi answered for each class on the last enumeration that found
  // no member; empty once one was found.
  std::string emptyDisk_, emptyCdrom_;
};

}  // namespace host
