// Console front end: lists the enclosures discovery finds, on the real
// platform or, with --simulate, on the built-in simulated enclosures.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "device/device_record.h"
#include "device/discovery.h"
#include "host/host.h"
#include "sim/demo.h"
#include "sim/machine.h"
#ifdef _WIN32
#include "host/win32_host.h"
#endif

namespace {

void PrintUsage() {
  std::puts(
      "usage: tx4077x-console [--simulate] [--help]\n"
      "  --simulate  use the built-in simulated enclosures instead of real devices\n"
      "  --help      show this text");
}

int ListEnclosures() {
  device::PathTable table{};
  const int disks = device::EnumDiskDevices(table, true);
  const int cdroms = device::EnumCdromDevices(table, disks, true);
  const int count = disks + cdroms;
  if (count == 0) {
    std::puts("No available device!!!");
    return 0;
  }
  for (int i = 0; i < count && i < device::kMaxDevices; ++i) {
    char letters[device::kDriveLettersSize] = {};
    device::GetDriveLetters(table[i], letters);
    std::printf("%d  %-6s  drives %-4s  %s\n", i, i < disks ? "disk" : "cdrom",
                letters[0] ? letters : "-", table[i]);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool simulate = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--simulate") == 0) {
      simulate = true;
    } else if (std::strcmp(argv[i], "--help") == 0) {
      PrintUsage();
      return 0;
    } else {
      std::fprintf(stderr, "unknown option: %s\n", argv[i]);
      PrintUsage();
      return 2;
    }
  }
  std::unique_ptr<host::Host> platform;
  if (simulate) {
    auto machine = std::make_unique<sim::Machine>();
    sim::AttachDemoEnclosures(*machine);
    platform = std::move(machine);
  } else {
#ifdef _WIN32
    platform = std::make_unique<host::Win32Host>();
#else
    std::fputs("no device access on this platform yet; use --simulate\n", stderr);
    return 2;
#endif
  }
  host::ScopedHost scope(*platform);
  return ListEnclosures();
}
