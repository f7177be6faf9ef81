// The real main window on the simulated enclosures, driven with real window
// messages and read back through the Win32 API. Message boxes are answered
// by a window-procedure hook so that nothing waits for a user.
#include <windows.h>
#include <dlgs.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "window/main_window.h"
#include "window/waiting_host.h"
#include "win32/win32_view.h"
#include "host/forwarding_io.h"
#include "host/host.h"
#include "sim/demo.h"
#include "sim/enclosure.h"
#include "sim/machine.h"
#include "sim/profiles.h"

namespace {

struct Box {
  std::string text;
  std::string caption;
  bool ownerless = false;
  bool mainEnabled = true;  // the main window while the box is up
  int defaultButton = 0;    // the button with the default frame, once the box is up
  int focused = 0;          // the control with the focus then
  std::string chipShown;    // the window's chip field as the box came up
  bool upWhenAnswered = false;
};
std::vector<Box> g_boxes;
int g_answer = IDOK;  // how the boxes are answered
HWND g_main = nullptr;
HWND g_chip = nullptr;
HWND g_box = nullptr;
// Runs while a box is up, before the answer; true when it answered the box itself.
std::function<bool(HWND box)> g_whileUp;

// Messages for ms or until the box has gone, from inside its own loop.
void PumpBox(HWND box, DWORD ms) {
  const DWORD start = GetTickCount();
  MSG msg;
  while (IsWindowVisible(box) && GetTickCount() - start < ms) {
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (IsDialogMessageA(box, &msg)) continue;
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    Sleep(5);
  }
}

// Runs inside the box's own message loop, once the box has set its default
// button and focus: reads them and answers.
void CALLBACK ReadButtonsAndAnswer(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  HWND box = std::exchange(g_box, nullptr);
  if (box == nullptr || g_boxes.empty()) return;
  Box& record = g_boxes.back();
  for (int button : {IDOK, IDCANCEL, IDYES, IDNO}) {
    HWND h = GetDlgItem(box, button);
    if (h != nullptr && (SendMessageA(h, WM_GETDLGCODE, 0, 0) & DLGC_DEFPUSHBUTTON) != 0)
      record.defaultButton = button;
  }
  record.focused = GetDlgCtrlID(GetFocus());
  record.upWhenAnswered = IsWindowVisible(box) != FALSE;
  if (g_whileUp && g_whileUp(box)) return;
  PostMessageA(box, WM_COMMAND, g_answer, 0);
}

// Reads each box once its dialog is set up (text set, other windows disabled
// for a task-modal box); the answer follows from the box's message loop.
LRESULT CALLBACK AnswerMessageBoxes(int code, WPARAM wParam, LPARAM lParam) {
  const auto* call = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
  if (code == HC_ACTION && call->message == WM_INITDIALOG) {
    HWND dlg = call->hwnd;
    char cls[32] = {};
    GetClassNameA(dlg, cls, sizeof cls);
    if (std::strcmp(cls, "#32770") == 0) {
      char text[512] = {};
      char caption[256] = {};
      GetDlgItemTextA(dlg, 0xFFFF, text, sizeof text);
      GetWindowTextA(dlg, caption, sizeof caption);
      Box box;
      box.text = text;
      box.caption = caption;
      box.ownerless = GetWindow(dlg, GW_OWNER) == nullptr;
      box.mainEnabled = g_main != nullptr && IsWindowEnabled(g_main) != FALSE;
      if (g_chip != nullptr) {
        GetWindowTextA(g_chip, text, sizeof text);
        box.chipShown = text;
      }
      g_boxes.push_back(box);
      g_box = dlg;
      SetTimer(nullptr, 0, 0, ReadButtonsAndAnswer);
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

std::string TextOf(HWND h) {
  char buffer[1024] = {};
  GetWindowTextA(h, buffer, sizeof buffer);
  return buffer;
}

// Where a child window sits in its parent's client area.
RECT PlaceOf(HWND h) {
  RECT r;
  GetWindowRect(h, &r);
  MapWindowPoints(HWND_DESKTOP, GetParent(h), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

// A real HDROP of the given paths: DROPFILES and a double-NUL-ended list.
HDROP MakeDrop(const std::vector<std::string>& files) {
  std::size_t chars = 1;
  for (const auto& f : files) chars += f.size() + 1;
  HGLOBAL mem = GlobalAlloc(GHND, sizeof(DROPFILES) + chars);
  auto* df = static_cast<DROPFILES*>(GlobalLock(mem));
  df->pFiles = sizeof(DROPFILES);
  df->fWide = FALSE;
  char* p = reinterpret_cast<char*>(df) + sizeof(DROPFILES);
  for (const auto& f : files) {
    std::memcpy(p, f.c_str(), f.size() + 1);
    p += f.size() + 1;
  }
  GlobalUnlock(mem);
  return static_cast<HDROP>(mem);
}

class GuiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_boxes.clear();
    g_answer = IDOK;
    machine.SetTranscriptLimit(sim::kFullTranscript);
    sim::AttachDemoEnclosures(machine);
    hook_ = SetWindowsHookExA(WH_CALLWNDPROCRET, AnswerMessageBoxes, nullptr, GetCurrentThreadId());
    view = std::make_unique<app::Win32View>(GetModuleHandleA(nullptr));
    view->quitOnDestroy = false;
    window = app::StartMainWindow(*view);
    hwnd = view->hwnd();
    g_main = hwnd;
    g_chip = H(window->ChipLabelEdit);
    SetForegroundWindow(hwnd);  // typed keys come to this window
    Pump(50);
  }
  void TearDown() override {
    view.reset();  // destroys the real window while the model still exists
    window.reset();
    UnhookWindowsHookEx(hook_);
    g_main = g_chip = nullptr;
    g_whileUp = nullptr;
    if (!imageFolder_.empty()) {
      std::error_code error;
      std::filesystem::remove_all(imageFolder_, error);
    }
  }
  // The demo's image for list entry k (written on first use).
  std::string DemoImage(std::size_t k) {
    if (imageFolder_.empty()) {
      imageFolder_ = (std::filesystem::temp_directory_path() /
                      ("tx_gui_" + std::to_string(GetCurrentProcessId())))
                         .string();
      images_ = sim::WriteDemoImages(imageFolder_);
    }
    return k < images_.size() ? images_[k] : std::string();
  }
  // A key as the keyboard gives it, to whichever window has the focus.
  static void Key(WORD vk, bool alt = false) {
    std::vector<INPUT> in;
    auto add = [&](WORD key, DWORD flags) {
      INPUT i{};
      i.type = INPUT_KEYBOARD;
      i.ki.wVk = key;
      i.ki.dwFlags = flags;
      in.push_back(i);
    };
    if (alt) add(VK_MENU, 0);
    add(vk, 0);
    add(vk, KEYEVENTF_KEYUP);
    if (alt) add(VK_MENU, KEYEVENTF_KEYUP);
    SendInput(static_cast<UINT>(in.size()), in.data(), sizeof(INPUT));
  }
  // Text typed into the focused field, one character message per key.
  void Type(const std::string& text) {
    for (char ch : text) PostMessageA(GetFocus(), WM_CHAR, static_cast<unsigned char>(ch), 1);
    Pump(50);
  }
  void Select(int entry) {
    SendMessageA(H(window->DeviceList), CB_SETCURSEL, entry, 0);
    Notify(window->DeviceList, CBN_SELCHANGE);
  }

  // The message loop for ms of real time.
  void Pump(DWORD ms) {
    const DWORD start = GetTickCount();
    do {
      view->ProcessMessages();
      Sleep(5);
    } while (GetTickCount() - start < ms);
  }
  HWND H(const app::Control& c) const { return view->HandleOf(c); }
  void Notify(const app::Control& c, int code) {
    SendMessageA(GetParent(H(c)), WM_COMMAND, MAKEWPARAM(view->IdOf(c), code),
                 reinterpret_cast<LPARAM>(H(c)));
  }
  int ClientHeight() const {
    RECT r;
    GetClientRect(hwnd, &r);
    return r.bottom - r.top;
  }
  int ListCount() { return static_cast<int>(SendMessageA(H(window->DeviceList), CB_GETCOUNT, 0, 0)); }
  std::vector<std::string> LeaveVendorModePaths() const {
    std::vector<std::string> paths;
    for (const auto& e : machine.transcript())
      if (e.command == "LeaveVendorMode") paths.push_back(e.path);
    return paths;
  }

  sim::Machine machine;
  host::ScopedHost scope{machine};
  std::unique_ptr<app::Win32View> view;
  std::unique_ptr<app::MainWindow> window;
  HWND hwnd = nullptr;

 private:
  HHOOK hook_ = nullptr;
  std::string imageFolder_;
  std::vector<std::string> images_;
};

TEST_F(GuiTest, MainWindowHasItsClassCaptionFrameAndSize) {
  char cls[64] = {};
  GetClassNameA(hwnd, cls, sizeof cls);
  EXPECT_STREQ("TT77xFwTool", cls);
  EXPECT_EQ(" TX4077x FW Update Utility v1.19.01", TextOf(hwnd));
  EXPECT_TRUE(IsWindowVisible(hwnd));
  const LONG_PTR style = GetWindowLongPtrA(hwnd, GWL_STYLE);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(style & WS_THICKFRAME);
  RECT client;
  GetClientRect(hwnd, &client);
  EXPECT_EQ(347, client.right);
  EXPECT_EQ(420 - 129, client.bottom);  // shown without the engineering panel
  RECT frame;
  GetWindowRect(hwnd, &frame);
  const int screenWidth = GetSystemMetrics(SM_CXSCREEN);
  EXPECT_NEAR(screenWidth / 2, (frame.left + frame.right) / 2, 1);
  EXPECT_NE(0u, window->notifyHandle);
  EXPECT_TRUE(GetWindowLongPtrA(hwnd, GWL_EXSTYLE) & WS_EX_ACCEPTFILES);
}

TEST_F(GuiTest, ControlsSitAtTheirPlacesWithTheirTextsAndStates) {
  const RECT chip = PlaceOf(H(window->ChipLabelEdit));
  EXPECT_EQ(80, chip.left);
  EXPECT_EQ(12, chip.top);
  EXPECT_EQ(129, chip.right - chip.left);
  EXPECT_EQ(21, chip.bottom - chip.top);
  const RECT label = PlaceOf(view->LabelOf(window->ChipLabelEdit));
  EXPECT_EQ(80 - 3, label.right);
  EXPECT_EQ("Chip ", TextOf(view->LabelOf(window->ChipLabelEdit)));
  EXPECT_TRUE(GetWindowLongPtrA(H(window->StatusEdit), GWL_STYLE) & ES_READONLY);
  EXPECT_FALSE(GetWindowLongPtrA(H(window->FwFilenameEdit), GWL_STYLE) & ES_READONLY);

  const RECT run = PlaceOf(H(window->UpdateBtn));
  EXPECT_EQ(96, run.left);
  EXPECT_EQ(256, run.top);
  EXPECT_EQ("&Run", TextOf(H(window->UpdateBtn)));  // Alt+R; Windows underlines the R
  EXPECT_FALSE(IsWindowEnabled(H(window->UpdateBtn)));
  EXPECT_TRUE(IsWindowEnabled(H(window->ExitBtn)));
  EXPECT_FALSE(IsWindowVisible(H(window->RefreshBtn)));
  EXPECT_FALSE(IsWindowVisible(H(window->FwPgSizeCheck)));
  EXPECT_FALSE(IsWindowVisible(H(window->RdPanel)));
  EXPECT_EQ(H(window->RdPanel), GetParent(H(window->BackupFileEdit)));
  const RECT backup = PlaceOf(H(window->BackupFileEdit));
  EXPECT_EQ(115, backup.left);
  EXPECT_EQ(96, backup.top);

  // Labels size themselves to their captions and stay on their left edge.
  const RECT status = PlaceOf(H(window->diskLabel));
  EXPECT_EQ(24, status.left);
  EXPECT_EQ(44, status.top);
  EXPECT_EQ("USB DISK", TextOf(H(window->diskLabel)));
  const RECT list = PlaceOf(H(window->DeviceList));
  EXPECT_GE(list.left, status.right);
  EXPECT_EQ(80, list.left);
  EXPECT_EQ(249, list.right - list.left);
  EXPECT_EQ(21, list.bottom - list.top);  // the closed box, without its list

  // The demo's enclosures with the companion entry, the first selected.
  ASSERT_EQ(12, ListCount());
  char item[128] = {};
  SendMessageA(H(window->DeviceList), CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(item));
  EXPECT_STREQ("<<USB>> Tavrion TX40775 Disk    ", item);
  EXPECT_EQ(0, SendMessageA(H(window->DeviceList), CB_GETCURSEL, 0, 0));
  SendMessageA(H(window->FwSizeCheck), CB_GETLBTEXT, 5, reinterpret_cast<LPARAM>(item));
  EXPECT_STREQ("   1MB", item);
  EXPECT_EQ("16 KB", TextOf(H(window->FwPgSizeCheck)));
}

TEST_F(GuiTest, ControlsUseTheWindowFontAndTheSizeBoxItsLargerOne) {
  auto fontOf = [&](const app::Control& c) {
    LOGFONTA lf{};
    auto font = reinterpret_cast<HFONT>(SendMessageA(H(c), WM_GETFONT, 0, 0));
    GetObjectA(font, sizeof lf, &lf);
    return lf;
  };
  const LOGFONTA status = fontOf(window->StatusEdit);
  EXPECT_EQ(-11, status.lfHeight);
  EXPECT_STREQ("MS Sans Serif", status.lfFaceName);
  EXPECT_EQ(-11, fontOf(window->UpdateBtn).lfHeight);
  EXPECT_EQ(-13, fontOf(window->FwSizeCheck).lfHeight);
}

TEST_F(GuiTest, RdVersionClickShowsThePanelAndGrowsTheWindow) {
  SendMessageA(H(window->RdCheckBox), BM_CLICK, 0, 0);
  EXPECT_EQ(BST_CHECKED, SendMessageA(H(window->RdCheckBox), BM_GETCHECK, 0, 0));
  EXPECT_TRUE(IsWindowVisible(H(window->RdPanel)));
  EXPECT_TRUE(IsWindowVisible(H(window->EraseOnlyCheck)));
  EXPECT_EQ(420, ClientHeight());

  SendMessageA(H(window->EraseOnlyCheck), BM_CLICK, 0, 0);
  EXPECT_TRUE(window->EraseOnlyCheck.checked());

  SendMessageA(H(window->RdCheckBox), BM_CLICK, 0, 0);
  EXPECT_FALSE(IsWindowVisible(H(window->RdPanel)));
  EXPECT_EQ(291, ClientHeight());
  EXPECT_TRUE(window->EraseOnlyCheck.checked());  // hidden boxes keep their marks
}

TEST_F(GuiTest, UserInputReachesTheModelAndModelChangesReachTheScreen) {
  SendMessageA(H(window->DeviceList), CB_SETCURSEL, 2, 0);
  Notify(window->DeviceList, CBN_SELCHANGE);
  EXPECT_EQ(2, window->DeviceList.itemIndex());

  SendMessageA(H(window->FlashTypeList), CB_SETCURSEL, 2, 0);
  Notify(window->FlashTypeList, CBN_SELCHANGE);
  EXPECT_EQ("SST SST39LF512", window->FlashTypeList.text());

  SetWindowTextA(H(window->FwFilenameEdit), "C:\\typed.bin");  // sends EN_CHANGE
  EXPECT_EQ("C:\\typed.bin", window->FwFilenameEdit.text());

  window->ShowStatus("Erase...");
  EXPECT_EQ("Erase...", TextOf(H(window->StatusEdit)));
  window->UpdateBtn.SetEnabled(true);
  EXPECT_TRUE(IsWindowEnabled(H(window->UpdateBtn)));
  window->NVRAMCheck.SetChecked(true);
  EXPECT_EQ(BST_CHECKED, SendMessageA(H(window->NVRAMCheck), BM_GETCHECK, 0, 0));
  window->DeviceList.Clear();
  window->DeviceList.Add("No available device!!!");
  window->DeviceList.SetItemIndex(0);
  EXPECT_EQ(1, ListCount());
  EXPECT_EQ("No available device!!!", TextOf(H(window->DeviceList)));
}

TEST_F(GuiTest, SelectedEntriesShowTheirChipAndADroppedImageEnablesRun) {
  Select(0);
  EXPECT_EQ("TX40775 Series", TextOf(H(window->ChipLabelEdit)));
  EXPECT_EQ("PMC", TextOf(H(window->SFlashTypeLable)));
  EXPECT_EQ("2.05.01", TextOf(H(window->FwVerLableEdit)));
  EXPECT_EQ("EF", TextOf(H(window->DiskLetterLable)));
  EXPECT_FALSE(IsWindowEnabled(H(window->UpdateBtn)));

  // The image written for this entry, dropped as a real HDROP.
  const std::string image = DemoImage(0);
  ASSERT_FALSE(image.empty());
  SendMessageA(hwnd, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({image})), 0);
  EXPECT_EQ(image, TextOf(H(window->FwFilenameEdit)));
  EXPECT_TRUE(g_boxes.empty());
  EXPECT_TRUE(IsWindowEnabled(H(window->UpdateBtn)));

  // The storage controller refuses it: the box, and Run off.
  Select(3);
  EXPECT_EQ("TXV929 Series", TextOf(H(window->ChipLabelEdit)));
  EXPECT_EQ("WINBOND", TextOf(H(window->SFlashTypeLable)));
  ASSERT_EQ(1u, g_boxes.size());
  EXPECT_EQ("The firmware file seems not match this chip!", g_boxes[0].text);
  EXPECT_EQ("Message", g_boxes[0].caption);
  EXPECT_FALSE(IsWindowEnabled(H(window->UpdateBtn)));

  // The parallel-flash bridge takes any image not numbered "77..": it shows
  // its flash part list instead of the serial-flash type.
  Select(2);
  EXPECT_EQ("TX40776 Series", TextOf(H(window->ChipLabelEdit)));
  EXPECT_TRUE(IsWindowVisible(H(window->FlashTypeList)));
  EXPECT_FALSE(IsWindowVisible(H(window->SFlashTypeLable)));
  EXPECT_TRUE(IsWindowEnabled(H(window->UpdateBtn)));
  EXPECT_EQ(1u, g_boxes.size());

  // The bridge behind the controller, through its companion entry, with the
  // file name put in the field.
  Select(4);
  SendMessageA(hwnd, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({DemoImage(4)})), 0);
  EXPECT_EQ("TXV929/847 Series", TextOf(H(window->ChipLabelEdit)));
  EXPECT_EQ("MXIC", TextOf(H(window->SFlashTypeLable)));
  EXPECT_EQ("03.04.05.06.07", TextOf(H(window->FwVerLableEdit)));
  EXPECT_TRUE(IsWindowEnabled(H(window->UpdateBtn)));
  EXPECT_EQ(2u, g_boxes.size());  // the mismatch of the old name on selection

  // A chip the utility cannot update.
  Select(6);
  EXPECT_EQ("TX40778", TextOf(H(window->ChipLabelEdit)));
  EXPECT_EQ("Not Tavrion Chip!!", TextOf(H(window->StatusEdit)));
  EXPECT_FALSE(IsWindowVisible(H(window->FwVerLableEdit)));
}

TEST_F(GuiTest, DroppedFilesThroughARealDropHandle) {
  const std::string image = DemoImage(0);
  SendMessageA(hwnd, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({image})), 0);
  EXPECT_EQ(image, TextOf(H(window->FwFilenameEdit)));
  EXPECT_TRUE(g_boxes.empty());

  SendMessageA(hwnd, WM_DROPFILES,
               reinterpret_cast<WPARAM>(MakeDrop({"C:\\a.bin", "C:\\b.bin"})), 0);
  ASSERT_EQ(1u, g_boxes.size());
  EXPECT_EQ("Please Drag and Drop One File Only!", g_boxes[0].text);
  EXPECT_EQ("Tavrion TX4077x Firmware Update Utility", g_boxes[0].caption);
  EXPECT_EQ(image, TextOf(H(window->FwFilenameEdit)));
}

TEST_F(GuiTest, DeviceChangeArmsTheRefreshTimer) {
  const int entries = ListCount();
  const int devices = window->deviceCount;
  machine.Detach(window->devices[2].path);
  SendMessageA(hwnd, WM_DEVICECHANGE, 0x8004, 0);
  EXPECT_EQ(entries, ListCount());  // nothing before the wait is over
  Pump(600);
  EXPECT_EQ(entries - 1, ListCount());
  EXPECT_EQ(devices - 1, window->deviceCount);

  // Arrival waits 1.2 s; an ignored event code arms nothing.
  sim::AttachOptions plugged;
  plugged.serial = "0000000009";
  plugged.diskNumber = 20;
  sim::AttachProfile(machine, *sim::FindProfile("tx40777"), plugged);
  SendMessageA(hwnd, WM_DEVICECHANGE, 0x8001, 0);
  Pump(300);
  EXPECT_EQ(entries - 1, ListCount());
  SendMessageA(hwnd, WM_DEVICECHANGE, 0x8000, 0);
  Pump(600);
  EXPECT_EQ(entries - 1, ListCount());
  Pump(1200);
  EXPECT_EQ(entries, ListCount());
}

TEST_F(GuiTest, TimerOneHundredOneRefreshesAtOnce) {
  const int entries = ListCount();
  machine.Detach(window->devices[0].path);
  SendMessageA(hwnd, WM_TIMER, 100, 0);  // not ours
  EXPECT_EQ(entries, ListCount());
  SendMessageA(hwnd, WM_TIMER, 101, 0);
  EXPECT_EQ(entries - 1, ListCount());
}

TEST_F(GuiTest, ExitClosesTheWindowAndLeavesVendorMode) {
  // The CD-ROM unit is listed last and carries the vendor-mode mark.
  const int last = ListCount() - 1;
  const std::string cdPath = window->devices[last].path;
  ASSERT_EQ(1, window->devices[last].vendorModeFlag);
  machine.ClearTranscript();
  SendMessageA(H(window->ExitBtn), BM_CLICK, 0, 0);
  Pump(100);
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_EQ(std::vector<std::string>{cdPath}, LeaveVendorModePaths());
}

TEST_F(GuiTest, CloseBoxDuringARunWaitsForTheRun) {
  window->Dispatch([&] {
    PostMessageA(hwnd, WM_CLOSE, 0, 0);
    Pump(100);  // the run lets the window process its messages
    EXPECT_TRUE(IsWindow(hwnd));
    EXPECT_TRUE(LeaveVendorModePaths().empty());
  });
  Pump(100);
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_EQ(1u, LeaveVendorModePaths().size());
}

TEST_F(GuiTest, ErrorsInHandlersAreShownWithoutStoppingTheWindow) {
  window->Dispatch([] { throw std::runtime_error("Invalid pointer operation"); });
  ASSERT_EQ(1u, g_boxes.size());
  EXPECT_EQ("Invalid pointer operation", g_boxes[0].text);
  EXPECT_EQ("Tavrion TX4077x Firmware Update Utility", g_boxes[0].caption);
  EXPECT_TRUE(IsWindow(hwnd));
}

TEST_F(GuiTest, TaskBarButtonCarriesTheApplicationTitle) {
  // The main window is owned by the application window, so only that one is
  // in the task bar; the caption stays the window's own.
  HWND app = view->applicationWindow();
  ASSERT_NE(nullptr, app);
  EXPECT_EQ(app, GetWindow(hwnd, GW_OWNER));
  EXPECT_EQ(nullptr, GetWindow(app, GW_OWNER));
  EXPECT_TRUE(IsWindowVisible(app));
  EXPECT_FALSE(GetWindowLongPtrA(app, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
  EXPECT_EQ("Tavrion TX4077x Firmware Update Utility", TextOf(app));
  EXPECT_EQ(" TX4077x FW Update Utility v1.19.01", TextOf(hwnd));

  // Minimizing the window minimizes the task-bar entry, which takes the
  // window along; closing the entry closes the window.
  SendMessageA(hwnd, WM_SYSCOMMAND, SC_MINIMIZE, 0);
  Pump(50);
  EXPECT_TRUE(IsIconic(app));
  EXPECT_FALSE(IsWindowVisible(hwnd));
  SendMessageA(app, WM_SYSCOMMAND, SC_RESTORE, 0);
  Pump(50);
  EXPECT_TRUE(IsWindowVisible(hwnd));
  SendMessageA(app, WM_CLOSE, 0, 0);
  Pump(100);
  EXPECT_FALSE(IsWindow(hwnd));
}

TEST_F(GuiTest, FocusStartsOnTheFirstControlAndComesBackAfterABox) {
  // The file name leads the keyboard order once the panels and the
  // read-only chip field are passed over.
  EXPECT_EQ(H(window->FwFilenameEdit), GetFocus());

  SetFocus(H(window->LoadBtn));
  SendMessageA(hwnd, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({"C:\\a", "C:\\b"})), 0);
  Pump(50);
  ASSERT_EQ(1u, g_boxes.size());
  // Without owner, yet task-modal: the main window is disabled under the box.
  EXPECT_TRUE(g_boxes[0].ownerless);
  EXPECT_FALSE(g_boxes[0].mainEnabled);
  EXPECT_TRUE(IsWindowEnabled(hwnd));
  EXPECT_EQ(H(window->LoadBtn), GetFocus());

  // A control that is disabled while focused gets the focus back when it is
  // enabled again (Run during its run).
  window->UpdateBtn.SetEnabled(true);
  SetFocus(H(window->UpdateBtn));
  window->UpdateBtn.SetEnabled(false);
  window->Message("Please power off and on the device.", "Message");
  window->UpdateBtn.SetEnabled(true);
  EXPECT_EQ(H(window->UpdateBtn), GetFocus());
}

// Lets the run's waits drive the test: each slice of waiting calls back.
class HookedHost : public app::WaitingHost {
 public:
  HookedHost(host::Host& inner, std::function<void()> onSlice)
      : app::WaitingHost(inner, [onSlice](std::uint32_t ms, host::Clock& clock) {
          onSlice();
          clock.Sleep(ms);
        }) {}
};

TEST_F(GuiTest, RunWaitsKeepTheWindowPaintedAndMovableWithCommandsDeferred) {
  Select(0);
  SendMessageA(hwnd, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({DemoImage(0)})), 0);
  ASSERT_TRUE(IsWindowEnabled(H(window->UpdateBtn)));

  RECT start;
  GetWindowRect(hwnd, &start);
  int slices = 0;
  bool painted = false, moved = false, panelDuringRun = true;
  HookedHost hooked(machine, [&] {
    if (!window->running()) return;
    ++slices;
    if (slices == 1) {
      // Uncover the window, drag it by its caption 40 right and 30 down, and
      // click "RD Version": all as queued messages.
      InvalidateRect(hwnd, nullptr, TRUE);
      POINT grab{start.left + 60, start.top + 8};
      PostMessageA(hwnd, WM_NCLBUTTONDOWN, HTCAPTION, MAKELPARAM(grab.x, grab.y));
      POINT to{grab.x + 40, grab.y + 30};
      ScreenToClient(hwnd, &to);
      PostMessageA(hwnd, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(to.x, to.y));
      PostMessageA(hwnd, WM_LBUTTONUP, 0, MAKELPARAM(to.x, to.y));
      PostMessageA(H(window->RdCheckBox), BM_CLICK, 0, 0);
    } else if (slices == 3) {
      RECT now;
      GetWindowRect(hwnd, &now);
      moved = now.left == start.left + 40 && now.top == start.top + 30;
      painted = GetUpdateRect(hwnd, nullptr, FALSE) == FALSE;
      panelDuringRun = window->RdPanel.visible();
    }
  });
  {
    host::ScopedHost slowed(hooked);
    SendMessageA(H(window->UpdateBtn), BM_CLICK, 0, 0);
  }
  EXPECT_GE(slices, 3);
  EXPECT_TRUE(painted);
  EXPECT_TRUE(moved);
  EXPECT_FALSE(panelDuringRun);  // the click waited for the run
  EXPECT_EQ("Programming Success!!", window->StatusEdit.text());
  EXPECT_TRUE(IsWindowVisible(H(window->RdPanel)));
  EXPECT_TRUE(IsWindowEnabled(H(window->UpdateBtn)));
}

TEST_F(GuiTest, RunAsksBeforeWritingAnImageRefusedForTheChip) {
  // The controller's image on the first bridge, Run enabled as "Load File"
  // leaves it after the mismatch notice.
  Select(0);
  SendMessageA(hwnd, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({DemoImage(3)})), 0);
  ASSERT_EQ(1u, g_boxes.size());
  window->UpdateBtn.SetEnabled(true);
  g_boxes.clear();
  machine.ClearTranscript();

