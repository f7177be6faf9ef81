// Storage-controller commands: ATA PASS-THROUGH(12) blocks carrying the
// controller's vendor ATA command 0xB0 with a feature code, and the range
// operations built on them that read, program and erase the flash of the
// bridge chip sitting behind a controller.
#pragma once

#include <cstdint>

#include "scsi/flash_types.h"
#include "scsi/command_result.h"

namespace device {

// Range operations move the bridge flash in chunks of this size.
inline constexpr std::int32_t kAtaFlashChunk = 8192;
// Busy polls give up after this many re-reads; a clear bit only counts up to
// kAtaReadyRereads of them.
inline constexpr int kAtaPollRereads = 502;
inline constexpr int kAtaReadyRereads = 500;
inline constexpr std::uint32_t kAtaPollIntervalMs = 10;
inline constexpr std::uint32_t kAtaEraseSettleMs = 100;
// The longest wait for a chip erase the caller knows no better bound for.
inline constexpr std::uint32_t kAtaEraseLimitMs = 37500;

// What a range operation came to; the procedure maps each to a text, and
// the values are the result codes it has always answered.
enum AtaRangeResult : int {
  kAtaRangeOk = 0,
  kAtaAllocateFailed = 1,
  kAtaEraseCommandFailed = 2,
  kAtaReadCommandFailed = 3,
  kAtaWriteCommandFailed = 4,
  kAtaNotReady = 5,
  kAtaNotBlank = 6,
  kAtaCompareFailed = 7,  // the read-back differs from what was programmed
};

// --- single commands (1 success, 0 failure) --------------------------------
Result AtaReadChipInfo(const char* path, void* buffer, std::int32_t length);
// On success *status receives the first byte of the status block (bit 0 busy);
// on failure it is left as it was.
Result AtaReadStatus(const char* path, std::uint8_t* status);
Result AtaReadFlash(const char* path, std::int32_t address, void* buffer, std::int32_t length);
// The same read, 1 only when all length bytes arrived.
Result AtaReadFlashWhole(const char* path, std::int32_t address, void* buffer, std::int32_t length);
Result AtaWriteFlash(const char* path, std::int32_t address, void* buffer, std::int32_t length);
Result AtaEraseFlashChip(const char* path);
// record: the nine bytes R0..R8 of the raw serial-flash record; only R0..R4
// fit this frame.
Result AtaSpiCommand(const char* path, const SpiRecord& record, void* data,
                  std::uint32_t length);
Result AtaSpiReadData(const char* path, void* buffer, std::int32_t length);
// descriptor: the flash descriptor bytes in their record order (chip-erase,
// block-erase, program opcode, flash maker code, ...); bytes 0..3 are sent.
Result AtaSetFlashOpcodes(const char* path, const FlashDescriptor& descriptor);
Result AtaSetFlashPageSize(const char* path, std::uint16_t pageSize);
Result AtaReadFlashTypeBlock(const char* path, void* buffer, std::int32_t length);

// --- derived operations ----------------------------------------------------
// 1 when a successful status read shows bit 0 clear at the first read or at
// one of the first 500 re-reads (10 ms apart); 0 otherwise. A first read that
// fails ends the wait with 0 (a device that cannot answer is not ready); a
// failed re-read leaves the flash busy and the wait goes on.
Result AtaWaitReady(const char* path);
// Reads the 512-byte information block and copies its first n bytes out.
Result AtaReadChipInfoBytes(const char* path, void* buffer, int n);
// 1 when the information block carries the F4 E7 signature and bytes 6-7
// printed "%X%X" equal text exactly.
bool MatchChipProductId(const char* path, const char* text);
// Sends opcode with a data phase and copies the first n bytes of the answer.
Result AtaSpiCommandRead(const char* path, std::uint8_t opcode, void* buffer, int n);
// Puts the flash kind code into buffer[3]; 1 on success.
Result AtaReadFlashTypeCode(const char* path, std::uint8_t* buffer);
// 0 on success, kAtaReadCommandFailed / kAtaWriteCommandFailed on failure
// (a read chunk that arrives short included).
AtaRangeResult AtaReadFlashRange(const char* path, std::int32_t address, void* buffer,
                                 std::int32_t length);
AtaRangeResult AtaWriteFlashRange(const char* path, std::int32_t address, void* buffer,
                                  std::int32_t length);
// Chip erase, then the wait for the part to finish it: kAtaRangeOk,
// kAtaEraseCommandFailed, or kAtaNotReady (the part never showed ready within
// readyLimitMs, so its 0xFF would prove nothing). The default bound covers
// every part known.
AtaRangeResult AtaEraseChipAndWait(const char* path, std::uint32_t readyLimitMs = kAtaEraseLimitMs);

}  // namespace device
