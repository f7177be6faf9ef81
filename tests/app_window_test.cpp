// The main window model on the simulated machine, driven through the
// headless view on virtual time.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "window/headless_view.h"
#include "window/main_window.h"
#include "window/waiting_host.h"
#include "sim_fixture.h"

namespace {

using app::HeadlessView;
using app::MainWindow;

// An enclosure that tells the test about every request it receives.
class WatchedEnclosure : public sim::Enclosure {
 public:
  using sim::Enclosure::Enclosure;
  std::function<void()> onRequest;
  void Execute(sim::Machine& machine, sim::Exchange& exchange) override {
    if (onRequest) onRequest();
    sim::Enclosure::Execute(machine, exchange);
  }
};

// A drop of the given names, answering like DragQueryFileA.
class FakeDrop : public ui::DropHandle {
 public:
  explicit FakeDrop(std::vector<std::string> files) : files_(std::move(files)) {}
  unsigned QueryFile(unsigned index, char* buffer, unsigned size) override {
    if (index == kCountQuery) return static_cast<unsigned>(files_.size());
    const std::string& f = files_.at(index);
    if (buffer != nullptr && size > 0) {
      const std::size_t n = std::min<std::size_t>(f.size(), size - 1);
      f.copy(buffer, n);
      buffer[n] = '\0';
    }
    return static_cast<unsigned>(f.size());
  }
  void Finish() override { ++finished; }
  int finished = 0;

 private:
  std::vector<std::string> files_;
};

class WindowTest : public ::testing::Test, public testing_support::SimFixtureBase {
 protected:
  // Devices attached before the start were there all along: only later
  // plugging and unplugging reaches the window.
  void Start() {
    window = app::StartMainWindow(view);
    machine.onDeviceChange = [this](std::uint32_t event) {
      view.Post([event](MainWindow& w) { w.OnDeviceChange(event); });
    };
  }

  // An enclosure whose INQUIRY names a TX40777 chip, so the refresh lists it.
  std::string AttachUsb(const std::string& product, std::uint32_t diskNumber,
                        std::vector<sim::Volume> volumes = {},
                        host::InterfaceClass cls = host::InterfaceClass::Disk) {
    const std::string path =
        SimFixtureBase::AttachUsb(product, diskNumber, std::move(volumes), cls);
    auto* enclosure = dynamic_cast<sim::Enclosure*>(machine.Find(path)->device.get());
    std::memcpy(enclosure->inquiry().data() + 36, "t777", 4);
    return path;
  }

  // Each refresh sends EnterVendorMode once to each discovered disk-class
  // device (the selected entry's identification sends INQUIRY again).
  int Refreshes() const { return Count("EnterVendorMode"); }
  int Count(const std::string& command) const {
    int n = 0;
    for (const auto& e : machine.transcript()) n += e.command == command ? 1 : 0;
    return n;
  }
  std::vector<std::string> PathsOf(const std::string& command) const {
    std::vector<std::string> paths;
    for (const auto& e : machine.transcript())
      if (e.command == command) paths.push_back(e.path);
    return paths;
  }
  // A procedure that works for ms of virtual time, showing a dot and letting
  // the window process its messages every 100 ms.
  void WorkFor(int ms) {
    for (int t = 0; t < ms; t += 100) {
      machine.Sleep(100);
      window->AppendStatus(".");
    }
  }