  g_answer = IDNO;
  SendMessageA(H(window->UpdateBtn), BM_CLICK, 0, 0);
  ASSERT_EQ(1u, g_boxes.size());
  EXPECT_EQ("The firmware file seems not match this chip! Program it anyway?", g_boxes[0].text);
  EXPECT_EQ(IDNO, g_boxes[0].defaultButton);
  EXPECT_EQ(IDNO, g_boxes[0].focused);  // Enter answers No
  EXPECT_FALSE(g_boxes[0].mainEnabled);
  EXPECT_TRUE(machine.transcript().empty());
  EXPECT_TRUE(IsWindowEnabled(H(window->UpdateBtn)));
  EXPECT_EQ(H(window->UpdateBtn), GetFocus());

  g_answer = IDYES;
  SendMessageA(H(window->UpdateBtn), BM_CLICK, 0, 0);
  EXPECT_FALSE(machine.transcript().empty());
  EXPECT_NE(program::RunOutcome::NothingRan, window->lastOutcome);
}

TEST_F(GuiTest, LayoutScalesWithTheWindowsDpi) {
  // tools run this test once more at 144 dpi and say so in TX_EXPECT_DPI.
  const char* expected = std::getenv("TX_EXPECT_DPI");
  const int dpi = view->dpi();
  EXPECT_EQ(expected != nullptr ? std::atoi(expected) : 96, dpi);
  auto scaled = [&](int pixels) { return MulDiv(pixels, dpi, 96); };

  SendMessageA(H(window->RdCheckBox), BM_CLICK, 0, 0);  // the panel's controls too
  for (app::Control* c : window->controls()) {
    if (c->kind() == app::ControlKind::Label) continue;  // sized to their text
    SCOPED_TRACE(c->name());
    const RECT r = PlaceOf(H(*c));
    const app::Bounds& b = c->bounds();
    EXPECT_EQ(scaled(b.left), r.left);
    EXPECT_EQ(scaled(b.top), r.top);
    EXPECT_EQ(scaled(b.width), r.right - r.left);
    // A combo box's closed height follows its font; the others are exact.
    if (c->kind() != app::ControlKind::ComboBox) {
      EXPECT_EQ(scaled(b.height), r.bottom - r.top);
    }
  }
  RECT client;
  GetClientRect(hwnd, &client);
  EXPECT_EQ(scaled(347), client.right);
  EXPECT_EQ(scaled(420), client.bottom);
  LOGFONTA lf{};
  GetObjectA(reinterpret_cast<HFONT>(SendMessageA(H(window->StatusEdit), WM_GETFONT, 0, 0)),
             sizeof lf, &lf);
  EXPECT_EQ(-scaled(11), lf.lfHeight);
  const RECT label = PlaceOf(view->LabelOf(window->StatusEdit));
  EXPECT_EQ(scaled(80) - scaled(3), label.right);
}

