#include "scsi/spi_commands.h"
#include "scsi/change_gate.h"

#include "scsi/flash_commands.h"
#include "chips/flash_kind.h"
#include "scsi/status_poll.h"
#include "scsi/vendor_frame.h"
#include "scsi/vendor_opcodes.h"
#include "host/host.h"

namespace device {

namespace {
constexpr std::uint8_t kStatusProtectBits = 0x06;
constexpr std::uint32_t kPollMs = 10;
constexpr int kStatusReReads = 300;      // re-reads that still count
constexpr int kStatusReReadLimit = 302;  // re-reads before the wait gives up
constexpr std::uint32_t kImageChunk = 8192;
constexpr std::uint32_t kAaiBlock = 512;
constexpr std::uint32_t kMxicPage = 32;
constexpr std::uint32_t kStandardPage = 256;
constexpr std::uint32_t kAaiAddressBoundary = 0x4000;

void Pause() { host::Current().Sleep(kPollMs); }

Result Opcode(const char* path, std::uint8_t opcode, std::uint8_t dataPhase = 0) {
  return SpiCommand(path, MakeSpiRecord(1, dataPhase, opcode));
}

// Polls until done(status) or the bound. The status byte starts as `notYet`
// and keeps its value when the device cannot be opened, so an unreachable
// device runs to the bound rather than passing.
Result WaitStatus(const char* path, std::uint8_t notYet,
               const std::function<bool(std::uint8_t)>& done) {
  const int reReads = PollStatus(
      [path](std::uint8_t* status) { return ReadFlashStatus(path, status).ok(); }, notYet, done,
      {kStatusReReadLimit, kPollMs});
  return Result::Of(reReads >= 0 && reReads <= kStatusReReads);
}

}  // namespace

Result SpiCommand(const char* path, const SpiRecord& record, const std::uint8_t* data,
               std::uint32_t length) {
  if (SpiOpcodeChangesFlash(record.opcode) && !MayChange()) return Result::Failed();
  Cdb cdb = VendorFrame(kOpSpiCommand);
  cdb[3] = record.count;
  cdb[4] = record.dataPhase;
  cdb[5] = record.opcode;
  for (int i = 0; i < 6; ++i) cdb[6 + i] = record.args[i];
  return SendOut(path, cdb, data, length);
}

Result SpiWriteData(const char* path, const std::uint8_t* data, std::uint16_t length) {
  if (!MayChange()) return Result::Failed();
  Cdb cdb = VendorFrame(kOpSpiWriteData);
  Put16(cdb, 7, length);
  return SendOut(path, cdb, data, length);
}

Result FlashWriteEnable(const char* path) { return Opcode(path, kSpiWriteEnable); }

Result FlashWriteStatusZero(const char* path) {
  static const std::uint8_t kData[2] = {0x01, 0x00};
  return SpiCommand(path, MakeSpiRecord(2, 0, kSpiWriteStatus, 0x00), kData, sizeof kData);
}

Result WaitFlashStatusSet(const char* path, std::uint8_t mask) {
  return WaitStatus(path, 0x00, [mask](std::uint8_t s) { return (s & mask) != 0; });
}

Result WaitFlashStatusClear(const char* path) {
  return WaitStatus(path, kStatusProtectBits,
                    [](std::uint8_t s) { return (s & kStatusProtectBits) == 0; });
}

Result UnprotectFlash(const char* path) {
  const Result enabled = FlashWriteEnable(path);
  const Result latched = WaitFlashStatusSet(path, kFlashStatusWriteEnabled);
  const Result written = FlashWriteStatusZero(path);
  const Result cleared = WaitFlashStatusClear(path);
  return Result::Of(enabled.ok() && latched.ok() && written.ok() && cleared.ok());
}

Result SpiClearProtection(const char* path) {
  static const std::uint8_t kStatusZero[2] = {0x00, 0x00};
  Opcode(path, kSpiEnableWriteStatus);
  Opcode(path, kSpiWriteStatus, 1);
  SpiWriteData(path, kStatusZero, sizeof kStatusZero);
  Pause();
  const Result result = Opcode(path, kSpiWriteEnable);
  Pause();
  return result;
}

Result SpiWriteDisable(const char* path) {
  const Result result = Opcode(path, kSpiWriteDisable);
  Pause();
  return result;
}

Result SpiAaiEnd(const char* path) { return SpiWriteDisable(path); }

Result SpiChipErase(const char* path) {
  SpiClearProtection(path);
  const Result result = Opcode(path, kSpiChipErase);
  SpiWriteDisable(path);
  return result;
}

int SpiPageProgram(const char* path, std::uint32_t address, const std::uint8_t* source,
                   std::uint32_t length, std::uint32_t pageSize) {
  // A page must fit the 16-bit length of the data phase.
  if (pageSize == 0 || pageSize > 0xFFFF) return 0;  // no page sent
  const std::uint32_t pages = length / pageSize;
  for (std::uint32_t i = 0; i < pages; ++i) {
    Pause();
    Opcode(path, kSpiWriteEnable);
    Pause();
    const bool sent =
        SpiCommand(path, MakeSpiAddressRecord(1, kSpiPageProgram, address)).ok() &&
        SpiWriteData(path, source + pageSize * i, static_cast<std::uint16_t>(pageSize)).ok();
    if (!sent) return 0;  // a failed page: no count
    address += pageSize;
  }
  return static_cast<int>(pages);
}

Result SpiAaiByteProgram(const char* path, std::uint32_t address, const std::uint8_t* source,
                      std::uint32_t length, std::uint32_t blockSize) {
  Result result = Result::Failed();
  const std::uint32_t blocks = blockSize == 0 ? 0 : length / blockSize;
  for (std::uint32_t i = 0; i < blocks; ++i) {
    const std::uint8_t* block = source + blockSize * i;
    SpiClearProtection(path);
    // A byte the flash never received leaves a hole that no later command
    // fills, so the first failing command of a block ends the sequence.
    result = SpiCommand(path, MakeSpiAddressRecord(1, kSpiAaiByteProgram, address));
    if (result.ok()) {
      const std::uint8_t first[2] = {block[0], 0x00};
      result = SpiWriteData(path, first, sizeof first);
    }
    for (std::uint32_t j = 1; result.ok() && j < blockSize; ++j)
      result = SpiCommand(path, MakeSpiRecord(2, 0, kSpiAaiByteProgram, block[j]));
    if (result.failed()) break;
    address += blockSize;
  }
  SpiWriteDisable(path);
  return result;
}

Result SpiAaiWordProgram(const char* path, std::uint32_t address, const std::uint8_t* source,
                      std::uint32_t length, std::uint32_t blockSize) {
  // Whole words only: a block of one byte has no word to send.
  if (blockSize < 2 || blockSize > 0xFFFF) return Result::Failed();
  Result result = Result::Failed();
  const std::uint32_t blocks = length / blockSize;
  for (std::uint32_t i = 0; i < blocks; ++i) {
    const std::uint8_t* block = source + blockSize * i;
    SpiClearProtection(path);
    // The part keeps its own address inside a sequence; it is restated at
    // each 16 KB boundary.
    if (address % kAaiAddressBoundary == 0)
      result = SpiCommand(path, MakeSpiAddressRecord(1, kSpiAaiWordProgram, address));
    else
      result = Opcode(path, kSpiAaiWordProgram, 1);
    if (result.ok()) result = SpiWriteData(path, block, 2);
    for (std::uint32_t j = 1; result.ok() && j < blockSize / 2; ++j)
      result =
          SpiCommand(path, MakeSpiRecord(3, 0, kSpiAaiWordProgram, block[2 * j], block[2 * j + 1]));
    if (result.failed()) break;
    address += blockSize;
  }
  return result;
}

Result SpiProgramImage(const char* path, std::uint32_t address, const std::uint8_t* source,
                    std::uint32_t length, int kind, int wordMode) {
  if (length == 0) return Result::Failed();
  const std::uint32_t unit =
      IsKind(kind, FlashKind::Sst)    ? kAaiBlock
      : IsKind(kind, FlashKind::Mxic) ? kMxicPage
                                      : kStandardPage;
  // The methods program whole units only; a shorter tail would stay erased
  // while the image reported programmed.
  if (length % unit != 0) return Result::Failed();
  std::uint32_t done = 0;
  while (done < length) {
    const std::uint32_t chunk = length - done < kImageChunk ? length - done : kImageChunk;
    const bool last = done + chunk == length;
    WaitFlashReady(path);
    Result result = Result::Failed();
    if (!IsKind(kind, FlashKind::Sst)) {
      result = Result::Of(SpiPageProgram(path, address + done, source + done, chunk, unit) != 0);
    } else if (wordMode != 0) {
      result = SpiAaiWordProgram(path, address + done, source + done, chunk, unit);
      // The sequence stays open across chunks; it is closed after the last
      // one, and after a failure so the part does not stay in AAI mode. A
      // failed chunk stays a failure whatever the closing command answers.
      if (last || result.failed()) {
        const Result ended = SpiAaiEnd(path);
        result = Result::Of(result.ok() && ended.ok());
      }
    } else {
      result = SpiAaiByteProgram(path, address + done, source + done, chunk, unit);
    }
    if (result.failed()) return Result::Failed();
    Pause();
    done += chunk;
  }
  return Result::Ok();
}

}  // namespace device
