#include "win32/win32_app.h"

#include <exception>
#include <memory>

#include <cstdlib>

#include "window/main_window.h"
#include "win32/win32_view.h"
#include "scsi/vendor_frame.h"

namespace app {

namespace {

HWND g_autoClose = nullptr;

void CALLBACK AutoClose(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  if (g_autoClose != nullptr) PostMessageA(g_autoClose, WM_CLOSE, 0, 0);
}

// A windowed program has no standard error: show the assertion text, then stop.
void ShowAssertionAndStop(const char* text) {
  MessageBoxA(nullptr, text, kApplicationTitle, MB_OK | MB_TASKMODAL | MB_ICONERROR);
  std::abort();
}

}  // namespace

int RunApplication(HINSTANCE instance, host::Host& platform, unsigned closeAfterMs,
                   const std::string& firstFolder) {
  host::ScopedHost scope(platform);
  device::SetAssertionHandler(&ShowAssertionAndStop);
  try {
    Win32View view(instance);
    std::unique_ptr<MainWindow> window = StartMainWindow(view);
    window->OpenDialog1.initialDir = firstFolder;
    if (closeAfterMs != 0) {
      g_autoClose = view.hwnd();
      SetTimer(nullptr, 0, closeAfterMs, &AutoClose);
    }
    const int code = view.RunMessageLoop();
    g_autoClose = nullptr;
    window.reset();
    return code;
  } catch (const std::exception& e) {
    // Start-up itself failed: tell the user and end.
    MessageBoxA(nullptr, e.what(), kApplicationTitle, MB_OK | MB_TASKMODAL | MB_ICONERROR);
  } catch (...) {
    MessageBoxA(nullptr, "", kApplicationTitle, MB_OK | MB_TASKMODAL | MB_ICONERROR);
  }
  return 1;
}

}  // namespace app
