#include "console/session.h"

#include <algorithm>
#include <cstring>

#include "console/console.h"

namespace app {

void Say(Session& s, const std::string& line) {
  if (s.log != nullptr) s.log->Note(line);
  if (s.human == nullptr) return;
  std::fprintf(s.human, "%s\n", PrintableText(line).c_str());
}

void Complain(Session& s, const std::string& text) {
  if (s.progress != nullptr) s.progress->Clear();
  std::fprintf(s.err, "tx4077x-console: %s\n", PrintableText(text).c_str());
  std::fflush(s.err);
  if (s.progress != nullptr) s.progress->Redraw();
}

std::string RecordPath(const device::DeviceRecord& record) {
  return std::string(record.path, strnlen(record.path, sizeof record.path));
}

const device::DeviceRecord* RecordOf(const MainWindow& w, int entry) {
  const int count = w.recordCount < device::kMaxDevices ? w.recordCount : device::kMaxDevices;
  return entry >= 0 && entry < count ? &w.devices[entry] : nullptr;
}

int EntryCount(const MainWindow& w) {
  return std::min<int>({w.recordCount, device::kMaxDevices,
                        static_cast<int>(w.DeviceList.items().size())});
}

bool OwnEntry(const device::DeviceRecord& record) {
  return record.companion847 == 0 && record.companion842 == 0;
}

int EntryOfDevice(const MainWindow& w, host::Discovery& discovery, const std::string& given) {
  for (int k = 0; k < EntryCount(w); ++k) {
    if (OwnEntry(w.devices[k]) && discovery.NamesDevice(w.devices[k].path, given)) return k;
  }
  return -1;
}

int EntryOfEnclosure(const MainWindow& w, const std::string& path, int which) {
  if (!w.DeviceList.enabled()) return -1;
  for (int k = 0; k < EntryCount(w); ++k) {
    if (RecordPath(w.devices[k]) != path) continue;
    if (which-- == 0) return k;
  }
  return -1;
}

std::vector<std::string> ListedDevices(const MainWindow& w) {
  std::vector<std::string> paths;
  if (!w.DeviceList.enabled()) return paths;
  for (int k = 0; k < EntryCount(w); ++k)
    if (OwnEntry(w.devices[k])) paths.push_back(RecordPath(w.devices[k]));
  return paths;
}

std::string HoldProblem(const std::string& path, std::uint32_t lastError) {
  const std::string device = "cannot use " + PrintableText(path) + ": ";
  switch (lastError) {
    case host::kErrorSharingViolation:
      return device + "in use by another program (device in use); nothing was sent";
    case host::kErrorFileNotFound:
      return device + "not the device that was listed (unplugged or replaced); nothing was sent";
    case host::kErrorAccessDenied:
      return device + "permission denied (this user may not open it); nothing was sent";
    default:
      return device + "error " + std::to_string(lastError) + "; nothing was sent";
  }
}

std::vector<host::UnreachableDevice> Unreachable(host::Host& platform) {
  std::vector<host::UnreachableDevice> devices;
  for (host::UnreachableDevice& u : platform.discovery().TakeUnreachable()) {
    const bool seen = std::any_of(devices.begin(), devices.end(), [&](const auto& d) {
      return d.path == u.path;
    });
    if (!seen) devices.push_back(std::move(u));
  }
  return devices;
}

}  // namespace app