TEST_F(GuiTest, ALongFirmwarePathShowsItsFileName) {
  const std::filesystem::path image = DemoImage(0);
  const std::filesystem::path deep = image.parent_path() /
      "a folder with a rather long name to push the file name out of sight" / "and another";
  std::filesystem::create_directories(deep);
  const std::filesystem::path copy = deep / image.filename();
  std::filesystem::copy_file(image, copy);
  const std::string path = copy.string();
  SendMessageA(hwnd, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({path})), 0);
  ASSERT_EQ(path, TextOf(H(window->FwFilenameEdit)));

  // The last character is in view, the first scrolled out to the left.
  HWND edit = H(window->FwFilenameEdit);
  RECT client;
  GetClientRect(edit, &client);
  const LRESULT last = SendMessageA(edit, EM_POSFROMCHAR, path.size() - 1, 0);
  EXPECT_GE(static_cast<short>(LOWORD(last)), 0);
  EXPECT_LT(static_cast<short>(LOWORD(last)), client.right);
  const LRESULT first = SendMessageA(edit, EM_POSFROMCHAR, 0, 0);
  EXPECT_LT(static_cast<short>(LOWORD(first)), 0);
}

TEST_F(GuiTest, ActivatingTheProgramWhileABoxIsUpGivesTheBoxTheKeys) {
  bool boxActive = false, enterAnswered = false;
  g_whileUp = [&](HWND box) {
    // The task-bar button (or Alt+Tab) activates the application window.
    SetForegroundWindow(view->applicationWindow());
    PumpBox(box, 100);
    boxActive = GetActiveWindow() == box && IsChild(box, GetFocus());
    Key(VK_RETURN);
    PumpBox(box, 1000);
    enterAnswered = !IsWindowVisible(box);
    return enterAnswered;
  };
  SetFocus(H(window->LoadBtn));
  window->Message("Please power off and on the device.", "Message");
  EXPECT_TRUE(boxActive);
  EXPECT_TRUE(enterAnswered);
  // Afterwards the main window is active, with its focus where it was.
  Pump(100);
  EXPECT_EQ(hwnd, GetForegroundWindow());
  EXPECT_EQ(H(window->LoadBtn), GetFocus());
}

