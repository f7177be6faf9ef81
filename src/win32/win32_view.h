// The real Win32 main window: class TT77xFwTool, the controls of the window
// model as Win32 controls, and the window-system services on the real API.
// Built only by the Windows toolchain.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "window/main_window.h"

namespace app {

class Win32View : public View, private ControlObserver {
 public:
  explicit Win32View(HINSTANCE instance);
  ~Win32View() override;
  Win32View(const Win32View&) = delete;
  Win32View& operator=(const Win32View&) = delete;

  // --- ui::WindowSystem ------------------------------------------------
  void ShowMessage(const std::string& text, const std::string& caption, ui::Icon icon) override;
  bool AskYesNo(const std::string& text, const std::string& caption, ui::Icon icon) override;
  bool OpenFile(const ui::OpenFileRequest& request, std::string& path) override;
  std::string ProgramFolder() override;
  void ProcessMessages() override;
  void Wait(std::uint32_t milliseconds, host::Clock& clock) override;
  void Repaint(const std::string& control) override;
  void StartTimer(unsigned id, unsigned milliseconds) override;
  void StopTimer(unsigned id) override;
  ui::NotifyHandle RegisterDeviceChanges() override;
  void UnregisterDeviceChanges(ui::NotifyHandle handle) override;
  void AcceptDroppedFiles(bool accept) override;
  void SetClientHeight(int height) override;
  void CloseMainWindow() override;

  // --- View --------------------------------------------------------------
  void Realize(MainWindow& window) override;
  void Show() override;

  // Runs the message loop until the window is gone; returns 0.
  int RunMessageLoop();

  HWND hwnd() const { return hwnd_; }
  // A message box or the file dialog of this thread that is up, or null.
  HWND ModalBox() const;
  // The program was activated: the box that is up takes the activation and
  // the keyboard, else the main window does. again: and once more soon.
  void ActivateFront(bool again = true);
  // The hidden application window that owns the main window and stands for
  // the program in the task bar, under the application title.
  HWND applicationWindow() const { return appWindow_; }
  // The dots per inch the layout was scaled for (96 gives the designed pixels).
  int dpi() const { return dpi_; }
  int Scale(int pixels) const { return MulDiv(pixels, dpi_, 96); }
  HWND HandleOf(const Control& control) const;
  HWND LabelOf(const Control& control) const;  // the caption of a labelled edit
  int IdOf(const Control& control) const;
  Control* ControlById(int id) const;  // null for no control of the window

  static constexpr int kFirstControlId = 1000;
  // The application quits when its window goes; a test keeps its loop.
  bool quitOnDestroy = true;

  static LRESULT CALLBACK WindowProcEntry(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK PanelProcEntry(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK AppProcEntry(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

 private:
  void CreateWindows(MainWindow& window);
  // Stops mirroring the model: after this the view never touches it again.
  void Release();
  LRESULT Handle(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  void OnCommand(int id, int code);
  LRESULT ColourStatic(HDC dc, HWND control);
  void ControlChanged(Control& control, Property property) override;
  void CreateControl(Control& control, int id);
  struct ControlStyle;
  ControlStyle StyleOf(const Control& control, const Bounds& bounds) const;
  void FitClosedComboBox(HWND combo, int designedHeight);
  void CreateEditCaption(Edit& edit, const Bounds& bounds, HWND parent);
  void OnActivate(bool active);
  void OnFieldLeft(int id);
  void PushItems(ComboBox& combo);
  void PushSelection(ComboBox& combo);
  HWND ParentOf(const Control& control) const;
  DWORD WindowStyle() const;
  // The first control in keyboard order that can take the focus and show it.
  HWND FirstFocusable() const;
  // Remembers the focused control before a box or dialog takes the focus.
  void SaveFocus();
  void RestoreFocus();
  // A task-modal message box of the given MB_ type; the answer.
  int Box(const std::string& text, const std::string& caption, UINT type);
  // Moves the window by the mouse while a run keeps the thread: the
  // platform's own move loop would hold the run until the drag ends.
  bool HandleRunDrag(UINT message, WPARAM wParam, LPARAM lParam);

  HINSTANCE instance_;
  HWND hwnd_ = nullptr;
  HWND appWindow_ = nullptr;
  HWND lastFocus_ = nullptr;
  int dpi_ = 96;
  bool dragging_ = false;
  POINT dragOffset_{};
  MainWindow* window_ = nullptr;
  HFONT font_ = nullptr;
  HFONT largeFont_ = nullptr;
  HBRUSH faceBrush_ = nullptr;
  std::vector<Control*> byId_;
  std::map<const Control*, HWND> handles_;
  std::map<const Control*, HWND> labels_;
  std::map<HWND, Control*> owners_;  // control or label window -> control
  int pushing_ = 0;  // model state being copied to the screen: echoes are not input
};

// A drop handle over a real HDROP.
class Win32Drop : public ui::DropHandle {
 public:
  explicit Win32Drop(HDROP drop) : drop_(drop) {}
  unsigned QueryFile(unsigned index, char* buffer, unsigned size) override;
  void Finish() override;

 private:
  HDROP drop_;
};

// Registers the window classes once per process.
bool RegisterWindowClasses(HINSTANCE instance);

}  // namespace app
