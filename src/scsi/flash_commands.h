// Flash commands of the bridge chips: the flash engine's serial-flash
// commands (vendor frame), the identity probes and configuration commands,
// the block commands of the memory frame, the parallel-ROM commands, and the
// ready wait the procedures run around them. Each command takes the device
// path first, sends its block(s) and returns 1 on success and 0 on failure
// unless stated; none shows a message or retries.
#pragma once

#include <cstdint>

#include "scsi/flash_types.h"
#include "scsi/command_result.h"

namespace device {

// --- serial-flash engine (vendor frame; A is 24 bits) ----------------------
Result ReadFlash(const char* path, std::int32_t address, std::uint8_t* buffer, std::int32_t length);
// The same read, 1 only when all length bytes arrived: a short transfer
// leaves zeros that must not pass for data that is kept.
Result ReadFlashWhole(const char* path, std::int32_t address, std::uint8_t* buffer,
                   std::int32_t length);
// Programs an erased range.
Result WriteFlash(const char* path, std::int32_t address, const std::uint8_t* data,
               std::int32_t length);
// One status byte: bit 0 busy, bit 1 write enabled.
Result ReadFlashStatus(const char* path, std::uint8_t* status);
Result EraseFlashChip(const char* path);
// Erases the erase unit at the address.
Result EraseFlashSector(const char* path, std::int32_t address);
// Three answer bytes to `opcode`; flag 0 sends F = 0x00, any other F = 0x03.
Result ReadFlashIdBytes(const char* path, std::uint8_t* buffer, std::uint8_t opcode, int flag);
// Four bytes; byte 0 is the chip's own serial-flash kind code.
Result ReadFlashTypeCode(const char* path, std::uint8_t* buffer);

// Polls the status every 10 ms while busy. True when the busy bit was clear
// at the first read or at one of the first 500 re-reads; gives up after the
// 502nd re-read (about 5 s). A device that cannot be reached never reports
// ready.
bool WaitFlashReady(const char* path);

// --- identity probes (raw opcode, then its answer) --------------------------
// Sends `opcode` to the flash and reads `length` answer bytes. 0 when the
// first command fails (the read is then not sent).
Result SpiCommandRead(const char* path, std::uint8_t opcode, std::uint8_t* buffer,
                   std::uint8_t length);
// JEDEC 7F 37 20 xx: 0x12 -> 1, 0x11 -> 3, 0x20 -> 4, 0x10 -> 5; -1 for
// anything else, a failed probe included. answered, when given, tells a
// part that answered "none" from a probe that got no answer.
int DetectAmicFlash(const char* path, bool* answered = nullptr);
// JEDEC 1F xx: 0x65 -> 1, 0x66 -> 2, other -> 0; -1 when not ATMEL or failed.
int DetectAtmelFlash(const char* path, bool* answered = nullptr);

// --- flash engine configuration --------------------------------------------
Result SetFlashOpcodes(const char* path, const FlashDescriptor& descriptor);
Result SetFlashOpcodesNoReply(const char* path, const FlashDescriptor& descriptor);
// Page size sent as pageSize / 4 in one byte.
Result SetFlashOpcodesAndPageSize(const char* path, const FlashDescriptor& descriptor,
                               std::uint16_t pageSize);
// Page size sent as a 16-bit value.
Result SetFlashOpcodesAndPageSize16(const char* path, const FlashDescriptor& descriptor,
                                 std::uint16_t pageSize);
// replyLength bytes (0 or 2) are read and discarded.
Result SetFlashPageSize(const char* path, std::uint16_t pageSize, std::uint8_t replyLength);
Result ClearFlashPageSize(const char* path);

// --- flash block commands (memory frame) ------------------------------------
Result ReadFlashBlock(const char* path, std::uint32_t address, std::uint8_t* buffer,
                   std::uint32_t length);
// mode AND 0x87 travels as the erase code; code 3 gets the long time-out.
Result WriteFlashBlock(const char* path, std::uint32_t address, const std::uint8_t* data,
                    std::uint32_t length, std::uint8_t mode);
// Erase flag 1 when `flag` is set, else 0.
Result WriteFlashBlockPlain(const char* path, std::uint32_t address, const std::uint8_t* data,
                         std::uint32_t length, int flag);

// --- parallel ROM (512-Kbit flash behind the internal ROM) ------------------
// Flash index: 0 ATMEL AT49BV512, 1 PMC OM39LV512, 2 SST SST39LF512.
Result SwitchToInternalRom(const char* path);
// 1 (busy) when the command fails or the status byte is 0x01; 0 otherwise.
bool IsRomBusy(const char* path);
// The ROM's status byte (0x01 busy); 0 when the device did not answer.
Result ReadRomStatus(const char* path, std::uint8_t* status);
Result StartRomErase(const char* path);
// 32-bit address, little-endian in the block.
Result ReadRom(const char* path, std::int32_t address, std::uint8_t* buffer, std::int32_t length);
// The same read, 1 only when all length bytes arrived: a short transfer leaves
// zeros that must not pass for the ROM's contents.
Result ReadRomWhole(const char* path, std::int32_t address, std::uint8_t* buffer,
                 std::int32_t length);
// Programs the image from address 0 behind the part's unlock sequence.
Result ProgramRom(const char* path, const std::uint8_t* data, std::uint32_t length, int flashIndex);
// Prepares the part's chip-erase sequence; StartRomErase runs it.
Result PreEraseRom(const char* path, int flashIndex);

}  // namespace device
