// The Windows host's run locks: a named mutex per device path that every
// process of the machine sees, and under Wine the disk's lock file that a
// Linux console meets.
#include "host/win32_host.h"

#include <windows.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

namespace host {

namespace {

std::string LowerPath(const char* path) {
  std::string key = path;
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

// The mutex of path, where this process may have it: the machine's own
// namespace for an administrator, else the session's.
HANDLE CreateRunMutex(const char* path) {
  std::string name = Win32RunLocks::RunMutexName(path);
  HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
  if (mutex == nullptr && GetLastError() == ERROR_ACCESS_DENIED) {
    name.replace(0, name.find('\\'), "Local");
    mutex = CreateMutexA(nullptr, FALSE, name.c_str());
  }
  return mutex;
}

// Whether another thread or process holds path's mutex now.
bool HeldByAnother(const char* path) {
  std::string name = Win32RunLocks::RunMutexName(path);
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

std::string Win32RunLocks::RunMutexName(const char* path) {
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

Win32RunLocks::~Win32RunLocks() {
  for (auto& [key, run] : runs_) {
    ReleaseMutex(run.mutex);
    CloseHandle(run.mutex);
  }
}

bool Win32RunLocks::Holds(const char* path) const { return runs_.count(LowerPath(path)) != 0; }

bool Win32RunLocks::HeldElsewhere(const char* path, std::uint32_t& lastError) {
  if (!HeldByAnother(path)) return false;
  lastError = ERROR_SHARING_VIOLATION;
  NoteInUse(path);
  return true;
}

void Win32RunLocks::NoteInUse(const char* path) {
  unreachable_.push_back({path, UnreachableDevice::Why::InUse,
                          std::string(path) + " is in use by another program (device in use)"});
}

bool Win32RunLocks::LockForWine(const char* path, void* device, bool exclusive, WineDiskLock& lock,
                            std::uint32_t& lastError) {
  if (lock.Take(device, exclusive) != WineDiskLock::Outcome::InUse) return true;
  lastError = ERROR_SHARING_VIOLATION;
  NoteInUse(path);
  return false;
}

bool Win32RunLocks::BeginRun(const char* path, std::uint32_t& lastError) {
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

void Win32RunLocks::EndRun(const char* path) {
  const auto it = runs_.find(LowerPath(path));
  if (it == runs_.end() || --it->second.depth > 0) return;
  ReleaseMutex(it->second.mutex);
  CloseHandle(it->second.mutex);
  runs_.erase(it);
}

std::vector<UnreachableDevice> Win32RunLocks::TakeUnreachable() {
  std::vector<UnreachableDevice> taken;
  taken.swap(unreachable_);
  return taken;
}

}  // namespace host
