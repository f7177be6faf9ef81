// The Linux host's volumes piece: the mount points of a disk's partitions,
// from mountinfo.
#include <optional>
#include <string>
#include <vector>

#include "host/linux_host.h"
#include "host/linux_sysfs.h"

namespace host {

bool LinuxVolumes::MountPoints(const DeviceNumber& device, std::vector<std::string>& mounts) {
  mounts.clear();
  const std::optional<std::string> info = ReadSysText(root_, "/proc/self/mountinfo");
  const std::vector<MountEntry> entries = info ? ParseMountInfo(*info) : std::vector<MountEntry>();
  for (InterfaceClass cls : {InterfaceClass::Disk, InterfaceClass::Cdrom}) {
    for (const BlockDevice& block : ScsiBlockDevices(root_, cls)) {
      if (PackedDeviceNumber(block.major, block.minor) != device.deviceNumber) continue;
      mounts = MountPointsOf(root_, block.name, entries);
      return true;
    }
  }
  return true;
}

}  // namespace host
