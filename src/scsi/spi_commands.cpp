#include "scsi/spi_commands.h"
#include "scsi/change_gate.h"

#include "scsi/flash_commands.h"
#include "chips/flash_kind.h"
#include "scsi/status_poll.h"
#include "scsi/vendor_frame.h"
#include "host/host.h"

namespace device {

namespace {
constexpr std::uint8_t kOpSpiCommand = 0x20;
constexpr std::uint8_t kOpSpiWriteData = 0x22;
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

int Opcode(const char* path, std::uint8_t opcode, std::uint8_t dataPhase = 0) {
  return SpiCommand(path, MakeSpiRecord(1, dataPhase, opcode));
}

// Polls until done(status) or the bound. The status byte starts as `notYet`
// and keeps its value when the device cannot be opened, so an unreachable
// device runs to the bound rather than passing.
int WaitStatus(const char* path, std::uint8_t notYet,
               const std::function<bool(std::uint8_t)>& done) {
  const int reReads = PollStatus(
      [path](std::uint8_t* status) { return ReadFlashStatus(path, status) != 0; }, notYet, done,
      {kStatusReReadLimit, kPollMs});
  return reReads >= 0 && reReads <= kStatusReReads ? 1 : 0;
}

}  // namespace

int SpiCommand(const char* path, const SpiRecord& record, const std::uint8_t* data,
               std::uint32_t length) {
  if (SpiOpcodeChangesFlash(record.opcode) && !MayChange()) return 0;
  Cdb cdb = VendorFrame(kOpSpiCommand);
  cdb[3] = record.count;
  cdb[4] = record.dataPhase;
  cdb[5] = record.opcode;
  for (int i = 0; i < 6; ++i) cdb[6 + i] = record.args[i];
  return SendOut(path, cdb, data, length);
}

int SpiWriteData(const char* path, const std::uint8_t* data, std::uint16_t length) {
  if (!MayChange()) return 0;
  Cdb cdb = VendorFrame(kOpSpiWriteData);
  Put16(cdb, 7, length);
  return SendOut(path, cdb, data, length);
}

int FlashWriteEnable(const char* path) { return Opcode(path, kSpiWriteEnable); }

int FlashWriteStatusZero(const char* path) {
  static const std::uint8_t kData[2] = {0x01, 0x00};
  return SpiCommand(path, MakeSpiRecord(2, 0, kSpiWriteStatus, 0x00), kData, sizeof kData);
}

int WaitFlashStatusSet(const char* path, std::uint8_t mask) {
  return WaitStatus(path, 0x00, [mask](std::uint8_t s) { return (s & mask) != 0; });
}

int WaitFlashStatusClear(const char* path) {
  return WaitStatus(path, kStatusProtectBits,
                    [](std::uint8_t s) { return (s & kStatusProtectBits) == 0; });
}

int UnprotectFlash(const char* path) {
  const int enabled = FlashWriteEnable(path);
  const int latched = WaitFlashStatusSet(path, kFlashStatusWriteEnabled);
  const int written = FlashWriteStatusZero(path);
  const int cleared = WaitFlashStatusClear(path);
  if (latched == 0 || cleared == 0) return 0;
  return enabled != 0 && written != 0 ? 1 : 0;
}

int SpiClearProtection(const char* path) {
  static const std::uint8_t kStatusZero[2] = {0x00, 0x00};
  Opcode(path, kSpiEnableWriteStatus);
  Opcode(path, kSpiWriteStatus, 1);
  SpiWriteData(path, kStatusZero, sizeof kStatusZero);
  Pause();
  const int result = Opcode(path, kSpiWriteEnable);
  Pause();
  return result;
}

int SpiWriteDisable(const char* path) {
  const int result = Opcode(path, kSpiWriteDisable);
  Pause();
  return result;
}

int SpiAaiEnd(const char* path) { return SpiWriteDisable(path); }

int SpiChipErase(const char* path) {
  SpiClearProtection(path);
  const int result = Opcode(path, kSpiChipErase);
  SpiWriteDisable(path);
  return result;
}

int SpiPageProgram(const char* path, std::uint32_t address, const std::uint8_t* source,
                   std::uint32_t length, std::uint32_t pageSize) {
  // A page must fit the 16-bit length of the data phase.
  if (pageSize == 0 || pageSize > 0xFFFF) return 0;
  const std::uint32_t pages = length / pageSize;
  for (std::uint32_t i = 0; i < pages; ++i) {
    Pause();
    Opcode(path, kSpiWriteEnable);
    Pause();
    if (SpiCommand(path, MakeSpiAddressRecord(1, kSpiPageProgram, address)) == 0) return 0;
    if (SpiWriteData(path, source + pageSize * i, static_cast<std::uint16_t>(pageSize)) == 0)
      return 0;
    address += pageSize;
  }
  return static_cast<int>(pages);
}

int SpiAaiByteProgram(const char* path, std::uint32_t address, const std::uint8_t* source,
                      std::uint32_t length, std::uint32_t blockSize) {
  int result = 0;
  const std::uint32_t blocks = blockSize == 0 ? 0 : length / blockSize;
  for (std::uint32_t i = 0; i < blocks; ++i) {
    const std::uint8_t* block = source + blockSize * i;
    SpiClearProtection(path);
    // A byte the flash never received leaves a hole that no later command
    // fills, so the first failing command of a block ends the sequence.
    result = SpiCommand(path, MakeSpiAddressRecord(1, kSpiAaiByteProgram, address));
    if (result != 0) {
      const std::uint8_t first[2] = {block[0], 0x00};
      result = SpiWriteData(path, first, sizeof first);
    }
    for (std::uint32_t j = 1; result != 0 && j < blockSize; ++j)
      result = SpiCommand(path, MakeSpiRecord(2, 0, kSpiAaiByteProgram, block[j]));
    if (result == 0) break;
    address += blockSize;
  }
  SpiWriteDisable(path);
  return result;
}

int SpiAaiWordProgram(const char* path, std::uint32_t address, const std::uint8_t* source,
                      std::uint32_t length, std::uint32_t blockSize) {
  // Whole words only: a block of one byte has no word to send.
  if (blockSize < 2 || blockSize > 0xFFFF) return 0;
  int result = 0;
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
    if (result != 0) result = SpiWriteData(path, block, 2);
    for (std::uint32_t j = 1; result != 0 && j < blockSize / 2; ++j)
      result =
          SpiCommand(path, MakeSpiRecord(3, 0, kSpiAaiWordProgram, block[2 * j], block[2 * j + 1]));
    if (result == 0) break;
    address += blockSize;
  }
  return result;
}

