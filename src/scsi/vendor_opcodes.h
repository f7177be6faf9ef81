// The operation codes the bridge and the storage controller decode, stated
// once: for the commands that build the frames and for the gate that tells
// which of them change stored data.
#pragma once

#include <cstdint>

namespace device {

// The first bytes of the two bridge frames.
inline constexpr std::uint8_t kVendorFrameCode = 0xFF;  // FF 04 op
inline constexpr std::uint8_t kVendorFrameKind = 0x04;
inline constexpr std::uint8_t kMemoryFrameCode = 0xDF;  // DF mode 00 Lhi Llo ... op

// Byte 2 of the vendor frame.
enum VendorOp : std::uint8_t {
  // The internal ROM's loader.
  kOpRomStatus = 0x00,
  kOpRomStartErase = 0x01,
  kOpRomProgram = 0x02,
  kOpRomRead = 0x03,
  kOpRomPreErase = 0x04,
  kOpRomSwitch = 0x05,
  // The flash behind the bridge.
  kOpOpcodesAndPageSize = 0x0F,
  kOpRead = 0x10,
  kOpWrite = 0x11,
  kOpStatus = 0x12,
  kOpChipErase = 0x13,
  kOpSectorErase = 0x14,
  kOpIdBytes = 0x15,
  // Raw serial-flash commands and the flash set-up.
  kOpSpiCommand = 0x20,
  kOpSpiRead = 0x21,
  kOpSpiWriteData = 0x22,
  kOpTypeCode = 0x23,
  kOpOpcodes = 0x24,
  kOpPageSize = 0x25,
  // The chip itself.
  kOpReset = 0x26,
  kOpIdString = 0x30,
  kOpParameters = 0xA0,
};

// Byte 11 of the memory frame.
enum MemoryOp : std::uint8_t {
  kMemOpBlockRead = 0xFA,
  kMemOpBlockWrite = 0xFB,  // erases on the way, as its mode says
  kMemOpRead = 0xFD,
  kMemOpWrite = 0xFE,
  kMemOpVariant = 0xFF,
};
// Byte 1 of the memory frame on reads, and on plain chip-memory writes.
inline constexpr std::uint8_t kMemRead = 0x10;
inline constexpr std::uint8_t kMemWrite = 0x00;

// The storage controller's vendor features: byte 3 of an ATA
// pass-through(12) block whose command is kVendorAtaCommand.
inline constexpr std::uint8_t kAtaPassThrough12 = 0xA1;
inline constexpr std::uint8_t kVendorAtaCommand = 0xB0;
enum AtaFeature : std::uint8_t {
  kAtaInfo = 0xE0,
  kAtaSpiCommand = 0xE1,
  kAtaSpiReadData = 0xE3,
  kAtaSetOpcodes = 0xE4,
  kAtaSetPageSize = 0xE5,
  kAtaEraseChip = 0xE7,
  kAtaReadFlash = 0xE8,
  kAtaWriteFlash = 0xE9,
  kAtaStatus = 0xEA,
  kAtaFlashType = 0xEC,
};

}  // namespace device
