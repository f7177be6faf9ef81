#include "window/main_window.h"

#include <exception>
#include <optional>
#include <utility>

#include "window/waiting_host.h"
#include "scsi/discovery.h"

namespace app {

namespace {
constexpr bool kReadOnly = true;
constexpr bool kEditable = false;
}  // namespace

bool OpenDialog::Execute(ui::WindowSystem& ws) {
  std::string chosen;
  if (!ws.OpenFile({filter, defaultExt, initialDir}, chosen)) return false;
  fileName = chosen;
  return true;
}

MainWindow::MainWindow(ui::WindowSystem& ws)
    : ChipLabelEdit("ChipLabelEdit", {80, 12, 129, 21}, "Chip ", kReadOnly),
      RefreshBtn("RefreshBtn", {240, 8, 91, 25}, "Refresh Device"),
      diskLabel("diskLabel", {24, 44, 46, 13}, "USB Disk"),
      DeviceList("DeviceList", {80, 40, 249, 21}, {}, -1),
      FwFilenameEdit("FwFilenameEdit", {80, 70, 249, 21}, "Firmware File ", kEditable),
      LoadBtn("LoadBtn", {256, 96, 75, 25}, "Load File"),
      DiskLetterLable("DiskLetterLable", {80, 100, 113, 21}, "Drives ", kReadOnly),
      FwVerLableEdit("FwVerLableEdit", {80, 124, 113, 21}, "Firmware Ver. ", kReadOnly),
      SFlashTypeLable("SFlashTypeLable", {80, 148, 113, 21}, "Flash Type", kReadOnly),
      FwPgBurnSizeLabel("FwPgBurnSizeLabel", {24, 175, 53, 13}, "Flash PgSz"),
      FwPgSizeCheck("FwPgSizeCheck", {80, 172, 89, 21},
                    {"32 KB", "16 KB", " 8 KB", " 4 KB", " 2 KB"}, 1),
      FlashTypeLabel("FlashTypeLabel", {24, 196, 55, 13}, "Flash Type "),
      FlashTypeList("FlashTypeList", {80, 196, 145, 21},
                    {"ATMELAT 49BV512", "PMC OM39LV512", "SST SST39LF512"}, 0),
      StatusEdit("StatusEdit", {80, 220, 249, 21}, "Status ", kReadOnly),
      UpdateBtn("UpdateBtn", {96, 256, 75, 25}, "Run"),
      ExitBtn("ExitBtn", {216, 256, 75, 25}, "Exit"),
      RdCheckBox("RdCheckBox", {8, 264, 81, 17}, "RD Version"),
      Panel1("Panel1", {8, 289, 337, 3}, Colour::Navy),
      RdPanel("RdPanel", {0, 296, 345, 129}, Colour::ButtonFace),
      A1ChipCheck("A1ChipCheck", {8, 8, 65, 17}, "A1 Chip"),
      TXV929HDDFwChk("TXV929HDDFwChk", {8, 7, 113, 17}, "TXV929 HDD FW "),
      ChkSumChk("ChkSumChk", {128, 8, 113, 17}, "Check CheckSum"),
      TX929Path("TX929Path", {240, 4, 97, 21}, {"1.SETNVRAM", "2.FLASHREAD", "3.FLASHOPCODE"}, 0),
      EraseOnlyCheck("EraseOnlyCheck", {8, 28, 121, 17}, "Erase All Flash Only "),
      NVRAMCheck("NVRAMCheck", {128, 28, 113, 17}, "Include 4K NVRAM"),
      BackupFWCheckBox("BackupFWCheckBox", {8, 48, 153, 17}, "Backup Old Firmware Only"),
      BackupBtn("BackupBtn", {256, 61, 75, 25}, "Browse"),
      FwSizeCheck("FwSizeCheck", {8, 72, 65, 24},
                  {"32KB", "64KB", "128KB", "256KB", "512KB", "   1MB"}, 0),
      FwSizeLable("FwSizeLable", {75, 75, 63, 13}, "Firmware size"),
      BackupFileEdit("BackupFileEdit", {115, 96, 214, 21}, "Backup FileName ", kEditable),
      ws_(ws) {
  SetInitialStates();
  ListControls();
  Wire();

  // The option flags as the controls start, the first device refresh, and
  // the "RD Version" panel hidden to match its unchecked box.
  chip.eraseOnly = EraseOnlyCheck.checked() ? 1 : 0;
  chip.includeNvram = 1;
  Dispatch([this] { RefreshBtnClick(RefreshBtn); });
  Dispatch([this] { RdCheckBoxClick(RdCheckBox); });
}

MainWindow::~MainWindow() { FormDestroy(); }

void MainWindow::SetInitialStates() {
  // Access keys: one letter each among the controls that can show together.
  struct AccessKey {
    Control& control;
    std::size_t at;
  };
  for (const AccessKey& key : {AccessKey{RefreshBtn, 2}, AccessKey{LoadBtn, 0}, AccessKey{UpdateBtn, 0},
                               AccessKey{ExitBtn, 1}, AccessKey{RdCheckBox, 3},
                               AccessKey{A1ChipCheck, 0}, AccessKey{TXV929HDDFwChk, 7},
                               AccessKey{ChkSumChk, 0}, AccessKey{EraseOnlyCheck, 0},
                               AccessKey{NVRAMCheck, 0}, AccessKey{BackupFWCheckBox, 0},
                               AccessKey{BackupBtn, 3}})
    key.control.accessKeyAt = key.at;
  // The controls with their initial states.
  RefreshBtn.SetVisible(false);
  FwPgBurnSizeLabel.SetVisible(false);
  FwPgSizeCheck.SetVisible(false);
  UpdateBtn.SetEnabled(false);
  RdPanel.SetVisible(false);
  TX929Path.SetVisible(false);
  DiskLetterLable.labelTransparent = true;
  FwVerLableEdit.showHint = true;
  FwFilenameEdit.showEnd = true;
  BackupFileEdit.showEnd = true;
  BackupFWCheckBox.tag = 1;
  FwSizeCheck.fontHeight = -13;
}

void MainWindow::ListControls() {
  controls_ = {&ChipLabelEdit,  &RefreshBtn,     &diskLabel,        &DeviceList,  &FwFilenameEdit,
               &LoadBtn,        &DiskLetterLable, &FwVerLableEdit,  &SFlashTypeLable,
               &FwPgBurnSizeLabel, &FwPgSizeCheck, &FlashTypeLabel, &FlashTypeList, &StatusEdit,
               &UpdateBtn,      &ExitBtn,        &RdCheckBox,       &Panel1,      &RdPanel,
               &A1ChipCheck,    &TXV929HDDFwChk, &ChkSumChk,        &TX929Path,   &EraseOnlyCheck,
               &NVRAMCheck,     &BackupFWCheckBox, &BackupBtn,      &FwSizeCheck, &FwSizeLable,
               &BackupFileEdit};
  for (Control* c : {static_cast<Control*>(&A1ChipCheck), static_cast<Control*>(&TXV929HDDFwChk),
                     static_cast<Control*>(&ChkSumChk), static_cast<Control*>(&TX929Path),
                     static_cast<Control*>(&EraseOnlyCheck), static_cast<Control*>(&NVRAMCheck),
                     static_cast<Control*>(&BackupFWCheckBox), static_cast<Control*>(&BackupBtn),
                     static_cast<Control*>(&FwSizeCheck), static_cast<Control*>(&FwSizeLable),
                     static_cast<Control*>(&BackupFileEdit)})
    c->SetParent(&RdPanel);
}

void MainWindow::Wire() {
  auto bind = [this](HandlerMethod handler) {
    return [this, handler](Control& sender) {
      if (running_) {
        DeferDuringRun(handler, sender);
        return;
      }
      Dispatch([&] { (this->*handler)(sender); });
    };
  };
  RefreshBtn.onClick = bind(&MainWindow::RefreshBtnClick);
  DeviceList.onChange = bind(&MainWindow::UpdateBtnCheck);
  FwFilenameEdit.onChange = bind(&MainWindow::UpdateBtnCheck);
  LoadBtn.onClick = bind(&MainWindow::LoadBtnClick);
  FwPgSizeCheck.onChange = bind(&MainWindow::FwPgSizeCheckChange);
  FlashTypeList.onChange = bind(&MainWindow::UpdateBtnCheck);
  UpdateBtn.onClick = bind(&MainWindow::UpdateBtnClick);
  ExitBtn.onClick = bind(&MainWindow::ExitBtnClick);
  RdCheckBox.onClick = bind(&MainWindow::RdCheckBoxClick);
  TXV929HDDFwChk.onClick = bind(&MainWindow::EraseOnlyCheckClick);
  TX929Path.onChange = bind(&MainWindow::FwPgSizeCheckChange);
  EraseOnlyCheck.onClick = bind(&MainWindow::EraseOnlyCheckClick);
  NVRAMCheck.onClick = bind(&MainWindow::NVRAMCheckClick);
  BackupFWCheckBox.onClick = bind(&MainWindow::EraseOnlyCheckClick);
  BackupBtn.onClick = bind(&MainWindow::BackupBtnClick);
  FwSizeCheck.onChange = bind(&MainWindow::FwSizeCheckChange);
}

std::vector<Control*> MainWindow::TabOrder() {
  return {&Panel1,         &RdPanel,         &ChipLabelEdit,   &RefreshBtn,      &FwFilenameEdit,
          &LoadBtn,        &DeviceList,      &DiskLetterLable, &FwVerLableEdit,  &SFlashTypeLable,
          &FlashTypeList,  &StatusEdit,      &RdCheckBox,      &ExitBtn,         &UpdateBtn,
          &FwPgSizeCheck,
          // inside RdPanel
          &BackupFWCheckBox, &EraseOnlyCheck, &BackupFileEdit, &BackupBtn,       &A1ChipCheck,
          &NVRAMCheck,     &FwSizeCheck,     &ChkSumChk,       &TX929Path,       &TXV929HDDFwChk};
}

Control* MainWindow::Find(const std::string& name) const {
  for (Control* c : controls_)
    if (c->name() == name) return c;
  return nullptr;
}

void MainWindow::FormCreate() {
  notifyHandle = ws_.RegisterDeviceChanges();
  ws_.AcceptDroppedFiles(true);
}

void MainWindow::FormDestroy() {
  if (destroyed_) return;
  destroyed_ = true;
  ws_.StopTimer(kRefreshTimer);
  if (notifyHandle != 0) ws_.UnregisterDeviceChanges(notifyHandle);
  notifyHandle = 0;
  // The records the last refresh wrote: with companion entries and skipped
  // devices they need not be the first deviceCount ones.
  const int count = recordCount < device::kMaxDevices ? recordCount : device::kMaxDevices;
  for (int i = 0; i < count; ++i) {
    if (devices[i].vendorModeFlag != 0) device::LeaveVendorMode(devices[i].path);
  }
}

void MainWindow::Dispatch(const std::function<void()>& event) {
  if (destroyed_) return;
  // The outermost event waits through the window system; nested events
  // already do.
  // The device layer reaches the host it installs; the handlers take it from
  // host().
  host::Host* installed = depth_ == 0 ? host::Installed() : nullptr;
  std::optional<WaitingHost> waiting;
  std::optional<host::ScopedHost> scope;
  if (installed != nullptr) {
    waiting.emplace(*installed, [this](std::uint32_t ms, host::Clock& clock) { ws_.Wait(ms, clock); });
    scope.emplace(*waiting);
    eventHost_ = &*waiting;
  }
  ++depth_;
  try {
    event();
  } catch (const std::exception& e) {
    ws_.ShowMessage(e.what(), kApplicationTitle, ui::Icon::Error);
  } catch (...) {
    ws_.ShowMessage("", kApplicationTitle, ui::Icon::Error);
  }
  --depth_;
  if (installed != nullptr) eventHost_ = nullptr;
  if (depth_ == 0) RunDeferred();
}

host::Host& MainWindow::host() const {
  return host::Require(eventHost_ != nullptr ? eventHost_ : host::Installed());
}

void MainWindow::FinishTyping(Edit& field) {
  if (destroyed_) return;
  // A check may show boxes and re-identify the chip: not inside another event.
  if (depth_ > 0) {
    typingPending_ = &field;
    return;
  }
  field.FinishTyping();
}

void MainWindow::OnEscape() {
  if (destroyed_ || depth_ > 0) return;
  ExitBtn.Click();
}

void MainWindow::DeferDuringRun(HandlerMethod handler, Control& sender) {
  // Exit goes through: the close itself waits until the run has ended.
  if (handler == &MainWindow::ExitBtnClick) {
    Dispatch([&] { ExitBtnClick(sender); });
    return;
  }
  // A second Run inside the first is never started.
  if (handler == &MainWindow::UpdateBtnClick) return;
  // Each handler reads its controls when it runs, so one call per handler and
  // sender is enough (UpdateBtnCheck does not depend on its sender).
  for (const DeferredHandler& d : deferredHandlers_) {
    if (d.handler == handler &&
        (d.sender == &sender || handler == &MainWindow::UpdateBtnCheck))
      return;
  }
  deferredHandlers_.push_back({handler, &sender});
}

// What arrived while an event was running and processing messages: a close
// first (nothing else matters then), else the file drop, the control events
// that waited for a run to end, then the refresh.
void MainWindow::RunDeferred() {
  if (closePending_ || sessionEndPending_) {
    closePending_ = false;
    sessionEndPending_ = false;
    refreshPending_ = false;
    dropPending_ = false;
    typingPending_ = nullptr;
    deferredHandlers_.clear();
    ws_.CloseMainWindow();
    return;
  }
  if (dropPending_) {
    dropPending_ = false;
    const std::string path = std::move(pendingDrop_);
    Dispatch([&] { FwFilenameEdit.SetText(path); });
  }
  // After a drop, which replaced the typed text.
  if (Edit* field = std::exchange(typingPending_, nullptr); field != nullptr && !destroyed_)
    Dispatch([field] { field->FinishTyping(); });
  const std::vector<DeferredHandler> handlers = std::move(deferredHandlers_);
  deferredHandlers_.clear();
  for (const DeferredHandler& d : handlers) {
    if (destroyed_ || closePending_) break;
    // "RD Version" toggles the panel and the window height: only a box that
    // now differs from its panel still needs its click.
    if (d.handler == &MainWindow::RdCheckBoxClick && RdPanel.visible() == RdCheckBox.checked())
      continue;
    Dispatch([&] { (this->*d.handler)(*d.sender); });
  }
  if (refreshPending_) {
    refreshPending_ = false;
    Dispatch([this] { RefreshBtnClick(RefreshBtn); });
  }
}

void MainWindow::OnTimer(unsigned id) {
  Dispatch([&] {
    if (id != kRefreshTimer) return;
    ws_.StopTimer(kRefreshTimer);
    // A running procedure or identification holds a record's path, which the
    // refresh rewrites: wait until it has finished.
    if (depth_ > 1) {
      refreshPending_ = true;
      return;
    }
    RefreshBtnClick(RefreshBtn);
  });
}

void MainWindow::OnDeviceChange(std::uintptr_t event) {
  if (destroyed_) return;
  if (event != ui::kDeviceArrival && event != ui::kDeviceRemoveComplete && (event & 2u) == 0)
    return;
  ws_.StopTimer(kRefreshTimer);
  ws_.StartTimer(kRefreshTimer,
                 event == ui::kDeviceArrival ? kArrivalWaitMs : kOtherChangeWaitMs);
}

void MainWindow::OnDropFiles(ui::DropHandle& drop) {
  Dispatch([&] {
    const unsigned count = drop.QueryFile(ui::DropHandle::kCountQuery, nullptr, 0);
    if (count != 1) {
      ws_.ShowMessage(kDropOneFileOnly, kApplicationTitle, ui::Icon::None);
      return;
    }
    char path[kDropPathSize] = {};
    drop.QueryFile(0, path, sizeof path);
    path[kDropPathSize - 1] = '\0';
    // A new file name re-identifies the chip and may enable Run: not while a
    // procedure is flashing it.
    if (depth_ > 1) {
      pendingDrop_ = path;
      dropPending_ = true;
      return;
    }
    FwFilenameEdit.SetText(path);
  });
  drop.Finish();
}

bool MainWindow::QueryClose() {
  if (destroyed_) return true;
  if (depth_ > 0) {
    closePending_ = true;
    return false;
  }
  return true;
}

bool MainWindow::QueryEndSession() {
  if (destroyed_ || depth_ == 0) return true;
  sessionEndPending_ = true;
  return false;
}

void MainWindow::EndSession(bool ending) {
  if (!ending) {
    // The session goes on: a close that only the session end asked for is dropped.
    sessionEndPending_ = false;
    return;
  }
  if (depth_ == 0) FormDestroy();
}

void MainWindow::ExitBtnClick(Control&) { ws_.CloseMainWindow(); }

void MainWindow::ShowStatus(const std::string& text, bool pump) {
  StatusEdit.SetText(text);
  ws_.Repaint(StatusEdit.name());
  if (pump) ws_.ProcessMessages();
}

void MainWindow::AppendStatus(const std::string& piece, bool pump) {
  ShowStatus(StatusEdit.text() + piece, pump);
}

void MainWindow::Message(const std::string& text, const std::string& caption, ui::Icon icon) {
  ws_.ShowMessage(text, caption, icon);
}

std::unique_ptr<MainWindow> StartMainWindow(View& view) {
  auto window = std::make_unique<MainWindow>(view);
  view.Realize(*window);
  window->FormCreate();
  view.Show();
  return window;
}

}  // namespace app
