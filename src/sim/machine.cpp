#include "sim/machine.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace sim {

namespace {
constexpr std::uint32_t kDbtDeviceArrival = 0x8000;
constexpr std::uint32_t kDbtDeviceRemoveComplete = 0x8004;
constexpr std::uint32_t kErrorDeviceNotConnected = 1167;
constexpr std::size_t kRecordedDataOut = 64;

const char* DiskClassGuid() { return "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"; }
const char* CdromClassGuid() { return "{53f56308-b6bf-11d0-94f2-00a0c91efb8b}"; }

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// "\\.\E:" -> 'E'; 0 when the path is not a volume path.
char VolumeLetter(const std::string& path) {
  if (path.size() == 6 && path.compare(0, 4, "\\\\.\\") == 0 && path[5] == ':')
    return static_cast<char>(std::toupper(static_cast<unsigned char>(path[4])));
  return 0;
}
}  // namespace

std::string LowerPath(const std::string& path) { return Lower(path); }

std::string UsbDiskPath(const std::string& vendor, const std::string& product,
                        const std::string& serial) {
  return Lower("\\\\?\\usbstor#disk&ven_" + vendor + "&prod_" + product + "&rev_0001#" + serial +
               "&0#") + DiskClassGuid();
}

std::string Sbp2DiskPath(const std::string& vendor, const std::string& product,
                         const std::string& serial) {
  return Lower("\\\\?\\sbp2#" + vendor + "&" + product + "&lun0#" + serial + "#") +
         DiskClassGuid();
}

std::string UsbCdromPath(const std::string& vendor, const std::string& product,
                         const std::string& serial) {
  return Lower("\\\\?\\usbstor#cdrom&ven_" + vendor + "&prod_" + product + "&rev_0001#" +
               serial + "&0#") + CdromClassGuid();
}

class Machine::List : public host::InterfaceList {
 public:
  List(std::vector<std::string> paths, std::uint32_t failAt)
      : paths_(std::move(paths)), failAt_(failAt) {}
  bool Member(std::uint32_t index, std::string& path) override {
    if (index >= paths_.size() || index == failAt_) return false;
    path = paths_[index];
    return true;
  }

 private:
  std::vector<std::string> paths_;
  std::uint32_t failAt_;
};

Machine::Machine() { drives_['C'] = Drive{{7, 0, 1}, host::kDriveFixed, ""}; }
Machine::~Machine() = default;

void Machine::Attach(Attachment attachment) {
  for (const Volume& v : attachment.volumes) {
    host::DeviceNumber n = attachment.number;
    n.partitionNumber = v.partitionNumber;
    const bool cd = attachment.interfaceClass == host::InterfaceClass::Cdrom;
    drives_[v.letter] = Drive{n, cd ? host::kDriveCdrom : host::kDriveRemovable,
                              Lower(attachment.path)};
  }
  attachments_.push_back(std::move(attachment));
  if (onDeviceChange) onDeviceChange(kDbtDeviceArrival);
}

bool Machine::Detach(const std::string& path) {
  const std::string key = Lower(path);
  auto it = std::find_if(attachments_.begin(), attachments_.end(),
                         [&](const Attachment& a) { return Lower(a.path) == key; });
  if (it == attachments_.end()) return false;
  for (auto d = drives_.begin(); d != drives_.end();)
    d = d->second.owner == key ? drives_.erase(d) : std::next(d);
  attachments_.erase(it);
  if (onDeviceChange) onDeviceChange(kDbtDeviceRemoveComplete);
  return true;
}

void Machine::AddSystemDisk(const std::string& path, char systemLetter) {
  otherDisks_.push_back(path);
  drives_[systemLetter] = Drive{{7, 0, 1}, host::kDriveFixed, ""};
}

void Machine::AddNetworkDrive(char letter, host::DeviceNumber pretend) {
  drives_[letter] = Drive{pretend, host::kDriveRemote, ""};
}

void Machine::FailOpen(const std::string& path, std::uint32_t lastError) {
  openFailures_[Lower(path)] = lastError;
}

void Machine::HoldOpenElsewhere(const std::string& path, bool held) {
  heldElsewhere_[Lower(path)] = held;
}

void Machine::AddFault(CommandFault fault) {
  fault.path = Lower(fault.path);
  fault.seen = 0;
  faults_.push_back(std::move(fault));
}

