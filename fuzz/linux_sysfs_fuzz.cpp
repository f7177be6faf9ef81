// Fuzzes the Linux host's discovery and volume listing on a sysfs tree and a
// mountinfo text built from the input in a scratch folder, the host's root.
// The input is text, one instruction a line, words split at single spaces:
//   disk NAME DEV DEVPATH   /sys/block/NAME, its dev file holding DEV, its
//                           device link to /sys/devices/DEVPATH (a SCSI unit)
//   plain NAME DEV DEVPATH  the same without the SCSI unit
//   part DISK NAME DEV      a partition of block DISK
//   driver DIR NAME         /sys/devices/DIR bound to driver NAME
//   usbif DIR               /sys/devices/DIR is a USB interface
//   mount LINE              LINE, as it is, is a line of /proc/self/mountinfo
// Names take a plain alphabet and never a name the tree itself uses, so every
// file lands inside the scratch folder where the builder means it to.
//
// Checked: each listed path parses back to its name and number, opens and
// reports that number; a block with a SCSI unit and a plain "major:minor" is
// listed; mount points are only those of the device's own volumes, never of
// one holding "/", each once, and all of them when every number is plain.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/linux_host.h"
#include "host/linux_sysfs.h"

namespace {

namespace fs = std::filesystem;
using Number = std::pair<unsigned, unsigned>;

void Check(bool ok) {
  if (!ok) std::abort();
}

// Names the tree uses itself, which an input name would collide with.
bool PlainName(std::string_view s) {
  static const char* const kTaken[] = {".",         "..",          "dev",
                                       "device",    "driver",      "partition",
                                       "scsi_device", "bInterfaceClass"};
  if (s.empty() || s.size() > 32) return false;
  for (const char* taken : kTaken)
    if (s == taken) return false;
  return std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == ':' || c == '.' || c == '_' || c == '-' || c == '+';
  });
}

bool PlainPath(std::string_view s) {
  int parts = 0;
  for (std::size_t at = 0;; ++parts) {
    const std::size_t slash = s.find('/', at);
    if (!PlainName(s.substr(at, slash - at)) || parts == 8) return false;
    if (slash == std::string_view::npos) return true;
    at = slash + 1;
  }
}

