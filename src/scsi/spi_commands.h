// The raw serial-flash path: the host hands the chip a record of up to nine
// bytes to clock out to its flash, optionally followed by a data phase, and
// builds unprotect, erase and programming sequences from it. The flash's own
// state (write-enable latch, protection bits, AAI mode) carries from one
// command to the next, so the order of commands in each operation matters.
// Results: 1 (or nonzero) on success, 0 on failure.
#pragma once

#include <cstdint>

#include "scsi/flash_types.h"
#include "scsi/command_result.h"

namespace device {

// FF 04 20 R0..R8 on the data-out carrier; callers send no data.
Result SpiCommand(const char* path, const SpiRecord& record, const std::uint8_t* data = nullptr,
               std::uint32_t length = 0);
// The data phase of a write record.
Result SpiWriteData(const char* path, const std::uint8_t* data, std::uint16_t length);
// Record 1, 0, 0x06.
Result FlashWriteEnable(const char* path);
// Record 2, 0, 0x01 with status 0, sending the two bytes 01 00.
Result FlashWriteStatusZero(const char* path);

// Status polls every 10 ms. Set: until (status AND mask) is nonzero. Clear:
// until bits 1-2 are 0. Each is 1 when the condition held at the first read or
// at one of the first 300 re-reads; it gives up after the 302nd re-read.
Result WaitFlashStatusSet(const char* path, std::uint8_t mask);
Result WaitFlashStatusClear(const char* path);

// Write enable, wait for the latch, write status 0, wait for bits 1-2 to
// clear. All four steps always run; 1 only when both waits and both commands
// succeeded.
Result UnprotectFlash(const char* path);
// 0x50, 0x01 with status 00 00, then write enable. Result of the last command.
Result SpiClearProtection(const char* path);
// 0x04 then 10 ms.
Result SpiWriteDisable(const char* path);
// Ends an AAI sequence (the same as a write disable).
Result SpiAaiEnd(const char* path);
// Clear protection, 0xC7, write disable. Result of the 0xC7 command; the caller
// polls for completion.
Result SpiChipErase(const char* path);

// Programs whole pages with 0x02. Result: the number of pages sent, 0 when a
// command failed or length is below one page. Bytes past the last whole page
// are not programmed.
int SpiPageProgram(const char* path, std::uint32_t address, const std::uint8_t* source,
                   std::uint32_t length, std::uint32_t pageSize);
// SST byte AAI programming of whole blocks, one command per byte, ending with
// a write disable (also after a failure). The first failing command of a
// block ends the sequence. Result: nonzero when every block went through,
// else 0.
Result SpiAaiByteProgram(const char* path, std::uint32_t address, const std::uint8_t* source,
                      std::uint32_t length, std::uint32_t blockSize);
// SST word AAI programming of whole blocks; the address is sent only at 16 KB
// boundaries. The sequence stays open: the caller ends it with SpiAaiEnd.
// The first failing command of a block ends the loop with 0.
Result SpiAaiWordProgram(const char* path, std::uint32_t address, const std::uint8_t* source,
                      std::uint32_t length, std::uint32_t blockSize);

// Programs an image in chunks of at most 8 KB with the method the
// serial-flash kind needs: AAI for SST (kind 2; word mode when wordMode is
// set), 32-byte pages for MXIC (kind 5), 256-byte pages otherwise. Each chunk
// waits for the flash to be ready first. A word-mode sequence is ended after
// the last chunk, or after a failed one. 1 on success; 0 on failure, for an
// empty image, or for a length the method would leave partly unprogrammed
// (not a whole number of pages or AAI blocks), in which case nothing is sent.
Result SpiProgramImage(const char* path, std::uint32_t address, const std::uint8_t* source,
                    std::uint32_t length, int kind, int wordMode);

}  // namespace device
