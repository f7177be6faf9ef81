// Records the flash commands exchange with the chip: the opcode set of the
// identified flash part, and the bytes the chip clocks out on the raw
// serial-flash path.
#pragma once

#include <cstdint>

namespace device {

// What flash identification learnt about the part; the configuration commands
// send its first five fields in this order.
struct FlashDescriptor {
  std::uint8_t chipEraseOpcode = 0xC7;
  std::uint8_t blockEraseOpcode = 0xD8;
  std::uint8_t programOpcode = 0x02;
  std::uint8_t flashMaker = 0;  // serial-flash kind (flash type code), 0 until identified
  std::uint8_t sectorEraseOpcode = 0x20;
  std::uint32_t sizeKb = 64;
};

// Up to nine bytes the chip clocks out to its serial flash (R0..R8).
struct SpiRecord {
  std::uint8_t count = 0;      // R0: bytes clocked out, opcode included (1..4)
  std::uint8_t dataPhase = 0;  // R1: 1 when a data phase follows
  std::uint8_t opcode = 0;     // R2
  std::uint8_t args[6] = {};   // R3..R8: address (R3 = bits 23-16) or data bytes
};

// Opcode only, or opcode with up to two data bytes.
inline SpiRecord MakeSpiRecord(std::uint8_t count, std::uint8_t dataPhase, std::uint8_t opcode,
                               std::uint8_t arg0 = 0, std::uint8_t arg1 = 0) {
  SpiRecord r;
  r.count = count;
  r.dataPhase = dataPhase;
  r.opcode = opcode;
  r.args[0] = arg0;
  r.args[1] = arg1;
  return r;
}

// Opcode with a 24-bit address, most significant byte first.
inline SpiRecord MakeSpiAddressRecord(std::uint8_t dataPhase, std::uint8_t opcode,
                                      std::uint32_t address) {
  SpiRecord r;
  r.count = 4;
  r.dataPhase = dataPhase;
  r.opcode = opcode;
  r.args[0] = static_cast<std::uint8_t>(address >> 16);
  r.args[1] = static_cast<std::uint8_t>(address >> 8);
  r.args[2] = static_cast<std::uint8_t>(address);
  return r;
}

// Serial-flash opcodes the raw path sends.
inline constexpr std::uint8_t kSpiWriteEnable = 0x06;
inline constexpr std::uint8_t kSpiWriteDisable = 0x04;
inline constexpr std::uint8_t kSpiEnableWriteStatus = 0x50;
inline constexpr std::uint8_t kSpiWriteStatus = 0x01;
inline constexpr std::uint8_t kSpiPageProgram = 0x02;
inline constexpr std::uint8_t kSpiAaiByteProgram = 0xAF;
inline constexpr std::uint8_t kSpiAaiWordProgram = 0xAD;
inline constexpr std::uint8_t kSpiChipErase = 0xC7;
inline constexpr std::uint8_t kSpiReadJedecId = 0x9F;

// Flash status byte bits.
inline constexpr std::uint8_t kFlashStatusBusy = 0x01;
inline constexpr std::uint8_t kFlashStatusWriteEnabled = 0x02;

}  // namespace device
