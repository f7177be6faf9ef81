// The utility: the main window on the real devices. It takes no command line.
#include <windows.h>

#include "win32/win32_app.h"
#include "host/win32_host.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  host::Win32Host platform;
  return app::RunApplication(instance, platform);
}
