// The one seam between the utility and the operating system, in pieces by
// what their callers use: pass-through, discovery, run locks, the trace, the
// clock and the volumes. Every platform service the device layer needs goes
// through Host, which hands them out; the Win32 and Linux builds plug in the
// real API, tests and the demo the simulated machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace host {

using Handle = std::intptr_t;
inline constexpr Handle kInvalidHandle = -1;

// CreateFileA access and share bits, as the platform spells them.
inline constexpr std::uint32_t kGenericRead = 0x80000000u;
inline constexpr std::uint32_t kGenericWrite = 0x40000000u;
inline constexpr std::uint32_t kShareRead = 0x1u;
inline constexpr std::uint32_t kShareWrite = 0x2u;

// Last-error values the simulated machine reports like the platform does.
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorSharingViolation = 32;
inline constexpr std::uint32_t kErrorIoDevice = 1117;
inline constexpr std::uint32_t kErrorSemTimeout = 121;
inline constexpr std::uint32_t kErrorInvalidFunction = 1;
// What Windows answers for a device that was unplugged.
inline constexpr std::uint32_t kErrorDeviceNotConnected = 1167;

// Drive types of GetDriveTypeA, in its order.
enum DriveType : unsigned {
  kDriveUnknown,
  kDriveNoRootDir,
  kDriveRemovable,
  kDriveFixed,
  kDriveRemote,
  kDriveCdrom,
};

// The request fields of one SCSI pass-through exchange, in the platform
// record's order. The platform layer copies them into its own record (whose
// size it knows) and writes back scsiStatus and dataTransferLength.
struct PassThroughRequest {
  std::uint16_t length = 0;
  std::uint8_t scsiStatus = 0;
  std::uint8_t pathId = 0;
  std::uint8_t targetId = 0;
  std::uint8_t lun = 0;
  std::uint8_t cdbLength = 0;
  std::uint8_t senseInfoLength = 0;
  std::uint8_t dataIn = 0;
  std::uint32_t dataTransferLength = 0;
  std::uint32_t timeOutValue = 0;
  void* dataBuffer = nullptr;
  std::uint32_t senseInfoOffset = 0;
  std::uint8_t cdb[16] = {};
};

// STORAGE_DEVICE_NUMBER.
struct DeviceNumber {
  std::uint32_t deviceType = 0;
  std::uint32_t deviceNumber = 0;
  std::uint32_t partitionNumber = 0;
};

enum class InterfaceClass { Disk, Cdrom };

// The bus a storage device hangs on.
enum class Bus { Usb, Ieee1394, Other };

// One device-information set of an interface class, walked member by member so
// that a caller can stop at the first member that fails.
class InterfaceList {
 public:
  virtual ~InterfaceList() = default;
  // Fills path with member index's device path; false when the member cannot
  // be read (no more members, or any other failure).
  virtual bool Member(std::uint32_t index, std::string& path) = 0;
  // The bus of the member Member last read, where the platform tells it
  // apart from the path; empty: the path's spelling says it.
  virtual std::optional<Bus> MemberBus() const { return std::nullopt; }
};

// A device the platform would not open: another program's run holds it, or
// this user may not open it. text says which, naming the node.
struct UnreachableDevice {
  enum class Why { InUse, AccessDenied };
  std::string path;
  Why why = Why::InUse;
  std::string text;
};

// Pass-through: opening a device, one command block per exchange, closing
// it. The two carriers are its only users.
class PassThroughIo {
 public:
  virtual ~PassThroughIo() = default;

  // lastError receives the platform's last-error value.
  virtual Handle OpenDevice(const char* path, std::uint32_t access, std::uint32_t share,
                            std::uint32_t& lastError) = 0;
  // Returns the platform's success; request.scsiStatus and
  // request.dataTransferLength are updated on return.
  virtual bool PassThrough(Handle handle, PassThroughRequest& request,
                           std::uint32_t& lastError) = 0;
  // The sense data the platform took with the last PassThrough although the
  // device layer asks for none (Linux's SG_IO always takes it): copies up to
  // size bytes into `into` and returns how many; 0 where there was none. Read
  // only for the support log, never to judge a command.
  virtual std::size_t LastSense(std::uint8_t* /*into*/, std::size_t /*size*/) { return 0; }
  virtual bool QueryDeviceNumber(Handle handle, DeviceNumber& number,
                                 std::uint32_t& lastError) = 0;
  virtual void CloseDevice(Handle handle) = 0;
};

