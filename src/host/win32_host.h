// The real Windows host: CreateFileA, DeviceIoControl, SetupDi and the volume
// calls. One class per piece, each in its own file (win32_passthrough.cpp,
// win32_locks.cpp, win32_discovery.cpp; the small ones in win32_host.cpp);
// Win32Host puts them together. Built only by the Windows toolchain.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/host.h"
#include "host/win32_wine_lock.h"

namespace host {

// A run owns a named mutex per device path, seen by every process of the
// machine; the carriers keep opening the device per command.
class Win32RunLocks : public RunLocks {
 public:
  Win32RunLocks() = default;
  ~Win32RunLocks() override;
  Win32RunLocks(const Win32RunLocks&) = delete;
  Win32RunLocks& operator=(const Win32RunLocks&) = delete;

  bool BeginRun(const char* path, std::uint32_t& lastError) override;
  void EndRun(const char* path) override;

  // The mutex a run on path holds ("Global\\tx4077x-device-" and a hash of
  // the path without regard to case).
  static std::string RunMutexName(const char* path);

  // Whether this host runs on path.
  bool Holds(const char* path) const;
  // True, with ERROR_SHARING_VIOLATION and a note, while another program (or
  // thread) holds path for a run.
  bool HeldElsewhere(const char* path, std::uint32_t& lastError);
  // Under Wine, refuses (with a note) a device whose disk a Linux console
  // holds: takes its lock file's lock into lock, or nothing applies.
  bool LockForWine(const char* path, void* device, bool exclusive, WineDiskLock& lock,
                   std::uint32_t& lastError);
  // The devices refused as in use since the last call.
  std::vector<UnreachableDevice> TakeUnreachable();

 private:
  struct Run {
    void* mutex = nullptr;
    int depth = 0;
    WineDiskLock disk;  // under Wine: the lock a Linux console meets
  };
  void NoteInUse(const char* path);
  std::map<std::string, Run> runs_;  // by lower-cased path
  std::vector<UnreachableDevice> unreachable_;
};

// The device number of an open device handle. Under Wine the answer is made
// up (the same for every node: its CD-ROM code's stub), so the type and
// number of the block node behind the handle replace it.
bool DeviceNumberOfHandle(void* device, DeviceNumber& number);

// An open for data fails with ERROR_SHARING_VIOLATION while another program
// (or thread) holds the device for a run.
class Win32PassThrough : public PassThroughIo {
 public:
  explicit Win32PassThrough(Win32RunLocks& locks) : locks_(locks) {}
  Handle OpenDevice(const char* path, std::uint32_t access, std::uint32_t share,
                    std::uint32_t& lastError) override;
  bool PassThrough(Handle handle, PassThroughRequest& request, std::uint32_t& lastError) override;
  bool QueryDeviceNumber(Handle handle, DeviceNumber& number, std::uint32_t& lastError) override;
  void CloseDevice(Handle handle) override;

 private:
  Win32RunLocks& locks_;
  std::map<Handle, WineDiskLock> openLocks_;  // data opens outside a run, under Wine
};

class Win32Discovery : public Discovery {
 public:
  // Waits without notifications sleep on clock.
  Win32Discovery(Win32RunLocks& locks, Clock& clock);
  ~Win32Discovery() override;
  Win32Discovery(const Win32Discovery&) = delete;
  Win32Discovery& operator=(const Win32Discovery&) = delete;

  std::unique_ptr<InterfaceList> OpenInterfaceList(InterfaceClass cls) override;
  // Woken by the system's notifications that a disk or CD-ROM interface came
  // or went, received by a message-only window of class kDeviceWatchClass
  // that the first call creates. Where that window or its registration
  // cannot be had, it sleeps and answers maybe, as a poll.
  bool WaitForDeviceChange(std::uint32_t milliseconds) override;
  // Whether a typed path names a record's device: the same text without
  // regard to case, or the same device number.
  bool NamesDevice(const std::string& recordPath, const std::string& given) override;
  // The devices the run locks and the pass-through found in use.
  std::vector<UnreachableDevice> TakeUnreachable() override;
  std::string DiscoveryNote() override;
  // A device the operator named (\\.\X:, say) is offered after the disk
  // interfaces the system lists, unless one of those is the same device:
  // where the system lists none (Wine), a run can still name it.
  void NameDevice(const std::string& path);

  static constexpr char kDeviceWatchClass[] = "TTxDeviceWatch";

 private:
  struct DeviceWatch;
  Win32RunLocks& locks_;
  Clock& clock_;
  std::unique_ptr<DeviceWatch> watch_;
  std::vector<std::string> named_;
  // What SetupDi answered for each class on the last enumeration that found
  // no member; empty once one was found.
  std::string emptyDisk_, emptyCdrom_;
};

class Win32Volumes : public Volumes {
 public:
  std::uint32_t LogicalDrives() override;
  std::string WindowsDirectory() override;
  unsigned DriveType(const char* root) override;
};

class Win32Clock : public Clock {
 public:
  void Sleep(std::uint32_t milliseconds) override;
};

// OutputDebugStringA.
class Win32Trace : public Trace {
 public:
  void DebugOutput(const char* text) override;
};

// The Windows pieces, in the order they are built; each is handed those
// above it.
struct Win32Pieces {
  Win32Pieces() : passThrough(runLocks), discovery(runLocks, clock) {}
  Win32Trace trace;
  Win32Clock clock;
  Win32Volumes volumes;
  Win32RunLocks runLocks;
  Win32PassThrough passThrough;
  Win32Discovery discovery;
};

// The Windows pieces together.
class Win32Host : public PieceHost<Win32Pieces> {
 public:
  void NameDevice(const std::string& path) { pieces_.discovery.NameDevice(path); }
};

}  // namespace host
