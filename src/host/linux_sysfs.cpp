#include "host/linux_sysfs.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace host {

namespace fs = std::filesystem;

namespace {

bool ParseDevNumber(const std::string& text, unsigned& major, unsigned& minor) {
  unsigned a = 0, b = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%u:%u%c", &a, &b, &tail) < 2) return false;
  if (tail != 0 && tail != '\n') return false;
  major = a;
  minor = b;
  return true;
}

constexpr const char* kDiskSeqTag = "#diskseq=";

bool AllDigits(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string LinkName(const fs::path& link) {
  std::error_code ec;
  const fs::path target = fs::read_symlink(link, ec);
  return ec ? std::string() : target.filename().string();
}

// mountinfo escapes space, tab, newline and backslash as \ooo.
std::string Unescape(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string digits = field.substr(i + 1, 3);
      if (digits.size() == 3 &&
          std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; })) {
        out += static_cast<char>(std::stoi(digits, nullptr, 8));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

}  // namespace

std::optional<std::string> ReadSysText(const std::string& root, const std::string& path) {
  std::ifstream in(root + path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return text.str();
}

std::optional<unsigned long> ReadSysNumber(const std::string& root, const std::string& path) {
  const std::optional<std::string> text = ReadSysText(root, path);
  if (!text) return std::nullopt;
  unsigned long value = 0;
  if (std::sscanf(text->c_str(), "%lu", &value) != 1) return std::nullopt;
  return value;
}

bool WriteSysNumber(const std::string& root, const std::string& path, unsigned long value) {
  std::ofstream out(root + path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out << value << '\n';
  out.flush();
  return static_cast<bool>(out);
}

Bus BusOfBlock(const std::string& root, const std::string& name) {
  std::error_code ec;
  const fs::path top = fs::weakly_canonical(fs::path(root + "/sys"), ec);
  fs::path dir = fs::canonical(fs::path(root + "/sys/block/" + name + "/device"), ec);
  if (ec) return Bus::Other;
  // Walk up the device's ancestry to the sysfs top.
  while (!dir.empty() && dir != top && dir != dir.root_path()) {
    const std::string driver = LinkName(dir / "driver");
    if (fs::exists(dir / "bInterfaceClass") && (driver == "usb-storage" || driver == "uas"))
      return Bus::Usb;
    if (driver == "firewire_sbp2") return Bus::Ieee1394;
    dir = dir.parent_path();
  }
  return Bus::Other;
}

std::vector<BlockDevice> ScsiBlockDevices(const std::string& root, InterfaceClass cls) {
  const std::string prefix = cls == InterfaceClass::Disk ? "sd" : "sr";
  std::vector<BlockDevice> found;
  std::error_code ec;
  for (fs::directory_iterator it(root + "/sys/block", ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    std::error_code existsError;
    if (!fs::exists(it->path() / "device" / "scsi_device", existsError)) continue;
    const std::optional<std::string> dev = ReadSysText(root, "/sys/block/" + name + "/dev");
    BlockDevice device;
    device.name = name;
    if (!dev || !ParseDevNumber(*dev, device.major, device.minor)) continue;
    device.bus = BusOfBlock(root, name);
    device.diskSeq = DiskSequenceOf(root, name);
    device.sg = ScsiGenericOf(root, name);
    found.push_back(device);
  }
  std::sort(found.begin(), found.end(), [](const BlockDevice& a, const BlockDevice& b) {
    return a.name.size() != b.name.size() ? a.name.size() < b.name.size() : a.name < b.name;
  });
  return found;
}

std::optional<ScsiGeneric> ScsiGenericOf(const std::string& root, const std::string& name) {
  const std::string device = "/sys/block/" + name + "/device";
  std::string sg;
  std::string folder;
  std::error_code ec;
  for (fs::directory_iterator it(root + device + "/scsi_generic", ec), end; !ec && it != end;
       it.increment(ec)) {
    sg = it->path().filename().string();
    folder = device + "/scsi_generic/" + sg;
    break;
  }
  if (sg.empty()) {
    const std::string old = "scsi_generic:";
    for (fs::directory_iterator it(root + device, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string entry = it->path().filename().string();
      if (entry.compare(0, old.size(), old) != 0) continue;
      sg = entry.substr(old.size());
      folder = device + "/" + entry;
      break;
    }
  }
  // The name becomes a /dev path: only "sg" and digits.
  if (sg.size() < 3 || sg.compare(0, 2, "sg") != 0 ||
      !std::all_of(sg.begin() + 2, sg.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  ScsiGeneric node;
  node.name = sg;
  const std::optional<std::string> dev = ReadSysText(root, folder + "/dev");
  if (!dev || !ParseDevNumber(*dev, node.major, node.minor)) return std::nullopt;
  return node;
}

std::optional<std::uint64_t> DiskSequenceOf(const std::string& root, const std::string& name) {
  const std::optional<std::string> text = ReadSysText(root, "/sys/block/" + name + "/diskseq");
  if (!text) return std::nullopt;
  std::string digits = *text;
  if (!digits.empty() && digits.back() == '\n') digits.pop_back();
  if (!AllDigits(digits)) return std::nullopt;
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

std::string DevicePath(const BlockDevice& device) {
  std::string path = "/dev/" + device.name + "#" + std::to_string(device.major) + ":" +
                     std::to_string(device.minor);
  if (device.diskSeq) path += std::string(kDiskSeqTag) + std::to_string(*device.diskSeq);
  return path;
}

bool ParseDevicePath(const std::string& path, DeviceId& id) {
  const std::string dev = "/dev/";
  const std::size_t hash = path.find('#');
  if (path.compare(0, dev.size(), dev) != 0 || hash == std::string::npos) return false;
  const std::string node = path.substr(dev.size(), hash - dev.size());
  if (node.empty() || node.find('/') != std::string::npos || node == "." || node == "..")
    return false;
  std::string number = path.substr(hash + 1);
  DeviceId parsed;
  const std::size_t seq = number.find(kDiskSeqTag);
  if (seq != std::string::npos) {
    const std::string digits = number.substr(seq + std::strlen(kDiskSeqTag));
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (!AllDigits(digits) || error != std::errc() || end != digits.data() + digits.size())
      return false;
    parsed.diskSeq = value;
    number.resize(seq);
  }
  if (number.empty() || !std::all_of(number.begin(), number.end(), [](char c) {
        return (c >= '0' && c <= '9') || c == ':';
      }))
    return false;
  if (!ParseDevNumber(number, parsed.major, parsed.minor)) return false;
  parsed.name = node;
  id = parsed;
  return true;
}

bool ParseDevicePath(const std::string& path, std::string& name, unsigned& major,
                     unsigned& minor) {
  DeviceId id;
  if (!ParseDevicePath(path, id)) return false;
  name = id.name;
  major = id.major;
  minor = id.minor;
  return true;
}

std::vector<MountEntry> ParseMountInfo(const std::string& text) {
  std::vector<MountEntry> entries;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string id, parent, dev, fsRoot, mountPoint;
    if (!(fields >> id >> parent >> dev >> fsRoot >> mountPoint)) continue;
    MountEntry entry;
    if (!ParseDevNumber(dev, entry.major, entry.minor)) continue;
    entry.mountPoint = Unescape(mountPoint);
    entries.push_back(entry);
  }
  return entries;
}

std::vector<std::string> MountPointsOf(const std::string& root, const std::string& name,
                                       const std::vector<MountEntry>& mounts) {
  // The device itself (a partitionless disk, a CD-ROM) and each partition.
  std::vector<std::pair<unsigned, unsigned>> volumes;
  auto addVolume = [&](const std::string& devFile) {
    const std::optional<std::string> dev = ReadSysText(root, devFile);
    unsigned major = 0, minor = 0;
    if (dev && ParseDevNumber(*dev, major, minor)) volumes.emplace_back(major, minor);
  };
  addVolume("/sys/block/" + name + "/dev");
  std::error_code ec;
  for (fs::directory_iterator it(root + "/sys/block/" + name, ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code existsError;
    if (fs::exists(it->path() / "partition", existsError))
      addVolume("/sys/block/" + name + "/" + it->path().filename().string() + "/dev");
  }

  const auto volumeOf = [&](const MountEntry& m) {
    return std::find(volumes.begin(), volumes.end(), std::make_pair(m.major, m.minor)) !=
           volumes.end();
  };
  std::vector<std::pair<unsigned, unsigned>> system;
  for (const MountEntry& m : mounts)
    if (m.mountPoint == "/" && volumeOf(m)) system.emplace_back(m.major, m.minor);

  std::vector<std::string> points;
  for (const MountEntry& m : mounts) {
    if (!volumeOf(m)) continue;
    if (std::find(system.begin(), system.end(), std::make_pair(m.major, m.minor)) != system.end())
      continue;
    if (std::find(points.begin(), points.end(), m.mountPoint) == points.end())
      points.push_back(m.mountPoint);
  }
  return points;
}

}  // namespace host
