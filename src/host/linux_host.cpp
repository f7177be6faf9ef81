#include "host/linux_host.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/file.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include "host/linux_sysfs.h"
#include "host/stdio_file.h"

namespace host {

namespace {

constexpr unsigned char kHostTimeOut = 0x03;    // DID_TIME_OUT
constexpr unsigned char kHostNoConnect = 0x01;  // DID_NO_CONNECT: the device is gone
constexpr unsigned char kDriverTimeOut = 0x06;  // DRIVER_TIMEOUT
constexpr unsigned char kDriverSense = 0x08;    // DRIVER_SENSE: sense data came with the status

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

bool GoneError(int error) { return error == ENODEV || error == ENXIO; }

// One request as SG_IO takes it. The device layer asks for no sense data: a
// CHECK CONDITION is judged by the status alone, as on Windows; what the
// kernel takes anyway lands in sense.
sg_io_hdr_t SgRequest(PassThroughRequest& request, std::uint32_t length, unsigned char* sense,
                      unsigned char senseSize) {
  sg_io_hdr_t io{};
  io.interface_id = 'S';
  io.dxfer_direction =
      length == 0 ? SG_DXFER_NONE : (request.dataIn ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV);
  io.cmd_len = static_cast<unsigned char>(std::clamp<int>(request.cdbLength, 1, 16));
  io.cmdp = request.cdb;
  io.mx_sb_len = senseSize;
  io.sbp = sense;
  io.dxfer_len = length;
  io.dxferp = length == 0 ? nullptr : request.dataBuffer;
  io.timeout = request.timeOutValue > 4000000u ? 4000000000u : request.timeOutValue * 1000u;
  return io;
}

// The last-error value of an exchange the kernel carried: what the host
// adapter or driver said about the transport (0 when it went through).
std::uint32_t TransportError(const sg_io_hdr_t& io) {
  const unsigned driver = io.driver_status & 0x0F;
  if (io.host_status == kHostTimeOut || driver == kDriverTimeOut) return kErrorSemTimeout;
  if (io.host_status == kHostNoConnect) return kErrorFileNotFound;
  if (io.host_status != 0 || (driver != 0 && driver != kDriverSense)) return kErrorIoDevice;
  return 0;
}

}  // namespace

LinuxHost::LinuxHost(LinuxSys& sys, std::string root, std::FILE* notes)
    : sys_(sys), root_(std::move(root)), notes_(notes) {}

LinuxHost::~LinuxHost() {
  for (auto& [path, run] : runs_) {
    Release(run.fd);
    Release(run.keys);
  }
  for (auto& [handle, open] : open_) Release(open.keys);
  for (const auto& [name, sectors] : raised_)
    WriteSysNumber(root_, "/sys/block/" + name + "/device/max_sectors", sectors);
  for (const auto& [block, t] : traffic_) {
    const std::string line = "host: " + std::to_string(t.commands) + " commands to " + block +
                             " in " + std::to_string(t.opens) + " opens\n";
    DebugOutput(line.c_str());
  }
}

void LinuxHost::Note(const std::string& text) {
  if (notes_ == nullptr) return;
  std::fprintf(notes_, "tx4077x: %s\n", text.c_str());
  std::fflush(notes_);
}

std::string LinuxHost::AccessText(const std::string& node, const std::string& block) {
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

bool LinuxHost::StillTheDisk(const DeviceId& id, const std::optional<ScsiGeneric>& sg) {
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

int LinuxHost::OpenChecked(const DeviceId& id, const std::string& path, bool pathOnly,
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

bool LinuxHost::Lock(int fd, int operation, const std::string& node, const std::string& path,
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
int LinuxHost::OpenLockFile(const std::string& key, bool& writable) {
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
bool LinuxHost::RecordLock(int fd, bool exclusive, const std::string& node,
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

bool LinuxHost::LockDevice(int fd, int operation, const DeviceId& id, const std::string& node,
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

void LinuxHost::Release(int& fd) {
  if (fd >= 0) sys_.Close(fd);  // also drops its lock
  fd = -1;
}

void LinuxHost::Release(std::vector<int>& fds) {
  for (int& fd : fds) Release(fd);
  fds.clear();
}

Handle LinuxHost::OpenDevice(const char* path, std::uint32_t access, std::uint32_t share,
                             std::uint32_t& lastError) {
  lastError = 0;
  DeviceId id;
  if (path == nullptr || !ParseDevicePath(path, id)) {
    lastError = kErrorFileNotFound;
    return kInvalidHandle;
  }
  OpenNode open;
  open.path = path;
  open.block = id.name;
  open.pathOnly = access == 0;
  const auto run = open.pathOnly ? runs_.end() : runs_.find(path);
  if (run != runs_.end()) {
    // The run's descriptor, opened again only when a failure closed it.
    if (run->second.fd < 0) {
      const int fd = OpenChecked(id, path, false, run->second.node, lastError);
      if (fd < 0) return kInvalidHandle;
      if (!LockDevice(fd, LOCK_EX, id, run->second.node, path, true, run->second.keys,
                      lastError)) {
        sys_.Close(fd);
        return kInvalidHandle;
      }
      run->second.fd = fd;
      ++run->second.traffic.opens;
    }
    open.fd = run->second.fd;
    open.node = run->second.node;
    open.ofRun = true;
  } else {
    open.fd = OpenChecked(id, path, open.pathOnly, open.node, lastError);
    if (open.fd < 0) return kInvalidHandle;
    if (!open.pathOnly && !LockDevice(open.fd, share == 0 ? LOCK_EX : LOCK_SH, id, open.node,
                                      path, false, open.keys, lastError)) {
      sys_.Close(open.fd);
      return kInvalidHandle;
    }
  }
  const Handle handle = nextHandle_++;
  open_[handle] = open;
  return handle;
}

bool LinuxHost::BeginRun(const char* path, std::uint32_t& lastError) {
  lastError = 0;
  DeviceId id;
  if (path == nullptr || !ParseDevicePath(path, id)) {
    lastError = kErrorFileNotFound;
    return false;
  }
  if (auto it = runs_.find(path); it != runs_.end()) {
    ++it->second.depth;
    return true;
  }
  Run run;
  run.block = id.name;
  run.fd = OpenChecked(id, path, false, run.node, lastError);
  if (run.fd < 0) return false;
  if (!LockDevice(run.fd, LOCK_EX, id, run.node, path, true, run.keys, lastError)) {
    sys_.Close(run.fd);
    return false;
  }
  run.depth = 1;
  run.traffic.opens = 1;
  runs_[path] = run;
  return true;
}

void LinuxHost::EndRun(const char* path) {
  const auto it = path == nullptr ? runs_.end() : runs_.find(path);
  if (it == runs_.end() || --it->second.depth > 0) return;
  for (auto h = open_.begin(); h != open_.end();)  // handles left open lose the run's node
    h = h->second.ofRun && h->second.path == it->first ? open_.erase(h) : std::next(h);
  Release(it->second.fd);
  Release(it->second.keys);
  const std::string block = it->second.block;
  const std::string line = "host: run on " + block + ": " +
                           std::to_string(it->second.traffic.commands) + " commands, " +
                           std::to_string(it->second.traffic.opens) + " opens\n";
  DebugOutput(line.c_str());
  runs_.erase(it);
  PutBackLimit(block);
}

void LinuxHost::PutBackLimit(const std::string& block) {
  const auto it = raised_.find(block);
  if (it == raised_.end()) return;
  WriteSysNumber(root_, "/sys/block/" + block + "/device/max_sectors", it->second);
  raised_.erase(it);
}

LinuxHost::Traffic LinuxHost::trafficOf(const std::string& block) const {
  const auto it = traffic_.find(block);
  return it == traffic_.end() ? Traffic{} : it->second;
}

bool LinuxHost::FitTransfer(const std::string& name, std::uint32_t length) {
  const std::string queue = "/sys/block/" + name + "/queue/";
  const std::optional<unsigned long> limitKb = ReadSysNumber(root_, queue + "max_hw_sectors_kb");
  // SG_IO refuses (EIO) what exceeds the queue's hardware limit.
  if (!limitKb || length <= *limitKb * 1024) return true;  // unknown: the kernel judges
  // usb-storage lets root raise that limit through the device's max_sectors.
  const unsigned long needed = std::max<unsigned long>((length + 511) / 512, 2048);
  const std::string attribute = "/sys/block/" + name + "/device/max_sectors";
  const std::optional<unsigned long> sectors = ReadSysNumber(root_, attribute);
  bool writeFailed = false;
  if (sectors && *sectors < needed) {
    if (WriteSysNumber(root_, attribute, needed))
      raised_.emplace(name, *sectors);  // keeps the first, original value
    else
      writeFailed = true;
  }
  const std::optional<unsigned long> nowKb = ReadSysNumber(root_, queue + "max_hw_sectors_kb");
  if (nowKb && length <= *nowKb * 1024) return true;
  std::ostringstream text;
  text << "/dev/" << name << " takes at most " << (nowKb ? *nowKb : *limitKb)
       << " KiB in one command and this one needs " << (length + 1023) / 1024 << " KiB";
  if (writeFailed)
    text << "; raising the limit needs root";
  else if (!sectors)
    text << "; its driver does not let the limit be raised";
  Note(text.str());
  return false;
}

bool LinuxHost::PassThrough(Handle handle, PassThroughRequest& request, std::uint32_t& lastError) {
  lastError = 0;
  lastSenseLength_ = 0;
  const auto it = open_.find(handle);
  const std::uint32_t length = request.dataTransferLength;
  request.dataTransferLength = 0;
  if (it == open_.end() || it->second.pathOnly) {
    lastError = kErrorInvalidFunction;
    return false;
  }
  const OpenNode& open = it->second;
  if (length > 0 && !FitTransfer(open.block, length)) {
    lastError = kErrorIoDevice;
    return false;
  }
  unsigned char sense[32] = {};
  sg_io_hdr_t io = SgRequest(request, length, sense, sizeof sense);

  ++traffic_[open.block].commands;
  if (open.ofRun) {
    if (const auto run = runs_.find(open.path); run != runs_.end()) ++run->second.traffic.commands;
  }
  const int result = sys_.Ioctl(open.fd, SG_IO, &io);
  const int error = result != 0 ? errno : 0;
  // The device is gone: a run's descriptor is of no more use, and the next
  // open finds out whether the disk came back as itself.
  if ((GoneError(error) || (result == 0 && io.host_status == kHostNoConnect)) && open.ofRun) {
    const auto run = runs_.find(open.path);
    if (run != runs_.end() && run->second.fd == open.fd) {
      Release(run->second.fd);
      Release(run->second.keys);
    }
  }
  if (result != 0) {
    lastError = ErrorFromErrno(error);
    if (lastError == kErrorAccessDenied && !permissionNoted_) {
      permissionNoted_ = true;
      Note("the kernel refused a command block on " + open.node +
           " (no permission): without an sg node for it, vendor commands need root");
    }
    return false;
  }
  request.scsiStatus = io.status;
  lastSenseLength_ = std::min<std::size_t>(io.sb_len_wr, sizeof lastSense_);
  std::memcpy(lastSense_, sense, lastSenseLength_);
  const std::uint32_t residue =
      io.resid > 0 ? std::min<std::uint32_t>(static_cast<std::uint32_t>(io.resid), length) : 0;
  request.dataTransferLength = length - residue;
  lastError = TransportError(io);
  return lastError == 0;
}

std::size_t LinuxHost::LastSense(std::uint8_t* into, std::size_t size) {
  const std::size_t n = std::min(size, lastSenseLength_);
  std::memcpy(into, lastSense_, n);
  return n;
}

bool LinuxHost::QueryDeviceNumber(Handle handle, DeviceNumber& number, std::uint32_t& lastError) {
  const auto it = open_.find(handle);
  struct stat st {};
  if (it == open_.end() || sys_.Fstat(it->second.fd, &st) != 0) {
    lastError = it == open_.end() ? kErrorInvalidFunction : ErrorFromErrno(errno);
    return false;
  }
  lastError = 0;
  number.deviceType = it->second.block.compare(0, 2, "sr") == 0 ? kDeviceTypeCdrom : kDeviceTypeDisk;
  number.deviceNumber = PackedDeviceNumber(major(st.st_rdev), minor(st.st_rdev));
  number.partitionNumber = 0;
  return true;
}

void LinuxHost::CloseDevice(Handle handle) {
  const auto it = open_.find(handle);
  if (it == open_.end()) return;
  // A run's descriptor stays open with its lock until the run ends; a run
  // that reopened it after a failure closed this one already.
  const bool own = !it->second.ofRun;
  int fd = it->second.fd;
  std::vector<int> keys = std::move(it->second.keys);
  open_.erase(it);
  if (own) Release(fd);  // also drops the lock
  Release(keys);
}

bool LinuxHost::MountPoints(const DeviceNumber& device, std::vector<std::string>& mounts) {
  mounts.clear();
  const std::optional<std::string> info = ReadSysText(root_, "/proc/self/mountinfo");
  const std::vector<MountEntry> entries = info ? ParseMountInfo(*info) : std::vector<MountEntry>();
  for (InterfaceClass cls : {InterfaceClass::Disk, InterfaceClass::Cdrom}) {
    for (const BlockDevice& block : ScsiBlockDevices(root_, cls)) {
      if (PackedDeviceNumber(block.major, block.minor) != device.deviceNumber) continue;
      mounts = MountPointsOf(root_, block.name, entries);
      return true;
    }
  }
  return true;
}

void LinuxHost::Sleep(std::uint32_t milliseconds) {
  timespec wait{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

void LinuxHost::DebugOutput(const char* text) {
  // Like OutputDebugString without a debugger: seen only when asked for.
  if (std::getenv("TX4077X_DEBUG") != nullptr && notes_ != nullptr) std::fputs(text, notes_);
}

}  // namespace host
