#include "scsi/chip_commands.h"

#include "scsi/vendor_frame.h"
#include "scsi/vendor_opcodes.h"

namespace device {

namespace {
constexpr int kParameterResultByte = 8;
}  // namespace

Result ResetChip(const char* path) {
  Cdb cdb = VendorFrame(kOpReset);
  cdb[3] = kMagic0;
  cdb[4] = kMagic1;
  return SendIn(path, cdb, nullptr, 0);
}

Result Inquiry(const char* path, std::uint8_t* buffer, std::int32_t length) {
  Cdb cdb{};
  cdb[0] = 0x12;
  cdb[4] = static_cast<std::uint8_t>(length);
  return SendIn(path, cdb, buffer, length);
}

Result ReadChipInfo(const char* path, std::uint8_t* buffer, std::int32_t length,
                 std::int32_t* transferred) {
  Cdb cdb{};
  cdb[0] = 0xE0;
  cdb[1] = 0xF4;
  cdb[2] = 0xE7;
  return SendIn(path, cdb, buffer, length, transferred);
}

Result ReadChipIdString(const char* path, std::uint8_t* buffer, std::int32_t length) {
  if (length < 0x08) {
    // The module keeps the name and line its builds always reported.
    AssertionFailed("length >= 0x08", "IDEAccess", 1473);
    return Result::Failed();
  }
  Cdb cdb = VendorFrame(kOpIdString);
  cdb[3] = 0x08;
  return SendIn(path, cdb, buffer, length);
}

Result ReadChipVariant(const char* path, std::uint8_t* buffer) {
  Cdb cdb = MemoryFrame(kMemOpVariant, kMemRead, 2);
  return SendIn(path, cdb, buffer, 2);
}

int ReadChipParameters(const char* path, std::uint8_t* buffer, std::int32_t length) {
  Cdb cdb = VendorFrame(kOpParameters);
  cdb[3] = static_cast<std::uint8_t>(length);
  if (SendIn(path, cdb, buffer, length).failed()) return 0;
  // A block shorter than 9 bytes has no byte 8 to report.
  return length > kParameterResultByte ? buffer[kParameterResultByte] : 0;
}

Result ReadChipMemory(const char* path, std::uint8_t* buffer, std::uint16_t address,
                   std::uint16_t length) {
  Cdb cdb = MemoryFrame(kMemOpRead, kMemRead, length);
  Put16(cdb, 6, address);
  return SendIn(path, cdb, buffer, length);
}

Result WriteChipMemory(const char* path, const std::uint8_t* data, std::uint16_t address,
                    std::uint16_t length) {
  Cdb cdb = MemoryFrame(kMemOpWrite, kMemWrite, length);
  Put16(cdb, 6, address);
  return SendOut(path, cdb, data, length);
}

bool CheckChipMode505E(const char* path) {
  std::uint8_t reply[4] = {};
  if (ReadChipMemory(path, reply, 0x505E, sizeof reply).failed()) return false;
  return reply[1] == 0x00 && reply[2] == 0x01;
}

bool CheckChipLevelFDB0(const char* path, bool* answered) {
  std::uint8_t reply[4] = {};
  const bool read = ReadChipMemory(path, reply, 0xFDB0, sizeof reply).ok();
  if (answered != nullptr) *answered = read;
  return read && reply[1] >= 0xB4;
}

}  // namespace device
