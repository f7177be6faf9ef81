#include "scsi/discovery.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "scsi/passthrough.h"
#include "host/host.h"

namespace device {

bool IsCandidatePath(const char* path, bool include1394) {
  if (std::strstr(path, "usbsto") != nullptr) return true;
  return include1394 && std::strstr(path, "sbp2") != nullptr;
}

BusKind BusKindOfPath(const char* path) {
  if (std::strstr(path, "sbp2") != nullptr) return BusKind::Ieee1394;
  if (std::strstr(path, "usbsto") != nullptr) return BusKind::Usb;
  return BusKind::Other;
}

namespace {

BusKind KindOf(host::Bus bus) {
  switch (bus) {
    case host::Bus::Usb:
      return BusKind::Usb;
    case host::Bus::Ieee1394:
      return BusKind::Ieee1394;
    case host::Bus::Other:
      break;
  }
  return BusKind::Other;
}

int EnumInterfaces(host::InterfaceClass cls, PathTable& table, int firstSlot, bool include1394,
                   BusKind* buses) {
  std::unique_ptr<host::InterfaceList> list = host::Current().discovery().OpenInterfaceList(cls);
  if (!list) return 0;
  int found = 0;
  std::string path;
  for (std::uint32_t index = 0;; ++index) {
    if (!list->Member(index, path)) break;  // ends at the first failing member
    // A platform that knows the bus says it; elsewhere the path's spelling does.
    const std::optional<host::Bus> bus = list->MemberBus();
    const bool candidate = bus ? *bus == host::Bus::Usb || (include1394 && *bus == host::Bus::Ieee1394)
                               : IsCandidatePath(path.c_str(), include1394);
    if (!candidate) continue;
    if (path.size() > static_cast<std::size_t>(kMaxPathLength)) continue;
    const int slot = firstSlot + found;
    if (slot < 0 || slot >= kMaxDevices) break;
    std::memcpy(table[slot], path.c_str(), path.size() + 1);
    if (buses != nullptr) buses[slot] = bus ? KindOf(*bus) : BusKindOfPath(path.c_str());
    ++found;
  }
  return found;
}

}  // namespace

int EnumDiskDevices(PathTable& table, bool include1394, BusKind* buses) {
  return EnumInterfaces(host::InterfaceClass::Disk, table, 0, include1394, buses);
}

int EnumCdromDevices(PathTable& table, int firstSlot, bool include1394, BusKind* buses) {
  return EnumInterfaces(host::InterfaceClass::Cdrom, table, firstSlot, include1394, buses);
}

void GetDriveLetters(const char* path, char* letters) {
  host::DeviceNumber target;
  if (!GetDeviceNumber(path, &target)) return;
  host::Volumes& volumes = host::Current().volumes();
  std::uint32_t mask = volumes.LogicalDrives();
  const std::string windowsDir = volumes.WindowsDirectory();
  std::memset(letters, 0, 4);
  int count = 0;
  for (char letter = 'A'; mask != 0 && letter <= 'Z'; ++letter, mask >>= 1) {
    if ((mask & 1u) == 0) continue;
    if (!windowsDir.empty() &&
        letter == std::toupper(static_cast<unsigned char>(windowsDir[0])))
      continue;
    char root[8];
    std::snprintf(root, sizeof root, "%c:\\", letter);
    if (volumes.DriveType(root) == host::kDriveRemote) continue;
    char volume[8];
    std::snprintf(volume, sizeof volume, "\\\\.\\%c:", letter);
    host::DeviceNumber number;
    if (!GetDeviceNumber(volume, &number)) continue;
    if (number.deviceType != target.deviceType || number.deviceNumber != target.deviceNumber)
      continue;
    if (count < kDriveLettersSize - 1) letters[count++] = letter;  // room for the terminator
  }
  letters[count] = '\0';
}

bool GetMountPoints(const char* path, std::vector<std::string>& mounts) {
  mounts.clear();
  host::Volumes& volumes = host::Current().volumes();
  if (!volumes.MountPoints(host::DeviceNumber{}, mounts)) return false;
  mounts.clear();
  host::DeviceNumber number;
  if (!GetDeviceNumber(path, &number)) return true;
  return volumes.MountPoints(number, mounts);
}

namespace {

Result SendVendorModeByte(const char* path, std::uint8_t mode) {
  std::uint8_t cdb[12] = {0xFF, 0x04, 0x54, 0x58, mode};
  std::int32_t transferred = 0;
  return ScsiPassThroughOut(path, cdb, 12, nullptr, 0, &transferred);
}

}  // namespace

Result EnterVendorMode(const char* path) { return SendVendorModeByte(path, 0x55); }
Result LeaveVendorMode(const char* path) { return SendVendorModeByte(path, 0xAA); }

}  // namespace device
