// Start-up of the Windows executables: the window on a given host, the
// message loop, and shut-down.
#pragma once

#include <windows.h>

#include "host/host.h"

namespace app {

// Runs the utility until its window closes and returns the exit code (0).
// closeAfterMs, when not 0, closes the window by itself after that long (for
// unattended demo runs).
int RunApplication(HINSTANCE instance, host::Host& platform, unsigned closeAfterMs = 0);

}  // namespace app
