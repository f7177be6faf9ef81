// Start-up of the Windows executables: the window on a given host, the
// message loop, and shut-down.
#pragma once

#include <windows.h>

#include <string>

#include "host/host.h"

namespace app {

// Runs the utility until its window closes and returns the exit code (0).
// closeAfterMs, when not 0, closes the window by itself after that long (for
// unattended demo runs). firstFolder, when not empty, is where the file
// dialog first opens instead of the executable's folder.
int RunApplication(HINSTANCE instance, host::Host& platform, unsigned closeAfterMs = 0,
                   const std::string& firstFolder = {});

}  // namespace app
