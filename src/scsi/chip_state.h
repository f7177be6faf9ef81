// What identification learnt about the selected chip and its flash, with the
// two option flags the procedures read beside it. The window keeps the one
// record, the flash identification fills it in place, and a run takes a copy
// when Run is pressed.
#pragma once

#include <cstdint>

#include "chips/chip_types.h"

namespace device {

// The facts a run may rest on, as bits of ChipState::unreadFacts.
inline constexpr std::uint32_t kFactChipIdentity = 1u << 0;  // chip type and sub-code
// The flash part: its kind, the AMIC, ATMEL and SST probes and the chip's
// configuration for it.
inline constexpr std::uint32_t kFactFlashPart = 1u << 1;
// The flash size, and with it the bank layout of the two-bank controllers.
inline constexpr std::uint32_t kFactFlashSize = 1u << 2;
inline constexpr std::uint32_t kFactBridgeVersion = 1u << 3;
inline constexpr std::uint32_t kAllFacts =
    kFactChipIdentity | kFactFlashPart | kFactFlashSize | kFactBridgeVersion;

struct ChipState {
  std::uint8_t chipType = 0;       // chip type code, 0 = nothing recognised
  std::int8_t chipSubCode = 0;
  std::int32_t flashTypeCode = 0;  // FlashKind of the serial flash
  std::int32_t amicFlashId = -1;   // AMIC part index, -1 when none
  std::int32_t atmelFlashId = -1;  // Atmel part index, -1 when none
  std::uint32_t sstJedecFlag = 0;  // nonzero: an SST part answered the JEDEC id
  std::int32_t flashSizeKb = 0;
  std::int32_t bridgeVersion = 0;
  std::uint32_t eraseOnly = 0;     // "Erase All Flash Only " as its click recorded it
  std::uint32_t includeNvram = 1;  // "Include 4K NVRAM" as its click recorded it
  // Facts identification tried and could not read for this selection: the
  // fields above then hold a default or what an earlier selection left.
  std::uint32_t unreadFacts = 0;
};

inline ChipType TypeOf(const ChipState& facts) { return AsChipType(facts.chipType); }

inline bool FactsRead(const ChipState& facts, std::uint32_t wanted) {
  return (facts.unreadFacts & wanted) == 0;
}

}  // namespace device
