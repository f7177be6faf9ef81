// Reads the program's windows from a second process on the "shell" desktop,
// for the real-input test: waits until a condition holds, then prints it.
// Usage: window_probe CONDITION [MS]    exit 0 when it held within MS (10000)
//   main        the main window is up and enabled
//   box=TEXT    a box with this text is the foreground window, its default
//               button focused
//   ready       Run is enabled
//   gone        the main window has gone
//   taskbar     prints the centre of the program's task-bar button
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string TextOf(HWND h) {
  char text[512] = {};
  DWORD_PTR got = 0;
  SendMessageTimeoutA(h, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                      500, &got);
  return text;
}

HWND Main() { return FindWindowA("TT77xFwTool", nullptr); }

// A task-bar button carries the window it stands for as its id.
BOOL CALLBACK FindTaskButton(HWND h, LPARAM found) {
  HWND& button = *reinterpret_cast<HWND*>(found);
  if (reinterpret_cast<HWND>(GetWindowLongPtrA(h, GWLP_ID)) != button) return TRUE;
  button = h;
  return FALSE;
}

// What the condition looks at now; empty when it does not hold.
std::string Check(const std::string& what) {
  if (what == "main") {
    HWND main = Main();
    return main != nullptr && IsWindowVisible(main) && IsWindowEnabled(main) ? "main up" : "";
  }
  if (what == "ready") {
    HWND run = FindWindowExA(Main(), nullptr, "Button", "&Run");
    return run != nullptr && IsWindowEnabled(run) ? "run enabled" : "";
  }
  if (what == "gone") return Main() == nullptr ? "main gone" : "";
  if (what == "taskbar") {
    HWND main = Main();
    HWND button = main != nullptr ? GetWindow(main, GW_OWNER) : nullptr;  // the program's
    if (button == nullptr) return "";
    EnumChildWindows(FindWindowA("Shell_TrayWnd", nullptr), FindTaskButton,
                     reinterpret_cast<LPARAM>(&button));
    RECT r;
    if (GetParent(button) == nullptr || !GetWindowRect(button, &r)) return "";
    return std::to_string((r.left + r.right) / 2) + " " + std::to_string((r.top + r.bottom) / 2);
  }
  if (what.rfind("box=", 0) == 0) {
    HWND box = GetForegroundWindow();
    char cls[16] = {};
    GetClassNameA(box, cls, sizeof cls);
    if (std::strcmp(cls, "#32770") != 0 || TextOf(GetDlgItem(box, 0xFFFF)) != what.substr(4))
      return "";
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(box, nullptr), &info) ||
        GetParent(info.hwndFocus) != box ||
        (SendMessageA(info.hwndFocus, WM_GETDLGCODE, 0, 0) & DLGC_DEFPUSHBUTTON) == 0)
      return "";
    return "box up, default button focused";
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const DWORD limit = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 10000;
  const DWORD start = GetTickCount();
  HDESK desk = nullptr;
  for (;;) {
    // The program runs on the desktop with the task bar, once it is there.
    if (desk == nullptr && (desk = OpenDesktopA("shell", 0, FALSE, GENERIC_ALL)) != nullptr)
      SetThreadDesktop(desk);
    const std::string seen = desk != nullptr ? Check(argv[1]) : std::string();
    if (!seen.empty()) {
      std::printf("%s\n", seen.c_str());
      return 0;
    }
    if (GetTickCount() - start > limit) break;
    Sleep(20);
  }
  HWND fg = GetForegroundWindow();
  std::printf("not within %lu ms: %s; foreground \"%s\"\n", limit, argv[1], TextOf(fg).c_str());
  return 1;
}
