// The real Linux host: SG_IO on the SCSI generic (or block) nodes of SCSI
// disks and CD-ROM units, discovery from sysfs, volumes from mountinfo.
// One class per piece, each in its own file (linux_passthrough.cpp,
// linux_locks.cpp, linux_discovery.cpp, ...); LinuxHost puts them together.
// Built only on Linux.
#pragma once

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/host.h"
#include "host/linux_hotplug.h"
#include "host/linux_sys.h"
#include "host/linux_sysfs.h"

namespace host {

// DeviceNumber.deviceType values, as the Windows call reports them.
inline constexpr std::uint32_t kDeviceTypeCdrom = 2;
inline constexpr std::uint32_t kDeviceTypeDisk = 7;

// The platform's last-error value for an errno.
std::uint32_t ErrorFromErrno(int error);

// Like OutputDebugString without a debugger: seen only when TX4077X_DEBUG is
// set, on notes.
class LinuxTrace : public Trace {
 public:
  explicit LinuxTrace(std::FILE* notes) : notes_(notes) {}
  void DebugOutput(const char* text) override;

 private:
  std::FILE* notes_;
};

class LinuxClock : public Clock {
 public:
  void Sleep(std::uint32_t milliseconds) override;
};

// A disk's nodes as the pass-through and the run locks open them: checked
// to be still the disk discovery listed, and locked so that whichever node
// another program opens, one of the locks meets it. What could not be
// opened is kept for discovery to report.
class LinuxNodes {
 public:
  LinuxNodes(LinuxSys& sys, std::string root, Trace& trace);
  // Traces what went to each disk.
  ~LinuxNodes();
  LinuxNodes(const LinuxNodes&) = delete;
  LinuxNodes& operator=(const LinuxNodes&) = delete;

  // What went to one block device's node so far (for tests and the figures).
  struct Traffic {
    unsigned opens = 0;     // of the node, for data
    unsigned commands = 0;  // command blocks handed to the kernel
  };

  // Opens the node that carries id's commands (or, path-only, its block
  // node) and checks it is still that disk; -1 with lastError otherwise.
  // Never O_EXCL: it fails on a disk with a mounted partition.
  int OpenChecked(const DeviceId& id, const std::string& path, bool pathOnly, std::string& node,
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

  void CountCommand(const std::string& block) { ++traffic_[block].commands; }
  Traffic trafficOf(const std::string& block) const;
  std::vector<UnreachableDevice> TakeUnreachable();

  LinuxSys& sys() const { return sys_; }
  const std::string& root() const { return root_; }
  Trace& trace() const { return trace_; }

 private:
  // Whether sysfs still shows the disk id names (and sg as its node).
  bool StillTheDisk(const DeviceId& id, const std::optional<ScsiGeneric>& sg);
  bool Lock(int fd, int operation, const std::string& node, const std::string& path,
            std::uint32_t& lastError);
  int OpenLockFile(const std::string& key, bool& writable);
  bool RecordLock(int fd, bool exclusive, const std::string& node, const std::string& path,
                  std::uint32_t& lastError);
  std::string AccessText(const std::string& node, const std::string& block);

  LinuxSys& sys_;
  std::string root_;
  Trace& trace_;
  std::map<std::string, Traffic> traffic_;  // by block name
  std::vector<UnreachableDevice> unreachable_;
};

// A run opens its node once and holds an exclusive lock on it to the end;
// its commands use that descriptor, reopened only after a failure that
// showed the device gone.
class LinuxRunLocks : public RunLocks {
 public:
  explicit LinuxRunLocks(LinuxNodes& nodes) : nodes_(nodes) {}
  // Ends what runs are left.
  ~LinuxRunLocks() override;
  LinuxRunLocks(const LinuxRunLocks&) = delete;
  LinuxRunLocks& operator=(const LinuxRunLocks&) = delete;

  bool BeginRun(const char* path, std::uint32_t& lastError) override;
  void EndRun(const char* path) override;

  bool Holds(const std::string& path) const { return runs_.count(path) != 0; }
  // The descriptor the run on path sends through (node receives its node),
  // opened and locked again when a failure closed it; -1 with lastError when
  // that fails.
  int RunDescriptor(const DeviceId& id, const std::string& path, std::string& node,
                    std::uint32_t& lastError);
  // One command went through the run's descriptor.
  void CountCommand(const std::string& path);
  // fd showed the device gone: where it is the run's descriptor the run lets
  // it go, and the next open finds out whether the disk came back as itself.
  void Lost(const std::string& path, int fd);
  // Told the path and block of each run that ended, once its node is let go.
  void OnRunEnd(std::function<void(const std::string&, const std::string&)> ended) {
    ended_ = std::move(ended);
  }

