// Pass-through that hands every call on to another host's. Wrappers that
// watch a few calls (the console's command log) derive from it and override
// only those; a call PassThroughIo gains is passed on here, once for all.
#pragma once

#include "host/host.h"

namespace host {

class ForwardingPassThrough : public PassThroughIo {
 public:
  explicit ForwardingPassThrough(PassThroughIo& inner) : inner_(inner) {}

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

 protected:
  PassThroughIo& inner() const { return inner_; }

 private:
  PassThroughIo& inner_;
};

}  // namespace host