// Discovery: the lists of candidate devices, the notice that one came or
// went, and what the platform can tell about the devices it listed.
class Discovery {
 public:
  virtual ~Discovery() = default;

  // Device enumeration: null when the interface list cannot be obtained.
  virtual std::unique_ptr<InterfaceList> OpenInterfaceList(InterfaceClass cls) = 0;

  // Blocks until a storage device may have come or gone, or milliseconds
  // passed; true when something may have changed. Without notifications a
  // platform waits and answers maybe.
  virtual bool WaitForDeviceChange(std::uint32_t milliseconds) = 0;

  // Whether a device path as a user typed it names the device of a record's
  // path (the record's own spelling, or the platform's other names for it).
  virtual bool NamesDevice(const std::string& recordPath, const std::string& given);
  // The disk sequence number a record's path was taken with, where the
  // platform numbers disks that way.
  virtual std::optional<std::uint64_t> DiskSequence(const char* /*path*/) {
    return std::nullopt;
  }
  // The devices discovery offered that could not be opened, since the last
  // call: the listing is missing them.
  virtual std::vector<UnreachableDevice> TakeUnreachable() { return {}; }
  // Why the last discovery found no interface at all, in the platform's
  // terms (what its enumeration calls answered); empty where it found one or
  // cannot tell.
  virtual std::string DiscoveryNote() { return {}; }
};

// Run locks: holding a device for a run.
class RunLocks {
 public:
  virtual ~RunLocks() = default;

  // A run holds its device from its first command to its last: meanwhile no
  // other program's run (nor, where the platform can tell, its commands)
  // reaches the device, and the platform may keep it open. False, with
  // nothing sent, when another program holds it (kErrorSharingViolation) or
  // the path no longer names the device discovery saw (kErrorFileNotFound).
  // Calls for one path nest; each BeginRun that succeeded takes one EndRun,
  // which also puts back what the run changed on the host.
  virtual bool BeginRun(const char* /*path*/, std::uint32_t& lastError) {
    lastError = 0;
    return true;
  }
  virtual void EndRun(const char* /*path*/) {}
};

// The trace of what the device layer did, where the platform keeps one.
class Trace {
 public:
  virtual ~Trace() = default;
  virtual void DebugOutput(const char* text) = 0;
};

// The clock every wait of a run is taken on.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual void Sleep(std::uint32_t milliseconds) = 0;
  // Milliseconds on a clock that only moves forward, from any starting point:
  // waits that must outlast a part's busy time measure it here rather than
  // trust a count of polls or of requested sleeps.
  virtual std::uint64_t MonotonicMs();
};

// The volumes of the machine. Drive letters and the Windows folder exist only
// where the OS has them; elsewhere there are none (no drives, no folder) and
// volumes are found by mount point.
class Volumes {
 public:
  virtual ~Volumes() = default;
  // Bit 0 = A:; 0 where the OS has no drive letters.
  virtual std::uint32_t LogicalDrives() { return 0; }
  // "" where the OS has no Windows folder.
  virtual std::string WindowsDirectory() { return ""; }
  virtual unsigned DriveType(const char* /*root*/) { return kDriveNoRootDir; }
  // Where a platform shows volumes by mount point instead of drive letter:
  // fills mounts with those of the device with this number and returns true.
  virtual bool MountPoints(const DeviceNumber& /*device*/, std::vector<std::string>& /*mounts*/) {
    return false;
  }
};

// The platform as the utility sees it, piece by piece: each caller takes the
// piece it uses. A wrapper replaces one piece and hands out the others
// unchanged (ForwardingHost).
class Host {
 public:
  virtual ~Host() = default;
  virtual PassThroughIo& passThrough() = 0;
  virtual Discovery& discovery() = 0;
  virtual RunLocks& runLocks() = 0;
  virtual Trace& trace() = 0;
  virtual Clock& clock() = 0;
  virtual Volumes& volumes() = 0;

