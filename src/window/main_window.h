// The main window: every control, the device table and the identification
// results, the handlers the controls are wired to, and the window's own
// messages (timer 101, device change, dropped files). It knows no toolkit:
// it reaches the screen only through ui::WindowSystem.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "window/controls.h"
#include "window/version.h"
#include "scsi/chip_state.h"
#include "scsi/device_record.h"
#include "host/host.h"
#include "host/ui.h"
#include "identify/image_fingerprint.h"
#include "engine/procedure_table.h"
#include "engine/settings.h"
#include "texts.h"

namespace identify {
struct ChipIdentity;
struct Identification;
}  // namespace identify

namespace app {

inline constexpr char kWindowCaption[] = " " TX_UTILITY_NAME " " TX_UTILITY_VERSION;
inline constexpr char kWindowClass[] = "TT77xFwTool";
inline constexpr char kWindowObjectName[] = "T77xFwTool";
inline constexpr int kClientWidth = 347;
inline constexpr int kClientHeight = 420;
inline constexpr unsigned kRefreshTimer = 101;
inline constexpr unsigned kArrivalWaitMs = 1200;
inline constexpr unsigned kOtherChangeWaitMs = 200;
inline constexpr unsigned kDropPathSize = 260;

// The shared file-open dialog (not a visible control).
struct OpenDialog {
  std::string filter = kOpenDialogFilter;
  std::string defaultExt = "bin";
  std::string initialDir;
  std::string fileName;
  // Shows the dialog; true with fileName set when the user chose a file.
  bool Execute(ui::WindowSystem& ws);
};

class MainWindow {
 public:
  // Builds the controls and runs the first device refresh; the window is not
  // shown yet.
  explicit MainWindow(ui::WindowSystem& ws);
  // Runs the destruction steps if the view has not done so already.
  ~MainWindow();
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // The create event, once the real window exists: device-change
  // registration and dropped files.
  void FormCreate();
  // Unregisters and sends LeaveVendorMode to the marked records; once.
  void FormDestroy();

  // --- controls on the window, in creation order ---------------------------
  Edit ChipLabelEdit;
  Button RefreshBtn;
  Label diskLabel;
  ComboBox DeviceList;
  Edit FwFilenameEdit;
  Button LoadBtn;
  Edit DiskLetterLable;
  Edit FwVerLableEdit;
  Edit SFlashTypeLable;
  Label FwPgBurnSizeLabel;
  ComboBox FwPgSizeCheck;
  Label FlashTypeLabel;
  ComboBox FlashTypeList;
  Edit StatusEdit;
  Button UpdateBtn;
  Button ExitBtn;
  CheckBox RdCheckBox;
  Panel Panel1;
  Panel RdPanel;
  // --- controls inside RdPanel ----------------------------------------------
  CheckBox A1ChipCheck;
  CheckBox TXV929HDDFwChk;
  CheckBox ChkSumChk;
  ComboBox TX929Path;
  CheckBox EraseOnlyCheck;
  CheckBox NVRAMCheck;
  CheckBox BackupFWCheckBox;
  Button BackupBtn;
  ComboBox FwSizeCheck;
  Label FwSizeLable;
  Edit BackupFileEdit;
  OpenDialog OpenDialog1;

  // --- window state, in its order -------------------------------------------
  ui::NotifyHandle notifyHandle = 0;
  device::DeviceRecord devices[device::kMaxDevices] = {};
  std::int32_t deviceCount = 0;
  // Records the last refresh wrote (entries of DeviceList, companions
  // included); records from here on are left over from earlier refreshes.
  std::int32_t recordCount = 0;
  // The selected chip as identification found it, with the "Erase All Flash
  // Only " and "Include 4K NVRAM" flags; a run copies it when Run is pressed.
  device::ChipState chip;
  std::int32_t imageSignatureResult = 0;
  // The image file as the last checks that read it saw it (see WindowRun).
  std::optional<identify::ImageFingerprint> checkedImage;
  // Whether the last identification of the selected entry read the flash
  // size and the bridge version itself; where it did not, chip keeps the
  // values an earlier selection left.
  bool flashSizeMeasured = false;
  bool bridgeVersionRead = false;
  // The firmware bank (0 or 1) the last selection found damaged and left as
  // it was, where the window system said not to repair on selection; -1 none.
  int damagedBank = -1;

  int clientHeight = kClientHeight;
  // The procedure the last press of Run chose by the dispatch table.
  program::Procedure lastProcedure = program::Procedure::None;
  // How the last press of Run ended, from what its procedure returned.
  program::RunOutcome lastOutcome = program::RunOutcome::NothingRan;
  // What the size boxes set and identification found, for the life of the
  // window; its runs read and set them (see WindowRun).
  program::TransferSettings transferSettings;
  program::EraseGeometry eraseGeometry;

  // --- handlers, by the names the controls are wired to ---------------------
  void RefreshBtnClick(Control& sender);
  void UpdateBtnCheck(Control& sender);
  void LoadBtnClick(Control& sender);
  void UpdateBtnClick(Control& sender);
  void ExitBtnClick(Control& sender);
  void RdCheckBoxClick(Control& sender);
  void EraseOnlyCheckClick(Control& sender);
  void NVRAMCheckClick(Control& sender);
  void FwSizeCheckChange(Control& sender);
  void FwPgSizeCheckChange(Control& sender);
  void BackupBtnClick(Control& sender);

