// The simulated machine: a Host whose disks and CD-ROM units are emulated
// enclosures described by data. Sleep advances a virtual clock instead of
// blocking (so does a device that works inside a command), pass-through
// requests are written to a transcript, and faults can be injected per path
// and per command.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/host.h"
#include "sim/sim_device.h"

namespace sim {

// A volume (drive letter) on an enclosure's disk.
struct Volume {
  char letter = 'E';
  std::uint32_t partitionNumber = 1;
};

// One attached device interface, as discovery would see it.
struct Attachment {
  host::InterfaceClass interfaceClass = host::InterfaceClass::Disk;
  std::string path;  // the platform's device-interface form
  host::DeviceNumber number{7, 1, 0};  // FILE_DEVICE_DISK (7), disk 1
  std::vector<Volume> volumes;
  std::shared_ptr<SimDevice> device;  // null: a disk that answers nothing
};

enum class Outcome { Good, CheckCondition, PlatformError, NotOpen };

// The transcript keeps every request only when asked to: a demo run sends
// hundreds of thousands of them.
inline constexpr std::size_t kFullTranscript = 0;
inline constexpr std::size_t kDefaultTranscriptLimit = 4096;

// The bus a pass-through command crosses, as the virtual clock counts it: a
// command keeps it at least one USB 2.0 high-speed microframe (command block
// and status), and its data no shorter than the bus carries them, 13 packets
// of 512 bytes a microframe. So a device sees the next command no sooner than
// that after one, and the clock's total is a floor under a real run's time.
inline constexpr std::uint64_t kMicroframeUs = 125;
inline constexpr std::uint64_t kBusBytesPerMicroframe = 13 * 512;
std::uint64_t BusUs(std::uint32_t dataBytes);

struct TranscriptEntry {
  std::uint64_t timeMs = 0;
  std::uint64_t sleptMs = 0;  // the machine's SleptMs() when the request came
  std::string path;
  std::vector<std::uint8_t> cdb;  // cdbLength bytes
  host::PassThroughRequest request;  // as sent (dataBuffer kept only as an address)
  bool bufferAligned = true;
  std::uint32_t share = 0;        // share mode the handle was opened with
  std::string command;            // name of the command that answered, "" when none
  Outcome outcome = Outcome::Good;
  std::uint32_t transferred = 0;
  std::vector<std::uint8_t> dataOut;  // first bytes sent, when recordDataOut is on
};

// A fault for requests whose path and CDB match. occurrence counts matching
// requests from 1; 0 means every one from `from` on. FlipBit answers GOOD
// with bit 0 of data-in byte flipByte inverted: a read that lies.
struct CommandFault {
  enum class Kind { CheckCondition, PlatformError, ShortTransfer, Unplug, FlipBit };
  Kind kind = Kind::CheckCondition;
  std::string path;  // "" = any path
  CdbPattern pattern;
  int occurrence = 1;
  std::uint32_t shortLength = 0;  // ShortTransfer: bytes actually moved
  std::uint32_t flipByte = 0;     // FlipBit: the byte whose bit 0 is inverted
  int seen = 0;
};

class Machine : public host::PlatformHost {
 public:
  Machine();
  ~Machine() override;

  // --- building the machine -------------------------------------------
  void Attach(Attachment attachment);
  // Removes the interface at path (and its volumes); false if none.
  bool Detach(const std::string& path);
  // A disk that is not a candidate (for example an internal SATA disk).
  void AddSystemDisk(const std::string& path, char systemLetter = 'C');
  void AddNetworkDrive(char letter, host::DeviceNumber pretend = {7, 1, 0});
  void SetWindowsDirectory(std::string dir) { windowsDirectory_ = std::move(dir); }

  // --- faults -------------------------------------------------------------
  void FailOpen(const std::string& path, std::uint32_t lastError);
  void HoldOpenElsewhere(const std::string& path, bool held = true);
  void AddFault(CommandFault fault);
  void FailEnumerationAt(host::InterfaceClass cls, std::uint32_t index);
  void FailInterfaceList(host::InterfaceClass cls);
  void ClearFaults();

  // --- observation ----------------------------------------------------
  std::uint64_t NowMs() const { return nowUs_ / 1000; }
  std::uint64_t NowUs() const { return nowUs_; }
  void AdvanceMs(std::uint64_t ms) { nowUs_ += ms * 1000; }
  std::uint64_t SleptMs() const { return sleptMs_; }
  // The latest requests, oldest first: all of them with kFullTranscript, else
  // at least the last `limit` ones.
  const std::vector<TranscriptEntry>& transcript() const { return transcript_; }
  void ClearTranscript() { transcript_.clear(); }
  void SetTranscriptLimit(std::size_t limit) { transcriptLimit_ = limit; }
  std::size_t transcriptLimit() const { return transcriptLimit_; }
  std::vector<std::string> debugLines() const { return debugLines_; }
  int openCount() const { return openCount_; }
  int openHandles() const { return static_cast<int>(handles_.size()); }
  bool recordDataOut = false;
  // Called with DBT_DEVICEARRIVAL / DBT_DEVICEREMOVECOMPLETE on attach/detach.
  std::function<void(std::uint32_t event)> onDeviceChange;

