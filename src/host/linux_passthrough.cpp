// The Linux host's pass-through: one command block per SG_IO on the node a
// handle opened, or on the run's node while a run holds the device.
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/file.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <vector>

#include "host/linux_host.h"
#include "host/linux_sysfs.h"

namespace host {

namespace {

constexpr unsigned char kHostTimeOut = 0x03;    // DID_TIME_OUT
constexpr unsigned char kHostNoConnect = 0x01;  // DID_NO_CONNECT: the device is gone
constexpr unsigned char kDriverTimeOut = 0x06;  // DRIVER_TIMEOUT
constexpr unsigned char kDriverSense = 0x08;    // DRIVER_SENSE: sense data came with the status

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

LinuxPassThrough::LinuxPassThrough(LinuxNodes& nodes, LinuxRunLocks& locks, std::FILE* notes)
    : nodes_(nodes), locks_(locks), notes_(notes) {
  locks_.OnRunEnd(
      [this](const std::string& path, const std::string& block) { RunEnded(path, block); });
}

LinuxPassThrough::~LinuxPassThrough() {
  locks_.OnRunEnd(nullptr);
  for (auto& [handle, open] : open_) nodes_.Release(open.keys);
  for (const auto& [name, sectors] : raised_)
    WriteSysNumber(nodes_.root(), "/sys/block/" + name + "/device/max_sectors", sectors);
}

void LinuxPassThrough::Note(const std::string& text) {
  if (notes_ == nullptr) return;
  std::fprintf(notes_, "tx4077x: %s\n", text.c_str());
  std::fflush(notes_);
}

Handle LinuxPassThrough::OpenDevice(const char* path, std::uint32_t access, std::uint32_t share,
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
  if (!open.pathOnly && locks_.Holds(path)) {
    // The run's descriptor, opened again only when a failure closed it.
    open.fd = locks_.RunDescriptor(id, path, open.node, lastError);
    if (open.fd < 0) return kInvalidHandle;
    open.ofRun = true;
  } else {
    open.fd = nodes_.OpenChecked(id, path, open.pathOnly, open.node, lastError);
    if (open.fd < 0) return kInvalidHandle;
    if (!open.pathOnly && !nodes_.LockDevice(open.fd, share == 0 ? LOCK_EX : LOCK_SH, id,
                                             open.node, path, false, open.keys, lastError)) {
      nodes_.sys().Close(open.fd);
      return kInvalidHandle;
    }
  }
  const Handle handle = nextHandle_++;
  open_[handle] = open;
  return handle;
}

void LinuxPassThrough::RunEnded(const std::string& path, const std::string& block) {
  for (auto h = open_.begin(); h != open_.end();)  // handles left open lose the run's node
    h = h->second.ofRun && h->second.path == path ? open_.erase(h) : std::next(h);
  PutBackLimit(block);
}

void LinuxPassThrough::PutBackLimit(const std::string& block) {
  const auto it = raised_.find(block);
  if (it == raised_.end()) return;
  WriteSysNumber(nodes_.root(), "/sys/block/" + block + "/device/max_sectors", it->second);
  raised_.erase(it);
}

bool LinuxPassThrough::FitTransfer(const std::string& name, std::uint32_t length) {
  const std::string queue = "/sys/block/" + name + "/queue/";
  const std::optional<unsigned long> limitKb = ReadSysNumber(nodes_.root(), queue + "max_hw_sectors_kb");
  // SG_IO refuses (EIO) what exceeds the queue's hardware limit.
  if (!limitKb || length <= *limitKb * 1024) return true;  // unknown: the kernel judges
  // usb-storage lets root raise that limit through the device's max_sectors.
  const unsigned long needed = std::max<unsigned long>((length + 511) / 512, 2048);
  const std::string attribute = "/sys/block/" + name + "/device/max_sectors";
  const std::optional<unsigned long> sectors = ReadSysNumber(nodes_.root(), attribute);
  bool writeFailed = false;
  if (sectors && *sectors < needed) {
    if (WriteSysNumber(nodes_.root(), attribute, needed))
      raised_.emplace(name, *sectors);  // keeps the first, original value
    else
      writeFailed = true;
  }
  const std::optional<unsigned long> nowKb = ReadSysNumber(nodes_.root(), queue + "max_hw_sectors_kb");
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

bool LinuxPassThrough::PassThrough(Handle handle, PassThroughRequest& request, std::uint32_t& lastError) {
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

  nodes_.CountCommand(open.block);
  if (open.ofRun) locks_.CountCommand(open.path);
  const int result = nodes_.sys().Ioctl(open.fd, SG_IO, &io);
  const int error = result != 0 ? errno : 0;
  // The device is gone: a run's descriptor is of no more use, and the next
  // open finds out whether the disk came back as itself.
  if ((GoneError(error) || (result == 0 && io.host_status == kHostNoConnect)) && open.ofRun)
    locks_.Lost(open.path, open.fd);
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

std::size_t LinuxPassThrough::LastSense(std::uint8_t* into, std::size_t size) {
  const std::size_t n = std::min(size, lastSenseLength_);
  std::memcpy(into, lastSense_, n);
  return n;
}

bool LinuxPassThrough::QueryDeviceNumber(Handle handle, DeviceNumber& number, std::uint32_t& lastError) {
  const auto it = open_.find(handle);
  struct stat st {};
  if (it == open_.end() || nodes_.sys().Fstat(it->second.fd, &st) != 0) {
    lastError = it == open_.end() ? kErrorInvalidFunction : ErrorFromErrno(errno);
    return false;
  }
  lastError = 0;
  number.deviceType = it->second.block.compare(0, 2, "sr") == 0 ? kDeviceTypeCdrom : kDeviceTypeDisk;
  number.deviceNumber = PackedDeviceNumber(major(st.st_rdev), minor(st.st_rdev));
  number.partitionNumber = 0;
  return true;
}

void LinuxPassThrough::CloseDevice(Handle handle) {
  const auto it = open_.find(handle);
  if (it == open_.end()) return;
  // A run's descriptor stays open with its lock until the run ends; a run
  // that reopened it after a failure closed this one already.
  const bool own = !it->second.ofRun;
  int fd = it->second.fd;
  std::vector<int> keys = std::move(it->second.keys);
  open_.erase(it);
  if (own) nodes_.Release(fd);  // also drops the lock
  nodes_.Release(keys);
}

}  // namespace host