  HeadlessView view{{[this] { return machine.NowMs(); },
                     [this](std::uint64_t ms) { machine.AdvanceMs(ms); }}};
  std::unique_ptr<MainWindow> window;
};

TEST_F(WindowTest, FirstRefreshRunsBeforeTheWindowIsShown) {
  auto enclosure = std::make_shared<WatchedEnclosure>("Tavrion", "TX40775 Disk", "0100");
  std::memcpy(enclosure->inquiry().data() + 36, "t775", 4);
  std::vector<bool> shownAtRequest;
  enclosure->onRequest = [&] { shownAtRequest.push_back(view.shown); };
  sim::Attachment a;
  a.path = sim::UsbDiskPath("Tavrion", "TX40775", "1");
  a.volumes = {{'E', 1}};
  a.device = enclosure;
  machine.Attach(a);

  Start();
  ASSERT_FALSE(shownAtRequest.empty());
  for (bool shown : shownAtRequest) EXPECT_FALSE(shown);
  EXPECT_EQ((std::vector<std::string>{"realize", "register", "accept-drops", "show"}), view.events);
  EXPECT_NE(0u, window->notifyHandle);
  EXPECT_TRUE(view.acceptsDrops);

  // Construction ran the RD box's handler unchecked: panel hidden, window shorter.
  EXPECT_FALSE(window->RdPanel.visible());
  EXPECT_EQ(420 - 129, view.clientHeight);
  EXPECT_EQ(0u, window->chip.eraseOnly);
  EXPECT_EQ(1u, window->chip.includeNvram);

  EXPECT_EQ(1, window->deviceCount);
  ASSERT_EQ(1u, window->DeviceList.items().size());
  EXPECT_EQ("<<USB>> Tavrion TX40775 Disk    ", window->DeviceList.items()[0]);
  EXPECT_EQ(0, window->DeviceList.itemIndex());
  EXPECT_TRUE(window->DeviceList.enabled());
  EXPECT_EQ(sim::LowerPath(a.path), window->devices[0].path);
  EXPECT_STREQ("E", window->devices[0].driveLetters);
  EXPECT_EQ(0, window->devices[0].vendorModeFlag);
  EXPECT_EQ("USB DISK", window->diskLabel.text());
  EXPECT_TRUE(enclosure->vendorMode());
}

TEST_F(WindowTest, StartsInTheNoDeviceState) {
  Start();
  EXPECT_EQ(0, window->deviceCount);
  EXPECT_EQ((std::vector<std::string>{"No available device!!!"}), window->DeviceList.items());
  EXPECT_EQ(0, window->DeviceList.itemIndex());
  EXPECT_FALSE(window->DeviceList.enabled());
  EXPECT_FALSE(window->UpdateBtn.enabled());
  EXPECT_FALSE(window->FlashTypeList.enabled());
  EXPECT_FALSE(window->A1ChipCheck.enabled());
  EXPECT_FALSE(window->NVRAMCheck.visible());
  EXPECT_FALSE(window->TXV929HDDFwChk.visible());
  EXPECT_EQ("", window->StatusEdit.text());
  EXPECT_FALSE(window->RdPanel.visible());
  EXPECT_EQ(app::kClientHeight - 129, window->clientHeight);
  EXPECT_EQ(app::kClientHeight - 129, view.clientHeight);
}

TEST_F(WindowTest, ControlsCarryTheirDesignedTextsStatesAndOrder) {
  Start();
  MainWindow& w = *window;
  EXPECT_EQ(30u, w.controls().size());
  EXPECT_EQ("Chip ", w.ChipLabelEdit.labelCaption());
  EXPECT_TRUE(w.ChipLabelEdit.readOnly());
  EXPECT_FALSE(w.FwFilenameEdit.readOnly());
  EXPECT_FALSE(w.RefreshBtn.visible());
  EXPECT_EQ("16 KB", w.FwPgSizeCheck.text());
  EXPECT_EQ(" 8 KB", w.FwPgSizeCheck.items()[2]);
  EXPECT_EQ("   1MB", w.FwSizeCheck.items()[5]);
  EXPECT_EQ(-13, w.FwSizeCheck.fontHeight);
  EXPECT_EQ("ATMELAT 49BV512", w.FlashTypeList.text());
  EXPECT_EQ("TXV929 HDD FW ", w.TXV929HDDFwChk.text());
  EXPECT_EQ("Erase All Flash Only ", w.EraseOnlyCheck.text());
  EXPECT_FALSE(w.TX929Path.visible());
  EXPECT_EQ("1.SETNVRAM", w.TX929Path.text());
  EXPECT_EQ(1, w.BackupFWCheckBox.tag);
  EXPECT_EQ(&w.RdPanel, w.BackupFileEdit.parent());
  EXPECT_EQ(nullptr, w.StatusEdit.parent());
  EXPECT_FALSE(w.UpdateBtn.enabled());
  EXPECT_EQ(app::Colour::Navy, w.Panel1.colour);
  EXPECT_EQ("bin", w.OpenDialog1.defaultExt);
  EXPECT_EQ("Binary File (*.bin)|*.bin|All Files (*.*)|*.*|TXF Files (*.txf)|*.txf",
            w.OpenDialog1.filter);

  std::vector<std::string> order;
  for (app::Control* c : w.TabOrder()) order.push_back(c->name());
  EXPECT_EQ((std::vector<std::string>{
                "Panel1", "RdPanel", "ChipLabelEdit", "RefreshBtn", "FwFilenameEdit", "LoadBtn",
                "DeviceList", "DiskLetterLable", "FwVerLableEdit", "SFlashTypeLable",
                "FlashTypeList", "StatusEdit", "RdCheckBox", "ExitBtn", "UpdateBtn",
                "FwPgSizeCheck", "BackupFWCheckBox", "EraseOnlyCheck", "BackupFileEdit",
                "BackupBtn", "A1ChipCheck", "NVRAMCheck", "FwSizeCheck", "ChkSumChk", "TX929Path",
                "TXV929HDDFwChk"}),
            order);
  for (app::Control* c : w.controls()) EXPECT_EQ(c, w.Find(c->name()));
}

TEST_F(WindowTest, RdVersionShowsThePanelAndGrowsTheWindow) {
  Start();
  window->RdCheckBox.Click();
  EXPECT_TRUE(window->RdPanel.visible());
  EXPECT_TRUE(window->EraseOnlyCheck.Showing());
  EXPECT_EQ(app::kClientHeight, view.clientHeight);
  window->UpdateBtn.SetEnabled(true);
  window->RdCheckBox.Click();
  EXPECT_FALSE(window->RdPanel.visible());
  EXPECT_FALSE(window->FwSizeCheck.visible());
  EXPECT_FALSE(window->UpdateBtn.enabled());
  EXPECT_EQ(app::kClientHeight - 129, view.clientHeight);
}

TEST_F(WindowTest, DropOfOneFileSetsTheFileNameAndTwoFilesAreRefused) {
  Start();
  FakeDrop one({"C:\\fw\\tx40775.bin"});
  window->OnDropFiles(one);
  EXPECT_EQ("C:\\fw\\tx40775.bin", window->FwFilenameEdit.text());
  EXPECT_EQ(1, one.finished);
  EXPECT_TRUE(view.messages.empty());

  FakeDrop two({"C:\\a.bin", "C:\\b.bin"});
  window->OnDropFiles(two);
  EXPECT_EQ("C:\\fw\\tx40775.bin", window->FwFilenameEdit.text());
  EXPECT_EQ(1, two.finished);
  ASSERT_EQ(1u, view.messages.size());
  EXPECT_EQ("Please Drag and Drop One File Only!", view.messages[0].text);
  EXPECT_EQ("Tavrion TX4077x Firmware Update Utility", view.messages[0].caption);
  EXPECT_EQ(ui::Icon::None, view.messages[0].icon);

  FakeDrop none({});
  window->OnDropFiles(none);
  EXPECT_EQ(2u, view.messages.size());
  EXPECT_EQ(1, none.finished);

  // A path longer than the 260-character buffer is cut to 259 characters.
  const std::string longPath = "C:\\" + std::string(300, 'x') + ".bin";
  FakeDrop tooLong({longPath});
  window->OnDropFiles(tooLong);
  EXPECT_EQ(longPath.substr(0, 259), window->FwFilenameEdit.text());
}

TEST_F(WindowTest, BurstsOfDeviceEventsGiveOneRefreshAfterTheLastOne) {
  AttachUsb("A", 1);
  Start();
  ASSERT_EQ(1, Refreshes());

  // Three arrivals 500 ms apart: one refresh, 1200 ms after the last.
  for (int i = 0; i < 3; ++i) {
    window->OnDeviceChange(ui::kDeviceArrival);
    view.RunFor(500);
  }
  EXPECT_EQ(1, Refreshes());
  view.RunFor(699);
  EXPECT_EQ(1, Refreshes());
  view.RunFor(1);
  EXPECT_EQ(2, Refreshes());
  EXPECT_FALSE(view.TimerRunning(app::kRefreshTimer));
  view.RunFor(10000);
  EXPECT_EQ(2, Refreshes());

  // Removal, then a node change (bit 1 set): 200 ms after the last one.
  window->OnDeviceChange(ui::kDeviceRemoveComplete);
  view.RunFor(150);
  window->OnDeviceChange(0x0007);
  view.RunFor(199);
  EXPECT_EQ(2, Refreshes());
  view.RunFor(1);
  EXPECT_EQ(3, Refreshes());

  // An arrival after a removal restarts the wait with the longer period.
  window->OnDeviceChange(ui::kDeviceRemoveComplete);
  window->OnDeviceChange(ui::kDeviceArrival);
  view.RunFor(1199);
  EXPECT_EQ(3, Refreshes());
  view.RunFor(1);
  EXPECT_EQ(4, Refreshes());

  // Other event codes and other timers are ignored.
  window->OnDeviceChange(0x8001);
  EXPECT_FALSE(view.TimerRunning(app::kRefreshTimer));
  window->OnTimer(102);
  EXPECT_EQ(4, Refreshes());
}

TEST_F(WindowTest, PluggingAndUnpluggingRebuildsTheList) {
  const std::string a = AttachUsb("A", 1);
  Start();
  AttachUsb("B", 2);
  view.RunFor(1199);
  EXPECT_EQ(1u, window->DeviceList.items().size());
  view.RunFor(1);
  EXPECT_EQ(2u, window->DeviceList.items().size());
  EXPECT_EQ(2, window->deviceCount);

  machine.Detach(a);
  view.RunFor(200);
  EXPECT_EQ(1, window->deviceCount);
  EXPECT_EQ("<<USB>> Tavrion B               ", window->DeviceList.items()[0]);
}

TEST_F(WindowTest, LeaveVendorModeGoesToExactlyTheMarkedRecordsInTableOrder) {
  AttachUsb("DISKA", 1);
  const std::string cd1 = AttachUsb("CDA", 3, {}, host::InterfaceClass::Cdrom);
  AttachUsb("DISKB", 2);
  const std::string cd2 = AttachUsb("CDB", 4, {}, host::InterfaceClass::Cdrom);
  Start();
  ASSERT_EQ(4, window->deviceCount);
  // Disk-class devices first, then the CD-ROM units, which carry the mark.
  EXPECT_EQ(sim::LowerPath(cd1), window->devices[2].path);
  EXPECT_EQ(1, window->devices[2].vendorModeFlag);
  EXPECT_EQ(1, window->devices[3].vendorModeFlag);
  EXPECT_EQ(0, window->devices[0].vendorModeFlag);
  EXPECT_EQ(2, Count("EnterVendorMode") - 4);  // marked units get it a second time

  machine.ClearTranscript();
  window->ExitBtn.Click();
  EXPECT_FALSE(view.closed);  // the close request waits in the queue
  view.ProcessMessages();
  EXPECT_TRUE(view.closed);
  EXPECT_EQ((std::vector<std::string>{sim::LowerPath(cd1), sim::LowerPath(cd2)}),
            PathsOf("LeaveVendorMode"));
  EXPECT_EQ(machine.transcript().size(), 2u);
  EXPECT_EQ("unregister", view.events.at(view.events.size() - 1));

  window.reset();  // destruction does not send them twice
  EXPECT_EQ(2u, PathsOf("LeaveVendorMode").size());
}

TEST_F(WindowTest, ExitUnregistersBeforeLeavingVendorMode) {
  auto enclosure = std::make_shared<WatchedEnclosure>("Tavrion", "CDA", "0100");
  std::memcpy(enclosure->inquiry().data() + 36, "t777", 4);
  sim::Attachment cd;
  cd.interfaceClass = host::InterfaceClass::Cdrom;
  cd.path = sim::UsbCdromPath("Tavrion", "CDA", "1");
  cd.number = {2, 3, 0};
  cd.device = enclosure;
  machine.Attach(cd);
  Start();
  ASSERT_EQ(1, window->devices[0].vendorModeFlag);
  ASSERT_NE(0u, view.registered);

  std::vector<bool> registeredAtRequest;
  enclosure->onRequest = [&] { registeredAtRequest.push_back(view.registered != 0); };
  window.reset();
  EXPECT_EQ((std::vector<bool>{false}), registeredAtRequest);
  EXPECT_EQ((std::vector<std::string>{sim::LowerPath(cd.path)}), PathsOf("LeaveVendorMode"));
}

TEST_F(WindowTest, ExitReachesEveryMarkedRecordEvenWhenOneFails) {
  const std::string a = AttachUsb("A", 1);
  const std::string b = AttachUsb("B", 2);
  const std::string c = AttachUsb("C", 3);
  Start();
  window->devices[0].vendorModeFlag = 1;
  window->devices[2].vendorModeFlag = 7;
  window->devices[5].vendorModeFlag = 1;  // beyond deviceCount: not a device
  machine.AddFault({sim::CommandFault::Kind::PlatformError, sim::LowerPath(a),
                    sim::CdbPattern("FF 04 54 58 AA"), 0});
  machine.ClearTranscript();
  window.reset();
  ASSERT_EQ(2u, machine.transcript().size());
  EXPECT_EQ(sim::LowerPath(a), machine.transcript()[0].path);
  EXPECT_EQ(sim::LowerPath(c), machine.transcript()[1].path);
  EXPECT_EQ("LeaveVendorMode", machine.transcript()[1].command);
}

TEST_F(WindowTest, FailedRegistrationLeavesTheHandleEmpty) {
  view.failRegistration = true;
  Start();
  EXPECT_EQ(0u, window->notifyHandle);
  window.reset();
  EXPECT_EQ("show", view.events.back());  // nothing to unregister
}

TEST_F(WindowTest, RefreshDuringARunWaitsUntilTheRunEnds) {
  const std::string a = AttachUsb("A", 1);
  Start();
  const std::string before = window->devices[0].path;
  bool sawRefreshInRun = false;
  window->Dispatch([&] {
    machine.Detach(a);  // the removal arrives while the run pumps messages
    AttachUsb("B", 2);
    WorkFor(3000);
    sawRefreshInRun = Refreshes() != 1;
    EXPECT_EQ(before, window->devices[0].path);
    EXPECT_EQ(1u, window->DeviceList.items().size());
    EXPECT_EQ(3000u / 100u, static_cast<unsigned>(window->StatusEdit.text().size()));
  });
  EXPECT_FALSE(sawRefreshInRun);
  // Exactly one refresh, once the run is over.
  EXPECT_EQ(2, Refreshes());
  EXPECT_EQ("<<USB>> Tavrion B               ", window->DeviceList.items()[0]);
}

TEST_F(WindowTest, CloseDuringARunWaitsUntilTheRunEnds) {
  const std::string cd = AttachUsb("CD", 3, {}, host::InterfaceClass::Cdrom);
  Start();
  machine.ClearTranscript();
  window->Dispatch([&] {
    window->ExitBtn.Click();
    WorkFor(500);
    EXPECT_FALSE(view.closed);
    EXPECT_FALSE(window->destroyed());
    view.CloseMainWindow();  // the close box, too
    WorkFor(500);
    EXPECT_FALSE(view.closed);
    EXPECT_TRUE(PathsOf("LeaveVendorMode").empty());
  });
  EXPECT_FALSE(view.closed);
  view.ProcessMessages();  // back in the idle loop the deferred close goes through
  EXPECT_TRUE(view.closed);
  EXPECT_EQ((std::vector<std::string>{sim::LowerPath(cd)}), PathsOf("LeaveVendorMode"));
}

TEST_F(WindowTest, DropDuringARunIsAppliedWhenTheRunEnds) {
  Start();
  window->Dispatch([&] {
    view.Post([](MainWindow& w) {
      FakeDrop drop({"C:\\new.bin"});
      w.OnDropFiles(drop);
      EXPECT_EQ(1, drop.finished);
    });
    WorkFor(100);
    EXPECT_EQ("", window->FwFilenameEdit.text());
  });
  EXPECT_EQ("C:\\new.bin", window->FwFilenameEdit.text());
}

TEST_F(WindowTest, StatusLinePaintsAtOnceAndMayLetMessagesThrough) {
  Start();
  int delivered = 0;
  view.Post([&](MainWindow&) { ++delivered; });
  window->ShowStatus("Erase", false);
  EXPECT_EQ("Erase", window->StatusEdit.text());
  EXPECT_EQ(1, view.repaints["StatusEdit"]);
  EXPECT_EQ(0, delivered);
  window->AppendStatus(".");
  window->AppendStatus(".");
  EXPECT_EQ("Erase..", window->StatusEdit.text());
  EXPECT_EQ(3, view.repaints["StatusEdit"]);
  EXPECT_EQ(1, delivered);
}

TEST_F(WindowTest, AnExceptionFromAHandlerIsShownAndTheWindowGoesOn) {
  AttachUsb("A", 1);
  Start();
  window->Dispatch([] { throw std::runtime_error("Access violation"); });
  ASSERT_EQ(1u, view.messages.size());
  EXPECT_EQ("Access violation", view.messages[0].text);
  EXPECT_EQ(app::kApplicationTitle, view.messages[0].caption);
  EXPECT_EQ(ui::Icon::Error, view.messages[0].icon);
  window->Dispatch([] { throw 42; });
  ASSERT_EQ(2u, view.messages.size());
  EXPECT_EQ("", view.messages[1].text);

  // Still running: a device event still leads to a refresh.
  EXPECT_FALSE(window->busy());
  window->OnDeviceChange(ui::kDeviceRemoveComplete);
  view.RunFor(200);
  EXPECT_EQ(2, Refreshes());
}

// The host the window's events see passes every service but the wait on to
// the platform's own: a platform service left to its default would quietly
// lose mount points or device notifications during an event.
class PlatformServices : public host::PlatformHost {
 public:
  host::Handle OpenDevice(const char*, std::uint32_t, std::uint32_t, std::uint32_t&) override {
    return host::kInvalidHandle;
  }
  bool PassThrough(host::Handle, host::PassThroughRequest&, std::uint32_t&) override { return false; }
  bool QueryDeviceNumber(host::Handle, host::DeviceNumber&, std::uint32_t&) override { return false; }
  void CloseDevice(host::Handle) override {}
  std::unique_ptr<host::InterfaceList> OpenInterfaceList(host::InterfaceClass) override {
    return nullptr;
  }
  bool MountPoints(const host::DeviceNumber&, std::vector<std::string>& mounts) override {
    mounts = {"/media/disk"};
    return true;
  }
  bool WaitForDeviceChange(std::uint32_t milliseconds) override {
    notificationWaits.push_back(milliseconds);
    return false;  // told: nothing came
  }
  void Sleep(std::uint32_t milliseconds) override { slept += milliseconds; }
  std::uint64_t MonotonicMs() override { return 4242 + slept; }
  void DebugOutput(const char*) override {}

  std::vector<std::uint32_t> notificationWaits;
  std::uint32_t slept = 0;
};

TEST(WaitingHostTest, PassesThePlatformServicesOnAndWaitsThroughItsFunction) {
  PlatformServices platform;
  std::vector<std::uint32_t> waits;
  app::WaitingHost waiting(platform, [&](std::uint32_t ms, host::Clock& clock) {
    waits.push_back(ms);
    clock.Sleep(ms);
  });
  std::vector<std::string> mounts;
  EXPECT_TRUE(waiting.volumes().MountPoints(host::DeviceNumber{}, mounts));
  EXPECT_EQ(std::vector<std::string>{"/media/disk"}, mounts);
  EXPECT_FALSE(waiting.discovery().WaitForDeviceChange(5000));
  EXPECT_EQ(std::vector<std::uint32_t>{5000}, platform.notificationWaits);
  waiting.Sleep(30);
  EXPECT_EQ(std::vector<std::uint32_t>{30}, waits);
  EXPECT_EQ(30u, platform.slept);
  EXPECT_EQ(4272u, waiting.MonotonicMs()) << "the platform's clock, not another";
}

}  // namespace
