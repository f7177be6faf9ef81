#include "host/system_info.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/utsname.h>
#endif

namespace host {

#ifdef _WIN32

std::string SystemDescription() {
  // GetVersionEx answers what the manifest allows; ntdll's RtlGetVersion
  // tells the real version.
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  const auto get = ntdll != nullptr ? reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(
                                          GetProcAddress(ntdll, "RtlGetVersion")))
                                    : nullptr;
  if (get == nullptr || get(&info) != 0) return "Windows (version unknown)";
  return "Windows " + std::to_string(info.dwMajorVersion) + "." +
         std::to_string(info.dwMinorVersion) + " build " + std::to_string(info.dwBuildNumber);
}

#else

std::string SystemDescription() {
  utsname u{};
  if (uname(&u) != 0) return "unknown system";
  return std::string(u.sysname) + " " + u.release + " " + u.version + " " + u.machine;
}

#endif

}  // namespace host
