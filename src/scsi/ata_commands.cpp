#include "scsi/ata_commands.h"
#include "scsi/change_gate.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "scsi/passthrough.h"
#include "scsi/status_poll.h"
#include "scsi/vendor_opcodes.h"
#include "host/host.h"

namespace device {

namespace {

constexpr int kCdb12 = 12;
constexpr std::uint8_t kProtocolPioIn = 0x08;
constexpr std::uint8_t kProtocolPioOut = 0x0A;
constexpr std::uint8_t kProtocolNonData = 0x06;
constexpr std::int32_t kBlock = 512;

// The common frame: protocol, feature and count; device byte and command 0xB0.
void Frame(std::uint8_t* cdb, std::uint8_t protocol, std::uint8_t feature, std::uint8_t count) {
  cdb[0] = kAtaPassThrough12;
  cdb[1] = protocol;
  cdb[2] = 0x0B;
  cdb[3] = feature;
  cdb[4] = count;
  cdb[8] = kVendorAtaCommand;
  cdb[9] = kVendorAtaCommand;
}

// The flash address travels low byte first in the LBA bytes.
void PutAddress(std::uint8_t* cdb, std::int32_t address) {
  const auto a = static_cast<std::uint32_t>(address);
  cdb[5] = static_cast<std::uint8_t>(a);
  cdb[6] = static_cast<std::uint8_t>(a >> 8);
  cdb[7] = static_cast<std::uint8_t>(a >> 16);
}

Result In(const char* path, const std::uint8_t* cdb, void* buffer, std::int32_t length) {
  std::int32_t moved = 0;
  return ScsiPassThroughIn(path, cdb, kCdb12, buffer, length, &moved);
}

Result Out(const char* path, const std::uint8_t* cdb, void* data, std::uint32_t length) {
  std::int32_t moved = 0;
  return ScsiPassThroughOut(path, cdb, kCdb12, data, length, &moved);
}

// The busy poll shared by the wait and the range operations: first read, then
// up to 502 re-reads 10 ms apart. Returns the re-read count at which bit 0 was
// seen clear, or -1 when it never was or the first read failed. A re-read that
// fails hands back nothing, so the flash still counts as busy and the poll
// goes on: one lost answer must not let the next chunk go to a busy flash.
int PollUntilNotBusy(const char* path) {
  return PollStatus([path](std::uint8_t* status) { return AtaReadStatus(path, status).ok(); }, 0,
                    [](std::uint8_t status) { return (status & 0x01) == 0; },
                    {kAtaPollRereads, kAtaPollIntervalMs, true});
}

int ChunkCount(std::int32_t length) {
  if (length <= 0) return 0;
  return length / kAtaFlashChunk + (length % kAtaFlashChunk != 0 ? 1 : 0);
}

// Runs step(offset, bytes) on each chunk of length in turn, each after the
// engine was polled (its outcome ignored: the transfer itself decides);
// false at the first step that fails.
template <typename Step>
bool EachFlashChunk(const char* path, std::int32_t length, Step step) {
  const int chunks = ChunkCount(length);
  for (int i = 0; i < chunks; ++i) {
    const std::int32_t done = i * kAtaFlashChunk;
    PollUntilNotBusy(path);
    if (!step(done, std::min(kAtaFlashChunk, length - done))) return false;
  }
  return true;
}

}  // namespace

Result AtaReadChipInfo(const char* path, void* buffer, std::int32_t length) {
  std::uint8_t cdb[kCdb12] = {};
  Frame(cdb, kProtocolPioIn, kAtaInfo, static_cast<std::uint8_t>(length / kBlock));
  return In(path, cdb, buffer, length);
}

Result AtaReadStatus(const char* path, std::uint8_t* status) {
  std::uint8_t cdb[kCdb12] = {};
  Frame(cdb, kProtocolPioIn, kAtaStatus, 1);
  std::uint8_t block[kBlock] = {};
  const Result sent = In(path, cdb, block, kBlock);
  if (sent.ok() && status != nullptr) *status = block[0];
  return sent;
}

Result AtaReadFlash(const char* path, std::int32_t address, void* buffer, std::int32_t length) {
  std::uint8_t cdb[kCdb12] = {};
  Frame(cdb, kProtocolPioIn, kAtaReadFlash, static_cast<std::uint8_t>(length >> 9));
  PutAddress(cdb, address);
  return In(path, cdb, buffer, length);
}

Result AtaReadFlashWhole(const char* path, std::int32_t address, void* buffer, std::int32_t length) {
  std::uint8_t cdb[kCdb12] = {};
  Frame(cdb, kProtocolPioIn, kAtaReadFlash, static_cast<std::uint8_t>(length >> 9));
  PutAddress(cdb, address);
  std::int32_t moved = 0;
  if (ScsiPassThroughIn(path, cdb, kCdb12, buffer, length, &moved).failed()) return Result::Failed();
  return Result::Of(moved >= length);
}

Result AtaWriteFlash(const char* path, std::int32_t address, void* buffer, std::int32_t length) {
  if (!MayChange()) return Result::Failed();
  std::uint8_t cdb[kCdb12] = {};
  Frame(cdb, kProtocolPioOut, kAtaWriteFlash, static_cast<std::uint8_t>(length >> 9));
  cdb[2] = 0x03;  // data flows to the device
  PutAddress(cdb, address);
  return Out(path, cdb, buffer, length > 0 ? static_cast<std::uint32_t>(length) : 0);
}

Result AtaEraseFlashChip(const char* path) {
  if (!MayChange()) return Result::Failed();
  std::uint8_t cdb[kCdb12] = {};
  Frame(cdb, kProtocolNonData, kAtaEraseChip, 0);
  return Out(path, cdb, nullptr, 0);
}

Result AtaSpiCommand(const char* path, const SpiRecord& record, void* data,
                  std::uint32_t length) {
  if (SpiOpcodeChangesFlash(record.opcode) && !MayChange()) return Result::Failed();
  std::uint8_t cdb[kCdb12] = {};
  Frame(cdb, kProtocolNonData, kAtaSpiCommand, 0);
  cdb[4] = static_cast<std::uint8_t>(((record.dataPhase & 0x01) << 7) | (record.count & 0x7F));
  cdb[5] = record.opcode;
  cdb[6] = record.args[0];
  cdb[7] = record.args[1];
  cdb[8] = 0x00;  // this one frame leaves the device byte clear
  return Out(path, cdb, data, length);
}

Result AtaSpiReadData(const char* path, void* buffer, std::int32_t length) {
  std::uint8_t cdb[kCdb12] = {};
  Frame(cdb, kProtocolPioIn, kAtaSpiReadData, static_cast<std::uint8_t>(length >> 9));
  return In(path, cdb, buffer, length);
}

Result AtaSetFlashOpcodes(const char* path, const FlashDescriptor& descriptor) {
  std::uint8_t cdb[kCdb12] = {};
  Frame(cdb, kProtocolNonData, kAtaSetOpcodes, descriptor.flashMaker);
  cdb[5] = descriptor.chipEraseOpcode;
  cdb[6] = descriptor.blockEraseOpcode;
  cdb[7] = descriptor.programOpcode;
  return In(path, cdb, nullptr, 0);
}

Result AtaSetFlashPageSize(const char* path, std::uint16_t pageSize) {
  std::uint8_t cdb[kCdb12] = {};
  Frame(cdb, kProtocolNonData, kAtaSetPageSize, static_cast<std::uint8_t>(pageSize / 4));
  return In(path, cdb, nullptr, 0);
}

Result AtaReadFlashTypeBlock(const char* path, void* buffer, std::int32_t length) {
  std::uint8_t cdb[kCdb12] = {};
  Frame(cdb, kProtocolPioIn, kAtaFlashType, static_cast<std::uint8_t>(length / kBlock));
  return In(path, cdb, buffer, length);
}

Result AtaWaitReady(const char* path) {
  const int rereads = PollUntilNotBusy(path);
  return Result::Of(rereads >= 0 && rereads <= kAtaReadyRereads);
}

Result AtaReadChipInfoBytes(const char* path, void* buffer, int n) {
  std::uint8_t block[kBlock] = {};
  const Result sent = AtaReadChipInfo(path, block, kBlock);
  if (sent.ok() && buffer != nullptr && n > 0)
    std::memcpy(buffer, block, static_cast<std::size_t>(std::min(n, kBlock)));
  return sent;
}

bool MatchChipProductId(const char* path, const char* text) {
  std::uint8_t info[16] = {};
  if (AtaReadChipInfoBytes(path, info, 16).failed()) return false;
  if (info[0] != 0xF4 || info[1] != 0xE7) return false;
  char id[8] = {};
  std::snprintf(id, sizeof id, "%X%X", static_cast<unsigned>(info[6]),
                static_cast<unsigned>(info[7]));
  return text != nullptr && std::strcmp(id, text) == 0;
}

Result AtaSpiCommandRead(const char* path, std::uint8_t opcode, void* buffer, int n) {
  const SpiRecord record = MakeSpiRecord(1, 1, opcode);
  if (AtaSpiCommand(path, record, nullptr, 0).failed()) return Result::Failed();
  std::uint8_t block[kBlock] = {};
  const Result sent = AtaSpiReadData(path, block, kBlock);
  if (sent.ok() && buffer != nullptr && n > 0)
    std::memcpy(buffer, block, static_cast<std::size_t>(std::min(n, kBlock)));
  return sent;
}

Result AtaReadFlashTypeCode(const char* path, std::uint8_t* buffer) {
  std::uint8_t block[kBlock] = {};
  if (AtaReadFlashTypeBlock(path, block, kBlock).failed()) return Result::Failed();
  if (buffer != nullptr) buffer[3] = block[0];
  return Result::Ok();
}

namespace {

// Moves length bytes at address in whole 8192-byte commands; a chunk that
// arrives short is a failed read, as its missing bytes would read as zeros.
// A short last chunk goes through a bounce buffer, so the caller's buffer is
// never read or written past its length; written, its tail is 0xFF, which
// programs nothing, so the flash there stays as it is.
bool MoveFlashRange(const char* path, std::int32_t address, std::uint8_t* bytes,
                    std::int32_t length, bool writing) {
  const auto move = [&](std::int32_t at, std::uint8_t* chunk) {
    return (writing ? AtaWriteFlash(path, at, chunk, kAtaFlashChunk)
                    : AtaReadFlashWhole(path, at, chunk, kAtaFlashChunk))
        .ok();
  };
  return EachFlashChunk(path, length, [&](std::int32_t done, std::int32_t want) {
    if (want == kAtaFlashChunk) return move(address + done, bytes + done);
    const auto tail = static_cast<std::size_t>(want);
    std::uint8_t bounce[kAtaFlashChunk];
    std::memset(bounce, 0xFF, sizeof bounce);
    if (writing) std::memcpy(bounce, bytes + done, tail);
    if (!move(address + done, bounce)) return false;
    if (!writing) std::memcpy(bytes + done, bounce, tail);
    return true;
  });
}

}  // namespace

AtaRangeResult AtaReadFlashRange(const char* path, std::int32_t address, void* buffer,
                                 std::int32_t length) {
  const bool ok =
      MoveFlashRange(path, address, static_cast<std::uint8_t*>(buffer), length, false);
  return ok ? kAtaRangeOk : kAtaReadCommandFailed;
}

AtaRangeResult AtaWriteFlashRange(const char* path, std::int32_t address, void* buffer,
                                  std::int32_t length) {
  const bool ok = MoveFlashRange(path, address, static_cast<std::uint8_t*>(buffer), length, true);
  return ok ? kAtaRangeOk : kAtaWriteCommandFailed;
}

AtaRangeResult AtaEraseChipAndWait(const char* path, std::uint32_t readyLimitMs) {
  if (AtaEraseFlashChip(path).failed()) return kAtaEraseCommandFailed;
  host::Current().Sleep(kAtaEraseSettleMs);
  // A part still erasing reads 0xFF: the blank check would pass over an
  // erase that has not happened. Wait as long as the part may take.
  std::uint8_t status = 0x01;
  const int reReads = PollStatus(
      [path](std::uint8_t* s) { return AtaReadStatus(path, s).ok(); }, status,
      [](std::uint8_t s) { return (s & 0x01) == 0; },
      {static_cast<int>((readyLimitMs + kAtaPollIntervalMs - 1) / kAtaPollIntervalMs),
       kAtaPollIntervalMs});
  return reReads < 0 ? kAtaNotReady : kAtaRangeOk;
}

}  // namespace device
