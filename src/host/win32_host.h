// The real Windows host: CreateFileA, DeviceIoControl, SetupDi and the volume
// calls. Built only by the Windows toolchain.
#pragma once

#include "host/host.h"

namespace host {

class Win32Host : public Host {
 public:
  Handle OpenDevice(const char* path, std::uint32_t access, std::uint32_t share,
                    std::uint32_t& lastError) override;
  bool PassThrough(Handle handle, PassThroughRequest& request, std::uint32_t& lastError) override;
  bool QueryDeviceNumber(Handle handle, DeviceNumber& number, std::uint32_t& lastError) override;
  void CloseDevice(Handle handle) override;
  std::unique_ptr<InterfaceList> OpenInterfaceList(InterfaceClass cls) override;
  std::uint32_t LogicalDrives() override;
  std::string WindowsDirectory() override;
  unsigned DriveType(const char* root) override;
  void Sleep(std::uint32_t milliseconds) override;
  void DebugOutput(const char* text) override;
};

}  // namespace host
