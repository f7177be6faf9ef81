// The chip and flash catalogues the whole utility keys on: chip type codes with
// their names and chip numbers, and the serial-flash types with their erase
// geometry. Data tables, plus look-ups that never read outside them.
#pragma once

#include <cstdint>

#include "chips/chip_types.h"
#include "chips/flash_kind.h"

namespace identify {

using device::ChipType;

// Chip type codes run 0..24 (0 = nothing recognised).
inline constexpr int kChipTypeRows = device::kChipTypeCount;
inline constexpr int kMaxChipType = kChipTypeRows - 1;

// The identity a chip is classified into: low byte the type code, high byte
// the signed sub-code. Every check takes it as one record.
struct ChipIdentity {
  std::uint8_t type = 0;
  std::int8_t subCode = 0;

  static ChipIdentity FromWord(std::uint16_t word) {
    return {static_cast<std::uint8_t>(word & 0xFF), static_cast<std::int8_t>(word >> 8)};
  }
  std::uint16_t Word() const {
    return static_cast<std::uint16_t>(type | (static_cast<std::uint8_t>(subCode) << 8));
  }
};

// The revision an image has to carry for sub-code R: R - 1 in 8-bit signed
// arithmetic (wrapping), and its digit character "0" + (R - 1).
std::int8_t ExpectedRevision(std::int8_t subCode);
char ExpectedRevisionDigit(std::int8_t subCode);

// Name shown for a chip type; codes above 24 show row 0 ("Unknown Chip").
const char* ChipName(int chipType);
// The chip number of a type ("" for 0 and for codes outside 1..24); only its
// first three characters take part in comparisons.
const char* ChipShortCode(int chipType);
// First row of 1..24 whose number equals the three characters at digits;
// 0 when none does. Rows 9, 13, 14, 15, 19, 20, 22, 23, 24 can never be the
// answer, since an earlier row carries the same number.
int ChipTypeFromNumber(const char* digits);
// Whether the three bytes at p equal the chip number of chipType; never true
// for a type without a number.
bool MatchesChipNumber(const std::uint8_t* p, int chipType);

// Serial-flash types 0..11.
inline constexpr int kFlashTypeCount = device::kFlashKindCount;

using FlashTypeRow = device::FlashKindRow;

// The catalogue rows by serial-flash kind (chips/flash_kind.h).
enum FlashTypeCode : int {
  kFlashUnknown = device::Code(device::FlashKind::Unknown),
  kFlashPmc = device::Code(device::FlashKind::Pmc),
  kFlashSst = device::Code(device::FlashKind::Sst),
  kFlashStEonMxic = device::Code(device::FlashKind::StEonMxic),
  kFlashAtmel = device::Code(device::FlashKind::Atmel),
  kFlashMxic = device::Code(device::FlashKind::Mxic),
  kFlashWinbond = device::Code(device::FlashKind::Winbond),
  kFlashAmic = device::Code(device::FlashKind::Amic),
  kFlashEon = device::Code(device::FlashKind::Eon),
  kFlashEsmt = device::Code(device::FlashKind::Esmt),
  kFlashSanyo = device::Code(device::FlashKind::Sanyo),
  kFlashGigadevice = device::Code(device::FlashKind::GigaDevice),
};

bool IsKnownFlashType(int code);
// A code a chip reports that has no row is treated as "Unknown" (row 0): its
// name, its erase geometry (the starting 0x8000/0x1000) and the code the
// window keeps. Row 0 is also what a failed flash identification leaves.
int FlashTypeFromReport(int reportedCode);
const char* FlashTypeName(int code);
const FlashTypeRow& FlashTypeRowFor(int code);


}  // namespace identify