// "major:minor" in plain digits, both in 32 bits: what any parser must take.
std::optional<Number> PlainNumber(std::string_view s) {
  const std::size_t colon = s.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  auto digits = [](std::string_view d, unsigned& v) {
    if (d.empty() || !std::all_of(d.begin(), d.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return false;
    const auto [end, ec] = std::from_chars(d.data(), d.data() + d.size(), v);
    return ec == std::errc() && end == d.data() + d.size();
  };
  Number n;
  if (!digits(s.substr(0, colon), n.first) || !digits(s.substr(colon + 1), n.second))
    return std::nullopt;
  return n;
}

std::vector<std::string_view> Words(std::string_view line, std::size_t most) {
  std::vector<std::string_view> words;
  while (words.size() + 1 < most) {
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) break;
    words.push_back(line.substr(0, space));
    line.remove_prefix(space + 1);
  }
  words.push_back(line);
  return words;
}

struct Block {
  std::string dev;      // the dev file's text, as written
  std::string devpath;  // under /sys/devices
  std::map<std::string, std::string> partitions;  // name -> dev text
};

// What the input asks for, collected before anything is written so that
// folders and files come first and links last: no file is ever written
// through a link.
struct Plan {
  std::map<std::string, Block> blocks;
  std::set<std::string> scsiUnits;  // devpaths with a SCSI unit
  std::vector<std::pair<std::string, std::string>> drivers;
  std::set<std::string> usbInterfaces;
  std::string mountinfo;

  void Add(std::string_view line) {
    const std::vector<std::string_view> w = Words(line, line.compare(0, 6, "mount ") == 0 ? 2 : 5);
    if (w[0] == "mount" && w.size() == 2) {
      mountinfo.append(w[1]).append("\n");
    } else if ((w[0] == "disk" || w[0] == "plain") && w.size() == 4 && PlainName(w[1]) &&
               PlainPath(w[3]) && !blocks.count(std::string(w[1]))) {
      blocks[std::string(w[1])] = {std::string(w[2]), std::string(w[3]), {}};
      if (w[0] == "disk") scsiUnits.insert(std::string(w[3]));
    } else if (w[0] == "part" && w.size() == 4 && blocks.count(std::string(w[1])) &&
               PlainName(w[2])) {
      blocks[std::string(w[1])].partitions[std::string(w[2])] = std::string(w[3]);
    } else if (w[0] == "driver" && w.size() == 3 && PlainPath(w[1]) && PlainName(w[2])) {
      drivers.emplace_back(std::string(w[1]), std::string(w[2]));
    } else if (w[0] == "usbif" && w.size() == 2 && PlainPath(w[1])) {
      usbInterfaces.insert(std::string(w[1]));
    }
  }
};

class Tree {
 public:
  Tree() {
    // In memory where there is a tmpfs: on a disk the folders made and
    // removed for every input make the target wait on the journal.
    std::error_code ec;
    const fs::path shm = "/dev/shm";
    const fs::path top = fs::is_directory(shm, ec) ? shm : fs::temp_directory_path(ec);
    base_ = top / ("tx_fuzz_sysfs_" + std::to_string(::getpid()));
    root_ = (base_ / "root").string();
  }
  ~Tree() {
    std::error_code ec;
    fs::remove_all(base_, ec);
  }
  const std::string& root() const { return root_; }

  void Build(const Plan& plan) {
    std::error_code ec;
    fs::remove_all(root_, ec);
    for (const auto& [name, block] : plan.blocks) {
      Dir("/sys/devices/" + block.devpath);
      if (plan.scsiUnits.count(block.devpath)) Dir("/sys/devices/" + block.devpath + "/scsi_device");
      File("/sys/block/" + name + "/dev", block.dev + "\n");
      for (const auto& [part, dev] : block.partitions) {
        File("/sys/block/" + name + "/" + part + "/partition", "1\n");
        File("/sys/block/" + name + "/" + part + "/dev", dev + "\n");
      }
    }
    for (const std::string& dir : plan.usbInterfaces) File("/sys/devices/" + dir + "/bInterfaceClass", "08\n");
    File("/proc/self/mountinfo", plan.mountinfo);
    for (const auto& [name, block] : plan.blocks)
      Link("/sys/block/" + name + "/device", "../../devices/" + block.devpath);
    for (const auto& [dir, driver] : plan.drivers)
      Link("/sys/devices/" + dir + "/driver", "/sys/bus/any/drivers/" + driver);
  }

 private:
  void Dir(const std::string& path) {
    std::error_code ec;
    fs::create_directories(root_ + path, ec);
  }
  void File(const std::string& path, const std::string& text) {
    Dir(fs::path(path).parent_path().string());
    std::ofstream(root_ + path, std::ios::binary) << text;
  }
  void Link(const std::string& path, const std::string& target) {
    Dir(fs::path(path).parent_path().string());
    std::error_code ec;
    fs::create_symlink(target, root_ + path, ec);  // a second binding of a folder stays out
  }

  fs::path base_;
  std::string root_;
};

// A kernel whose /dev holds exactly the listed nodes.
class ListedNodes : public host::LinuxSys {
 public:
  std::map<std::string, dev_t> nodes;

  int Open(const char* path, int) override {
    const auto it = nodes.find(path);
    if (it == nodes.end()) {
      errno = ENOENT;
      return -1;
    }
    open_[next_] = it->second;
    return next_++;
  }
  int Fstat(int fd, struct stat* st) override {
    *st = {};
    st->st_mode = S_IFBLK | 0660;
    st->st_rdev = open_.at(fd);
    return 0;
  }
  int Ioctl(int, unsigned long, void*) override {
    errno = ENOTTY;
    return -1;
  }
  int Flock(int, int) override { return 0; }
  int Close(int fd) override { return open_.erase(fd) == 1 ? 0 : -1; }

 private:
  std::map<int, dev_t> open_;
  int next_ = 10;
};

struct Listed {
  std::string name;
  Number number;
  host::InterfaceClass cls;
  std::optional<std::uint64_t> diskSeq;
};

// The volumes of a block as the builder wrote them; none when a number is
// not plain, since then which volumes count is the parser's call.
std::optional<std::set<Number>> PlainVolumes(const Block& block) {
  std::set<Number> volumes;
  const std::optional<Number> own = PlainNumber(block.dev);
  if (!own) return std::nullopt;
  volumes.insert(*own);
  for (const auto& [part, dev] : block.partitions) {
    const std::optional<Number> n = PlainNumber(dev);
    if (!n) return std::nullopt;
    volumes.insert(*n);
  }
  return volumes;
}

void CheckMountPoints(host::LinuxHost& linux, const Plan& plan, const Listed& device,
                      const std::vector<Listed>& all) {
  host::DeviceNumber number;
  number.deviceNumber = host::PackedDeviceNumber(device.number.first, device.number.second);
  std::vector<std::string> points;
  Check(linux.volumes().MountPoints(number, points));

  std::set<std::string> seen;
  for (const std::string& p : points) Check(p != "/" && seen.insert(p).second);

  // The host finds the device by its packed number; a real kernel never
  // gives two nodes one number, a fuzzed tree may (majors above 4095).
  const auto owner = std::find_if(all.begin(), all.end(), [&](const Listed& l) {
    return host::PackedDeviceNumber(l.number.first, l.number.second) == number.deviceNumber;
  });
  if (owner->name != device.name) return;
  const std::optional<std::set<Number>> volumes = PlainVolumes(plan.blocks.at(device.name));
  if (!volumes) return;

  const std::vector<host::MountEntry> entries = host::ParseMountInfo(plan.mountinfo);
  std::set<Number> system;
  for (const host::MountEntry& e : entries)
    if (e.mountPoint == "/" && volumes->count({e.major, e.minor})) system.insert({e.major, e.minor});
  std::set<std::string> expected;
  for (const host::MountEntry& e : entries) {
    const Number n{e.major, e.minor};
    if (volumes->count(n) && !system.count(n)) expected.insert(e.mountPoint);
  }
  Check(seen == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Tree tree;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  Plan plan;
  for (int lines = 0; !text.empty() && lines < 64; ++lines) {
    const std::size_t end = text.find('\n');
    plan.Add(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  tree.Build(plan);

  ListedNodes sys;
  host::LinuxHost linux(sys, tree.root(), nullptr);
  std::vector<Listed> listed;
  for (host::InterfaceClass cls : {host::InterfaceClass::Disk, host::InterfaceClass::Cdrom}) {
    const std::unique_ptr<host::InterfaceList> list = linux.discovery().OpenInterfaceList(cls);
    std::string path;
    for (std::uint32_t i = 0; list->Member(i, path); ++i) {
      Listed l{"", {}, cls, std::nullopt};
      host::DeviceId id;
      Check(host::ParseDevicePath(path, id));
      l.name = id.name;
      l.number = {id.major, id.minor};
      l.diskSeq = id.diskSeq;
      Check(host::DevicePath({l.name, l.number.first, l.number.second, host::Bus::Other, l.diskSeq,
                              std::nullopt}) == path);
      Check(l.name.compare(0, 2, cls == host::InterfaceClass::Disk ? "sd" : "sr") == 0);
      Check(plan.blocks.count(l.name) == 1);
      Check(std::none_of(listed.begin(), listed.end(), [&](const Listed& o) { return o.name == l.name; }));
      listed.push_back(l);
      sys.nodes["/dev/" + l.name] = makedev(l.number.first, l.number.second);
    }
  }
  // Every block with a SCSI unit, a class prefix and a plain number is there.
  for (const auto& entry : plan.blocks) {
    const std::string& name = entry.first;
    const Block& block = entry.second;
    const std::optional<Number> n = PlainNumber(block.dev);
    if (!n || !plan.scsiUnits.count(block.devpath) ||
        (name.compare(0, 2, "sd") != 0 && name.compare(0, 2, "sr") != 0))
      continue;
    Check(std::any_of(listed.begin(), listed.end(),
                      [&](const Listed& l) { return l.name == name && l.number == *n; }));
  }

  for (const Listed& l : listed) {
    // The path round trip through the host: the node opens as the device
    // discovery saw, and reports that number.
    const std::string path = host::DevicePath(
        {l.name, l.number.first, l.number.second, host::Bus::Other, l.diskSeq, std::nullopt});
    std::uint32_t error = 0;
    const host::Handle h =
        linux.passThrough().OpenDevice(path.c_str(), host::kGenericRead | host::kGenericWrite,
                                       host::kShareRead | host::kShareWrite, error);
    Check(h != host::kInvalidHandle);
    host::DeviceNumber number;
    Check(linux.passThrough().QueryDeviceNumber(h, number, error));
    Check(number.deviceNumber == host::PackedDeviceNumber(l.number.first, l.number.second));
    Check(number.deviceType == (l.cls == host::InterfaceClass::Disk ? host::kDeviceTypeDisk
                                                                    : host::kDeviceTypeCdrom));
    linux.passThrough().CloseDevice(h);
    CheckMountPoints(linux, plan, l, listed);
  }
  return 0;
}
