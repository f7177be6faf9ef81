// The Linux host's device nodes: opening a disk's node checked against what
// discovery listed, and the locks that keep other programs' runs off it.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <sstream>
#include <vector>

#include "host/linux_host.h"
#include "host/linux_sysfs.h"

namespace host {

std::uint32_t ErrorFromErrno(int error) {
  switch (error) {
    case EPERM:
    case EACCES:
      return kErrorAccessDenied;
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return kErrorFileNotFound;
    case EWOULDBLOCK:
      return kErrorSharingViolation;
    case ETIMEDOUT:
      return kErrorSemTimeout;
    case EINVAL:
    case ENOTTY:
      return kErrorInvalidFunction;
    default:
      return kErrorIoDevice;
  }
}

namespace {

// The group a gid names in the system's group file; the number itself
// where it names none.
std::string GroupName(const std::string& root, unsigned gid) {
  const std::optional<std::string> text = ReadSysText(root, "/etc/group");
  std::istringstream lines(text ? *text : std::string());
  std::string line;
  while (std::getline(lines, line)) {
    // name:password:gid:members
    const std::size_t a = line.find(':');
    const std::size_t b = a == std::string::npos ? a : line.find(':', a + 1);
    const std::size_t c = b == std::string::npos ? b : line.find(':', b + 1);
    if (c == std::string::npos || line.substr(b + 1, c - b - 1) != std::to_string(gid)) continue;
    return line.substr(0, a);
  }
  return std::to_string(gid);
}

}  // namespace

LinuxNodes::LinuxNodes(LinuxSys& sys, std::string root, Trace& trace)
    : sys_(sys), root_(std::move(root)), trace_(trace) {}

LinuxNodes::~LinuxNodes() {
  for (const auto& [block, t] : traffic_) {
    const std::string line = "host: " + std::to_string(t.commands) + " commands to " + block +
                             " in " + std::to_string(t.opens) + " opens\n";
    trace_.DebugOutput(line.c_str());
  }
}

std::string LinuxNodes::AccessText(const std::string& node, const std::string& block) {
  // Whom the node is open to: O_PATH needs no permission on the node.
  std::string text = "cannot open " + node + " (" + block + "): permission denied; ";
  struct stat st {};
  const int fd = sys_.Open(node.c_str(), O_PATH | O_CLOEXEC);
  const bool known = fd >= 0 && sys_.Fstat(fd, &st) == 0;
  if (fd >= 0) sys_.Close(fd);
  if (!known) return text + "run as root";
  const std::string group = GroupName(root_, st.st_gid);
  if ((st.st_mode & 0060) == 0060)
    return text + "it is open to root and the group " + group +
           ": add this user to group " + group + " (or run as root)";
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  return text + "only root may use it (mode " + mode + ", group " + group + ")";
}

bool LinuxNodes::StillTheDisk(const DeviceId& id, const std::optional<ScsiGeneric>& sg) {
  // A disk number the kernel never gives twice tells a replacement apart
  // even where it took the same name and device number.
  if (id.diskSeq && DiskSequenceOf(root_, id.name) != id.diskSeq) return false;
  if (!sg) return true;  // the block node's own number was compared
  // The sg node belongs to this disk: sysfs links the two.
  const std::optional<ScsiGeneric> now = ScsiGenericOf(root_, id.name);
  if (!now || now->name != sg->name || now->major != sg->major || now->minor != sg->minor)
    return false;
  const std::optional<std::string> dev = ReadSysText(root_, "/sys/block/" + id.name + "/dev");
  unsigned major = 0, minor = 0;
  char tail = 0;
  return dev && std::sscanf(dev->c_str(), "%u:%u%c", &major, &minor, &tail) >= 2 &&
         (tail == 0 || tail == '\n') && major == id.major && minor == id.minor;
}

int LinuxNodes::OpenChecked(const DeviceId& id, const std::string& path, bool pathOnly,
                           std::string& node, std::uint32_t& lastError) {
  // A device-number query needs no data access, so it works for any user.
  // Never O_EXCL: it fails on a disk with a mounted partition.
  std::optional<ScsiGeneric> sg = pathOnly ? std::nullopt : ScsiGenericOf(root_, id.name);
  int fd = -1;
  if (sg) {
    node = "/dev/" + sg->name;
    fd = sys_.Open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) sg.reset();  // sysfs has it, /dev not: the block node
  }
  if (!sg) {
    node = "/dev/" + id.name;
    fd = sys_.Open(node.c_str(), pathOnly ? O_PATH | O_CLOEXEC : O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  }
  if (fd < 0) {
    const int error = errno;
    lastError = ErrorFromErrno(error);
    if (!pathOnly && (error == EACCES || error == EPERM))
      unreachable_.push_back(
          {path, UnreachableDevice::Why::AccessDenied, AccessText(node, id.name)});
    return -1;
  }
  // The node must still be the device discovery saw: after a replug the same
  // name may belong to another disk.
  struct stat st {};
  const bool sameNode =
      sys_.Fstat(fd, &st) == 0 &&
      (sg ? S_ISCHR(st.st_mode) && major(st.st_rdev) == sg->major && minor(st.st_rdev) == sg->minor
          : S_ISBLK(st.st_mode) && major(st.st_rdev) == id.major && minor(st.st_rdev) == id.minor);
  if (!sameNode || !StillTheDisk(id, sg)) {
    sys_.Close(fd);
    lastError = kErrorFileNotFound;
    return -1;
  }
  if (!pathOnly) ++traffic_[id.name].opens;
  return fd;
}

bool LinuxNodes::Lock(int fd, int operation, const std::string& node, const std::string& path,
                     std::uint32_t& lastError) {
  if (sys_.Flock(fd, operation | LOCK_NB) == 0) return true;
  const int error = errno;
  lastError = error == EWOULDBLOCK ? kErrorSharingViolation : ErrorFromErrno(error);
  if (error == EWOULDBLOCK)
    unreachable_.push_back(
        {path, UnreachableDevice::Why::InUse,
         node + " is in use by another program (device in use): nothing was sent to it"});
  return false;
}

// The lock file, open to every user for writing: a Windows console under
// Wine, whose exclusive lock is a write lock, must be able to take it
// whoever made the file. Read-only where it cannot be opened for writing.
int LinuxNodes::OpenLockFile(const std::string& key, bool& writable) {
  constexpr int kFlags = O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int k = ::open(key.c_str(), O_RDWR | kFlags, 0666);
  writable = k >= 0;
  if (k < 0 && (errno == EACCES || errno == EROFS)) k = ::open(key.c_str(), O_RDONLY | kFlags, 0666);
  struct stat st {};
  if (writable && ::fstat(k, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
      (st.st_mode & 0666) != 0666)
    ::fchmod(k, 0666);  // the umask took the others' write bits
  return k;
}

// A record lock on the whole lock file beside its flock: the two kinds do
// not see each other, and Wine turns LockFileEx into record locks (held by
// wineserver), so this is what a Windows console under Wine meets. An open
// file description lock, so it belongs to this descriptor as flock does:
// closing another descriptor of the file does not drop it.
bool LinuxNodes::RecordLock(int fd, bool exclusive, const std::string& node,
                           const std::string& path, std::uint32_t& lastError) {
  struct flock range {};
  range.l_type = exclusive ? F_WRLCK : F_RDLCK;
  range.l_whence = SEEK_SET;
  if (::fcntl(fd, F_OFD_SETLK, &range) == 0) return true;
  const int error = errno;
  if (error != EAGAIN && error != EACCES) return true;  // no record locks here: flock stands alone
  lastError = kErrorSharingViolation;
  unreachable_.push_back(
      {path, UnreachableDevice::Why::InUse,
       node + " is in use by another program (device in use): nothing was sent to it"});
  return false;
}

bool LinuxNodes::LockDevice(int fd, int operation, const DeviceId& id, const std::string& node,
                           const std::string& path, bool run, std::vector<int>& keys,
                           std::uint32_t& lastError) {
  if (!Lock(fd, operation, node, path, lastError)) return false;
  const auto hold = [&](int k, const std::string& name) {
    if (!Lock(k, operation, name, path, lastError)) {
      sys_.Close(k);
      for (int& held : keys) Release(held);
      keys.clear();
      return false;
    }
    keys.push_back(k);
    return true;
  };
  // The disk's own lock file, whatever node carries the commands: a program
  // that reaches the disk through its block node alone (a container given
  // only /dev/sdX) and one through its sg node meet there. No device is
  // opened for it, so the kernel sends the disk nothing. Where the folder
  // is missing or not open to this user, the node locks stand alone.
  const std::string key = root_ + "/run/lock/tx4077x-" + std::to_string(id.major) + "-" +
                          std::to_string(id.minor) + ".lock";
  bool writable = true;
  const int k = OpenLockFile(key, writable);
  struct stat st {};
  if (k >= 0 && (::fstat(k, &st) != 0 || !S_ISREG(st.st_mode))) {
    ::close(k);
  } else if (k >= 0 && !hold(k, node)) {
    return false;
  } else if (k >= 0 && !RecordLock(k, operation == LOCK_EX && writable, node, path, lastError)) {
    Release(keys);
    return false;
  }
  // A run also locks the block node beside the sg node, for a program that
  // sees another /run/lock; opening a block node makes the kernel talk to
  // the disk, so single commands leave it alone.
  const std::string block = "/dev/" + id.name;
  if (!run || node == block) return true;
  const int b = sys_.Open(block.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (b < 0) return true;
  if (sys_.Fstat(b, &st) != 0 || !S_ISBLK(st.st_mode) || major(st.st_rdev) != id.major ||
      minor(st.st_rdev) != id.minor) {
    sys_.Close(b);  // not this disk's node: nothing of it to lock
    return true;
  }
  return hold(b, block);
}

void LinuxNodes::Release(int& fd) {
  if (fd >= 0) sys_.Close(fd);  // also drops its lock
  fd = -1;
}

void LinuxNodes::Release(std::vector<int>& fds) {
  for (int& fd : fds) Release(fd);
  fds.clear();
}

LinuxNodes::Traffic LinuxNodes::trafficOf(const std::string& block) const {
  const auto it = traffic_.find(block);
  return it == traffic_.end() ? Traffic{} : it->second;
}

std::vector<UnreachableDevice> LinuxNodes::TakeUnreachable() {
  std::vector<UnreachableDevice> taken;
  taken.swap(unreachable_);
  return taken;
}

}  // namespace host