TEST_F(GuiTest, KeysInTheFieldsTheListAndTheButtons) {
  Select(0);
  // A typed name is checked on Enter, not at each keystroke.
  SetFocus(H(window->FwFilenameEdit));
  Type(DemoImage(3));
  EXPECT_TRUE(g_boxes.empty());
  EXPECT_EQ(DemoImage(3), window->FwFilenameEdit.text());
  Key(VK_RETURN);
  Pump(100);
  ASSERT_EQ(1u, g_boxes.size());
  EXPECT_EQ("The firmware file seems not match this chip!", g_boxes[0].text);

  // Or when Tab moves on; a folder gives its one box.
  SendMessageA(H(window->FwFilenameEdit), EM_SETSEL, 0, -1);
  Type(std::filesystem::path(DemoImage(0)).parent_path().string());
  Key(VK_TAB);
  Pump(100);
  ASSERT_EQ(2u, g_boxes.size());
  EXPECT_EQ("Open Firmware File Error!!", g_boxes[1].text);
  SetFocus(H(window->FwFilenameEdit));
  SendMessageA(H(window->FwFilenameEdit), EM_SETSEL, 0, -1);
  Type(DemoImage(0));
  Key(VK_TAB);
  Pump(100);
  EXPECT_EQ(2u, g_boxes.size());
  EXPECT_TRUE(IsWindowEnabled(H(window->UpdateBtn)));

  // Enter on the focused Run button starts nothing.
  machine.ClearTranscript();
  SetFocus(H(window->UpdateBtn));
  Key(VK_RETURN);
  Pump(100);
  EXPECT_EQ(program::RunOutcome::NothingRan, window->lastOutcome);
  EXPECT_TRUE(machine.transcript().empty());

  // A read-only field takes the focus without a caret; the file name has one.
  GUITHREADINFO caret{};
  caret.cbSize = sizeof caret;
  SetFocus(H(window->StatusEdit));
  GetGUIThreadInfo(GetCurrentThreadId(), &caret);
  EXPECT_EQ(nullptr, caret.hwndCaret);
  SetFocus(H(window->FwFilenameEdit));
  GetGUIThreadInfo(GetCurrentThreadId(), &caret);
  EXPECT_EQ(H(window->FwFilenameEdit), caret.hwndCaret);

  // Down in the list: the box about the new entry finds its chip shown.
  SetFocus(H(window->DeviceList));
  Key(VK_DOWN);
  Pump(200);
  EXPECT_EQ(1, window->DeviceList.itemIndex());
  ASSERT_EQ(3u, g_boxes.size());
  EXPECT_EQ("The firmware file seems not match this chip!", g_boxes[2].text);
  EXPECT_EQ(window->ChipLabelEdit.text(), g_boxes[2].chipShown);
  EXPECT_NE("TX40775 Series", g_boxes[2].chipShown);
}

