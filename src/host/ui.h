// The seam between the main window's handlers and the window system. The
// handlers reach message boxes, the open dialog, timers, device-change
// registration and the message pump only through WindowSystem; the Win32
// view implements it with the real API, the headless view with a fake that
// runs on virtual time.
#pragma once

#include <cstdint>
#include <string>

#include "host/host.h"

namespace ui {

enum class Icon { None, Error, Warning, Information };

// The file-open dialog: filter in the "Name|*.ext|Name|*.ext" form, the
// extension added to a name typed without one, and the folder it opens in.
struct OpenFileRequest {
  std::string filter;
  std::string defaultExt;
  std::string initialDir;
};

// A registration for device-change notifications; 0 when there is none.
using NotifyHandle = std::uintptr_t;

// Device-change event codes the window reacts to.
inline constexpr std::uintptr_t kDeviceArrival = 0x8000;
inline constexpr std::uintptr_t kDeviceRemoveComplete = 0x8004;

// The files of one drop, asked the way DragQueryFileA answers: index
// 0xFFFFFFFF gives the count; otherwise the name is copied into buffer (at
// most size - 1 characters and a terminator) and its full length returned.
class DropHandle {
 public:
  static constexpr unsigned kCountQuery = 0xFFFFFFFFu;
  virtual ~DropHandle() = default;
  virtual unsigned QueryFile(unsigned index, char* buffer, unsigned size) = 0;
  virtual void Finish() = 0;
};

class WindowSystem {
 public:
  virtual ~WindowSystem() = default;

  // A modal box with one OK button and no owner.
  virtual void ShowMessage(const std::string& text, const std::string& caption, Icon icon) = 0;
  // A modal Yes/No question with No the default button and no owner; true
  // for Yes.
  virtual bool AskYesNo(const std::string& text, const std::string& caption, Icon icon) = 0;
  // Runs the open dialog; false when the user cancels.
  virtual bool OpenFile(const OpenFileRequest& request, std::string& path) = 0;
  // The folder of the running executable (the open dialog's first folder).
  virtual std::string ProgramFolder() = 0;

  // Handles every message waiting for the window, then returns.
  virtual void ProcessMessages() = 0;
  // One wait of a running event (a settle wait, a status poll), taken on the
  // given host's clock. The Win32 view keeps its window painted and movable
  // meanwhile; the window model still defers user commands as always.
  virtual void Wait(std::uint32_t milliseconds, host::Clock& clock) { clock.Sleep(milliseconds); }
  // Paints one control of the main window now, by its name.
  virtual void Repaint(const std::string& control) = 0;

  // A periodic timer of the main window; starting a running one restarts it.
  virtual void StartTimer(unsigned id, unsigned milliseconds) = 0;
  virtual void StopTimer(unsigned id) = 0;

  virtual NotifyHandle RegisterDeviceChanges() = 0;
  virtual void UnregisterDeviceChanges(NotifyHandle handle) = 0;
  virtual void AcceptDroppedFiles(bool accept) = 0;

  // The main window's client height after a layout change.
  virtual void SetClientHeight(int height) = 0;
  // Asks the main window to close; the window decides whether it may.
  virtual void CloseMainWindow() = 0;
  // Whether selecting a device may repair its damaged firmware bank now. The
  // window repairs on selection; a front end that only lists says no, and
  // the damage is then reported instead.
  virtual bool RepairsBanksOnSelection() { return true; }
};

}  // namespace ui
