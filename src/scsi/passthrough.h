// The two SCSI pass-through carriers: the only place where command blocks
// reach the platform. Each call opens the device, sends one request and
// closes it again; nothing is kept between calls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/host.h"
#include "scsi/command_result.h"

namespace device {

inline constexpr std::size_t kPadAlignment = 8192;
inline constexpr std::size_t kRequestAllocation = 1068;
inline constexpr std::uint32_t kIoctlScsiPassThroughDirect = 0x4D014;
inline constexpr std::uint32_t kIoctlStorageGetDeviceNumber = 0x2D1080;
inline constexpr std::uint16_t kRequestLength = 44;
inline constexpr std::uint32_t kSenseInfoOffset = 48;
inline constexpr std::uint32_t kTimeoutIn = 10;
inline constexpr std::uint32_t kTimeoutOut = 50;
inline constexpr std::uint32_t kTimeoutLongOut = 100;

// A zero-filled allocation of n + 8192 bytes; null on failure.
void* AllocPadded(std::size_t n, std::size_t alignment = kPadAlignment);
std::uintptr_t AlignUp(std::uintptr_t address, std::size_t alignment);
void FreePadded(void* allocation);

// Owner of a padded allocation, exposing its aligned area.
class PaddedBuffer {
 public:
  explicit PaddedBuffer(std::size_t n)
      : raw_(AllocPadded(n)),
        aligned_(raw_ ? reinterpret_cast<std::uint8_t*>(
                            AlignUp(reinterpret_cast<std::uintptr_t>(raw_), kPadAlignment))
                      : nullptr),
        size_(n) {}
  ~PaddedBuffer() { FreePadded(raw_); }
  PaddedBuffer(const PaddedBuffer&) = delete;
  PaddedBuffer& operator=(const PaddedBuffer&) = delete;
  bool ok() const { return raw_ != nullptr; }
  std::uint8_t* data() const { return aligned_; }
  std::size_t size() const { return size_; }

 private:
  void* raw_;
  std::uint8_t* aligned_;
  std::size_t size_;
};

// Data from the device (or none). 1 on success, 0 on failure. After a failure
// buffer holds zeros or whatever part the device delivered.
Result ScsiPassThroughIn(const char* path, const std::uint8_t* cdb, int cdbLength, void* buffer,
                      std::int32_t length, std::int32_t* transferred);

// Data to the device (or none). 1 on success, 0 on failure.
Result ScsiPassThroughOut(const char* path, const std::uint8_t* cdb, int cdbLength, void* data,
                       std::uint32_t length, std::int32_t* transferred);

bool GetDeviceNumber(const char* path, host::DeviceNumber* number);

// The time-out the data-out carrier gives a CDB: whole-chip erase and the
// mode-3 block write may take up to 100 s.
std::uint32_t OutTimeoutFor(const std::uint8_t* cdb);

}  // namespace device
