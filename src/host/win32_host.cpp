#include "host/win32_host.h"

#include <windows.h>
#include <winioctl.h>
#include <initguid.h>
#include <setupapi.h>
#include <ntddscsi.h>
#include <dbt.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstring>
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

// The request as the SDK lays it out for x86_64, where the drivers (and
// Wine, which checks the length against its own 64-bit record) read it: a
// pointer-sized DataBuffer moves everything after it, so the 32-bit layout
// of 44 bytes would be refused as too small.
#if defined(_WIN64)
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 56);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Length) == 0);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus) == 2);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, PathId) == 3);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TargetId) == 4);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Lun) == 5);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, CdbLength) == 6);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoLength) == 7);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn) == 8);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == 12);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == 16);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 24);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 32);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 36);
static_assert(sizeof(STORAGE_DEVICE_NUMBER) == 12);
#endif

HANDLE ToHandle(Handle h) { return reinterpret_cast<HANDLE>(h); }

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

// The device number of an open device. Under Wine the answer is made up
// (the same for every node: its CD-ROM code's stub), so the type and number
// of the block node behind the handle replace it.
bool NumberOfHandle(HANDLE h, STORAGE_DEVICE_NUMBER& number) {
  DWORD returned = 0;
  SetLastError(0);
  const BOOL ok = DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                                  sizeof number, &returned, nullptr);
  unsigned major = 0, minor = 0;
  bool cdrom = false;
  if (!ok || !WineBlockNumbers(h, major, minor, cdrom)) return ok != FALSE;
  number.DeviceType = cdrom ? FILE_DEVICE_CD_ROM : FILE_DEVICE_DISK;
  number.DeviceNumber = (static_cast<DWORD>(major) << 20) | (minor & 0xFFFFFu);  // as on Linux
  return true;
}

