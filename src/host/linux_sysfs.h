// What the Linux host learns from sysfs and /proc/self/mountinfo. Every file
// is read under a root prefix ("" on a real system) so tests can lay out a
// fake tree in a temporary folder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/host.h"

namespace host {

// A SCSI generic node (/dev/sgN) and its device number.
struct ScsiGeneric {
  std::string name;  // "sg2"
  unsigned major = 0;
  unsigned minor = 0;
};

struct BlockDevice {
  std::string name;  // "sdb", "sr0"
  unsigned major = 0;
  unsigned minor = 0;
  Bus bus = Bus::Other;
  // The kernel's number for this disk, never given twice in a boot (kernel
  // 5.15 on); unset where the kernel has none.
  std::optional<std::uint64_t> diskSeq;
  // The node that carries its command blocks, where the sg driver is loaded.
  std::optional<ScsiGeneric> sg;
};

// What a device path names: the block node, its device number and, where
// the kernel numbers disks, the disk sequence number it was listed with.
struct DeviceId {
  std::string name;
  unsigned major = 0;
  unsigned minor = 0;
  std::optional<std::uint64_t> diskSeq;
};

// The SCSI block devices of a class (sd* disks or sr* CD-ROM units) in the
// kernel's naming order (sdz before sdaa).
std::vector<BlockDevice> ScsiBlockDevices(const std::string& root, InterfaceClass cls);

// The bus from the device's sysfs ancestry: a USB interface bound to
// usb-storage or uas is USB, a unit bound to firewire_sbp2 is IEEE 1394.
Bus BusOfBlock(const std::string& root, const std::string& name);

// The SCSI generic node of a block device (its device/scsi_generic folder,
// or the link device/scsi_generic:sgN of older kernels); unset when the sg
// driver has none for it.
std::optional<ScsiGeneric> ScsiGenericOf(const std::string& root, const std::string& name);
// /sys/block/NAME/diskseq; unset where the kernel has no such file.
std::optional<std::uint64_t> DiskSequenceOf(const std::string& root, const std::string& name);

// The device path the utility keeps: the node, its device number and the
// disk sequence number where there is one ("/dev/sdb#8:16#diskseq=7"), so a
// replug that gives the node, or even its number, to another disk is seen.
std::string DevicePath(const BlockDevice& device);
// False unless path is exactly such a path of a /dev node.
bool ParseDevicePath(const std::string& path, DeviceId& id);
bool ParseDevicePath(const std::string& path, std::string& name, unsigned& major,
                     unsigned& minor);

// DeviceNumber.deviceNumber of a Linux device number.
inline std::uint32_t PackedDeviceNumber(unsigned major, unsigned minor) {
  return (static_cast<std::uint32_t>(major) << 20) | (minor & 0xFFFFFu);
}

struct MountEntry {
  unsigned major = 0;
  unsigned minor = 0;
  std::string mountPoint;
};

// The entries of a mountinfo text; lines that do not parse are skipped.
std::vector<MountEntry> ParseMountInfo(const std::string& text);

// The mount points of a block device's volumes (the device itself and its
// partitions), in mountinfo order without repeats. A volume that holds "/"
// is left out whole, as the system drive is on Windows.
std::vector<std::string> MountPointsOf(const std::string& root, const std::string& name,
                                       const std::vector<MountEntry>& mounts);

// Small file helpers under the root prefix.
std::optional<std::string> ReadSysText(const std::string& root, const std::string& path);
std::optional<unsigned long> ReadSysNumber(const std::string& root, const std::string& path);
bool WriteSysNumber(const std::string& root, const std::string& path, unsigned long value);

}  // namespace host
