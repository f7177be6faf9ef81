// The Linux host's discovery piece: the SCSI disks and CD-ROM units sysfs
// lists, the names a user may type for one, and the uevents that tell a
// device came or went. The unreachable list is filled by the opens of the
// pass-through and run-lock pieces (linux_nodes.cpp).
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "host/linux_host.h"
#include "host/linux_sysfs.h"

namespace host {

namespace {

// The disks (or CD-ROM units) of one class, as sysfs listed them when the
// list was opened.
class SysfsList : public InterfaceList {
 public:
  explicit SysfsList(std::vector<BlockDevice> devices) : devices_(std::move(devices)) {}
  bool Member(std::uint32_t index, std::string& path) override {
    if (index >= devices_.size()) return false;
    path = DevicePath(devices_[index]);
    bus_ = devices_[index].bus;
    return true;
  }
  std::optional<Bus> MemberBus() const override { return bus_; }

 private:
  std::vector<BlockDevice> devices_;
  std::optional<Bus> bus_;
};

}  // namespace

bool LinuxDiscovery::NamesDevice(const std::string& recordPath, const std::string& given) {
  const std::string& root = nodes_.root();
  if (given == recordPath) return true;
  DeviceId id;
  if (!ParseDevicePath(recordPath, id) || given.empty()) return false;
  // A link such as /dev/disk/by-id/usb-... names the node it leads to.
  std::string node = given;
  std::error_code ec;
  const std::filesystem::path real = std::filesystem::canonical(root + given, ec);
  const std::filesystem::path top = std::filesystem::canonical(root.empty() ? "/" : root, ec);
  if (!ec && !real.empty()) {
    const std::string text = real.string();
    const std::string prefix = root.empty() ? std::string() : top.string();
    if (text.compare(0, prefix.size(), prefix) == 0) node = text.substr(prefix.size());
  }
  if (node == "/dev/" + id.name) return true;
  const std::optional<ScsiGeneric> sg = ScsiGenericOf(root, id.name);
  return sg && node == "/dev/" + sg->name;
}

std::optional<std::uint64_t> LinuxDiscovery::DiskSequence(const char* path) {
  DeviceId id;
  if (path == nullptr || !ParseDevicePath(path, id)) return std::nullopt;
  return id.diskSeq;
}

std::vector<UnreachableDevice> LinuxDiscovery::TakeUnreachable() {
  return nodes_.TakeUnreachable();
}

std::unique_ptr<InterfaceList> LinuxDiscovery::OpenInterfaceList(InterfaceClass cls) {
  return std::make_unique<SysfsList>(ScsiBlockDevices(nodes_.root(), cls));
}

bool LinuxDiscovery::WaitForDeviceChange(std::uint32_t milliseconds) {
  if (!watch_) watch_ = std::make_unique<DeviceWatch>(nodes_.root());
  return watch_->Wait(milliseconds);
}

}  // namespace host