  void Sleep(std::uint32_t milliseconds) { clock().Sleep(milliseconds); }
  std::uint64_t MonotonicMs() { return clock().MonotonicMs(); }
  void DebugOutput(const char* text) { trace().DebugOutput(text); }
};

// A platform whose one object is every piece: the pieces share its state
// (a run's lock keeps the node its commands use; an open that failed is
// what discovery reports unreachable).
class PlatformHost : public Host,
                     public PassThroughIo,
                     public Discovery,
                     public RunLocks,
                     public Trace,
                     public Clock,
                     public Volumes {
 public:
  PassThroughIo& passThrough() override { return *this; }
  Discovery& discovery() override { return *this; }
  RunLocks& runLocks() override { return *this; }
  Trace& trace() override { return *this; }
  Clock& clock() override { return *this; }
  Volumes& volumes() override { return *this; }
  using Clock::MonotonicMs;
  using Clock::Sleep;
  using Trace::DebugOutput;
};

// A platform of one object per piece: Pieces is a record whose members
// passThrough, discovery, runLocks, trace, clock and volumes are the pieces,
// built in its own order (each may be handed those built before it).
template <class Pieces>
class PieceHost : public Host {
 public:
  template <class... Args>
  explicit PieceHost(Args&&... args) : pieces_(std::forward<Args>(args)...) {}
  PassThroughIo& passThrough() override { return pieces_.passThrough; }
  Discovery& discovery() override { return pieces_.discovery; }
  RunLocks& runLocks() override { return pieces_.runLocks; }
  Trace& trace() override { return pieces_.trace; }
  Clock& clock() override { return pieces_.clock; }
  Volumes& volumes() override { return pieces_.volumes; }

 protected:
  Pieces pieces_;
};

// Hands out another host's pieces; a wrapper derives from it and overrides
// the pieces it replaces.
class ForwardingHost : public Host {
 public:
  explicit ForwardingHost(Host& inner) : inner_(inner) {}
  PassThroughIo& passThrough() override { return inner_.passThrough(); }
  Discovery& discovery() override { return inner_.discovery(); }
  RunLocks& runLocks() override { return inner_.runLocks(); }
  Trace& trace() override { return inner_.trace(); }
  Clock& clock() override { return inner_.clock(); }
  Volumes& volumes() override { return inner_.volumes(); }

 protected:
  Host& inner() const { return inner_; }

 private:
  Host& inner_;
};

// The host every device command uses. Set once at start-up (or per test).
Host& Current();
void SetCurrent(Host* host);
// The installed host, or null before start-up chose one.
Host* Installed();
// host itself; a command sent before start-up chose a platform (null) stops
// the program, a programming error.
Host& Require(Host* host);

// Installs a host for a scope and puts the previous one back on the way out.
class ScopedHost {
 public:
  explicit ScopedHost(Host& host);
  ~ScopedHost();
  ScopedHost(const ScopedHost&) = delete;
  ScopedHost& operator=(const ScopedHost&) = delete;

 private:
  Host* previous_;
};

// Holds a device for a run on every way out (see RunLocks::BeginRun).
class RunScope {
 public:
  RunScope(RunLocks& locks, std::string path);
  ~RunScope();
  RunScope(const RunScope&) = delete;
  RunScope& operator=(const RunScope&) = delete;
  bool held() const { return held_; }
  std::uint32_t lastError() const { return lastError_; }

 private:
  RunLocks& locks_;
  std::string path_;
  std::uint32_t lastError_ = 0;
  bool held_;
};

// RAII owner of an open device handle.
class DeviceHandle {
 public:
  DeviceHandle(PassThroughIo& io, Handle handle) : io_(io), handle_(handle) {}
  ~DeviceHandle() { Close(); }
  DeviceHandle(const DeviceHandle&) = delete;
  DeviceHandle& operator=(const DeviceHandle&) = delete;
  bool valid() const { return handle_ != kInvalidHandle; }
  Handle get() const { return handle_; }
  void Close() {
    if (handle_ != kInvalidHandle) io_.CloseDevice(handle_);
    handle_ = kInvalidHandle;
  }

 private:
  PassThroughIo& io_;
  Handle handle_;
};

}  // namespace host
