// Noticing storage devices that come and go: the kernel's uevents over
// netlink, or, where that socket cannot be had, the /sys/block listing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace host {

// Whether one uevent (NUL-separated "KEY=value" fields after the
// "action@devpath" header) announces a block or SCSI generic device added
// or removed.
bool IsStorageUevent(const char* message, std::size_t length);

// The names under /sys/block, sorted.
std::vector<std::string> BlockNames(const std::string& root);

class DeviceWatch {
 public:
  explicit DeviceWatch(std::string root);
  ~DeviceWatch();
  DeviceWatch(const DeviceWatch&) = delete;
  DeviceWatch& operator=(const DeviceWatch&) = delete;

  // True when a storage device came or went within milliseconds.
  bool Wait(std::uint32_t milliseconds);
  bool usesUevents() const { return socket_ >= 0; }

 private:
  std::string root_;
  int socket_ = -1;
  std::vector<std::string> names_;  // the listing the fallback compares with
};

}  // namespace host
