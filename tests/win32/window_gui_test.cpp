// The real main window on the simulated enclosures, driven with real window
// messages and read back through the Win32 API. Message boxes are answered
// by a CBT hook so that nothing waits for a user.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/win32_view.h"
#include "host/host.h"
#include "sim/demo.h"
#include "sim/enclosure.h"
#include "sim/machine.h"
#include "sim/profiles.h"

namespace {

struct Box {
  std::string text;
  std::string caption;
};
std::vector<Box> g_boxes;

LRESULT CALLBACK AnswerMessageBoxes(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_ACTIVATE) {
    HWND dlg = reinterpret_cast<HWND>(wParam);
    char cls[32] = {};
    GetClassNameA(dlg, cls, sizeof cls);
    if (std::strcmp(cls, "#32770") == 0) {
      char text[512] = {};
      char caption[256] = {};
      GetDlgItemTextA(dlg, 0xFFFF, text, sizeof text);
      GetWindowTextA(dlg, caption, sizeof caption);
      g_boxes.push_back({text, caption});
      PostMessageA(dlg, WM_COMMAND, IDOK, 0);
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
    sim::AttachDemoEnclosures(machine);
    hook_ = SetWindowsHookExA(WH_CBT, AnswerMessageBoxes, nullptr, GetCurrentThreadId());
    view = std::make_unique<app::Win32View>(GetModuleHandleA(nullptr));
    view->quitOnDestroy = false;
    window = app::StartMainWindow(*view);
    hwnd = view->hwnd();
    Pump(50);
  }
  void TearDown() override {
    view.reset();  // destroys the real window while the model still exists
    window.reset();
    UnhookWindowsHookEx(hook_);
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
  EXPECT_EQ("Run", TextOf(H(window->UpdateBtn)));
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
  // file name typed.
  Select(4);
  SetWindowTextA(H(window->FwFilenameEdit), DemoImage(4).c_str());
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

}  // namespace
