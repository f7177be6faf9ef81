// Device I/O that passes every call on to another host's. Wrappers that watch
// a few calls (the console's command log) derive from it and override only
// those; a call DeviceIo gains is passed on here, once for all of them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/host.h"

namespace host {

class ForwardingIo : public DeviceIo {
 public:
  explicit ForwardingIo(DeviceIo& inner) : inner_(inner) {}

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
  std::string DiscoveryNote() override { return inner_.DiscoveryNote(); }
  void DebugOutput(const char* text) override { inner_.DebugOutput(text); }

 protected:
  DeviceIo& inner() const { return inner_; }

 private:
  DeviceIo& inner_;
};

}  // namespace host
