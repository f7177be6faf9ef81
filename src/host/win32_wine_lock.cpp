#include "host/win32_wine_lock.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <utility>

namespace host {

namespace {

// Wine's own exports from kernel32; absent on Windows, which is how a
// program tells it runs under Wine.
using UnixNameOf = char*(CDECL*)(LPCWSTR);
using DosNameOf = WCHAR*(CDECL*)(LPCSTR);

struct WineCalls {
  UnixNameOf unixName = nullptr;
  DosNameOf dosName = nullptr;
};

const WineCalls* Wine() {
  static const WineCalls calls = [] {
    WineCalls found;
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (kernel == nullptr) return found;
    found.unixName = reinterpret_cast<UnixNameOf>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_unix_file_name")));
    found.dosName = reinterpret_cast<DosNameOf>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_dos_file_name")));
    return found;
  }();
  return calls.unixName != nullptr && calls.dosName != nullptr ? &calls : nullptr;
}

// The Unix path Wine opened for a handle ("/dev/sdd" for a drive letter
// whose dosdevices entry links to it); empty when it cannot be told.
std::string UnixPathOf(const WineCalls& wine, HANDLE handle) {
  wchar_t dos[MAX_PATH + 8] = {};
  const DWORD n = GetFinalPathNameByHandleW(handle, dos, MAX_PATH + 4, FILE_NAME_NORMALIZED);
  if (n == 0 || n > MAX_PATH + 4) return {};
  char* unix = wine.unixName(dos);
  if (unix == nullptr) return {};
  std::string path = unix;
  HeapFree(GetProcessHeap(), 0, unix);
  return path;
}

// A Unix file through Wine's name for it.
HANDLE OpenUnixFile(const WineCalls& wine, const std::string& path, DWORD access,
                    DWORD disposition) {
  WCHAR* dos = wine.dosName(path.c_str());
  if (dos == nullptr) return INVALID_HANDLE_VALUE;
  HANDLE h = CreateFileW(dos, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  HeapFree(GetProcessHeap(), 0, dos);
  return h;
}

// A block node's numbers as sysfs gives them, and its name; false when
// sysfs does not list it.
bool BlockNumbersOf(const WineCalls& wine, const std::string& node, unsigned& major,
                    unsigned& minor, std::string& name) {
  const std::string dev = "/dev/";
  if (node.compare(0, dev.size(), dev) != 0) return false;
  name = node.substr(dev.size());
  if (name.empty() || name.find('/') != std::string::npos || name[0] == '.') return false;
  HANDLE numbers = OpenUnixFile(wine, "/sys/class/block/" + name + "/dev", GENERIC_READ,
                                OPEN_EXISTING);
  if (numbers == INVALID_HANDLE_VALUE) return false;
  char text[32] = {};
  DWORD got = 0;
  const BOOL read = ReadFile(numbers, text, sizeof text - 1, &got, nullptr);
  CloseHandle(numbers);
  char tail = 0;
  return read && std::sscanf(text, "%u:%u%c", &major, &minor, &tail) >= 2 &&
         (tail == 0 || tail == '\n');
}

// The lock file's Unix path for a block node, by the disk's numbers; empty
// when sysfs does not list it.
std::string LockFileOf(const WineCalls& wine, const std::string& node) {
  unsigned major = 0, minor = 0;
  std::string name;
  if (!BlockNumbersOf(wine, node, major, minor, name)) return {};
  return "/run/lock/tx4077x-" + std::to_string(major) + "-" + std::to_string(minor) + ".lock";
}

}  // namespace

WineDiskLock::~WineDiskLock() { Release(); }

WineDiskLock::WineDiskLock(WineDiskLock&& other) noexcept
    : file_(std::exchange(other.file_, nullptr)) {}

WineDiskLock& WineDiskLock::operator=(WineDiskLock&& other) noexcept {
  if (this != &other) {
    Release();
    file_ = std::exchange(other.file_, nullptr);
  }
  return *this;
}

void WineDiskLock::Release() {
  if (file_ == nullptr) return;
  OVERLAPPED from{};
  UnlockFileEx(file_, 0, MAXDWORD, MAXDWORD, &from);
  CloseHandle(file_);
  file_ = nullptr;
}

WineDiskLock::Outcome WineDiskLock::Take(void* device, bool exclusive) {
  Release();
  const WineCalls* wine = Wine();
  if (wine == nullptr) return Outcome::NotApplicable;
  const std::string key = LockFileOf(*wine, UnixPathOf(*wine, device));
  if (key.empty()) return Outcome::NotApplicable;
  // An exclusive lock becomes a write lock, which the file must be open
  // for writing to carry (Wine drops it silently otherwise).
  bool writable = true;
  HANDLE file = OpenUnixFile(*wine, key, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
  if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    writable = false;
    file = OpenUnixFile(*wine, key, GENERIC_READ, OPEN_EXISTING);
  }
  if (file == INVALID_HANDLE_VALUE) return Outcome::NotApplicable;  // no lock folder here
  if (GetFileType(file) != FILE_TYPE_DISK) {  // a device or pipe put in its place
    CloseHandle(file);
    return Outcome::NotApplicable;
  }
  OVERLAPPED from{};
  const DWORD flags =
      LOCKFILE_FAIL_IMMEDIATELY | (exclusive && writable ? LOCKFILE_EXCLUSIVE_LOCK : 0);
  if (!LockFileEx(file, flags, 0, MAXDWORD, MAXDWORD, &from)) {
    const DWORD error = GetLastError();
    CloseHandle(file);
    return error == ERROR_LOCK_VIOLATION ? Outcome::InUse : Outcome::NotApplicable;
  }
  file_ = file;
  return Outcome::Held;
}

bool WineBlockNumbers(void* device, unsigned& major, unsigned& minor, bool& cdrom) {
  const WineCalls* wine = Wine();
  std::string name;
  if (wine == nullptr || !BlockNumbersOf(*wine, UnixPathOf(*wine, device), major, minor, name))
    return false;
  cdrom = name.compare(0, 2, "sr") == 0;
  return true;
}

}  // namespace host
