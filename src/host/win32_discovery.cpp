// The Windows host's discovery piece: the disk and CD-ROM interfaces SetupDi
// lists (and the devices the operator named), the notifications that one
// came or went, and the names a user may type for one.
#include "host/win32_host.h"

#include <windows.h>
#include <winioctl.h>
#include <initguid.h>
#include <setupapi.h>
#include <dbt.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace host {

namespace {

// The interface classes, spelled out so no driver-kit header is needed.
const GUID kDiskInterface = {0x53F56307, 0xB6BF, 0x11D0,
                             {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
const GUID kCdromInterface = {0x53F56308, 0xB6BF, 0x11D0,
                              {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

constexpr DWORD kDetailBufferSize = 1024;


// The system's text for a last-error value, on one line.
std::string ErrorText(DWORD error) {
  char text[256] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 error, 0, text, sizeof text, nullptr);
  std::string said(text, n);
  while (!said.empty() && (said.back() == '\r' || said.back() == '\n' || said.back() == '.'))
    said.pop_back();
  return "error " + std::to_string(error) + (said.empty() ? "" : " (" + said + ")");
}

// The device number of a path, opened for no access (as drive letters are
// matched); false when it cannot be read.
bool DeviceNumberOf(const std::string& path, DeviceNumber& number) {
  HANDLE h = CreateFileA(path.c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = DeviceNumberOfHandle(h, number);
  CloseHandle(h);
  return ok;
}

bool SameDevice(const std::string& a, const std::string& b) {
  DeviceNumber na{}, nb{};
  return DeviceNumberOf(a, na) && DeviceNumberOf(b, nb) && na.deviceType == nb.deviceType &&
         na.deviceNumber == nb.deviceNumber;
}

// The members SetupDi lists for a class, then the devices the operator named
// that none of them is. When SetupDi lists none, *answer receives what it
// said; it is cleared once one is found.
class SetupDiList : public InterfaceList {
 public:
  SetupDiList(HDEVINFO set, DWORD setError, const GUID& cls, std::vector<std::string> named,
              std::string* answer)
      : set_(set), class_(cls), detail_(kDetailBufferSize, 0), named_(std::move(named)),
        answer_(answer) {
    if (set_ == INVALID_HANDLE_VALUE) said_ = "SetupDiGetClassDevsA answered " + ErrorText(setError);
  }
  ~SetupDiList() override {
    if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
  }

  bool Member(std::uint32_t index, std::string& path) override {
    if (listing_) {
      if (SystemMember(index, path)) {
        listed_.push_back(path);
        return true;
      }
      listing_ = false;
      if (listed_.empty()) *answer_ = said_;
      else answer_->clear();
      std::erase_if(named_, [this](const std::string& name) {
        for (const std::string& listed : listed_)
          if (SameDevice(listed, name)) return true;
        return false;
      });
    }
    const std::size_t k = index - listed_.size();
    if (k >= named_.size()) return false;
    path = named_[k];
    return true;
  }
  // The system's members say their bus by their path; a named device is
  // taken as the enclosure the operator says it is.
  std::optional<Bus> MemberBus() const override {
    if (listing_) return std::nullopt;
    return Bus::Usb;
  }

 private:
  bool SystemMember(std::uint32_t index, std::string& path) {
    if (set_ == INVALID_HANDLE_VALUE) return false;
    SP_DEVICE_INTERFACE_DATA data{};
    // The platform's own sizes: the 32-bit values 28 and 5 would make a 64-bit
    // build fail every call.
    data.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    if (!SetupDiEnumDeviceInterfaces(set_, nullptr, &class_, index, &data)) {
      said_ = "SetupDiGetClassDevsA gave a set; SetupDiEnumDeviceInterfaces answered " +
              ErrorText(GetLastError()) + " for member " + std::to_string(index);
      return false;
    }
    std::fill(detail_.begin(), detail_.end(), 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detail_.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set_, &data, detail, kDetailBufferSize, nullptr,
                                          nullptr)) {
      said_ = "SetupDiGetDeviceInterfaceDetailA answered " + ErrorText(GetLastError()) +
              " for member " + std::to_string(index);
      return false;
    }
    path.assign(detail->DevicePath);
    return true;
  }

  HDEVINFO set_;
  GUID class_;
  std::vector<char> detail_;  // 8-byte aligned by the allocator
  std::vector<std::string> named_;
  std::string* answer_;
  std::string said_;
  bool listing_ = true;
  std::vector<std::string> listed_;
};

// The notifications that say a disk or CD-ROM interface came or went.
LRESULT CALLBACK DeviceWatchProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  if (message == WM_DEVICECHANGE) {
    auto* changed = reinterpret_cast<bool*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (changed != nullptr && (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE))
      *changed = true;
    return TRUE;
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

HDEVNOTIFY RegisterInterfaceClass(HWND window, const GUID& cls) {
  DEV_BROADCAST_DEVICEINTERFACE_A filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = cls;
  return RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

}  // namespace


// A message-only window registered for the disk and CD-ROM interface classes;
// window stays null when either cannot be had, and the waits poll.
struct Win32Discovery::DeviceWatch {
  HWND window = nullptr;
  HDEVNOTIFY disks = nullptr;
  HDEVNOTIFY cdroms = nullptr;
  bool changed = false;

  DeviceWatch() {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSEXA cls{};
    cls.cbSize = sizeof cls;
    cls.lpfnWndProc = DeviceWatchProc;
    cls.hInstance = instance;
    cls.lpszClassName = kDeviceWatchClass;
    if (RegisterClassExA(&cls) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return;
    window = CreateWindowExA(0, kDeviceWatchClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             instance, &changed);
    if (window == nullptr) return;
    disks = RegisterInterfaceClass(window, kDiskInterface);
    cdroms = RegisterInterfaceClass(window, kCdromInterface);
    if (disks == nullptr || cdroms == nullptr) Release();
  }
  ~DeviceWatch() { Release(); }
  DeviceWatch(const DeviceWatch&) = delete;
  DeviceWatch& operator=(const DeviceWatch&) = delete;

  void Release() {
    if (disks != nullptr) UnregisterDeviceNotification(disks);
    if (cdroms != nullptr) UnregisterDeviceNotification(cdroms);
    if (window != nullptr) DestroyWindow(window);
    disks = cdroms = nullptr;
    window = nullptr;
  }

  // Handles what reached the window; true once a notification came.
  bool TakeChange() {
    MSG msg;
    while (PeekMessageA(&msg, window, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    const bool was = changed;
    changed = false;
    return was;
  }
};

Win32Discovery::Win32Discovery(Win32RunLocks& locks, Clock& clock)
    : locks_(locks), clock_(clock) {}

Win32Discovery::~Win32Discovery() = default;

bool Win32Discovery::WaitForDeviceChange(std::uint32_t milliseconds) {
  if (!watch_) watch_ = std::make_unique<DeviceWatch>();
  if (watch_->window == nullptr) {
    clock_.Sleep(milliseconds);
    return true;
  }
  const DWORD start = GetTickCount();
  for (;;) {
    if (watch_->TakeChange()) return true;
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= milliseconds) return false;
    // Wakes for anything sent or posted to the thread, the notifications
    // included; other messages stay queued for their owner.
    MsgWaitForMultipleObjects(0, nullptr, FALSE, milliseconds - elapsed, QS_ALLINPUT);
  }
}

std::unique_ptr<InterfaceList> Win32Discovery::OpenInterfaceList(InterfaceClass cls) {
  const bool disks = cls == InterfaceClass::Disk;
  const GUID& guid = disks ? kDiskInterface : kCdromInterface;
  HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  const DWORD error = set == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  std::string* answer = disks ? &emptyDisk_ : &emptyCdrom_;
  // Named devices follow the disk interfaces, so they are listed even when
  // the system offers no set at all.
  if (set == INVALID_HANDLE_VALUE && (!disks || named_.empty())) {
    *answer = "SetupDiGetClassDevsA answered " + ErrorText(error);
    return nullptr;
  }
  return std::make_unique<SetupDiList>(set, error, guid,
                                       disks ? named_ : std::vector<std::string>{}, answer);
}

void Win32Discovery::NameDevice(const std::string& path) {
  if (!path.empty() && std::find(named_.begin(), named_.end(), path) == named_.end())
    named_.push_back(path);
}

bool Win32Discovery::NamesDevice(const std::string& recordPath, const std::string& given) {
  if (Discovery::NamesDevice(recordPath, given)) return true;
  // A named device's own record answers only to its own name: Wine gives
  // every drive the same made-up number.
  for (const std::string& name : named_)
    if (Discovery::NamesDevice(recordPath, name)) return false;
  return !given.empty() && SameDevice(recordPath, given);
}

std::string Win32Discovery::DiscoveryNote() {
  if (emptyDisk_.empty() || emptyCdrom_.empty()) return {};
  return "Windows lists no disk or CD-ROM interface (disk interfaces: " + emptyDisk_ +
         "; CD-ROM interfaces: " + emptyCdrom_ + ")";
}

std::vector<UnreachableDevice> Win32Discovery::TakeUnreachable() {
  return locks_.TakeUnreachable();
}

}  // namespace host
