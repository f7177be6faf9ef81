// The Windows host's small pieces: the volumes, the clock and the trace.
#include "host/win32_host.h"

#include <windows.h>

#include <string>

namespace host {

std::uint32_t Win32Volumes::LogicalDrives() { return GetLogicalDrives(); }

std::string Win32Volumes::WindowsDirectory() {
  char dir[512] = {};
  GetWindowsDirectoryA(dir, sizeof dir);
  return dir;
}

unsigned Win32Volumes::DriveType(const char* root) { return GetDriveTypeA(root); }

void Win32Clock::Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

void Win32Trace::DebugOutput(const char* text) { OutputDebugStringA(text); }

}  // namespace host
