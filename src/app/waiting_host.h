// The host seen by the window's events: every service is the installed
// host's, except that a wait goes through a function (the window system's
// Wait), which may keep the window alive while the time passes.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "host/host.h"

namespace app {

class WaitingHost : public host::Host {
 public:
  // wait(ms, inner) lets ms pass on the inner host's clock.
  using WaitFunction = std::function<void(std::uint32_t, host::Host&)>;
  WaitingHost(host::Host& inner, WaitFunction wait) : inner_(inner), wait_(std::move(wait)) {}

  host::Handle OpenDevice(const char* path, std::uint32_t access, std::uint32_t share,
                          std::uint32_t& lastError) override {
    return inner_.OpenDevice(path, access, share, lastError);
  }
  bool PassThrough(host::Handle handle, host::PassThroughRequest& request,
                   std::uint32_t& lastError) override {
    return inner_.PassThrough(handle, request, lastError);
  }
  bool QueryDeviceNumber(host::Handle handle, host::DeviceNumber& number,
                         std::uint32_t& lastError) override {
    return inner_.QueryDeviceNumber(handle, number, lastError);
  }
  void CloseDevice(host::Handle handle) override { inner_.CloseDevice(handle); }
  std::unique_ptr<host::InterfaceList> OpenInterfaceList(host::InterfaceClass cls) override {
    return inner_.OpenInterfaceList(cls);
  }
  std::uint32_t LogicalDrives() override { return inner_.LogicalDrives(); }
  std::string WindowsDirectory() override { return inner_.WindowsDirectory(); }
  unsigned DriveType(const char* root) override { return inner_.DriveType(root); }
  bool MountPoints(const host::DeviceNumber& device, std::vector<std::string>& mounts) override {
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
  std::vector<host::UnreachableDevice> TakeUnreachable() override {
    return inner_.TakeUnreachable();
  }
  void Sleep(std::uint32_t milliseconds) override { wait_(milliseconds, inner_); }
  void DebugOutput(const char* text) override { inner_.DebugOutput(text); }

 private:
  host::Host& inner_;
  WaitFunction wait_;
};

}  // namespace app