void Machine::FailEnumerationAt(host::InterfaceClass cls, std::uint32_t index) {
  enumFailAt_[cls] = index;
}

void Machine::FailInterfaceList(host::InterfaceClass cls) { listFails_[cls] = true; }

void Machine::ClearFaults() {
  openFailures_.clear();
  heldElsewhere_.clear();
  faults_.clear();
  enumFailAt_.clear();
  listFails_.clear();
}

const Attachment* Machine::Find(const std::string& path) const {
  const std::string key = Lower(path);
  for (const Attachment& a : attachments_)
    if (Lower(a.path) == key) return &a;
  return nullptr;
}

Attachment* Machine::FindMutable(const std::string& path) {
  return const_cast<Attachment*>(Find(path));
}

host::Handle Machine::OpenDevice(const char* path, std::uint32_t access, std::uint32_t share,
                                 std::uint32_t& lastError) {
  ++openCount_;
  const std::string key = Lower(path);
  if (auto f = openFailures_.find(key); f != openFailures_.end()) {
    lastError = f->second;
    return host::kInvalidHandle;
  }
  const char letter = VolumeLetter(key);
  const bool exists = letter != 0 ? drives_.count(letter) > 0 : Find(key) != nullptr;
  if (!exists) {
    lastError = host::kErrorFileNotFound;
    return host::kInvalidHandle;
  }
  // Another program holds the device open with read/write sharing: a shared
  // open still works, an exclusive one does not. An open without read or
  // write access (a device-number query) takes no part in sharing at all.
  const bool wantsData = (access & (host::kGenericRead | host::kGenericWrite)) != 0;
  if (auto h = heldElsewhere_.find(key); wantsData && h != heldElsewhere_.end() && h->second &&
                                         (share & (host::kShareRead | host::kShareWrite)) !=
                                             (host::kShareRead | host::kShareWrite)) {
    lastError = host::kErrorSharingViolation;
    return host::kInvalidHandle;
  }
  lastError = 0;
  const host::Handle handle = nextHandle_++;
  handles_[handle] = OpenEntry{key, share};
  return handle;
}

void Machine::CloseDevice(host::Handle handle) { handles_.erase(handle); }

CommandFault* Machine::MatchFault(const std::string& path, const std::uint8_t* cdb,
                                  int cdbLength) {
  for (CommandFault& f : faults_) {
    if (!f.path.empty() && f.path != path) continue;
    if (!f.pattern.Matches(cdb, cdbLength)) continue;
    ++f.seen;
    if (f.occurrence == 0 || f.seen == f.occurrence) return &f;
  }
  return nullptr;
}

