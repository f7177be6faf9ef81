#include "identify/catalogue.h"

#include <cstring>

namespace identify {

const char ChipNames[kChipTypeRows][20] = {
    "Unknown Chip",       // 0
    "TX40775 Series",     // 1
    "TX40776 Series",     // 2
    "TX40777 Series",     // 3
    "TX40779 Series",     // 4
    "TX40769 Series",     // 5
    "TXR842 Series",      // 6
    "TXR843 Series",      // 7
    "TXR845/846 Series",  // 8
    "TXR845/846 Series",  // 9
    "TXR847 Series",      // 10
    "TXV961/929 Series",  // 11
    "TXV929 Series",      // 12
    "TXV929/847 Series",  // 13
    "TXV929/842 Series",  // 14
    "TXV929/842 Series",  // 15
    "TXV927 Series",      // 16
    "TXR659 Series",      // 17
    "TXR649 Series",      // 18
    "TX40779 Series",     // 19
    "TX40777",            // 20
    "TX40778",            // 21
    "TX40779",            // 22
    "TX40775",            // 23
    "TX40776",            // 24
};

const char ChipShortCodes[kChipTypeRows][10] = {
    "",    "775", "776", "777", "779", "769", "842", "843", "846", "846", "847", "961", "929",
    "847", "842", "842", "927", "659", "649", "779", "777", "778", "779", "775", "776",
};

const FlashTypeRow FlashTypeTable[kFlashTypeCount] = {
    {"Unknown", 0x8000, 0x1000},     {"PMC", 0x8000, 0x1000},
    {"SST", 0x8000, 0x1000},         {"ST/EON/MXIC", 0x10000, 0x8000},
    {"ATMEL", 0x10000, 0x8000},      {"MXIC", 0x10000, 0x1000},
    {"WINBOND", 0x10000, 0x1000},    {"AMIC", 0x10000, 0x1000},
    {"EON", 0x10000, 0x8000},        {"ESMT", 0x10000, 0x1000},
    {"SANYO", 0x10000, 0x1000},      {"GIGADEVICE", 0x10000, 0x1000},
};

std::int8_t ExpectedRevision(std::int8_t subCode) {
  return static_cast<std::int8_t>(static_cast<std::uint8_t>(subCode) - 1u);
}

char ExpectedRevisionDigit(std::int8_t subCode) {
  return static_cast<char>(static_cast<std::uint8_t>('0' + ExpectedRevision(subCode)));
}

const char* ChipName(int chipType) {
  if (chipType < 0 || chipType > kMaxChipType) return ChipNames[0];
  return ChipNames[chipType];
}

const char* ChipShortCode(int chipType) {
  if (chipType < 1 || chipType > kMaxChipType) return ChipShortCodes[0];
  return ChipShortCodes[chipType];
}

int ChipTypeFromNumber(const char* digits) {
  if (digits == nullptr) return 0;
  for (int row = 1; row <= kMaxChipType; ++row) {
    if (std::strncmp(digits, ChipShortCodes[row], 3) == 0) return row;
  }
  return 0;
}

bool MatchesChipNumber(const std::uint8_t* p, int chipType) {
  const char* code = ChipShortCode(chipType);
  if (code[0] == '\0') return false;
  return std::memcmp(p, code, 3) == 0;
}

bool IsKnownFlashType(int code) { return code >= 0 && code < kFlashTypeCount; }

int FlashTypeFromReport(int reportedCode) {
  return IsKnownFlashType(reportedCode) ? reportedCode : kFlashUnknown;
}

const FlashTypeRow& FlashTypeRowFor(int code) {
  return FlashTypeTable[FlashTypeFromReport(code)];
}

const char* FlashTypeName(int code) { return FlashTypeRowFor(code).name; }

}  // namespace identify
