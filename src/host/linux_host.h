// The real Linux host: SG_IO on the block nodes of SCSI disks and CD-ROM
// units, discovery from sysfs, volumes from mountinfo. Built only on Linux.
#pragma once

#include <cstdio>
#include <map>
#include <string>

#include "host/host.h"
#include "host/linux_hotplug.h"
#include "host/linux_sys.h"

namespace host {

// DeviceNumber.deviceType values, as the Windows call reports them.
inline constexpr std::uint32_t kDeviceTypeCdrom = 2;
inline constexpr std::uint32_t kDeviceTypeDisk = 7;

class LinuxHost : public Host {
 public:
  // root prefixes every sysfs and /proc path; notes (may be null) receives
  // the lines that explain a refusal (no root, a transfer over the limit).
  explicit LinuxHost(LinuxSys& sys = RealLinuxSys(), std::string root = "",
                     std::FILE* notes = stderr);
  // Puts back every transfer limit this host raised.
  ~LinuxHost() override;
  LinuxHost(const LinuxHost&) = delete;
  LinuxHost& operator=(const LinuxHost&) = delete;

  Handle OpenDevice(const char* path, std::uint32_t access, std::uint32_t share,
                    std::uint32_t& lastError) override;
  bool PassThrough(Handle handle, PassThroughRequest& request, std::uint32_t& lastError) override;
  std::size_t LastSense(std::uint8_t* into, std::size_t size) override;
  bool QueryDeviceNumber(Handle handle, DeviceNumber& number, std::uint32_t& lastError) override;
  void CloseDevice(Handle handle) override;
  std::unique_ptr<InterfaceList> OpenInterfaceList(InterfaceClass cls) override;
  std::uint32_t LogicalDrives() override { return 0; }  // no drive letters here
  std::string WindowsDirectory() override { return ""; }
  unsigned DriveType(const char*) override { return kDriveNoRootDir; }
  bool MountPoints(const DeviceNumber& device, std::vector<std::string>& mounts) override;
  bool WaitForDeviceChange(std::uint32_t milliseconds) override;
  void Sleep(std::uint32_t milliseconds) override;
  void DebugOutput(const char* text) override;

  // How many transfer limits are raised now (for tests).
  std::size_t raisedLimits() const { return raised_.size(); }

 private:
  struct OpenNode {
    std::string name;
    unsigned major = 0;
    unsigned minor = 0;
    bool pathOnly = false;
  };
  // False (with a note) when a transfer of length bytes cannot pass the
  // device's queue limit, after raising it where the driver lets us.
  bool FitTransfer(const std::string& name, std::uint32_t length);
  void Note(const std::string& text);

  LinuxSys& sys_;
  std::string root_;
  std::FILE* notes_;
  std::map<Handle, OpenNode> open_;
  // Block name -> the driver's max_sectors before we raised it.
  std::map<std::string, unsigned long> raised_;
  bool permissionNoted_ = false;
  std::uint8_t lastSense_[32] = {};
  std::size_t lastSenseLength_ = 0;
  std::unique_ptr<DeviceWatch> watch_;  // opened on the first wait
};

// Whether this process may send vendor command blocks (root or
// CAP_SYS_RAWIO), read from a /proc/self/status text.
bool StatusAllowsRawIo(const std::string& statusText);

}  // namespace host
