// Bridge-chip commands that are not about flash contents: reset,
// identification data, the parameter block and the chip's own memory.
// Each takes the device path first, sends one command block and returns 1 on
// success and 0 on failure unless stated; none shows a message or retries.
#pragma once

#include <cstdint>

#include "scsi/command_result.h"

namespace device {

// FF 04 26 54 58: the chip resets and re-attaches to the host.
Result ResetChip(const char* path);

// Standard INQUIRY with allocation length `length` (callers use 40).
Result Inquiry(const char* path, std::uint8_t* buffer, std::int32_t length);

// The chip information block (12 or 16 bytes); `transferred` receives the
// count the chip actually delivered, which tells the two layouts apart.
Result ReadChipInfo(const char* path, std::uint8_t* buffer, std::int32_t length,
                 std::int32_t* transferred);

// The identification string. `length` must be at least 8: a smaller one is a
// programming error that raises the assertion failure and sends nothing.
Result ReadChipIdString(const char* path, std::uint8_t* buffer, std::int32_t length);

// The 2-byte variant word.
Result ReadChipVariant(const char* path, std::uint8_t* buffer);

// Reads `length` bytes of the parameter block. Result: byte 8 of the block
// when the command succeeded, 0 when it failed (or the block is too short to
// hold byte 8).
int ReadChipParameters(const char* path, std::uint8_t* buffer, std::int32_t length);

// `length` bytes of chip memory at the 16-bit address.
Result ReadChipMemory(const char* path, std::uint8_t* buffer, std::uint16_t address,
                   std::uint16_t length);
Result WriteChipMemory(const char* path, const std::uint8_t* data, std::uint16_t address,
                    std::uint16_t length);

// 1 when chip memory 0x505E reads ?? 00 01 ??; else 0.
bool CheckChipMode505E(const char* path);

// 1 when byte 1 of chip memory 0xFDB0 is 0xB4 or more; else 0. answered,
// when given, says whether the chip memory could be read at all.
bool CheckChipLevelFDB0(const char* path, bool* answered = nullptr);

}  // namespace device