TEST_F(GuiTest, AltLettersPressButtonsAndClickBoxesAndEscapeIsExit) {
  // The captions keep their text; the letter is marked for Windows to underline.
  for (app::Control* c : window->controls()) {
    if (c->kind() != app::ControlKind::Button && c->kind() != app::ControlKind::CheckBox) continue;
    std::string shown = TextOf(H(*c));
    ASSERT_NE(std::string::npos, shown.find('&')) << c->name();
    shown.erase(shown.find('&'), 1);
    EXPECT_EQ(c->text(), shown);
  }
  Key('E', true);
  Pump(100);
  EXPECT_FALSE(window->EraseOnlyCheck.checked());  // its panel is closed
  Key('V', true);
  Pump(100);
  EXPECT_TRUE(IsWindowVisible(H(window->RdPanel)));
  Key('B', true);
  Pump(100);
  EXPECT_TRUE(window->BackupFWCheckBox.checked());

  // Alt+L opens the file dialog with its filter.
  std::string filter;
  g_answer = IDCANCEL;
  g_whileUp = [&](HWND dialog) {
    char item[64] = {};
    SendDlgItemMessageA(dialog, cmb1, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(item));
    filter = item;
    return false;
  };
  Key('L', true);
  Pump(300);
  EXPECT_EQ("Binary File (*.bin)", filter);

  // Alt+R runs: a backup of the flash.
  window->BackupFileEdit.SetText(DemoImage(0) + ".bak");
  Key('R', true);
  Pump(300);
  EXPECT_EQ(program::RunOutcome::Succeeded, window->lastOutcome);

  Key(VK_ESCAPE);
  Pump(200);
  EXPECT_FALSE(IsWindow(hwnd));
}