int SpiProgramImage(const char* path, std::uint32_t address, const std::uint8_t* source,
                    std::uint32_t length, int kind, int wordMode) {
  if (length == 0) return 0;
  const std::uint32_t unit =
      IsKind(kind, FlashKind::Sst)    ? kAaiBlock
      : IsKind(kind, FlashKind::Mxic) ? kMxicPage
                                      : kStandardPage;
  // The methods program whole units only; a shorter tail would stay erased
  // while the image reported programmed.
  if (length % unit != 0) return 0;
  std::uint32_t done = 0;
  while (done < length) {
    const std::uint32_t chunk = length - done < kImageChunk ? length - done : kImageChunk;
    const bool last = done + chunk == length;
    WaitFlashReady(path);
    int result = 0;
    if (!IsKind(kind, FlashKind::Sst)) {
      result = SpiPageProgram(path, address + done, source + done, chunk, unit);
    } else if (wordMode != 0) {
      result = SpiAaiWordProgram(path, address + done, source + done, chunk, unit);
      // The sequence stays open across chunks; it is closed after the last
      // one, and after a failure so the part does not stay in AAI mode. A
      // failed chunk stays a failure whatever the closing command answers.
      if (last || result == 0) {
        const int ended = SpiAaiEnd(path);
        result = result != 0 && ended != 0 ? 1 : 0;
      }
    } else {
      result = SpiAaiByteProgram(path, address + done, source + done, chunk, unit);
    }
    if (result == 0) return 0;
    Pause();
    done += chunk;
  }
  return 1;
}

}  // namespace device
