// Reads the program's windows on the "shell" desktop from a second process:
// waits until a condition holds and prints it; exits 1 when it did not
// within MS (10000). Usage: window_probe CONDITION [MS], CONDITION one of
//   main (up and enabled), ready (Run enabled), gone (the main window),
//   box=TEXT (the foreground window, with that text and its default button
//   focused), taskbar (prints the centre of the program's task-bar button).
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

// A task-bar button carries the window it stands for as its id.
BOOL CALLBACK FindTaskButton(HWND h, LPARAM found) {
  HWND& button = *reinterpret_cast<HWND*>(found);
  if (reinterpret_cast<HWND>(GetWindowLongPtrA(h, GWLP_ID)) != button) return TRUE;
  button = h;
  return FALSE;
}

// What the condition looks at now; empty while it does not hold.
std::string Check(const std::string& what) {
  HWND main = FindWindowA("TT77xFwTool", nullptr);
  if (what == "main") return main != nullptr && IsWindowEnabled(main) ? "main up" : "";
  if (what == "gone") return main == nullptr ? "main gone" : "";
  if (what == "ready") {
    HWND run = FindWindowExA(main, nullptr, "Button", "&Run");
    return run != nullptr && IsWindowEnabled(run) ? "run enabled" : "";
  }
  if (what == "taskbar") {
    HWND button = main != nullptr ? GetWindow(main, GW_OWNER) : nullptr;  // the program's entry
    RECT r;
    EnumChildWindows(FindWindowA("Shell_TrayWnd", nullptr), FindTaskButton,
                     reinterpret_cast<LPARAM>(&button));
    if (button == nullptr || GetParent(button) == nullptr || !GetWindowRect(button, &r)) return "";
    return std::to_string((r.left + r.right) / 2) + " " + std::to_string((r.top + r.bottom) / 2);
  }
  HWND box = GetForegroundWindow();
  char cls[16] = {};
  GetClassNameA(box, cls, sizeof cls);
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (what.rfind("box=", 0) != 0 || std::strcmp(cls, "#32770") != 0 ||
      TextOf(GetDlgItem(box, 0xFFFF)) != what.substr(4) ||
      !GetGUIThreadInfo(GetWindowThreadProcessId(box, nullptr), &info) ||
      GetParent(info.hwndFocus) != box ||
      (SendMessageA(info.hwndFocus, WM_GETDLGCODE, 0, 0) & DLGC_DEFPUSHBUTTON) == 0)
    return "";
  return "box up, default button focused";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const DWORD limit = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 10000;
  const DWORD start = GetTickCount();
  HDESK desk = nullptr;
  for (;;) {
    // The program's desktop, once it is there.
    if (desk == nullptr && (desk = OpenDesktopA("shell", 0, FALSE, GENERIC_ALL)) != nullptr)
      SetThreadDesktop(desk);
    const std::string seen = desk != nullptr ? Check(argv[1]) : std::string();
    if (!seen.empty()) return std::printf("%s\n", seen.c_str()) < 0;
    if (GetTickCount() - start > limit) break;
    Sleep(20);
  }
  std::printf("not within %lu ms: %s; foreground \"%s\"\n", limit, argv[1],
              TextOf(GetForegroundWindow()).c_str());
  return 1;
}