  // --- the window's messages, as the view receives them ---------------------
  void OnTimer(unsigned id);
  void OnDeviceChange(std::uintptr_t event);
  // Always finishes the drop handle.
  void OnDropFiles(ui::DropHandle& drop);
  // The close box or a close request: true when the window may go now. While
  // an event is running (a run, its last box included) the close is put off
  // and carried out once the event has ended.
  bool QueryClose();
  // The session is about to end: true when it may. While an event is running
  // the answer is no, and the window closes once the event has ended so that
  // the waiting session end can go on.
  bool QueryEndSession();
  // The session ends now (ending), or goes on after all. Ending while idle
  // runs the destruction steps, since the window gets no close; ending during
  // an event cannot be held and sends nothing more to the devices.
  void EndSession(bool ending);
  // The user finished typing in an edit (Enter, or the focus moved on to
  // another control): its change handler runs now, or after the running event.
  void FinishTyping(Edit& field);
  // Escape: Exit, except while an event is running (it never ends a run).
  void OnEscape();

  // --- services for the handlers and procedures -----------------------------
  ui::WindowSystem& ws() { return ws_; }
  // Runs one event (a handler and what it sets off). An exception escaping it
  // is shown in an error box; when the outermost event ends, a refresh or a
  // close that arrived meanwhile is carried out.
  void Dispatch(const std::function<void()>& event);
  // True while an event is running (and possibly processing messages).
  bool busy() const { return depth_ > 0; }
  // The host the handlers and procedures use: the one the outermost event
  // took (its clock waits through the window system), or outside events the
  // one start-up installed.
  host::Host& host() const;
  // True while Run's procedure is in progress. The controls stay live, but
  // their handlers wait until it ends: they would send commands to the device
  // or change the record, the options or the settings the run relies on.
  bool running() const { return running_; }
  // Replaces the status line and paints it; with pump, pending messages are
  // processed too.
  void ShowStatus(const std::string& text, bool pump = true);
  void AppendStatus(const std::string& piece, bool pump = true);
  void ProcessMessages() { ws_.ProcessMessages(); }
  void Message(const std::string& text, const std::string& caption, ui::Icon icon = ui::Icon::None);

  // Every control in creation order (the view builds them in this order).
  const std::vector<Control*>& controls() const { return controls_; }
  // Keyboard order: the window's controls, then those inside RdPanel.
  std::vector<Control*> TabOrder();
  Control* Find(const std::string& name) const;

  bool destroyed() const { return destroyed_; }

 private:
  using HandlerMethod = void (MainWindow::*)(Control&);
  struct DeferredHandler {
    HandlerMethod handler;
    Control* sender;
  };

  // Construction: the access keys and the controls' initial states; every
  // control in creation order, those inside RdPanel parented to it.
  void SetInitialStates();
  void ListControls();
  void Wire();
  // A control event that arrives while Run is in progress.
  void DeferDuringRun(HandlerMethod handler, Control& sender);
  void RunDeferred();
  // The firmware bank repair of the selected record, from UpdateBtnCheck; runs
  // as a run does, so the events it lets through wait until it ends.
  void RepairFirmwareBanks(int selected, int eraseGeometryRow);
  // No device addressed: Run off, the chip's fields and the status empty.
  void ClearDeviceFields();
  // The steps of UpdateBtnCheck: identify the selected entry again (the
  // companion rule applied), show the family's controls (with the bridge
  // version where the chip reports it), identify and set up its flash, show
  // the running firmware's version.
  identify::Identification IdentifySelectedEntry(const device::DeviceRecord& record);
  void ShowFamilyControls(const char* path, const identify::ChipIdentity& identity, bool sbp2);
  void IdentifySelectedFlash(int selected, const identify::ChipIdentity& identity, bool sbp2);
  void ShowFirmwareVersion(const char* path);
  // The steps of RefreshBtnClick: the list when discovery found nothing; one
  // discovered device into record s, listed when its chip is recognised; the
  // bridges a storage controller reaches (each its own entry and record with
  // the controller's path, from record s on).
  void ListNoDevice();
  bool ListDevice(int s, const char* path, device::BusKind bus, const std::string& entryName);
  void AddCompanionEntries(int own, const std::string& entryName, int& s);
  // UpdateBtnClick once an entry is selected: the device held for the whole
  // run, the procedure chosen by the dispatch table and run.
  void RunSelected(const std::string& path, device::BusKind bus);

  ui::WindowSystem& ws_;
  std::vector<Control*> controls_;
  int depth_ = 0;
  host::Host* eventHost_ = nullptr;  // while the outermost event runs
  bool refreshPending_ = false;
  bool closePending_ = false;
  bool sessionEndPending_ = false;
  Edit* typingPending_ = nullptr;
  bool dropPending_ = false;
  std::string pendingDrop_;
  bool destroyed_ = false;
  bool running_ = false;
  friend class ProcedureScope;
  std::vector<DeferredHandler> deferredHandlers_;
};

// What a view does for the window at start-up besides the WindowSystem
// services: create the real window and its controls (hidden), and show it.
class View : public ui::WindowSystem {
 public:
  virtual void Realize(MainWindow& window) = 0;
  virtual void Show() = 0;
};

// Start-up order: construct the window (first refresh, RD panel hidden),
// create the real window, run the create event, then show it.
std::unique_ptr<MainWindow> StartMainWindow(View& view);

}  // namespace app
