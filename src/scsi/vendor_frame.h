// The command-block frames every bridge command is built in, and the two
// ways a built block is sent. Each command builds its block in a zeroed
// 12-byte array and sends it exactly once.
#pragma once

#include <array>
#include <cstdint>

#include "scsi/command_result.h"
#include "scsi/vendor_opcodes.h"

namespace device {

inline constexpr int kCdbLength = 12;
using Cdb = std::array<std::uint8_t, kCdbLength>;

// The maker magic "TX".
inline constexpr std::uint8_t kMagic0 = 0x54;
inline constexpr std::uint8_t kMagic1 = 0x58;

// FF 04 op: the vendor frame.
inline Cdb VendorFrame(std::uint8_t operation) {
  Cdb cdb{};
  cdb[0] = kVendorFrameCode;
  cdb[1] = kVendorFrameKind;
  cdb[2] = operation;
  return cdb;
}

// DF mode 00 Lhi Llo ... op: the memory frame. Byte 1 is 0x10 on reads and
// the caller's mode on writes; the address goes in by the caller (16-bit in
// bytes 6-7, or 24-bit in bytes 8-10).
inline Cdb MemoryFrame(std::uint8_t operation, std::uint8_t mode, std::uint32_t length) {
  Cdb cdb{};
  cdb[0] = kMemoryFrameCode;
  cdb[1] = mode;
  cdb[3] = static_cast<std::uint8_t>(length >> 8);
  cdb[4] = static_cast<std::uint8_t>(length);
  cdb[11] = operation;
  return cdb;
}

inline void Put24(Cdb& cdb, int at, std::uint32_t value) {
  cdb[at] = static_cast<std::uint8_t>(value >> 16);
  cdb[at + 1] = static_cast<std::uint8_t>(value >> 8);
  cdb[at + 2] = static_cast<std::uint8_t>(value);
}

inline void Put16(Cdb& cdb, int at, std::uint32_t value) {
  cdb[at] = static_cast<std::uint8_t>(value >> 8);
  cdb[at + 1] = static_cast<std::uint8_t>(value);
}

// One data-in exchange (or one with no data when length is 0).
Result SendIn(const char* path, const Cdb& cdb, void* buffer, std::int32_t length,
           std::int32_t* transferred = nullptr);

// One data-out exchange. The caller's data is only read: it travels through
// a private copy, so a constant table can be sent as it is.
Result SendOut(const char* path, const Cdb& cdb, const void* data, std::uint32_t length);

// The handler an assertion failure calls with its full text. The default
// writes the text to standard error and aborts; tests replace it to observe
// the failure. Returns the handler it replaced.
using AssertionHandler = void (*)(const char* text);
AssertionHandler SetAssertionHandler(AssertionHandler handler);

// Builds "Assertion failed: <condition>, file <file>, line <line>" and hands
// it to the handler. Returns only when a replaced handler returns.
void AssertionFailed(const char* condition, const char* file, int line);

}  // namespace device