// A host whose commands call back before they are carried out.
class CommandIo : public host::ForwardingPassThrough {
 public:
  CommandIo(host::PassThroughIo& inner, std::function<void(const host::PassThroughRequest&)> onCommand)
      : host::ForwardingPassThrough(inner), onCommand_(std::move(onCommand)) {}
  bool PassThrough(host::Handle handle, host::PassThroughRequest& request,
                   std::uint32_t& lastError) override {
    onCommand_(request);
    return host::ForwardingPassThrough::PassThrough(handle, request, lastError);
  }

 private:
  std::function<void(const host::PassThroughRequest&)> onCommand_;
};

TEST_F(GuiTest, ClosingDuringARunWaitsForTheRunAndItsLastBox) {
  // The parallel-flash bridge: its last read blocks the thread, and its
  // power-cycle box follows without the window processing messages.
  Select(2);
  SendMessageA(hwnd, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop({DemoImage(2)})), 0);
  ASSERT_TRUE(IsWindowEnabled(H(window->UpdateBtn)));
  bool programmed = false, typedAhead = false;
  LRESULT sessionMayEnd = TRUE;
  CommandIo commandIo(machine, [&](const host::PassThroughRequest& r) {
    if (!programmed) {
      programmed = r.dataIn == 0 && r.dataTransferLength == 0x10000;
      if (programmed) {
        // During the run: the session end asks, the task bar closes.
        sessionMayEnd = SendMessageA(hwnd, WM_QUERYENDSESSION, 0, 0);
        PostMessageA(view->applicationWindow(), WM_CLOSE, 0, 0);
      }
    } else if (!typedAhead) {
      Key(VK_F4, true);  // Alt+F4 while the read keeps the thread
      typedAhead = true;
    }
  });
  struct : host::ForwardingHost {
    using ForwardingHost::ForwardingHost;
    host::PassThroughIo* io = nullptr;
    host::PassThroughIo& passThrough() override { return *io; }
  } commands(machine);
  commands.io = &commandIo;
  {
    host::ScopedHost scope(commands);
    SendMessageA(H(window->UpdateBtn), BM_CLICK, 0, 0);
    EXPECT_TRUE(IsWindow(hwnd));
  }
  EXPECT_TRUE(typedAhead);
  EXPECT_EQ(FALSE, sessionMayEnd);
  ASSERT_EQ(1u, g_boxes.size());
  EXPECT_EQ("Please Turn-Off the Power and Turn-On Again!", g_boxes[0].text);
  EXPECT_TRUE(g_boxes[0].upWhenAnswered);
  EXPECT_TRUE(LeaveVendorModePaths().empty());
  Pump(200);
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_EQ(1u, LeaveVendorModePaths().size());
}

}  // namespace
