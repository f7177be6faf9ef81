#include "scsi/flash_commands.h"
#include "scsi/change_gate.h"

#include <vector>

#include "scsi/passthrough.h"
#include "scsi/status_poll.h"
#include "scsi/vendor_frame.h"
#include "scsi/vendor_opcodes.h"
#include "host/host.h"

namespace device {

namespace {
constexpr std::uint8_t kEraseCodeMask = 0x87;

constexpr std::uint32_t kPollMs = 10;
constexpr int kReadyReReads = 500;      // re-reads that still count as ready
constexpr int kReadyReReadLimit = 502;  // re-reads before the wait gives up

Cdb AddressedFrame(std::uint8_t operation, std::int32_t address) {
  Cdb cdb = VendorFrame(operation);
  Put24(cdb, 3, static_cast<std::uint32_t>(address));
  return cdb;
}

Cdb OpcodesFrame(const FlashDescriptor& d) {
  Cdb cdb = VendorFrame(kOpOpcodes);
  cdb[3] = 0x02;
  cdb[4] = d.chipEraseOpcode;
  cdb[5] = d.blockEraseOpcode;
  cdb[6] = d.programOpcode;
  cdb[7] = d.flashMaker;
  cdb[8] = 0x01;
  return cdb;
}

Cdb OpcodesAndPageSizeFrame(const FlashDescriptor& d) {
  Cdb cdb = VendorFrame(kOpOpcodesAndPageSize);
  cdb[3] = d.chipEraseOpcode;
  cdb[4] = d.blockEraseOpcode;
  cdb[5] = d.programOpcode;
  cdb[6] = d.sectorEraseOpcode;
  return cdb;
}

// The raw opcode followed by the read of its answer; the JEDEC probes send no
// length in the read block.
Result ProbeRead(const char* path, std::uint8_t opcode, std::uint8_t* buffer, std::uint8_t length,
              std::uint8_t lengthInCdb) {
  Cdb command = VendorFrame(kOpSpiCommand);
  command[3] = 0x01;
  command[4] = 0x01;
  command[5] = opcode;
  if (SendIn(path, command, nullptr, 0).failed()) return Result::Failed();
  Cdb read = VendorFrame(kOpSpiRead);
  read[8] = lengthInCdb;
  return SendIn(path, read, buffer, length);
}

// The part's unlock addresses: H and G are the high bytes of the 0x?555 and
// 0x?AAA cells. Unknown parts get none, so the chip sends no sequence.
bool UnlockBytes(int flashIndex, std::uint8_t& h, std::uint8_t& g) {
  if (flashIndex == 0 || flashIndex == 2) {
    h = 0x55;
    g = 0x2A;
    return true;
  }
  if (flashIndex == 1) {
    h = 0x05;
    g = 0x02;
    return true;
  }
  return false;
}

// The 32-bit ROM address travels low byte first in bytes 3-6.
Cdb RomReadFrame(std::int32_t address) {
  Cdb cdb = VendorFrame(kOpRomRead);
  const auto a = static_cast<std::uint32_t>(address);
  cdb[3] = static_cast<std::uint8_t>(a);
  cdb[4] = static_cast<std::uint8_t>(a >> 8);
  cdb[5] = static_cast<std::uint8_t>(a >> 16);
  cdb[6] = static_cast<std::uint8_t>(a >> 24);
  return cdb;
}

}  // namespace

Result ReadFlash(const char* path, std::int32_t address, std::uint8_t* buffer, std::int32_t length) {
  return SendIn(path, AddressedFrame(kOpRead, address), buffer, length);
}

Result ReadFlashWhole(const char* path, std::int32_t address, std::uint8_t* buffer,
                   std::int32_t length) {
  std::int32_t moved = 0;
  if (SendIn(path, AddressedFrame(kOpRead, address), buffer, length, &moved).failed())
    return Result::Failed();
  return Result::Of(moved >= length);
}

Result WriteFlash(const char* path, std::int32_t address, const std::uint8_t* data,
               std::int32_t length) {
  if (length < 0) return Result::Failed();
  if (!MayChange()) return Result::Failed();
  return SendOut(path, AddressedFrame(kOpWrite, address), data, static_cast<std::uint32_t>(length));
}

Result ReadFlashStatus(const char* path, std::uint8_t* status) {
  return SendIn(path, VendorFrame(kOpStatus), status, 1);
}

Result EraseFlashChip(const char* path) {
  if (!MayChange()) return Result::Failed();
  return SendOut(path, VendorFrame(kOpChipErase), nullptr, 0);
}

Result EraseFlashSector(const char* path, std::int32_t address) {
  if (!MayChange()) return Result::Failed();
  return SendOut(path, AddressedFrame(kOpSectorErase, address), nullptr, 0);
}

Result ReadFlashIdBytes(const char* path, std::uint8_t* buffer, std::uint8_t opcode, int flag) {
  Cdb cdb = VendorFrame(kOpIdBytes);
  cdb[3] = 0x03;
  cdb[4] = opcode;
  cdb[5] = flag != 0 ? 0x03 : 0x00;
  return SendIn(path, cdb, buffer, 3);
}

Result ReadFlashTypeCode(const char* path, std::uint8_t* buffer) {
  Cdb cdb = VendorFrame(kOpTypeCode);
  cdb[3] = 0x04;
  return SendIn(path, cdb, buffer, 4);
}

bool WaitFlashReady(const char* path) {
  // Starts busy: a device that cannot be opened hands back no byte and must
  // not pass for a ready flash.
  const int reReads = PollStatus(
      [path](std::uint8_t* status) { return ReadFlashStatus(path, status).ok(); },
      kFlashStatusBusy, [](std::uint8_t status) { return (status & kFlashStatusBusy) == 0; },
      {kReadyReReadLimit, kPollMs});
  return reReads >= 0 && reReads <= kReadyReReads;
}

Result SpiCommandRead(const char* path, std::uint8_t opcode, std::uint8_t* buffer,
                   std::uint8_t length) {
  return ProbeRead(path, opcode, buffer, length, length);
}

int DetectAmicFlash(const char* path, bool* answered) {
  std::uint8_t id[4] = {};
  const bool read = ProbeRead(path, kSpiReadJedecId, id, sizeof id, 0).ok();
  if (answered != nullptr) *answered = read;
  if (!read) return -1;
  if (id[0] != 0x7F || id[1] != 0x37 || id[2] != 0x20) return -1;
  switch (id[3]) {
    case 0x12:
      return 1;
    case 0x11:
      return 3;
    case 0x20:
      return 4;
    case 0x10:
      return 5;
    default:
      return -1;
  }
}

int DetectAtmelFlash(const char* path, bool* answered) {
  std::uint8_t id[4] = {};
  const bool read = ProbeRead(path, kSpiReadJedecId, id, sizeof id, 0).ok();
  if (answered != nullptr) *answered = read;
  if (!read) return -1;
  if (id[0] != 0x1F) return -1;
  if (id[1] == 0x65) return 1;
  if (id[1] == 0x66) return 2;
  return 0;
}

Result SetFlashOpcodes(const char* path, const FlashDescriptor& descriptor) {
  std::uint8_t discarded[2] = {};
  return SendIn(path, OpcodesFrame(descriptor), discarded, sizeof discarded);
}

Result SetFlashOpcodesNoReply(const char* path, const FlashDescriptor& descriptor) {
  return SendIn(path, OpcodesFrame(descriptor), nullptr, 0);
}

Result SetFlashOpcodesAndPageSize(const char* path, const FlashDescriptor& descriptor,
                               std::uint16_t pageSize) {
  Cdb cdb = OpcodesAndPageSizeFrame(descriptor);
  cdb[7] = static_cast<std::uint8_t>(pageSize / 4);
  return SendOut(path, cdb, nullptr, 0);
}

Result SetFlashOpcodesAndPageSize16(const char* path, const FlashDescriptor& descriptor,
                                 std::uint16_t pageSize) {
  Cdb cdb = OpcodesAndPageSizeFrame(descriptor);
  Put16(cdb, 7, pageSize);
  return SendOut(path, cdb, nullptr, 0);
}

Result SetFlashPageSize(const char* path, std::uint16_t pageSize, std::uint8_t replyLength) {
  Cdb cdb = VendorFrame(kOpPageSize);
  cdb[3] = 0x02;
  cdb[4] = static_cast<std::uint8_t>(pageSize / 4);
  std::uint8_t discarded[256];
  return SendIn(path, cdb, replyLength > 0 ? discarded : nullptr, replyLength);
}

Result ClearFlashPageSize(const char* path) {
  return SendOut(path, VendorFrame(kOpPageSize), nullptr, 0);
}

// The block commands move flash contents: a transfer that moved less than
// its length did not read or program the range, whatever the status said.
namespace {
Result SendInWhole(const char* path, const Cdb& cdb, std::uint8_t* buffer, std::uint32_t length) {
  std::int32_t moved = 0;
  const Result sent = SendIn(path, cdb, buffer, static_cast<std::int32_t>(length), &moved);
  return Result::Of(sent.ok() && static_cast<std::uint32_t>(moved) == length);
}
Result SendOutWhole(const char* path, const Cdb& cdb, const std::uint8_t* data,
                 std::uint32_t length) {
  if (data == nullptr || length == 0) return SendOut(path, cdb, data, length);
  std::vector<std::uint8_t> copy(data, data + length);  // the carrier writes into its buffer
  std::int32_t moved = 0;
  const Result sent = ScsiPassThroughOut(path, cdb.data(), kCdbLength, copy.data(), length, &moved);
  return Result::Of(sent.ok() && static_cast<std::uint32_t>(moved) == length);
}
}  // namespace

Result ReadFlashBlock(const char* path, std::uint32_t address, std::uint8_t* buffer,
                   std::uint32_t length) {
  Cdb cdb = MemoryFrame(kMemOpBlockRead, kMemRead, length);
  Put24(cdb, 8, address);
  return SendInWhole(path, cdb, buffer, length);
}

Result WriteFlashBlock(const char* path, std::uint32_t address, const std::uint8_t* data,
                    std::uint32_t length, std::uint8_t mode) {
  if (!MayChange()) return Result::Failed();
  Cdb cdb = MemoryFrame(kMemOpBlockWrite, static_cast<std::uint8_t>(mode & kEraseCodeMask), length);
  Put24(cdb, 8, address);
  return SendOutWhole(path, cdb, data, length);
}

Result WriteFlashBlockPlain(const char* path, std::uint32_t address, const std::uint8_t* data,
                         std::uint32_t length, int flag) {
  if (!MayChange()) return Result::Failed();
  Cdb cdb = MemoryFrame(kMemOpBlockWrite, flag != 0 ? 0x01 : 0x00, length);
  Put24(cdb, 8, address);
  return SendOutWhole(path, cdb, data, length);
}

Result SwitchToInternalRom(const char* path) {
  return SendOut(path, VendorFrame(kOpRomSwitch), nullptr, 0);
}

Result ReadRomStatus(const char* path, std::uint8_t* status) {
  std::uint8_t byte = 0;
  if (SendIn(path, VendorFrame(kOpRomStatus), &byte, 1).failed()) return Result::Failed();
  if (status != nullptr) *status = byte;
  return Result::Ok();
}

bool IsRomBusy(const char* path) {
  std::uint8_t status = 0;
  if (ReadRomStatus(path, &status).failed()) return true;
  return status == 0x01;
}

Result StartRomErase(const char* path) {
  if (!MayChange()) return Result::Failed();
  return SendOut(path, VendorFrame(kOpRomStartErase), nullptr, 0);
}

Result ReadRom(const char* path, std::int32_t address, std::uint8_t* buffer, std::int32_t length) {
  return SendIn(path, RomReadFrame(address), buffer, length);
}

Result ReadRomWhole(const char* path, std::int32_t address, std::uint8_t* buffer,
                 std::int32_t length) {
  std::int32_t moved = 0;
  if (SendIn(path, RomReadFrame(address), buffer, length, &moved).failed()) return Result::Failed();
  return Result::Of(moved >= length);
}

Result ProgramRom(const char* path, const std::uint8_t* data, std::uint32_t length, int flashIndex) {
  if (!MayChange()) return Result::Failed();
  Cdb cdb = VendorFrame(kOpRomProgram);
  std::uint8_t h = 0;
  std::uint8_t g = 0;
  if (UnlockBytes(flashIndex, h, g)) {
    // Three cells, low byte first (H55, GAA, H55), then the bytes written to
    // them: the part's program unlock.
    const std::uint8_t unlock[9] = {0x55, h, 0xAA, g, 0x55, h, 0xAA, 0x55, 0xA0};
    for (int i = 0; i < 9; ++i) cdb[3 + i] = unlock[i];
  }
  return SendOut(path, cdb, data, length);
}

Result PreEraseRom(const char* path, int flashIndex) {
  if (!MayChange()) return Result::Failed();
  std::uint8_t sequence[18] = {};
  std::uint8_t h = 0;
  std::uint8_t g = 0;
  if (UnlockBytes(flashIndex, h, g)) {
    // Six cells, low byte first, then the six bytes of the chip-erase command.
    const std::uint8_t erase[18] = {0x55, h,    0xAA, g,    0x55, h,    0x55, h,    0xAA,
                                    g,    0x55, h,    0xAA, 0x55, 0x80, 0xAA, 0x55, 0x10};
    for (int i = 0; i < 18; ++i) sequence[i] = erase[i];
  }
  return SendOut(path, VendorFrame(kOpRomPreErase), sequence, sizeof sequence);
}

}  // namespace device
