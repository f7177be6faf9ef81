// Finding out which serial flash holds a chip's firmware, how large it is,
// and telling the chip the flash's opcodes where it needs them: the flash
// part of the family display. Device commands come in as callables, so the
// window wires the real commands and the tests record what was sent.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "scsi/chip_state.h"
#include "chips/names.h"
#include "identify/flash_id.h"

namespace identify {

inline constexpr int kProbeUnanswered = -2;

struct FlashCommands {
  SpiReader spiCommandRead;        // SpiCommandRead (bridge route)
  IdBytesReader readFlashIdBytes;  // ReadFlashIdBytes (bridge route)
  SpiReader ataSpiCommandRead;     // AtaSpiCommandRead (storage-controller route)
  std::function<bool(std::uint8_t* code)> readFlashTypeCode;     // ReadFlashTypeCode
  std::function<bool(std::uint8_t* code)> ataReadFlashTypeCode;  // AtaReadFlashTypeCode
  // DetectAmicFlash / DetectAtmelFlash: -1 when none, kProbeUnanswered when
  // the probe got no answer.
  std::function<int()> detectAmicFlash;
  std::function<int()> detectAtmelFlash;
  std::function<bool(const FlashDescriptor&)> setFlashOpcodes;
  std::function<bool(const FlashDescriptor&)> setFlashOpcodesNoReply;
  std::function<bool(const FlashDescriptor&)> ataSetFlashOpcodes;
  std::function<bool(std::uint32_t pageSize, std::uint32_t dataLength)> setFlashPageSize;
  std::function<bool(std::uint32_t pageSize)> ataSetFlashPageSize;
  std::function<bool(const FlashDescriptor&, std::uint32_t pageSize)> setFlashOpcodesAndPageSize;
  std::function<bool(const FlashDescriptor&, std::uint32_t pageSize)> setFlashOpcodesAndPageSize16;
  // RecoverFirmwareBanks for chip types 12 and 16; may be left empty.
  std::function<void()> recoverFirmwareBanks;
};

// The window's chip record, which the flash display reads and writes, and
// what it leaves for the window to show.
struct FlashState : device::ChipState {
  FlashState() { flashSizeKb = 64; }
  // The flash kind row whose erase block and sector sizes the caller puts
  // into the window's erase geometry; -1 when the display sets none.
  int eraseGeometryRow = -1;
  std::string flashLabel;  // SFlashTypeLable; the display empties it before this runs
};

// Runs the flash identification and configuration of the chip's display
// group (serial flash or bridge behind controller; other groups send
// nothing). A flash type code with no catalogue row is kept as 0 ("Unknown").
// The setup marks the flash part and the flash size read (clears their bits
// of unreadFacts) only where every read and configuration command they rest
// on was answered; it never marks a fact unread that it did not try.
void RunFlashSetup(const FlashCommands& commands, ChipIdentity chip, bool ieee1394,
                   FlashState& state);

}  // namespace identify
