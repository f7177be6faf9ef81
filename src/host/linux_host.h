// The real Linux host: SG_IO on the SCSI generic (or block) nodes of SCSI
// disks and CD-ROM units, discovery from sysfs, volumes from mountinfo.
// Built only on Linux.
#pragma once

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/host.h"
#include "host/linux_hotplug.h"
#include "host/linux_sys.h"
#include "host/linux_sysfs.h"

namespace host {

// DeviceNumber.deviceType values, as the Windows call reports them.
inline constexpr std::uint32_t kDeviceTypeCdrom = 2;
inline constexpr std::uint32_t kDeviceTypeDisk = 7;

class LinuxHost : public PlatformHost {
 public:
  // root prefixes every sysfs, /proc and /etc path; notes (may be null)
  // receives the lines that explain a refused command (a transfer over the
  // limit, a vendor block without permission). Devices that could not be
  // opened are told through TakeUnreachable.
  explicit LinuxHost(LinuxSys& sys = RealLinuxSys(), std::string root = "",
                     std::FILE* notes = stderr);
  // Ends what runs are left and puts back every transfer limit it raised.
  ~LinuxHost() override;
  LinuxHost(const LinuxHost&) = delete;
  LinuxHost& operator=(const LinuxHost&) = delete;

  // Commands go through the device's SCSI generic node, opened read-write,
  // which passes any command block for whoever may open it; without one,
  // through the block node (vendor blocks then need root). Every open checks
  // that the node still is the disk the path was listed as.
  Handle OpenDevice(const char* path, std::uint32_t access, std::uint32_t share,
                    std::uint32_t& lastError) override;
  bool PassThrough(Handle handle, PassThroughRequest& request, std::uint32_t& lastError) override;
  std::size_t LastSense(std::uint8_t* into, std::size_t size) override;
  bool QueryDeviceNumber(Handle handle, DeviceNumber& number, std::uint32_t& lastError) override;
  void CloseDevice(Handle handle) override;
  // A run opens its node once and holds an exclusive lock on it to the end;
  // its commands use that descriptor, reopened only after a failure that
  // showed the device gone.
  bool BeginRun(const char* path, std::uint32_t& lastError) override;
  void EndRun(const char* path) override;
  // The path itself, or the block or sg node (or a link to either, such as
  // /dev/disk/by-id/...) of the disk it names.
  bool NamesDevice(const std::string& recordPath, const std::string& given) override;
  std::optional<std::uint64_t> DiskSequence(const char* path) override;
  std::vector<UnreachableDevice> TakeUnreachable() override;
  std::unique_ptr<InterfaceList> OpenInterfaceList(InterfaceClass cls) override;
  // Volumes by mount point; Linux has no drive letters nor a Windows folder,
  // so the volumes piece reports none of either.
  bool MountPoints(const DeviceNumber& device, std::vector<std::string>& mounts) override;
  bool WaitForDeviceChange(std::uint32_t milliseconds) override;
  void Sleep(std::uint32_t milliseconds) override;
  void DebugOutput(const char* text) override;

  // How many transfer limits are raised now (for tests).
  std::size_t raisedLimits() const { return raised_.size(); }
  // What went to one block device's node so far (for tests and the figures).
  struct Traffic {
    unsigned opens = 0;     // of the node, for data
    unsigned commands = 0;  // command blocks handed to the kernel
  };
  Traffic trafficOf(const std::string& block) const;

 private:
  struct OpenNode {
    int fd = -1;
    std::string path;   // the device path it was opened for
    std::string block;  // "sdb"
    std::string node;   // "/dev/sg2", or "/dev/sdb" without an sg node
    bool pathOnly = false;
    bool ofRun = false;  // the run's descriptor: closing the handle keeps it
    std::vector<int> keys;  // the disk's other locks (LockDevice)
  };
  struct Run {
    int fd = -1;  // -1 once a failure showed the device gone
    std::vector<int> keys;
    int depth = 0;
    std::string block;
    std::string node;
    Traffic traffic;  // of this run alone
  };
  // Opens the node that carries id's commands (or, path-only, its block
  // node) and checks it is still that disk; -1 with lastError otherwise.
  int OpenChecked(const DeviceId& id, const std::string& path, bool pathOnly, std::string& node,
                  std::uint32_t& lastError);
  // Whether sysfs still shows the disk id names (and sg as its node).
  bool StillTheDisk(const DeviceId& id, const std::optional<ScsiGeneric>& sg);
  bool Lock(int fd, int operation, const std::string& node, const std::string& path,
            std::uint32_t& lastError);
  int OpenLockFile(const std::string& key, bool& writable);
  bool RecordLock(int fd, bool exclusive, const std::string& node, const std::string& path,
                  std::uint32_t& lastError);
  // Locks the node fd carries, the disk's lock file under /run/lock (by
  // major:minor) and, for a run through the sg node, the block node too
  // (keys receives the descriptors): whichever node another program opens,
  // one of the locks meets it.
  bool LockDevice(int fd, int operation, const DeviceId& id, const std::string& node,
                  const std::string& path, bool run, std::vector<int>& keys,
                  std::uint32_t& lastError);
  void Release(int& fd);
  void Release(std::vector<int>& fds);
  std::string AccessText(const std::string& node, const std::string& block);
  void PutBackLimit(const std::string& block);
  // False (with a note) when a transfer of length bytes cannot pass the
  // device's queue limit, after raising it where the driver lets us.
  bool FitTransfer(const std::string& name, std::uint32_t length);
  void Note(const std::string& text);

  LinuxSys& sys_;
  std::string root_;
  std::FILE* notes_;
  std::map<Handle, OpenNode> open_;
  Handle nextHandle_ = 1;
  std::map<std::string, Run> runs_;  // by device path
  // Block name -> the driver's max_sectors before we raised it.
  std::map<std::string, unsigned long> raised_;
  std::map<std::string, Traffic> traffic_;  // by block name
  std::vector<UnreachableDevice> unreachable_;
  bool permissionNoted_ = false;
  std::uint8_t lastSense_[32] = {};
  std::size_t lastSenseLength_ = 0;
  std::unique_ptr<DeviceWatch> watch_;  // opened on the first wait
};

}  // namespace host
