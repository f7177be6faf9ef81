#include "host/linux_host.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/file.h>
#include <sys/sysmacros.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include "host/linux_sysfs.h"

namespace host {

namespace {

constexpr unsigned char kHostTimeOut = 0x03;    // DID_TIME_OUT
constexpr unsigned char kHostNoConnect = 0x01;  // DID_NO_CONNECT: the device is gone
constexpr unsigned char kDriverTimeOut = 0x06;  // DRIVER_TIMEOUT
constexpr unsigned char kDriverSense = 0x08;    // DRIVER_SENSE: sense data came with the status
constexpr int kCapSysRawIo = 17;

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

class SysfsList : public InterfaceList {
 public:
  explicit SysfsList(std::vector<BlockDevice> devices) : devices_(std::move(devices)) {}
  bool Member(std::uint32_t index, std::string& path) override {
    if (index >= devices_.size()) return false;
    path = DevicePath(devices_[index]);
    bus_ = devices_[index].bus;
    return true;
  }
  std::optional<Bus> MemberBus() const override { return bus_; }

 private:
  std::vector<BlockDevice> devices_;
  std::optional<Bus> bus_;
};

}  // namespace

LinuxHost::LinuxHost(LinuxSys& sys, std::string root, std::FILE* notes)
    : sys_(sys), root_(std::move(root)), notes_(notes) {}

LinuxHost::~LinuxHost() {
  for (const auto& [name, sectors] : raised_)
    WriteSysNumber(root_, "/sys/block/" + name + "/device/max_sectors", sectors);
}

void LinuxHost::Note(const std::string& text) {
  if (notes_ == nullptr) return;
  std::fprintf(notes_, "tx4077x: %s\n", text.c_str());
  std::fflush(notes_);
}

Handle LinuxHost::OpenDevice(const char* path, std::uint32_t access, std::uint32_t share,
                             std::uint32_t& lastError) {
  lastError = 0;
  OpenNode node;
  if (path == nullptr || !ParseDevicePath(path, node.name, node.major, node.minor)) {
    lastError = kErrorFileNotFound;
    return kInvalidHandle;
  }
  // A device-number query needs no data access, so it works for any user.
  // Never O_EXCL: it fails on a disk with a mounted partition.
  node.pathOnly = access == 0;
  const int flags = node.pathOnly ? O_PATH | O_CLOEXEC : O_RDONLY | O_NONBLOCK | O_CLOEXEC;
  const std::string dev = "/dev/" + node.name;
  const int fd = sys_.Open(dev.c_str(), flags);
  if (fd < 0) {
    lastError = ErrorFromErrno(errno);
    return kInvalidHandle;
  }
  // The node must still be the device discovery saw: after a replug the same
  // name may belong to another disk.
  struct stat st {};
  if (sys_.Fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode) || major(st.st_rdev) != node.major ||
      minor(st.st_rdev) != node.minor) {
    sys_.Close(fd);
    lastError = kErrorFileNotFound;
    return kInvalidHandle;
  }
  if (!node.pathOnly) {
    const int operation = (share == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB;
    if (sys_.Flock(fd, operation) != 0) {
      const int error = errno;
      sys_.Close(fd);
      lastError = error == EWOULDBLOCK ? kErrorSharingViolation : ErrorFromErrno(error);
      return kInvalidHandle;
    }
  }
  open_[fd] = node;
  return fd;
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
  if (length > 0 && !FitTransfer(it->second.name, length)) {
    lastError = kErrorIoDevice;
    return false;
  }
  // The device layer asks for no sense data: a CHECK CONDITION is judged by
  // the status alone, as on Windows.
  unsigned char sense[32] = {};
  sg_io_hdr_t io{};
  io.interface_id = 'S';
  io.dxfer_direction =
      length == 0 ? SG_DXFER_NONE : (request.dataIn ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV);
  io.cmd_len = static_cast<unsigned char>(std::clamp<int>(request.cdbLength, 1, 16));
  io.cmdp = request.cdb;
  io.mx_sb_len = sizeof sense;
  io.sbp = sense;
  io.dxfer_len = length;
  io.dxferp = length == 0 ? nullptr : request.dataBuffer;
  io.timeout = request.timeOutValue > 4000000u ? 4000000000u : request.timeOutValue * 1000u;

  if (sys_.Ioctl(static_cast<int>(handle), SG_IO, &io) != 0) {
    const int error = errno;
    lastError = ErrorFromErrno(error);
    if (lastError == kErrorAccessDenied && !permissionNoted_) {
      permissionNoted_ = true;
      Note("the kernel refused a command block on /dev/" + it->second.name +
           " (no permission): vendor commands need root; run with sudo");
    }
    return false;
  }
  request.scsiStatus = io.status;
  lastSenseLength_ = std::min<std::size_t>(io.sb_len_wr, sizeof lastSense_);
  std::memcpy(lastSense_, sense, lastSenseLength_);
  const std::uint32_t residue =
      io.resid > 0 ? std::min<std::uint32_t>(static_cast<std::uint32_t>(io.resid), length) : 0;
  request.dataTransferLength = length - residue;
  const unsigned driver = io.driver_status & 0x0F;
  if (io.host_status == kHostTimeOut || driver == kDriverTimeOut) {
    lastError = kErrorSemTimeout;
    return false;
  }
  if (io.host_status == kHostNoConnect) {
    lastError = kErrorFileNotFound;
    return false;
  }
  if (io.host_status != 0 || (driver != 0 && driver != kDriverSense)) {
    lastError = kErrorIoDevice;
    return false;
  }
  return true;
}

std::size_t LinuxHost::LastSense(std::uint8_t* into, std::size_t size) {
  const std::size_t n = std::min(size, lastSenseLength_);
  std::memcpy(into, lastSense_, n);
  return n;
}

bool LinuxHost::QueryDeviceNumber(Handle handle, DeviceNumber& number, std::uint32_t& lastError) {
  const auto it = open_.find(handle);
  struct stat st {};
  if (it == open_.end() || sys_.Fstat(static_cast<int>(handle), &st) != 0) {
    lastError = it == open_.end() ? kErrorInvalidFunction : ErrorFromErrno(errno);
    return false;
  }
  lastError = 0;
  number.deviceType = it->second.name.compare(0, 2, "sr") == 0 ? kDeviceTypeCdrom : kDeviceTypeDisk;
  number.deviceNumber = PackedDeviceNumber(major(st.st_rdev), minor(st.st_rdev));
  number.partitionNumber = 0;
  return true;
}

void LinuxHost::CloseDevice(Handle handle) {
  if (open_.erase(handle) == 0) return;
  sys_.Close(static_cast<int>(handle));  // also drops the lock
}

std::unique_ptr<InterfaceList> LinuxHost::OpenInterfaceList(InterfaceClass cls) {
  return std::make_unique<SysfsList>(ScsiBlockDevices(root_, cls));
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

bool LinuxHost::WaitForDeviceChange(std::uint32_t milliseconds) {
  if (!watch_) watch_ = std::make_unique<DeviceWatch>(root_);
  return watch_->Wait(milliseconds);
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

bool StatusAllowsRawIo(const std::string& statusText) {
  std::istringstream lines(statusText);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.compare(0, 7, "CapEff:") != 0) continue;
    const unsigned long long caps = std::strtoull(line.c_str() + 7, nullptr, 16);
    return (caps >> kCapSysRawIo) & 1u;
  }
  return false;
}

}  // namespace host