// The device number of a path, opened for no access (as drive letters are
// matched); false when it cannot be read.
bool DeviceNumberOf(const std::string& path, STORAGE_DEVICE_NUMBER& number) {
  HANDLE h = CreateFileA(path.c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = NumberOfHandle(h, number);
  CloseHandle(h);
  return ok;
}

bool SameDevice(const std::string& a, const std::string& b) {
  STORAGE_DEVICE_NUMBER na{}, nb{};
  return DeviceNumberOf(a, na) && DeviceNumberOf(b, nb) && na.DeviceType == nb.DeviceType &&
         na.DeviceNumber == nb.DeviceNumber;
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
struct Win32Host::DeviceWatch {
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

Win32Host::Win32Host() = default;
Win32Host::~Win32Host() {
  for (auto& [key, run] : runs_) {
    ReleaseMutex(run.mutex);
    CloseHandle(run.mutex);
  }
}

bool Win32Host::WaitForDeviceChange(std::uint32_t milliseconds) {
  if (!watch_) watch_ = std::make_unique<DeviceWatch>();
  if (watch_->window == nullptr) {
    Sleep(milliseconds);
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

namespace {

std::string LowerPath(const char* path) {
  std::string key = path;
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

// The mutex of path, where this process may have it: the machine's own
// namespace for an administrator, else the session's.
HANDLE CreateRunMutex(const char* path) {
  std::string name = Win32Host::RunMutexName(path);
  HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
  if (mutex == nullptr && GetLastError() == ERROR_ACCESS_DENIED) {
    name.replace(0, name.find('\\'), "Local");
    mutex = CreateMutexA(nullptr, FALSE, name.c_str());
  }
  return mutex;
}

// Whether another thread or process holds path's mutex now.
bool HeldElsewhere(const char* path) {
  std::string name = Win32Host::RunMutexName(path);
  HANDLE mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
  if (mutex == nullptr) {
    name.replace(0, name.find('\\'), "Local");
    mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
  }
  if (mutex == nullptr) return false;  // nobody ever ran on it
  const DWORD wait = WaitForSingleObject(mutex, 0);
  if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) ReleaseMutex(mutex);
  CloseHandle(mutex);
  return wait == WAIT_TIMEOUT;
}

}  // namespace

std::string Win32Host::RunMutexName(const char* path) {
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (const char c : LowerPath(path)) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  char name[64];
  std::snprintf(name, sizeof name, "Global\\tx4077x-device-%016llx",
                static_cast<unsigned long long>(hash));
  return name;
}

void Win32Host::NoteInUse(const char* path) {
  unreachable_.push_back({path, UnreachableDevice::Why::InUse,
                          std::string(path) + " is in use by another program (device in use)"});
}

bool Win32Host::LockForWine(const char* path, void* device, bool exclusive, WineDiskLock& lock,
                            std::uint32_t& lastError) {
  if (lock.Take(device, exclusive) != WineDiskLock::Outcome::InUse) return true;
  lastError = ERROR_SHARING_VIOLATION;
  NoteInUse(path);
  return false;
}

bool Win32Host::BeginRun(const char* path, std::uint32_t& lastError) {
  lastError = 0;
  const std::string key = LowerPath(path);
  if (auto it = runs_.find(key); it != runs_.end()) {
    ++it->second.depth;
    return true;
  }
  HANDLE mutex = CreateRunMutex(path);
  if (mutex == nullptr) {
    lastError = GetLastError();
    return false;
  }
  // An abandoned mutex belonged to a program that ended: the device is free.
  const DWORD wait = WaitForSingleObject(mutex, 0);
  if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
    CloseHandle(mutex);
    lastError = wait == WAIT_TIMEOUT ? ERROR_SHARING_VIOLATION : GetLastError();
    if (wait == WAIT_TIMEOUT) NoteInUse(path);
    return false;
  }
  // Under Wine a Linux console may hold the disk: its lock is found through
  // the node behind the path, opened for no data (nothing is sent).
  WineDiskLock disk;
  HANDLE device = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
  if (device != INVALID_HANDLE_VALUE) {
    const bool free = LockForWine(path, device, true, disk, lastError);
    CloseHandle(device);
    if (!free) {
      ReleaseMutex(mutex);
      CloseHandle(mutex);
      return false;
    }
  }
  Run& run = runs_[key];
  run.mutex = mutex;
  run.depth = 1;
  run.disk = std::move(disk);
  return true;
}

void Win32Host::EndRun(const char* path) {
  const auto it = runs_.find(LowerPath(path));
  if (it == runs_.end() || --it->second.depth > 0) return;
  ReleaseMutex(it->second.mutex);
  CloseHandle(it->second.mutex);
  runs_.erase(it);
}

std::vector<UnreachableDevice> Win32Host::TakeUnreachable() {
  std::vector<UnreachableDevice> taken;
  taken.swap(unreachable_);
  return taken;
}

Handle Win32Host::OpenDevice(const char* path, std::uint32_t access, std::uint32_t share,
                             std::uint32_t& lastError) {
  const bool data = (access & (kGenericRead | kGenericWrite)) != 0;
  const bool outsideRun = data && runs_.count(LowerPath(path)) == 0;
  if (outsideRun && HeldElsewhere(path)) {
    lastError = ERROR_SHARING_VIOLATION;
    NoteInUse(path);
    return kInvalidHandle;
  }
  HANDLE h = CreateFileA(path, access, share, nullptr, OPEN_EXISTING, 0, nullptr);
  lastError = GetLastError();
  if (h == INVALID_HANDLE_VALUE) return kInvalidHandle;
  if (outsideRun) {
    WineDiskLock lock;
    if (!LockForWine(path, h, share == 0, lock, lastError)) {
      CloseHandle(h);
      return kInvalidHandle;
    }
    openLocks_[reinterpret_cast<Handle>(h)] = std::move(lock);
  }
  return reinterpret_cast<Handle>(h);
}

bool Win32Host::PassThrough(Handle handle, PassThroughRequest& request, std::uint32_t& lastError) {
  SCSI_PASS_THROUGH_DIRECT sptd{};
  sptd.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
  sptd.PathId = request.pathId;
  sptd.TargetId = request.targetId;
  sptd.Lun = request.lun;
  sptd.CdbLength = request.cdbLength;
  sptd.SenseInfoLength = request.senseInfoLength;
  sptd.DataIn = request.dataIn;
  sptd.DataTransferLength = request.dataTransferLength;
  sptd.TimeOutValue = request.timeOutValue;
  sptd.DataBuffer = request.dataBuffer;
  sptd.SenseInfoOffset = request.senseInfoOffset;
  std::memcpy(sptd.Cdb, request.cdb, sizeof sptd.Cdb);
  DWORD returned = 0;
  // A successful call need not clear the thread's last error; clear it first so
  // a stale value from an earlier call does not turn success into failure.
  SetLastError(0);
  const BOOL ok = DeviceIoControl(ToHandle(handle), IOCTL_SCSI_PASS_THROUGH_DIRECT, &sptd,
                                  sizeof sptd, &sptd, sizeof sptd, &returned, nullptr);
  lastError = GetLastError();
  request.scsiStatus = sptd.ScsiStatus;
  request.dataTransferLength = sptd.DataTransferLength;
  return ok != FALSE;
}

bool Win32Host::QueryDeviceNumber(Handle handle, DeviceNumber& number, std::uint32_t& lastError) {
  STORAGE_DEVICE_NUMBER sdn{};
  const bool ok = NumberOfHandle(ToHandle(handle), sdn);
  lastError = ok ? 0 : GetLastError();
  number.deviceType = sdn.DeviceType;
  number.deviceNumber = sdn.DeviceNumber;
  number.partitionNumber = sdn.PartitionNumber;
  return ok;
}

void Win32Host::CloseDevice(Handle handle) {
  CloseHandle(ToHandle(handle));
  openLocks_.erase(handle);
}

std::unique_ptr<InterfaceList> Win32Host::OpenInterfaceList(InterfaceClass cls) {
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

void Win32Host::NameDevice(const std::string& path) {
  if (!path.empty() && std::find(named_.begin(), named_.end(), path) == named_.end())
    named_.push_back(path);
}

bool Win32Host::NamesDevice(const std::string& recordPath, const std::string& given) {
  if (Discovery::NamesDevice(recordPath, given)) return true;
  // A named device's own record answers only to its own name: Wine gives
  // every drive the same made-up number.
  for (const std::string& name : named_)
    if (Discovery::NamesDevice(recordPath, name)) return false;
  return !given.empty() && SameDevice(recordPath, given);
}

std::string Win32Host::DiscoveryNote() {
  if (emptyDisk_.empty() || emptyCdrom_.empty()) return {};
  return "Windows lists no disk or CD-ROM interface (disk interfaces: " + emptyDisk_ +
         "; CD-ROM interfaces: " + emptyCdrom_ + ")";
}

std::uint32_t Win32Host::LogicalDrives() { return GetLogicalDrives(); }

std::string Win32Host::WindowsDirectory() {
  char dir[512] = {};
  GetWindowsDirectoryA(dir, sizeof dir);
  return dir;
}

unsigned Win32Host::DriveType(const char* root) { return GetDriveTypeA(root); }

void Win32Host::Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

void Win32Host::DebugOutput(const char* text) { OutputDebugStringA(text); }

}  // namespace host
