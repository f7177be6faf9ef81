#include "win32/win32_view.h"

#include <commdlg.h>
#include <dbt.h>
#include <shellapi.h>
#include <windowsx.h>

#include <cstring>
#include <exception>
#include <stdexcept>

namespace app {

namespace {

constexpr char kPanelClass[] = "TTxPanel";
constexpr char kAppClass[] = "TTxApplication";
constexpr unsigned kWaitSliceMs = 10;  // longest time the window goes unserviced in a wait
constexpr int kIconResource = 1;
constexpr int kLabelHeight = 13;
constexpr int kDropDownExtra = 160;  // room for a combo box's list below its field

// GUID_DEVINTERFACE_USB_DEVICE, spelled out so no driver-kit header is needed.
const GUID kUsbDeviceInterface = {0xA5DCBF10, 0x6530, 0x11D2,
                                  {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

HFONT MakeFont(int height) {
  return CreateFontA(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_DONTCARE, "MS Sans Serif");
}

std::string TextOf(HWND hwnd) {
  const int n = GetWindowTextLengthA(hwnd);
  std::string text(static_cast<std::size_t>(n) + 1, '\0');
  const int got = GetWindowTextA(hwnd, text.data(), n + 1);
  text.resize(static_cast<std::size_t>(got > 0 ? got : 0));
  return text;
}

SIZE TextExtent(HWND hwnd, HFONT font, const std::string& text) {
  HDC dc = GetDC(hwnd);
  HGDIOBJ old = SelectObject(dc, font);
  SIZE size{};
  GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(hwnd, dc);
  return size;
}

// A user32 function that older systems lack, looked up at run time; null
// where it is missing.
template <typename Function>
Function UserFunction(const char* name) {
  HMODULE user = GetModuleHandleA("user32.dll");
  return user != nullptr
             ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(user, name)))
             : nullptr;
}

// The dots per inch of a window, or of the screen before the window exists.
int DpiOf(HWND hwnd) {
  auto forWindow = UserFunction<UINT(WINAPI*)(HWND)>("GetDpiForWindow");
  if (hwnd != nullptr && forWindow != nullptr) {
    const UINT dpi = forWindow(hwnd);
    if (dpi != 0) return static_cast<int>(dpi);
  }
  HDC dc = GetDC(hwnd);
  const int dpi = dc != nullptr ? GetDeviceCaps(dc, LOGPIXELSY) : 96;
  if (dc != nullptr) ReleaseDC(hwnd, dc);
  return dpi > 0 ? dpi : 96;
}

// What the window system shows for a control: buttons and check boxes mark
// their access key with '&' (a literal '&' doubled).
std::string ScreenText(const Control& c) {
  if (c.kind() != ControlKind::Button && c.kind() != ControlKind::CheckBox) return c.text();
  std::string shown;
  for (std::size_t i = 0; i < c.text().size(); ++i) {
    if (i == c.accessKeyAt) shown.push_back('&');
    if (c.text()[i] == '&') shown.push_back('&');
    shown.push_back(c.text()[i]);
  }
  return shown;
}

// Messages the view posts to itself: the focus left an edit (wParam: its
// control id), and the program was activated while a box may be up.
constexpr UINT kFieldLeftMessage = WM_APP + 1;
constexpr UINT kActivateFrontMessage = WM_APP + 2;
constexpr UINT_PTR kFocusAgainTimer = 1;  // of the application window
constexpr UINT kFocusAgainMs = 150;

// The reason the system shows for a session end the window holds up.
void BlockSessionEnd(HWND hwnd, bool block) {
  if (block) {
    auto create = UserFunction<BOOL(WINAPI*)(HWND, LPCWSTR)>("ShutdownBlockReasonCreate");
    if (create != nullptr)
      create(hwnd, L"A firmware update is running. The program closes when it has ended.");
  } else if (auto destroy = UserFunction<BOOL(WINAPI*)(HWND)>("ShutdownBlockReasonDestroy")) {
    destroy(hwnd);
  }
}

BOOL CALLBACK FindBox(HWND hwnd, LPARAM found) {
  char cls[16] = {};
  GetClassNameA(hwnd, cls, sizeof cls);
  if (std::strcmp(cls, "#32770") != 0 || !IsWindowVisible(hwnd) || !IsWindowEnabled(hwnd))
    return TRUE;
  *reinterpret_cast<HWND*>(found) = hwnd;
  return FALSE;
}

bool IsBox(HWND hwnd) {
  char cls[16] = {};
  GetClassNameA(hwnd, cls, sizeof cls);
  return std::strcmp(cls, "#32770") == 0;
}

// A message box this thread shows, innermost first: when it came up, and the
// window a close typed before it is meant for.
struct ShownBox {
  HWND box = nullptr;  // known from its first activation on
  DWORD shownAt = 0;   // message time of that activation
  HWND mainWindow = nullptr;
  HWND appWindow = nullptr;
  ShownBox* outer = nullptr;
};
thread_local ShownBox* t_shownBox = nullptr;

// The box learns when it came up; a later activation (task bar, Alt+Tab)
// has the application window give it the keyboard once it is done.
LRESULT CALLBACK WatchBoxActivation(int code, WPARAM wParam, LPARAM lParam) {
  ShownBox* shown = t_shownBox;
  HWND activated = reinterpret_cast<HWND>(wParam);
  if (code == HCBT_ACTIVATE && shown != nullptr && IsBox(activated)) {
    if (shown->box == nullptr) {
      shown->box = activated;
      shown->shownAt = GetTickCount();
    } else if (activated == shown->box) {
      PostMessageA(shown->appWindow, kActivateFrontMessage, 0, 0);
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

// The box's modal loop drops keys typed before the box came up: the user
// could not have meant them as an answer. Message times are tick counts that
// wrap, so they are compared by their difference. Alt+F4 among them still
// closes the window, which waits for the box to be answered.
LRESULT CALLBACK DropKeysTypedBeforeTheBox(int code, WPARAM wParam, LPARAM lParam) {
  const ShownBox* shown = t_shownBox;
  const auto* msg = reinterpret_cast<const MSG*>(lParam);
  if (code == MSGF_DIALOGBOX && shown != nullptr && shown->box != nullptr &&
      msg->message >= WM_KEYFIRST && msg->message <= WM_KEYLAST &&
      (msg->hwnd == shown->box || IsChild(shown->box, msg->hwnd)) &&
      static_cast<LONG>(msg->time - shown->shownAt) < 0) {
    if (msg->message == WM_SYSKEYDOWN && msg->wParam == VK_F4 && shown->mainWindow != nullptr) {
      OutputDebugStringA("Alt+F4 typed before the box closes the window after it\n");
      PostMessageA(shown->mainWindow, WM_CLOSE, 0, 0);
    }
    return TRUE;
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

UINT IconFlag(ui::Icon icon) {
  switch (icon) {
    case ui::Icon::Error: return MB_ICONERROR;
    case ui::Icon::Warning: return MB_ICONWARNING;
    case ui::Icon::Information: return MB_ICONINFORMATION;
    case ui::Icon::None: break;
  }
  return 0;
}

}  // namespace

namespace {

// A class of this program: the arrow cursor, and the program's icon where
// the window stands for the program.
WNDCLASSEXA ClassOf(HINSTANCE instance, WNDPROC procedure, const char* name, HICON icon) {
  WNDCLASSEXA c{};
  c.cbSize = sizeof c;
  c.lpfnWndProc = procedure;
  c.hInstance = instance;
  c.hIcon = icon;
  c.hIconSm = icon;
  c.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  c.lpszClassName = name;
  return c;
}

// A class registered before (a second start in the same process) is as good.
bool Register(const WNDCLASSEXA& c) {
  return RegisterClassExA(&c) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

bool RegisterWindowClasses(HINSTANCE instance) {
  const HICON icon = LoadIconA(instance, MAKEINTRESOURCEA(kIconResource));
  WNDCLASSEXA main = ClassOf(instance, &Win32View::WindowProcEntry, kWindowClass, icon);
  main.style = CS_DBLCLKS;
  main.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  return Register(main) &&
         Register(ClassOf(instance, &Win32View::PanelProcEntry, kPanelClass, nullptr)) &&
         Register(ClassOf(instance, &Win32View::AppProcEntry, kAppClass, icon));
}

Win32View::Win32View(HINSTANCE instance) : instance_(instance) {
  faceBrush_ = GetSysColorBrush(COLOR_BTNFACE);
}

Win32View::~Win32View() {
  if (hwnd_ != nullptr && IsWindow(hwnd_)) {
    quitOnDestroy = false;
    DestroyWindow(hwnd_);  // WM_DESTROY lets go of the model
  }
  if (appWindow_ != nullptr && IsWindow(appWindow_)) DestroyWindow(appWindow_);
  DeleteObject(font_);
  DeleteObject(largeFont_);
}

DWORD Win32View::WindowStyle() const {
  // Fixed single border, system menu and minimize only.
  return WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
}

// --- start-up ----------------------------------------------------------------

void Win32View::Realize(MainWindow& window) {
  try {
    CreateWindows(window);
  } catch (...) {
    // Without its window the model must not be reached through this view again.
    Release();
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
    hwnd_ = nullptr;
    throw;
  }
}

void Win32View::Release() {
  if (window_ == nullptr) return;
  for (Control* c : window_->controls()) c->SetObserver(nullptr);
  window_ = nullptr;
}

void Win32View::CreateWindows(MainWindow& window) {
  window_ = &window;
  if (!RegisterWindowClasses(instance_)) throw std::runtime_error("cannot register the window class");
  // The layout is designed in pixels at 96 dpi and scaled to the screen's.
  dpi_ = DpiOf(nullptr);
  font_ = MakeFont(-Scale(11));
  largeFont_ = MakeFont(-Scale(13));
  // Like a VCL-style application: a window without size stands for the
  // program in the task bar under the application title and owns the main
  // window, which therefore gets no task-bar button of its own.
  appWindow_ = CreateWindowExA(0, kAppClass, kApplicationTitle,
                               WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                               GetSystemMetrics(SM_CXSCREEN) / 2, GetSystemMetrics(SM_CYSCREEN) / 2,
                               0, 0, nullptr, nullptr, instance_, this);
  if (appWindow_ == nullptr) throw std::runtime_error("cannot create the application window");
  RECT r{0, 0, Scale(kClientWidth), Scale(window.clientHeight)};
  AdjustWindowRectEx(&r, WindowStyle(), FALSE, 0);
  const int width = r.right - r.left;
  const int height = r.bottom - r.top;
  const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
  const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  hwnd_ = CreateWindowExA(0, kWindowClass, kWindowCaption, WindowStyle(), x, y, width, height,
                          appWindow_, nullptr, instance_, this);
  if (hwnd_ == nullptr) throw std::runtime_error("cannot create the main window");
  const int windowDpi = DpiOf(hwnd_);
  if (windowDpi != dpi_) {
    // A per-monitor setting may give the window another scale than the screen.
    dpi_ = windowDpi;
    DeleteObject(font_);
    DeleteObject(largeFont_);
    font_ = MakeFont(-Scale(11));
    largeFont_ = MakeFont(-Scale(13));
    SetClientHeight(window.clientHeight);
  }
  SendMessageA(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);

  int id = kFirstControlId;
  for (Control* c : window.controls()) {
    byId_.push_back(c);
    CreateControl(*c, id++);
    c->SetObserver(this);
  }
  // Tab order follows the z-order: put the controls in their keyboard order.
  for (Control* c : window.TabOrder()) {
    SetWindowPos(HandleOf(*c), HWND_BOTTOM, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOREDRAW);
  }
}

// The window class, styles and size a control kind is created with.
struct Win32View::ControlStyle {
  const char* cls = "STATIC";
  DWORD style = WS_CHILD | WS_CLIPSIBLINGS;
  DWORD exStyle = 0;
  int width = 0;
  int height = 0;
};

Win32View::ControlStyle Win32View::StyleOf(const Control& c, const Bounds& b) const {
  ControlStyle s;
  if (c.visible()) s.style |= WS_VISIBLE;
  if (!c.enabled()) s.style |= WS_DISABLED;
  s.width = b.width;
  s.height = b.height;
  switch (c.kind()) {
    case ControlKind::Edit:
      s.cls = "EDIT";
      s.exStyle = WS_EX_CLIENTEDGE;
      s.style |= WS_TABSTOP | ES_AUTOHSCROLL;
      if (static_cast<const Edit&>(c).readOnly()) s.style |= ES_READONLY;
      break;
    case ControlKind::Label:
      // Labels size themselves to their text.
      s.style |= SS_LEFT | SS_NOPREFIX;
      s.width = TextExtent(hwnd_, font_, c.text()).cx;
      break;
    case ControlKind::Button:
      s.cls = "BUTTON";
      s.style |= WS_TABSTOP | BS_PUSHBUTTON;
      break;
    case ControlKind::CheckBox:
      s.cls = "BUTTON";
      s.style |= WS_TABSTOP | BS_CHECKBOX;
      break;
    case ControlKind::ComboBox:
      s.cls = "COMBOBOX";
      s.style |= WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWN | CBS_AUTOHSCROLL;
      s.height += Scale(kDropDownExtra);
      break;
    case ControlKind::Panel:
      s.cls = kPanelClass;
      s.exStyle = WS_EX_CONTROLPARENT;
      break;
  }
  return s;
}

void Win32View::CreateControl(Control& c, int id) {
  HWND parent = ParentOf(c);
  const Bounds& designed = c.bounds();
  const Bounds b{Scale(designed.left), Scale(designed.top), Scale(designed.width),
                 Scale(designed.height)};
  const ControlStyle s = StyleOf(c, b);
  HWND h = CreateWindowExA(s.exStyle, s.cls,
                           c.kind() == ControlKind::ComboBox ? "" : ScreenText(c).c_str(), s.style,
                           b.left, b.top, s.width, s.height, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
  if (h == nullptr) throw std::runtime_error("cannot create control " + c.name());
  handles_[&c] = h;
  owners_[h] = &c;
  HFONT font = c.fontHeight == -13 ? largeFont_ : font_;
  SendMessageA(h, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  if (c.kind() == ControlKind::Panel)
    SetWindowLongPtrA(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&c));
  if (c.kind() == ControlKind::CheckBox)
    SendMessageA(h, BM_SETCHECK, static_cast<CheckBox&>(c).checked() ? BST_CHECKED : BST_UNCHECKED, 0);
  if (c.kind() == ControlKind::ComboBox) {
    FitClosedComboBox(h, b.height);
    ++pushing_;
    PushItems(static_cast<ComboBox&>(c));
    --pushing_;
  }
  if (c.kind() == ControlKind::Edit && !static_cast<Edit&>(c).labelCaption().empty())
    CreateEditCaption(static_cast<Edit&>(c), b, parent);
}

// The closed box takes its designed height: adjust its selection field by
// what is left over, in a few steps, since how a requested field height turns
// into the box's height differs between platform versions.
void Win32View::FitClosedComboBox(HWND h, int designedHeight) {
  LRESULT request = SendMessageA(h, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0);
  for (int step = 0; step < 3 && request != CB_ERR; ++step) {
    RECT closed;
    GetWindowRect(h, &closed);
    const int extra = designedHeight - (closed.bottom - closed.top);
    if (extra == 0 || request + extra <= 0) break;
    request += extra;
    SendMessageA(h, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), request);
  }
}

// A labelled edit's caption stands to its left, 3 pixels away, centred on it.
void Win32View::CreateEditCaption(Edit& c, const Bounds& b, HWND parent) {
  const std::string& caption = c.labelCaption();
  const SIZE size = TextExtent(hwnd_, font_, caption);
  DWORD labelStyle = WS_CHILD | SS_LEFT | SS_NOPREFIX;
  if (c.visible()) labelStyle |= WS_VISIBLE;
  if (!c.enabled()) labelStyle |= WS_DISABLED;
  HWND label = CreateWindowExA(0, "STATIC", caption.c_str(), labelStyle,
                               b.left - Scale(Edit::kLabelSpacing) - size.cx,
                               b.top + (b.height - Scale(kLabelHeight)) / 2, size.cx,
                               Scale(kLabelHeight), parent, nullptr, instance_, nullptr);
  if (label != nullptr) {
    SendMessageA(label, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    labels_[&c] = label;
    owners_[label] = &c;
  }
}

HWND Win32View::ParentOf(const Control& c) const {
  if (c.parent() == nullptr) return hwnd_;
  return HandleOf(*c.parent());
}

void Win32View::Show() {
  ShowWindow(appWindow_, SW_SHOWNOACTIVATE);
  ShowWindow(hwnd_, SW_SHOWNORMAL);
  UpdateWindow(hwnd_);
  // Typed keys go somewhere from the start.
  if (GetFocus() == nullptr || GetFocus() == hwnd_) {
    HWND first = FirstFocusable();
    if (first != nullptr) SetFocus(first);
  }
}

HWND Win32View::FirstFocusable() const {
  if (window_ == nullptr) return nullptr;
  for (Control* c : window_->TabOrder()) {
    if (c->kind() == ControlKind::Panel || c->kind() == ControlKind::Label) continue;
    // A read-only field shows no caret: the focus would not be seen there.
    if (c->kind() == ControlKind::Edit && static_cast<Edit*>(c)->readOnly()) continue;
    HWND h = HandleOf(*c);
    if (h != nullptr && IsWindowVisible(h) && IsWindowEnabled(h)) return h;
  }
  return nullptr;
}

void Win32View::SaveFocus() {
  HWND focus = GetFocus();
  // The window itself holds the focus only for a control that was disabled
  // while it had it (see ControlChanged): keep that one.
  if (focus != nullptr && focus != hwnd_ && IsChild(hwnd_, focus)) lastFocus_ = focus;
}

void Win32View::RestoreFocus() {
  if (hwnd_ == nullptr || !IsWindow(hwnd_)) return;
  HWND target = lastFocus_;
  if (target != nullptr && (!IsWindow(target) || !IsChild(hwnd_, target) || !IsWindowVisible(target)))
    target = nullptr;
  if (target != nullptr && !IsWindowEnabled(target)) {
    // Park the focus on the window until the control is enabled again.
    SetFocus(hwnd_);
    return;
  }
  if (target == nullptr) target = FirstFocusable();
  if (target != nullptr) SetFocus(target);
}

int Win32View::RunMessageLoop() {
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (hwnd_ != nullptr && IsWindow(hwnd_) && IsDialogMessageA(hwnd_, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return 0;
}

HWND Win32View::HandleOf(const Control& control) const {
  auto it = handles_.find(&control);
  return it == handles_.end() ? nullptr : it->second;
}

HWND Win32View::LabelOf(const Control& control) const {
  auto it = labels_.find(&control);
  return it == labels_.end() ? nullptr : it->second;
}

Control* Win32View::ControlById(int id) const {
  const int index = id - kFirstControlId;
  if (index < 0 || index >= static_cast<int>(byId_.size())) return nullptr;
  return byId_[static_cast<std::size_t>(index)];
}

int Win32View::IdOf(const Control& control) const {
  for (std::size_t i = 0; i < byId_.size(); ++i)
    if (byId_[i] == &control) return kFirstControlId + static_cast<int>(i);
  return 0;
}

// --- model to screen ---------------------------------------------------------

void Win32View::ControlChanged(Control& c, Property property) {
  HWND h = HandleOf(c);
  if (h == nullptr) return;
  ++pushing_;
  HWND label = LabelOf(c);
  switch (property) {
    case Property::Text:
      if (c.kind() == ControlKind::ComboBox) {
        PushSelection(static_cast<ComboBox&>(c));
      } else if (TextOf(h) != ScreenText(c)) {
        SetWindowTextA(h, ScreenText(c).c_str());
        if (c.kind() == ControlKind::Edit && static_cast<Edit&>(c).showEnd) {
          // A long path shows its file name rather than its drive.
          const auto end = static_cast<WPARAM>(c.text().size());
          SendMessageA(h, EM_SETSEL, end, static_cast<LPARAM>(end));
          SendMessageA(h, EM_SCROLLCARET, 0, 0);
        }
      }
      if (c.kind() == ControlKind::Label) {
        SetWindowPos(h, nullptr, 0, 0, TextExtent(hwnd_, font_, c.text()).cx, Scale(c.bounds().height),
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
      }
      break;
    case Property::Enabled:
      if (!c.enabled() && GetFocus() == h) {
        // Run disables itself when pressed: the window keeps the focus for it
        // and hands it back when the control is enabled again.
        lastFocus_ = h;
        SetFocus(hwnd_);
      }
      EnableWindow(h, c.enabled() ? TRUE : FALSE);
      if (c.enabled() && lastFocus_ == h && GetFocus() == hwnd_) SetFocus(h);
      if (label != nullptr) EnableWindow(label, c.enabled() ? TRUE : FALSE);
      break;
    case Property::Visible:
      ShowWindow(h, c.visible() ? SW_SHOWNA : SW_HIDE);
      if (label != nullptr) ShowWindow(label, c.visible() ? SW_SHOWNA : SW_HIDE);
      break;
    case Property::Checked:
      SendMessageA(h, BM_SETCHECK,
                   static_cast<CheckBox&>(c).checked() ? BST_CHECKED : BST_UNCHECKED, 0);
      break;
    case Property::Items:
      PushItems(static_cast<ComboBox&>(c));
      break;
    case Property::Selection:
      PushSelection(static_cast<ComboBox&>(c));
      break;
  }
  --pushing_;
}

void Win32View::PushItems(ComboBox& combo) {
  HWND h = HandleOf(combo);
  SendMessageA(h, CB_RESETCONTENT, 0, 0);
  for (const std::string& item : combo.items())
    SendMessageA(h, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
  PushSelection(combo);
}

void Win32View::PushSelection(ComboBox& combo) {
  HWND h = HandleOf(combo);
  SendMessageA(h, CB_SETCURSEL, static_cast<WPARAM>(combo.itemIndex()), 0);
  if (combo.itemIndex() < 0 || TextOf(h) != combo.text()) SetWindowTextA(h, combo.text().c_str());
}

// --- screen to model ---------------------------------------------------------

LRESULT CALLBACK Win32View::WindowProcEntry(HWND hwnd, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* view = reinterpret_cast<Win32View*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (view == nullptr || view->window_ == nullptr)
    return DefWindowProcA(hwnd, message, wParam, lParam);
  try {
    return view->Handle(hwnd, message, wParam, lParam);
  } catch (const std::exception& e) {
    // Nothing may unwind through the window system.
    view->ShowMessage(e.what(), kApplicationTitle, ui::Icon::Error);
  } catch (...) {
    view->ShowMessage("", kApplicationTitle, ui::Icon::Error);
  }
  return 0;
}

// The application window forwards what the task bar asks of the program to
// the main window.
LRESULT CALLBACK Win32View::AppProcEntry(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* view = reinterpret_cast<Win32View*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  HWND main = view != nullptr ? view->hwnd_ : nullptr;
  if (main != nullptr && IsWindow(main)) {
    switch (message) {
      case WM_ACTIVATE:
        // The task bar or Alt+Tab activated the program: the box that is up,
        // else the main window, takes over once this activation is done.
        if (LOWORD(wParam) != WA_INACTIVE) PostMessageA(hwnd, kActivateFrontMessage, 0, 0);
        return 0;
      case WM_SETFOCUS:
      case kActivateFrontMessage:
        view->ActivateFront();
        return 0;
      case WM_TIMER:
        KillTimer(hwnd, wParam);
        if (wParam == kFocusAgainTimer) view->ActivateFront(false);
        return 0;
      case WM_CLOSE:
        PostMessageA(main, WM_CLOSE, 0, 0);
        return 0;
      case WM_SIZE:
        // The main window goes and comes back with the task-bar entry.
        if (wParam == SIZE_MINIMIZED) {
          ShowWindow(main, SW_HIDE);
        } else if (wParam == SIZE_RESTORED && !IsWindowVisible(main)) {
          ShowWindow(main, SW_SHOW);
        }
        return 0;
      default:
        break;
    }
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

// The engineering panel passes its controls' notifications on to the window.
LRESULT CALLBACK Win32View::PanelProcEntry(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORLISTBOX:
      return SendMessageA(GetParent(hwnd), message, wParam, lParam);
    case WM_ERASEBKGND: {
      auto* c = reinterpret_cast<Control*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
      RECT r;
      GetClientRect(hwnd, &r);
      HBRUSH brush = GetSysColorBrush(COLOR_BTNFACE);
      HBRUSH navy = nullptr;
      if (c != nullptr && c->colour == Colour::Navy) brush = navy = CreateSolidBrush(RGB(0, 0, 0x80));
      FillRect(reinterpret_cast<HDC>(wParam), &r, brush);
      if (navy != nullptr) DeleteObject(navy);
      // A raised bevel marks the engineering panel; the thin rule stays flat.
      if (c != nullptr && c->colour != Colour::Navy)
        DrawEdge(reinterpret_cast<HDC>(wParam), &r, BDR_RAISEDINNER, BF_RECT);
      return 1;
    }
    default:
      return DefWindowProcA(hwnd, message, wParam, lParam);
  }
}

bool Win32View::HandleRunDrag(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_NCLBUTTONDOWN: {
      if (wParam != HTCAPTION || !window_->running()) return false;
      RECT frame;
      GetWindowRect(hwnd_, &frame);
      dragOffset_ = {GET_X_LPARAM(lParam) - frame.left, GET_Y_LPARAM(lParam) - frame.top};
      dragging_ = true;
      SetCapture(hwnd_);
      return true;
    }
    case WM_MOUSEMOVE: {
      if (!dragging_) return false;
      POINT at{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      ClientToScreen(hwnd_, &at);
      SetWindowPos(hwnd_, nullptr, at.x - dragOffset_.x, at.y - dragOffset_.y, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
      return true;
    }
    case WM_LBUTTONUP:
      if (!dragging_) return false;
      dragging_ = false;
      ReleaseCapture();
      return true;
    case WM_CAPTURECHANGED:
      dragging_ = false;
      return false;
    default:
      return false;
  }
}

// Dialog-style focus: the control that had it gets it back. While a box is
// up, an activation of the (disabled) main window goes on to the box.
void Win32View::OnActivate(bool active) {
  if (!active) {
    SaveFocus();
  } else if (ModalBox() != nullptr) {
    PostMessageA(appWindow_, kActivateFrontMessage, 0, 0);
  } else {
    RestoreFocus();
  }
}

// Typing is finished when the focus moved on to another control of the
// window; a box or another program taking it does not finish it.
void Win32View::OnFieldLeft(int id) {
  Control* field = ControlById(id);
  HWND focus = GetFocus();
  if (field != nullptr && field->kind() == ControlKind::Edit && focus != nullptr &&
      IsChild(hwnd_, focus) && focus != HandleOf(*field))
    window_->FinishTyping(static_cast<Edit&>(*field));
}

LRESULT Win32View::Handle(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (HandleRunDrag(message, wParam, lParam)) return 0;
  switch (message) {
    case WM_ACTIVATE:
      OnActivate(LOWORD(wParam) != WA_INACTIVE);
      return 0;
    case kFieldLeftMessage:
      OnFieldLeft(static_cast<int>(wParam));
      return 0;
    case WM_QUERYENDSESSION: {
      const bool mayEnd = window_->QueryEndSession();
      BlockSessionEnd(hwnd, !mayEnd);
      return mayEnd ? TRUE : FALSE;
    }
    case WM_ENDSESSION:
      if (wParam == FALSE) BlockSessionEnd(hwnd, false);
      window_->EndSession(wParam != FALSE);
      return 0;
    case WM_SYSCOMMAND:
      // Minimizing goes through the application window, which holds the
      // task-bar button; the main window follows its owner.
      if ((wParam & 0xFFF0) == SC_MINIMIZE && appWindow_ != nullptr) {
        ShowWindow(appWindow_, SW_MINIMIZE);
        return 0;
      }
      return DefWindowProcA(hwnd, message, wParam, lParam);
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam));
      return 0;
    case WM_CTLCOLORSTATIC:
      return ColourStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
    case WM_TIMER:
      window_->OnTimer(static_cast<unsigned>(wParam));
      return 0;
    case WM_DEVICECHANGE:
      window_->OnDeviceChange(static_cast<std::uintptr_t>(wParam));
      return TRUE;
    case WM_DROPFILES: {
      Win32Drop drop(reinterpret_cast<HDROP>(wParam));
      window_->OnDropFiles(drop);
      return 0;
    }
    case WM_CLOSE:
      if (window_->QueryClose()) DestroyWindow(hwnd);
      return 0;
    case WM_DESTROY:
      if (appWindow_ != nullptr) ShowWindow(appWindow_, SW_HIDE);  // the task bar lets go at once
      window_->FormDestroy();
      Release();
      if (quitOnDestroy) PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(hwnd, message, wParam, lParam);
  }
}

void Win32View::OnCommand(int id, int code) {
  if (pushing_ > 0) return;
  // The keyboard's dialog keys. The window has no default button, so Enter
  // presses nothing: in a field it finishes the typing. Escape is Exit.
  if (id == IDOK || id == IDCANCEL) {
    auto focused = owners_.find(GetFocus());
    if (id == IDCANCEL) {
      window_->OnEscape();
    } else if (focused != owners_.end() && focused->second->kind() == ControlKind::Edit &&
               focused->first == HandleOf(*focused->second)) {
      window_->FinishTyping(static_cast<Edit&>(*focused->second));
    }
    return;
  }
  Control* control = ControlById(id);
  if (control == nullptr) return;
  Control& c = *control;
  HWND h = HandleOf(c);
  switch (c.kind()) {
    case ControlKind::Button:
      if (code == BN_CLICKED) static_cast<Button&>(c).Click();
      break;
    case ControlKind::CheckBox:
      if (code == BN_CLICKED) static_cast<CheckBox&>(c).Click();
      break;
    case ControlKind::Edit:
      if (static_cast<Edit&>(c).readOnly()) {
        // A field that cannot be typed in shows no caret.
        if (code == EN_SETFOCUS) DestroyCaret();
      } else if (code == EN_CHANGE) {
        static_cast<Edit&>(c).UserType(TextOf(h));
      } else if (code == EN_KILLFOCUS) {
        // Where the focus went is known once the change is complete.
        PostMessageA(hwnd_, kFieldLeftMessage, static_cast<WPARAM>(id), 0);
      }
      break;
    case ControlKind::ComboBox:
      if (code == CBN_SELCHANGE) {
        static_cast<ComboBox&>(c).UserSelect(
            static_cast<int>(SendMessageA(h, CB_GETCURSEL, 0, 0)));
      } else if (code == CBN_EDITCHANGE) {
        static_cast<ComboBox&>(c).UserType(TextOf(h));
      }
      break;
    default:
      break;
  }
}

// Labels, check boxes and read-only edits sit on the button face.
LRESULT Win32View::ColourStatic(HDC dc, HWND control) {
  SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
  auto it = owners_.find(control);
  if (it != owners_.end() && it->second->kind() == ControlKind::Label) {
    SetBkMode(dc, TRANSPARENT);
    if (static_cast<Label*>(it->second)->transparent)
      return reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
  }
  if (it != owners_.end() && control == LabelOf(*it->second) &&
      static_cast<Edit*>(it->second)->labelTransparent) {
    SetBkMode(dc, TRANSPARENT);
  }
  return reinterpret_cast<LRESULT>(faceBrush_);
}

// --- window-system services ---------------------------------------------------

HWND Win32View::ModalBox() const {
  HWND box = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), &FindBox, reinterpret_cast<LPARAM>(&box));
  return box;
}

void Win32View::ActivateFront(bool again) {
  HWND box = ModalBox();
  HWND target = box;
  if (target == nullptr && hwnd_ != nullptr && IsWindowEnabled(hwnd_) && IsWindowVisible(hwnd_))
    target = hwnd_;
  if (target != nullptr && GetForegroundWindow() != target) SetForegroundWindow(target);
  // A button held down by the mouse keeps the focus until it is released.
  if (box == nullptr || GetCapture() != nullptr) return;
  // The box's control that had the keyboard keeps it, else its default
  // button takes it, so Enter and Space answer the box. It is given anew even
  // when it seems to be there: the activation may have sent the keyboard to
  // the task bar (Wine's X input focus goes with the focus being set).
  HWND keep = GetFocus();
  if (!IsChild(box, keep)) {
    keep = nullptr;
    const LRESULT def = SendMessageA(box, DM_GETDEFID, 0, 0);
    if (HIWORD(def) == DC_HASDEFID) keep = GetDlgItem(box, LOWORD(def));
    for (HWND child = GetWindow(box, GW_CHILD); keep == nullptr && child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
      if ((SendMessageA(child, WM_GETDLGCODE, 0, 0) & DLGC_DEFPUSHBUTTON) != 0) keep = child;
    }
  }
  if (keep == nullptr) return;
  if (GetActiveWindow() != box) SetActiveWindow(box);
  if (GetFocus() == keep) {
    SetFocus(box);
    SetFocus(keep);
  } else {
    SendMessageA(box, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(keep), TRUE);
  }
  // The task bar may take the X input focus only after this: once more soon.
  if (again) SetTimer(appWindow_, kFocusAgainTimer, kFocusAgainMs, nullptr);
}

int Win32View::Box(const std::string& text, const std::string& caption, UINT type) {
  // Keys and clicks the user gave while a run kept the thread busy belong
  // to the window, not to a box that was not there yet: delivered first,
  // they cannot answer (and so hide) a power-cycle box.
  if (window_ != nullptr && window_->running()) ProcessMessages();
  SaveFocus();
  ShownBox shown;
  shown.mainWindow = hwnd_ != nullptr && IsWindow(hwnd_) ? hwnd_ : nullptr;
  shown.appWindow = appWindow_;
  shown.outer = t_shownBox;
  t_shownBox = &shown;
  // The hooks of an outer box serve a box shown while it is up as well.
  const DWORD thread = GetCurrentThreadId();
  HHOOK activation = shown.outer != nullptr ? nullptr
                         : SetWindowsHookExA(WH_CBT, &WatchBoxActivation, nullptr, thread);
  HHOOK keys = shown.outer != nullptr
                   ? nullptr
                   : SetWindowsHookExA(WH_MSGFILTER, &DropKeysTypedBeforeTheBox, nullptr, thread);
  // No owner, but task-modal: the main window cannot be brought over the box.
  const int answer = MessageBoxA(nullptr, text.c_str(), caption.c_str(), type | MB_TASKMODAL);
  if (keys != nullptr) UnhookWindowsHookEx(keys);
  if (activation != nullptr) UnhookWindowsHookEx(activation);
  t_shownBox = shown.outer;
  // Without an owner the box leaves the activation to whatever window comes
  // next, perhaps another program's: the user just answered the box, so the
  // main window takes it back.
  if (hwnd_ != nullptr && IsWindow(hwnd_) && IsWindowVisible(hwnd_) &&
      GetForegroundWindow() != hwnd_)
    SetForegroundWindow(hwnd_);
  RestoreFocus();
  return answer;
}

void Win32View::ShowMessage(const std::string& text, const std::string& caption, ui::Icon icon) {
  Box(text, caption, MB_OK | IconFlag(icon));
}

bool Win32View::AskYesNo(const std::string& text, const std::string& caption, ui::Icon icon) {
  return Box(text, caption, MB_YESNO | MB_DEFBUTTON2 | IconFlag(icon)) == IDYES;
}

bool Win32View::OpenFile(const ui::OpenFileRequest& request, std::string& path) {
  // "Name|*.ext|..." becomes the platform's NUL-separated, double-NUL-ended list.
  std::string filter = request.filter;
  for (char& ch : filter)
    if (ch == '|') ch = '\0';
  filter.push_back('\0');
  char file[MAX_PATH] = {};
  OPENFILENAMEA ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = hwnd_;
  ofn.lpstrFilter = filter.c_str();
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = file;
  ofn.nMaxFile = sizeof file;
  ofn.lpstrInitialDir = request.initialDir.empty() ? nullptr : request.initialDir.c_str();
  ofn.lpstrDefExt = request.defaultExt.empty() ? nullptr : request.defaultExt.c_str();
  ofn.Flags = OFN_HIDEREADONLY | OFN_ENABLESIZING | OFN_EXPLORER;
  SaveFocus();
  const bool chosen = GetOpenFileNameA(&ofn) != FALSE;
  RestoreFocus();
  if (!chosen) return false;
  path = file;
  return true;
}

std::string Win32View::ProgramFolder() {
  char buffer[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  std::string folder(buffer, n < sizeof buffer ? n : 0);
  const std::size_t slash = folder.find_last_of("\\/:");
  return slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
}

void Win32View::ProcessMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));  // leave it for the main loop
      return;
    }
    if (hwnd_ != nullptr && IsWindow(hwnd_) && IsDialogMessageA(hwnd_, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

void Win32View::Wait(std::uint32_t milliseconds, host::Clock& clock) {
  // Outside a run the handlers expect nothing to happen during a wait.
  if (hwnd_ == nullptr || window_ == nullptr || !window_->running()) {
    clock.Sleep(milliseconds);
    return;
  }
  // The time passes on the host's clock in short slices; between them the
  // window paints, moves and queues the user's commands.
  while (milliseconds > 0) {
    const std::uint32_t slice = milliseconds < kWaitSliceMs ? milliseconds : kWaitSliceMs;
    clock.Sleep(slice);
    milliseconds -= slice;
    ProcessMessages();
  }
}

void Win32View::Repaint(const std::string& name) {
  if (window_ == nullptr) return;
  const Control* c = window_->Find(name);
  HWND h = c != nullptr ? HandleOf(*c) : nullptr;
  if (h != nullptr) RedrawWindow(h, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}

void Win32View::StartTimer(unsigned id, unsigned milliseconds) {
  if (hwnd_ != nullptr) SetTimer(hwnd_, id, milliseconds, nullptr);
}

void Win32View::StopTimer(unsigned id) {
  if (hwnd_ != nullptr) KillTimer(hwnd_, id);
}

ui::NotifyHandle Win32View::RegisterDeviceChanges() {
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  static_assert(sizeof filter == 32, "the filter record the platform expects");
  filter.dbcc_size = 32;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = kUsbDeviceInterface;
  HDEVNOTIFY handle = RegisterDeviceNotificationA(hwnd_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  return reinterpret_cast<ui::NotifyHandle>(handle);
}

void Win32View::UnregisterDeviceChanges(ui::NotifyHandle handle) {
  UnregisterDeviceNotification(reinterpret_cast<HDEVNOTIFY>(handle));
}

void Win32View::AcceptDroppedFiles(bool accept) { DragAcceptFiles(hwnd_, accept ? TRUE : FALSE); }

void Win32View::SetClientHeight(int height) {
  if (hwnd_ == nullptr) return;  // Realize sizes the window from the model
  RECT r{0, 0, Scale(kClientWidth), Scale(height)};
  AdjustWindowRectEx(&r, WindowStyle(), FALSE, 0);
  SetWindowPos(hwnd_, nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32View::CloseMainWindow() {
  if (hwnd_ != nullptr) PostMessageA(hwnd_, WM_CLOSE, 0, 0);
}

unsigned Win32Drop::QueryFile(unsigned index, char* buffer, unsigned size) {
  return DragQueryFileA(drop_, index, buffer, size);
}

void Win32Drop::Finish() { DragFinish(drop_); }

}  // namespace app
