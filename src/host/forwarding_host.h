// A host that passes every service on to another one. Hosts that add to a
// few services (waiting through the window, watching the command blocks)
// derive from it and override only those; a service Host gains is passed on
// here, once for all of them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/host.h"

namespace host {

class ForwardingHost : public Host {
 public:
  explicit ForwardingHost(Host& inner) : inner_(inner) {}

  Handle OpenDevice(const char* path, std::uint32_t access, std::uint32_t share,
                    std::uint32_t& lastError) override {
    return inner_.OpenDevice(path, access, share, lastError);
  }
  bool PassThrough(Handle handle, PassThroughRequest& request, std::uint32_t& lastError) override {
    return inner_.PassThrough(handle, request, lastError);
  }
  std::size_t LastSense(std::uint8_t* into, std::size_t size) override {
    return inner_.LastSense(into, size);
  }
  bool QueryDeviceNumber(Handle handle, DeviceNumber& number, std::uint32_t& lastError) override {
    return inner_.QueryDeviceNumber(handle, number, lastError);
  }
  void CloseDevice(Handle handle) override { inner_.CloseDevice(handle); }
  std::unique_ptr<InterfaceList> OpenInterfaceList(InterfaceClass cls) override {
    return inner_.OpenInterfaceList(cls);
  }
  std::uint32_t LogicalDrives() override { return inner_.LogicalDrives(); }
  std::string WindowsDirectory() override { return inner_.WindowsDirectory(); }
  unsigned DriveType(const char* root) override { return inner_.DriveType(root); }
  bool MountPoints(const DeviceNumber& device, std::vector<std::string>& mounts) override {
    return inner_.MountPoints(device, mounts);
  }
  bool WaitForDeviceChange(std::uint32_t milliseconds) override {
    return inner_.WaitForDeviceChange(milliseconds);
  }
  bool BeginRun(const char* path, std::uint32_t& lastError) override {
    return inner_.BeginRun(path, lastError);
  }
  void EndRun(const char* path) override { inner_.EndRun(path); }
  bool NamesDevice(const std::string& recordPath, const std::string& given) override {
    return inner_.NamesDevice(recordPath, given);
  }
  std::optional<std::uint64_t> DiskSequence(const char* path) override {
    return inner_.DiskSequence(path);
  }
  std::vector<UnreachableDevice> TakeUnreachable() override { return inner_.TakeUnreachable(); }
  void Sleep(std::uint32_t milliseconds) override { inner_.Sleep(milliseconds); }
  std::uint64_t MonotonicMs() override { return inner_.MonotonicMs(); }
  void DebugOutput(const char* text) override { inner_.DebugOutput(text); }

 protected:
  Host& inner() const { return inner_; }

 private:
  Host& inner_;
};

}  // namespace host
