// A host whose every answer comes from a byte tape: device enumeration, drive
// letters and types, device numbers and each pass-through reply (platform
// result, SCSI status, transfer count and data). The device-reply fuzz target
// replays its input as the tape; the seed maker records the tape a simulated
// enclosure would give, so that seeds start from real conversations.
//
// Tape format, one record per host call in call order (little-endian):
//   OpenDevice         u8 result: 0 = fails (then u8 index into kErrors)
//   PassThrough        u8 flags: bit0 platform failure, bit1 CHECK CONDITION;
//                      unless failed: u32 transferred (cut to the request),
//                      then for data-in that many data bytes
//   QueryDeviceNumber  u8 ok, then u32 type, u32 number, u32 partition
//   OpenInterfaceList  u8 ok
//   Member             u8 length (0 = no member), then that many path bytes
//   LogicalDrives      u32
//   DriveType          u8
// A tape that runs out reads as zeros: every later call fails or is empty,
// so each input ends.
#pragma once

#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "host/host.h"

namespace fuzzing {

inline constexpr std::uint32_t kErrors[] = {
    host::kErrorFileNotFound, host::kErrorAccessDenied, host::kErrorSharingViolation,
    host::kErrorIoDevice,     host::kErrorSemTimeout,   host::kErrorInvalidFunction};

class TapeReader {
 public:
  TapeReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t U8() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint32_t U32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= std::uint32_t{U8()} << (8 * i);
    return v;
  }
  // Copies up to n bytes; the rest of out stays as it was.
  void Bytes(void* out, std::size_t n) {
    const std::size_t take = n < size_ - at_ ? n : size_ - at_;
    if (take > 0) std::memcpy(out, data_ + at_, take);
    at_ += take;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

class TapeWriter {
 public:
  void U8(std::uint8_t v) { tape.push_back(v); }
  void U32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) tape.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void Bytes(const void* p, std::size_t n) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    tape.insert(tape.end(), b, b + n);
  }
  std::vector<std::uint8_t> tape;
};

// Replays a tape.
class TapeHost : public host::PlatformHost {
 public:
  TapeHost(const std::uint8_t* data, std::size_t size) : in_(data, size) {}

  host::Handle OpenDevice(const char*, std::uint32_t, std::uint32_t,
                          std::uint32_t& lastError) override {
    if (in_.U8() != 0) return nextHandle_++;
    lastError = kErrors[in_.U8() % std::size(kErrors)];
    return host::kInvalidHandle;
  }
  bool PassThrough(host::Handle, host::PassThroughRequest& r, std::uint32_t& lastError) override {
    const std::uint8_t flags = in_.U8();
    if (flags & 1) {
      lastError = host::kErrorIoDevice;
      return false;
    }
    r.scsiStatus = (flags & 2) ? 2 : 0;
    std::uint32_t transferred = in_.U32();
    if (transferred > r.dataTransferLength) transferred = r.dataTransferLength;
    if (r.dataIn && r.dataBuffer != nullptr) in_.Bytes(r.dataBuffer, transferred);
    r.dataTransferLength = transferred;
    return true;
  }
  bool QueryDeviceNumber(host::Handle, host::DeviceNumber& n, std::uint32_t& lastError) override {
    if (in_.U8() == 0) {
      lastError = host::kErrorInvalidFunction;
      return false;
    }
    n.deviceType = in_.U32();
    n.deviceNumber = in_.U32();
    n.partitionNumber = in_.U32();
    return true;
  }
  void CloseDevice(host::Handle) override {}
  std::unique_ptr<host::InterfaceList> OpenInterfaceList(host::InterfaceClass) override {
    if (in_.U8() == 0) return nullptr;
    return std::make_unique<List>(in_);
  }
  std::uint32_t LogicalDrives() override { return in_.U32(); }
  std::string WindowsDirectory() override { return "C:\\WINDOWS"; }
  unsigned DriveType(const char*) override { return in_.U8(); }
  bool WaitForDeviceChange(std::uint32_t) override { return true; }
  void Sleep(std::uint32_t) override {}
  void DebugOutput(const char*) override {}

