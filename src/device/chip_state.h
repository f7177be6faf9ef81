// What identification learnt about the selected chip and its flash, with the
// two option flags the procedures read beside it. The window keeps the one
// record, the flash identification fills it in place, and a run takes a copy
// when Run is pressed.
#pragma once

#include <cstdint>

namespace device {

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
};

}  // namespace device