  // --- the host's pieces -------------------------------------------------
  host::Handle OpenDevice(const char* path, std::uint32_t access, std::uint32_t share,
                          std::uint32_t& lastError) override;
  bool PassThrough(host::Handle handle, host::PassThroughRequest& request,
                   std::uint32_t& lastError) override;
  bool QueryDeviceNumber(host::Handle handle, host::DeviceNumber& number,
                         std::uint32_t& lastError) override;
  void CloseDevice(host::Handle handle) override;
  // A device another program holds (HoldOpenElsewhere) cannot be held for a
  // run either; nor can one that is not attached.
  bool BeginRun(const char* path, std::uint32_t& lastError) override;
  std::unique_ptr<host::InterfaceList> OpenInterfaceList(host::InterfaceClass cls) override;
  // No notifications: the time passes and something may have changed.
  bool WaitForDeviceChange(std::uint32_t milliseconds) override;
  std::uint32_t LogicalDrives() override;
  std::string WindowsDirectory() override { return windowsDirectory_; }
  unsigned DriveType(const char* root) override;
  void Sleep(std::uint32_t milliseconds) override;
  std::uint64_t MonotonicMs() override { return NowMs(); }
  void DebugOutput(const char* text) override;

  const Attachment* Find(const std::string& path) const;

 private:
  struct Drive {
    host::DeviceNumber number;
    unsigned type = host::kDriveFixed;
    std::string owner;  // path of the attachment, "" for system/network
  };
  // An attached interface with its lower-case path, computed once, and the
  // number that open handles name it by.
  struct Slot {
    Attachment attachment;
    std::string key;
    std::uint64_t id = 0;
  };
  // A handle names a slot by number (0 for a volume), so routing a request
  // needs no path text; a slot that is gone means the device was unplugged.
  struct OpenEntry {
    host::Handle handle = 0;
    std::uint64_t slot = 0;
    std::string volumeKey;  // lower-case volume path, volumes only
    std::uint32_t share = 0;
  };
  class List;

  Slot* SlotByKey(const std::string& key);
  Slot* SlotById(std::uint64_t id);
  OpenEntry* FindOpen(host::Handle handle);
  const std::string& OpenPath(const OpenEntry& open) const;
  // The slot an open of `path` names: the last one opened when the text is the
  // same, else found by its lower-case form. Null when there is none.
  Slot* Resolve(const char* path);
  CommandFault* MatchFault(const std::string& path, const std::uint8_t* cdb, int cdbLength);
  void Record(TranscriptEntry&& entry);
  // The steps of PassThrough once the open device is found: a fault that
  // fails the command before the device sees it; the command to the device,
  // its time and time-out; a fault that lets it answer and changes the answer.
  bool FailByFault(const CommandFault& fault, host::PassThroughRequest& request,
                   std::uint32_t& lastError, TranscriptEntry&& entry);
  bool Deliver(Slot& target, const CommandFault* fault, host::PassThroughRequest& request,
               std::uint32_t& lastError, TranscriptEntry&& entry);
  static void ApplyAnsweringFault(const CommandFault& fault, Exchange& exchange);

  std::vector<Slot> attachments_;  // in enumeration order
  std::uint64_t nextId_ = 1;
  std::string lastOpenPath_;
  std::uint64_t lastOpenSlot_ = 0;
  std::vector<std::string> otherDisks_;  // non-candidate disk interfaces
  std::map<char, Drive> drives_;
  std::string windowsDirectory_ = "C:\\WINDOWS";
  std::map<std::string, std::uint32_t> openFailures_;
  std::map<std::string, bool> heldElsewhere_;
  std::vector<CommandFault> faults_;
  std::map<host::InterfaceClass, std::uint32_t> enumFailAt_;
  std::map<host::InterfaceClass, bool> listFails_;
  std::vector<OpenEntry> handles_;
  host::Handle nextHandle_ = 0x100;
  std::uint64_t nowUs_ = 0;
  std::uint64_t sleptMs_ = 0;
  int openCount_ = 0;
  std::vector<TranscriptEntry> transcript_;
  std::size_t transcriptLimit_ = kDefaultTranscriptLimit;
  std::vector<std::string> debugLines_;
};

// Lower-cases a path the way the refresh does, for case-insensitive lookups.
std::string LowerPath(const std::string& path);

// Builds a device-interface path of the platform's form for an emulated disk.
std::string UsbDiskPath(const std::string& vendor, const std::string& product,
                        const std::string& serial);
std::string Sbp2DiskPath(const std::string& vendor, const std::string& product,
                         const std::string& serial);
std::string UsbCdromPath(const std::string& vendor, const std::string& product,
                         const std::string& serial);

}  // namespace sim