 private:
  class List : public host::InterfaceList {
   public:
    explicit List(TapeReader& in) : in_(in) {}
    bool Member(std::uint32_t, std::string& path) override {
      const std::uint8_t length = in_.U8();
      if (length == 0) return false;
      path.assign(length, '\0');
      in_.Bytes(path.data(), length);
      return true;
    }

   private:
    TapeReader& in_;
  };

  TapeReader in_;
  host::Handle nextHandle_ = 100;
};

// Passes every call to another host and writes the tape that replays it.
class RecordingHost : public host::PlatformHost {
 public:
  explicit RecordingHost(host::Host& real)
      : real_(real), clock_(real.clock()), volumes_(real.volumes()) {}

  host::Handle OpenDevice(const char* path, std::uint32_t access, std::uint32_t share,
                          std::uint32_t& lastError) override {
    const host::Handle h = real_.passThrough().OpenDevice(path, access, share, lastError);
    out.U8(h != host::kInvalidHandle ? 1 : 0);
    if (h == host::kInvalidHandle) out.U8(ErrorIndex(lastError));
    return h;
  }
  bool PassThrough(host::Handle h, host::PassThroughRequest& r, std::uint32_t& lastError) override {
    const bool ok = real_.passThrough().PassThrough(h, r, lastError);
    out.U8(static_cast<std::uint8_t>((ok ? 0 : 1) | (r.scsiStatus != 0 ? 2 : 0)));
    if (!ok) return ok;
    out.U32(r.dataTransferLength);
    if (r.dataIn && r.dataBuffer != nullptr) out.Bytes(r.dataBuffer, r.dataTransferLength);
    return ok;
  }
  bool QueryDeviceNumber(host::Handle h, host::DeviceNumber& n, std::uint32_t& lastError) override {
    const bool ok = real_.passThrough().QueryDeviceNumber(h, n, lastError);
    out.U8(ok ? 1 : 0);
    if (ok) {
      out.U32(n.deviceType);
      out.U32(n.deviceNumber);
      out.U32(n.partitionNumber);
    }
    return ok;
  }
  void CloseDevice(host::Handle h) override { real_.passThrough().CloseDevice(h); }
  std::unique_ptr<host::InterfaceList> OpenInterfaceList(host::InterfaceClass cls) override {
    std::unique_ptr<host::InterfaceList> list = real_.discovery().OpenInterfaceList(cls);
    out.U8(list ? 1 : 0);
    if (!list) return nullptr;
    return std::make_unique<List>(std::move(list), out);
  }
  std::uint32_t LogicalDrives() override {
    const std::uint32_t v = volumes_.LogicalDrives();
    out.U32(v);
    return v;
  }
  std::string WindowsDirectory() override { return "C:\\WINDOWS"; }
  unsigned DriveType(const char* root) override {
    const unsigned v = volumes_.DriveType(root);
    out.U8(static_cast<std::uint8_t>(v));
    return v;
  }
  // The answer is not on the tape: as a platform without notifications.
  bool WaitForDeviceChange(std::uint32_t ms) override {
    clock_.Sleep(ms);
    return true;
  }
  void Sleep(std::uint32_t ms) override { clock_.Sleep(ms); }
  void DebugOutput(const char* text) override { real_.trace().DebugOutput(text); }

  TapeWriter out;

 private:
  class List : public host::InterfaceList {
   public:
    List(std::unique_ptr<host::InterfaceList> real, TapeWriter& out)
        : real_(std::move(real)), out_(out) {}
    bool Member(std::uint32_t index, std::string& path) override {
      // Paths longer than a length byte cannot be replayed; they end the list.
      if (!real_->Member(index, path) || path.empty() || path.size() > 255) {
        out_.U8(0);
        return false;
      }
      out_.U8(static_cast<std::uint8_t>(path.size()));
      out_.Bytes(path.data(), path.size());
      return true;
    }

   private:
    std::unique_ptr<host::InterfaceList> real_;
    TapeWriter& out_;
  };

  static std::uint8_t ErrorIndex(std::uint32_t error) {
    for (std::size_t i = 0; i < std::size(kErrors); ++i)
      if (kErrors[i] == error) return static_cast<std::uint8_t>(i);
    return 0;
  }

  host::Host& real_;
  host::Clock& clock_;
  host::Volumes& volumes_;
};

}  // namespace fuzzing