bool Machine::PassThrough(host::Handle handle, host::PassThroughRequest& request,
                          std::uint32_t& lastError) {
  TranscriptEntry entry;
  entry.timeMs = nowMs_;
  entry.request = request;
  entry.cdb.assign(request.cdb, request.cdb + std::min<int>(request.cdbLength, 16));
  entry.bufferAligned = reinterpret_cast<std::uintptr_t>(request.dataBuffer) % 8192 == 0;
  auto open = handles_.find(handle);
  if (open == handles_.end()) {
    lastError = host::kErrorInvalidFunction;
    entry.outcome = Outcome::NotOpen;
    transcript_.push_back(std::move(entry));
    return false;
  }
  entry.path = open->second.path;
  entry.share = open->second.share;
  auto* data = static_cast<std::uint8_t*>(request.dataBuffer);
  if (recordDataOut && !request.dataIn && data != nullptr)
    entry.dataOut.assign(data, data + std::min<std::size_t>(request.dataTransferLength,
                                                            kRecordedDataOut));

  Attachment* target = FindMutable(entry.path);
  if (target == nullptr) {  // unplugged since the open
    lastError = kErrorDeviceNotConnected;
    request.dataTransferLength = 0;
    entry.outcome = Outcome::PlatformError;
    transcript_.push_back(std::move(entry));
    return false;
  }

  CommandFault* fault = MatchFault(entry.path, request.cdb, request.cdbLength);
  const bool answers = fault != nullptr && (fault->kind == CommandFault::Kind::ShortTransfer ||
                                            fault->kind == CommandFault::Kind::FlipBit);
  if (fault != nullptr && !answers) {
    request.dataTransferLength = 0;
    if (fault->kind == CommandFault::Kind::CheckCondition) {
      request.scsiStatus = kStatusCheckCondition;
      lastError = 0;
      entry.outcome = Outcome::CheckCondition;
    } else {
      lastError = fault->kind == CommandFault::Kind::Unplug ? kErrorDeviceNotConnected
                                                            : host::kErrorIoDevice;
      entry.outcome = Outcome::PlatformError;
    }
    const bool unplug = fault->kind == CommandFault::Kind::Unplug;
    transcript_.push_back(std::move(entry));
    if (unplug) Detach(open->second.path);
    return fault->kind == CommandFault::Kind::CheckCondition;
  }

  Exchange exchange;
  exchange.cdb = request.cdb;
  exchange.cdbLength = request.cdbLength;
  exchange.dataIn = request.dataIn != 0;
  exchange.data = data;
  exchange.length = request.dataTransferLength;
  exchange.transferred = request.dataTransferLength;
  exchange.nowMs = nowMs_;
  if (target->device) {
    std::shared_ptr<SimDevice> device = target->device;  // may detach itself (reset)
    device->Execute(*this, exchange);
  } else {
    exchange.Reject();
  }
  if (fault != nullptr && fault->kind == CommandFault::Kind::FlipBit) {
    if (exchange.dataIn && data != nullptr && fault->flipByte < exchange.transferred)
      data[fault->flipByte] ^= 0x01;
  } else if (fault != nullptr) {  // short transfer: only part of the data moved
    const std::uint32_t moved = std::min(fault->shortLength, exchange.length);
    if (exchange.dataIn && data != nullptr)
      std::memset(data + moved, 0, exchange.length - moved);
    exchange.transferred = moved;
  }
  request.scsiStatus = exchange.status;
  request.dataTransferLength = exchange.transferred;
  lastError = 0;
  entry.outcome = exchange.status == kStatusGood ? Outcome::Good : Outcome::CheckCondition;
  entry.transferred = exchange.transferred;
  entry.command = std::move(exchange.command);
  transcript_.push_back(std::move(entry));
  return true;
}

bool Machine::QueryDeviceNumber(host::Handle handle, host::DeviceNumber& number,
                                std::uint32_t& lastError) {
  auto open = handles_.find(handle);
  if (open == handles_.end()) {
    lastError = host::kErrorInvalidFunction;
    return false;
  }
  const std::string& path = open->second.path;
  if (const char letter = VolumeLetter(path); letter != 0) {
    auto d = drives_.find(letter);
    if (d == drives_.end()) {
      lastError = kErrorDeviceNotConnected;
      return false;
    }
    number = d->second.number;
  } else {
    const Attachment* a = Find(path);
    if (a == nullptr) {
      lastError = kErrorDeviceNotConnected;
      return false;
    }
    number = a->number;
  }
  lastError = 0;
  return true;
}

std::unique_ptr<host::InterfaceList> Machine::OpenInterfaceList(host::InterfaceClass cls) {
  if (listFails_[cls]) return nullptr;
  std::vector<std::string> paths;
  if (cls == host::InterfaceClass::Disk) paths = otherDisks_;
  for (const Attachment& a : attachments_)
    if (a.interfaceClass == cls) paths.push_back(a.path);
  auto f = enumFailAt_.find(cls);
  return std::make_unique<List>(std::move(paths),
                                f == enumFailAt_.end() ? 0xFFFFFFFFu : f->second);
}

std::uint32_t Machine::LogicalDrives() {
  std::uint32_t mask = 0;
  for (const auto& [letter, drive] : drives_) mask |= 1u << (letter - 'A');
  return mask;
}

unsigned Machine::DriveType(const char* root) {
  if (root == nullptr || root[0] == 0) return host::kDriveNoRootDir;
  auto d = drives_.find(static_cast<char>(std::toupper(static_cast<unsigned char>(root[0]))));
  return d == drives_.end() ? host::kDriveNoRootDir : d->second.type;
}

void Machine::Sleep(std::uint32_t milliseconds) {
  nowMs_ += milliseconds;
  sleptMs_ += milliseconds;
}

void Machine::DebugOutput(const char* text) { debugLines_.emplace_back(text); }

}  // namespace sim
