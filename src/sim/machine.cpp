#include "sim/machine.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "host/ui.h"

namespace sim {

namespace {
constexpr std::size_t kRecordedDataOut = 64;

const char* DiskClassGuid() { return "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"; }
const char* CdromClassGuid() { return "{53f56308-b6bf-11d0-94f2-00a0c91efb8b}"; }

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// "\\.\E:" -> 'E'; 0 when the path is not a volume path.
char VolumeLetter(std::string_view path) {
  if (path.size() == 6 && path.substr(0, 4) == "\\\\.\\" && path[5] == ':')
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
  Slot slot;
  slot.key = Lower(attachment.path);
  slot.id = nextId_++;
  for (const Volume& v : attachment.volumes) {
    host::DeviceNumber n = attachment.number;
    n.partitionNumber = v.partitionNumber;
    const bool cd = attachment.interfaceClass == host::InterfaceClass::Cdrom;
    drives_[v.letter] = Drive{n, cd ? host::kDriveCdrom : host::kDriveRemovable, slot.key};
  }
  slot.attachment = std::move(attachment);
  attachments_.push_back(std::move(slot));
  if (onDeviceChange) onDeviceChange(ui::kDeviceArrival);
}

bool Machine::Detach(const std::string& path) {
  const std::string key = Lower(path);
  auto it = std::find_if(attachments_.begin(), attachments_.end(),
                         [&](const Slot& s) { return s.key == key; });
  if (it == attachments_.end()) return false;
  for (auto d = drives_.begin(); d != drives_.end();)
    d = d->second.owner == key ? drives_.erase(d) : std::next(d);
  attachments_.erase(it);
  if (onDeviceChange) onDeviceChange(ui::kDeviceRemoveComplete);
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

Machine::Slot* Machine::SlotByKey(const std::string& key) {
  for (Slot& s : attachments_)
    if (s.key == key) return &s;
  return nullptr;
}

Machine::Slot* Machine::SlotById(std::uint64_t id) {
  for (Slot& s : attachments_)
    if (s.id == id) return &s;
  return nullptr;
}

Machine::OpenEntry* Machine::FindOpen(host::Handle handle) {
  for (OpenEntry& open : handles_)
    if (open.handle == handle) return &open;
  return nullptr;
}

const std::string& Machine::OpenPath(const OpenEntry& open) const {
  static const std::string gone;
  if (open.slot == 0) return open.volumeKey;
  for (const Slot& s : attachments_)
    if (s.id == open.slot) return s.key;
  return gone;
}

const Attachment* Machine::Find(const std::string& path) const {
  const std::string key = Lower(path);
  for (const Slot& s : attachments_)
    if (s.key == key) return &s.attachment;
  return nullptr;
}

Machine::Slot* Machine::Resolve(const char* path) {
  if (lastOpenSlot_ != 0 && lastOpenPath_ == path) {
    if (Slot* s = SlotById(lastOpenSlot_)) return s;
  }
  Slot* s = SlotByKey(Lower(path));
  if (s != nullptr) {
    lastOpenPath_ = path;
    lastOpenSlot_ = s->id;
  }
  return s;
}

host::Handle Machine::OpenDevice(const char* path, std::uint32_t access, std::uint32_t share,
                                 std::uint32_t& lastError) {
  ++openCount_;
  // Failures and foreign holders are keyed by path text; most runs set none.
  if (!openFailures_.empty() || !heldElsewhere_.empty()) {
    const std::string key = Lower(path);
    if (auto f = openFailures_.find(key); f != openFailures_.end()) {
      lastError = f->second;
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
  }
  OpenEntry open;
  open.share = share;
  if (const char letter = VolumeLetter(path); letter != 0) {
    if (drives_.count(letter) == 0) {
      lastError = host::kErrorFileNotFound;
      return host::kInvalidHandle;
    }
    open.volumeKey = Lower(path);
  } else {
    const Slot* slot = Resolve(path);
    if (slot == nullptr) {
      lastError = host::kErrorFileNotFound;
      return host::kInvalidHandle;
    }
    open.slot = slot->id;
  }
  lastError = 0;
  open.handle = nextHandle_++;
  handles_.push_back(std::move(open));
  return handles_.back().handle;
}

void Machine::CloseDevice(host::Handle handle) {
  for (auto it = handles_.begin(); it != handles_.end(); ++it) {
    if (it->handle != handle) continue;
    handles_.erase(it);
    return;
  }
}

bool Machine::BeginRun(const char* path, std::uint32_t& lastError) {
  const std::string key = Lower(path);
  lastError = 0;
  if (Find(key) == nullptr) {
    lastError = host::kErrorFileNotFound;
    return false;
  }
  if (auto h = heldElsewhere_.find(key); h != heldElsewhere_.end() && h->second) {
    lastError = host::kErrorSharingViolation;
    return false;
  }
  return true;
}

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

void Machine::Record(TranscriptEntry&& entry) {
  transcript_.push_back(std::move(entry));
  // Dropping the older half at a time keeps the cost per request constant.
  if (transcriptLimit_ != kFullTranscript && transcript_.size() >= 2 * transcriptLimit_)
    transcript_.erase(transcript_.begin(),
                      transcript_.end() - static_cast<std::ptrdiff_t>(transcriptLimit_));
}

bool Machine::PassThrough(host::Handle handle, host::PassThroughRequest& request,
                          std::uint32_t& lastError) {
  TranscriptEntry entry;
  entry.timeMs = NowMs();
  entry.sleptMs = sleptMs_;
  entry.request = request;
  entry.cdb.assign(request.cdb, request.cdb + std::min<int>(request.cdbLength, 16));
  entry.bufferAligned = reinterpret_cast<std::uintptr_t>(request.dataBuffer) % 8192 == 0;
  OpenEntry* open = FindOpen(handle);
  if (open == nullptr) {
    lastError = host::kErrorInvalidFunction;
    entry.outcome = Outcome::NotOpen;
    Record(std::move(entry));
    return false;
  }
  entry.path = OpenPath(*open);
  entry.share = open->share;
  const auto* data = static_cast<const std::uint8_t*>(request.dataBuffer);
  if (recordDataOut && !request.dataIn && data != nullptr)
    entry.dataOut.assign(data, data + std::min<std::size_t>(request.dataTransferLength,
                                                            kRecordedDataOut));

  Slot* target = open->slot != 0 ? SlotById(open->slot) : nullptr;
  if (target == nullptr) {  // unplugged since the open
    lastError = host::kErrorDeviceNotConnected;
    request.dataTransferLength = 0;
    entry.outcome = Outcome::PlatformError;
    Record(std::move(entry));
    return false;
  }

  const CommandFault* fault =
      faults_.empty() ? nullptr : MatchFault(entry.path, request.cdb, request.cdbLength);
  const bool answers = fault != nullptr && (fault->kind == CommandFault::Kind::ShortTransfer ||
                                            fault->kind == CommandFault::Kind::FlipBit);
  if (fault != nullptr && !answers) return FailByFault(*fault, request, lastError, std::move(entry));
  return Deliver(*target, fault, request, lastError, std::move(entry));
}

bool Machine::FailByFault(const CommandFault& fault, host::PassThroughRequest& request,
                          std::uint32_t& lastError, TranscriptEntry&& entry) {
  request.dataTransferLength = 0;
  if (fault.kind == CommandFault::Kind::CheckCondition) {
    request.scsiStatus = kStatusCheckCondition;
    lastError = 0;
    entry.outcome = Outcome::CheckCondition;
  } else {
    lastError = fault.kind == CommandFault::Kind::Unplug ? host::kErrorDeviceNotConnected
                                                         : host::kErrorIoDevice;
    entry.outcome = Outcome::PlatformError;
  }
  nowUs_ += BusUs(0);
  const bool unplug = fault.kind == CommandFault::Kind::Unplug;
  const std::string path = entry.path;
  Record(std::move(entry));
  if (unplug) Detach(path);
  return fault.kind == CommandFault::Kind::CheckCondition;
}

bool Machine::Deliver(Slot& target, const CommandFault* fault, host::PassThroughRequest& request,
                      std::uint32_t& lastError, TranscriptEntry&& entry) {
  auto* data = static_cast<std::uint8_t*>(request.dataBuffer);
  Exchange exchange;
  exchange.cdb = request.cdb;
  exchange.cdbLength = request.cdbLength;
  exchange.dataIn = request.dataIn != 0;
  exchange.data = data;
  exchange.length = request.dataTransferLength;
  exchange.transferred = request.dataTransferLength;
  exchange.nowUs = nowUs_;
  // The device may detach itself (a reset): keep it alive through the call.
  std::shared_ptr<SimDevice> device = target.attachment.device;
  if (device) {
    device->Execute(*this, exchange);
  } else {
    exchange.Reject();
  }
  entry.command.assign(exchange.command.data(), exchange.command.size());
  // Work the device did inside the command takes time, and so does the bus;
  // a command whose work takes longer than its time-out is abandoned by the
  // host, whatever the device did meanwhile.
  const std::uint64_t workUs = exchange.nowUs > nowUs_ ? exchange.nowUs - nowUs_ : 0;
  nowUs_ += workUs + BusUs(request.dataTransferLength);
  if (workUs > static_cast<std::uint64_t>(request.timeOutValue) * 1000000) {
    lastError = host::kErrorSemTimeout;
    request.dataTransferLength = 0;
    entry.outcome = Outcome::PlatformError;
    Record(std::move(entry));
    return false;
  }
  if (fault != nullptr) ApplyAnsweringFault(*fault, exchange);
  request.scsiStatus = exchange.status;
  request.dataTransferLength = exchange.transferred;
  lastError = 0;
  entry.outcome = exchange.status == kStatusGood ? Outcome::Good : Outcome::CheckCondition;
  entry.transferred = exchange.transferred;
  Record(std::move(entry));
  return true;
}

void Machine::ApplyAnsweringFault(const CommandFault& fault, Exchange& exchange) {
  if (fault.kind == CommandFault::Kind::FlipBit) {
    if (exchange.dataIn && exchange.data != nullptr && fault.flipByte < exchange.transferred)
      exchange.data[fault.flipByte] ^= 0x01;
  } else {  // short transfer: only part of the data moved
    const std::uint32_t moved = std::min(fault.shortLength, exchange.length);
    if (exchange.dataIn && exchange.data != nullptr)
      std::memset(exchange.data + moved, 0, exchange.length - moved);
    exchange.transferred = moved;
  }
}

bool Machine::QueryDeviceNumber(host::Handle handle, host::DeviceNumber& number,
                                 std::uint32_t& lastError) {
  const OpenEntry* open = FindOpen(handle);
  if (open == nullptr) {
    lastError = host::kErrorInvalidFunction;
    return false;
  }
  if (open->slot == 0) {
    auto d = drives_.find(VolumeLetter(open->volumeKey));
    if (d == drives_.end()) {
      lastError = host::kErrorDeviceNotConnected;
      return false;
    }
    number = d->second.number;
  } else {
    const Slot* s = SlotById(open->slot);
    if (s == nullptr) {
      lastError = host::kErrorDeviceNotConnected;
      return false;
    }
    number = s->attachment.number;
  }
  lastError = 0;
  return true;
}

std::unique_ptr<host::InterfaceList> Machine::OpenInterfaceList(host::InterfaceClass cls) {
  if (listFails_[cls]) return nullptr;
  std::vector<std::string> paths;
  if (cls == host::InterfaceClass::Disk) paths = otherDisks_;
  for (const Slot& s : attachments_)
    if (s.attachment.interfaceClass == cls) paths.push_back(s.attachment.path);
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

std::uint64_t BusUs(std::uint32_t dataBytes) {
  return kMicroframeUs +
         (std::uint64_t{dataBytes} * kMicroframeUs + kBusBytesPerMicroframe - 1) /
             kBusBytesPerMicroframe;
}

void Machine::Sleep(std::uint32_t milliseconds) {
  nowUs_ += std::uint64_t{milliseconds} * 1000;
  sleptMs_ += milliseconds;
}

bool Machine::WaitForDeviceChange(std::uint32_t milliseconds) {
  Sleep(milliseconds);
  return true;
}

void Machine::DebugOutput(const char* text) { debugLines_.emplace_back(text); }

}  // namespace sim
