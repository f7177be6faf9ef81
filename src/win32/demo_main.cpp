// The same window on the simulated machine with a few emulated enclosures, so
// it can be tried without hardware. --close-after MS ends it by itself.
// Images that match the demo's chips are written to the folder
// "demo-firmware" beside the executable, where "Load File" first opens.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "win32/win32_app.h"
#include "sim/demo.h"
#include "sim/machine.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  unsigned closeAfter = 0;
  for (int i = 1; i + 1 < __argc; ++i) {
    if (std::strcmp(__argv[i], "--close-after") == 0)
      closeAfter = static_cast<unsigned>(std::strtoul(__argv[i + 1], nullptr, 10));
  }
  sim::Machine machine;
  sim::BusyTimes busyTimes = sim::BusyTimes::Typical;
  (void)sim::BusyTimesFromEnvironment(busyTimes);  // any other value: typical
  sim::AttachDemoEnclosures(machine, busyTimes);
  char exe[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameA(nullptr, exe, MAX_PATH);
  std::string images;
  if (n > 0 && n < MAX_PATH) {
    std::string folder(exe, n);
    folder.erase(folder.find_last_of("\\/") + 1);
    images = folder + "demo-firmware";
    if (sim::WriteDemoImages(images).empty()) images.clear();
  }
  return app::RunApplication(instance, machine, closeAfter, images);
}