 private:
  struct Run {
    int fd = -1;  // -1 once a failure showed the device gone
    std::vector<int> keys;
    int depth = 0;
    std::string block;
    std::string node;
    LinuxNodes::Traffic traffic;  // of this run alone
  };
  LinuxNodes& nodes_;
  std::map<std::string, Run> runs_;  // by device path
  std::function<void(const std::string&, const std::string&)> ended_;
};

// Commands go through the device's SCSI generic node, opened read-write,
// which passes any command block for whoever may open it; without one,
// through the block node (vendor blocks then need root). Every open checks
// that the node still is the disk the path was listed as.
class LinuxPassThrough : public PassThroughIo {
 public:
  // notes (may be null) receives the lines that explain a refused command (a
  // transfer over the limit, a vendor block without permission).
  LinuxPassThrough(LinuxNodes& nodes, LinuxRunLocks& locks, std::FILE* notes);
  // Puts back every transfer limit it raised.
  ~LinuxPassThrough() override;
  LinuxPassThrough(const LinuxPassThrough&) = delete;
  LinuxPassThrough& operator=(const LinuxPassThrough&) = delete;

  Handle OpenDevice(const char* path, std::uint32_t access, std::uint32_t share,
                    std::uint32_t& lastError) override;
  bool PassThrough(Handle handle, PassThroughRequest& request, std::uint32_t& lastError) override;
  std::size_t LastSense(std::uint8_t* into, std::size_t size) override;
  bool QueryDeviceNumber(Handle handle, DeviceNumber& number, std::uint32_t& lastError) override;
  void CloseDevice(Handle handle) override;

  // How many transfer limits are raised now (for tests).
  std::size_t raisedLimits() const { return raised_.size(); }

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
  // The run on path ended: its handles lose the node, its limit goes back.
  void RunEnded(const std::string& path, const std::string& block);
  void PutBackLimit(const std::string& block);
  // False (with a note) when a transfer of length bytes cannot pass the
  // device's queue limit, after raising it where the driver lets us.
  bool FitTransfer(const std::string& name, std::uint32_t length);
  void Note(const std::string& text);

  LinuxNodes& nodes_;
  LinuxRunLocks& locks_;
  std::FILE* notes_;
  std::map<Handle, OpenNode> open_;
  Handle nextHandle_ = 1;
  // Block name -> the driver's max_sectors before we raised it.
  std::map<std::string, unsigned long> raised_;
  bool permissionNoted_ = false;
  std::uint8_t lastSense_[32] = {};
  std::size_t lastSenseLength_ = 0;
};

// The SCSI disks and CD-ROM units sysfs lists, the names a user may type for
// one, and the uevents that tell a device came or went.
class LinuxDiscovery : public Discovery {
 public:
  explicit LinuxDiscovery(LinuxNodes& nodes) : nodes_(nodes) {}
  std::unique_ptr<InterfaceList> OpenInterfaceList(InterfaceClass cls) override;
  bool WaitForDeviceChange(std::uint32_t milliseconds) override;
  // The path itself, or the block or sg node (or a link to either, such as
  // /dev/disk/by-id/...) of the disk it names.
  bool NamesDevice(const std::string& recordPath, const std::string& given) override;
  std::optional<std::uint64_t> DiskSequence(const char* path) override;
  // The devices the other pieces' opens found refused.
  std::vector<UnreachableDevice> TakeUnreachable() override;

 private:
  LinuxNodes& nodes_;
  std::unique_ptr<DeviceWatch> watch_;  // opened on the first wait
};

// Volumes by mount point; Linux has no drive letters nor a Windows folder,
// so this piece reports none of either.
class LinuxVolumes : public Volumes {
 public:
  explicit LinuxVolumes(std::string root) : root_(std::move(root)) {}
  bool MountPoints(const DeviceNumber& device, std::vector<std::string>& mounts) override;

 private:
  std::string root_;
};

// The Linux pieces, in the order they are built; each is handed those above
// it. root prefixes every sysfs, /proc and /etc path; notes (may be null)
// receives the pass-through's notes and, when asked for, the trace.
struct LinuxPieces {
  LinuxPieces(LinuxSys& sys, const std::string& root, std::FILE* notes)
      : trace(notes),
        nodes(sys, root, trace),
        runLocks(nodes),
        passThrough(nodes, runLocks, notes),
        discovery(nodes),
        volumes(root) {}
  LinuxTrace trace;
  LinuxClock clock;
  LinuxNodes nodes;
  LinuxRunLocks runLocks;
  LinuxPassThrough passThrough;
  LinuxDiscovery discovery;
  LinuxVolumes volumes;
};

// The Linux pieces together.
class LinuxHost : public PieceHost<LinuxPieces> {
 public:
  explicit LinuxHost(LinuxSys& sys = RealLinuxSys(), const std::string& root = "",
                     std::FILE* notes = stderr)
      : PieceHost(sys, root, notes) {}

  std::size_t raisedLimits() const { return pieces_.passThrough.raisedLimits(); }
  LinuxNodes::Traffic trafficOf(const std::string& block) const {
    return pieces_.nodes.trafficOf(block);
  }
};

}  // namespace host
