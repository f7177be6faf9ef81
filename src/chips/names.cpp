#include "chips/names.h"

#include <cstring>
#include <string_view>

namespace identify {

// Names are shown in 20-byte rows.
constexpr bool NamesFitTheirRows() {
  for (const device::ChipRow& row : device::kChipTable)
    if (std::string_view(row.name).size() >= 20 || std::string_view(row.shortCode).size() > 3)
      return false;
  for (const device::FlashKindRow& row : device::kFlashKindTable)
    if (std::string_view(row.name).size() >= 20) return false;
  return true;
}
static_assert(NamesFitTheirRows(), "a chip or flash name longer than its row");

std::int8_t ExpectedRevision(std::int8_t subCode) {
  return static_cast<std::int8_t>(static_cast<std::uint8_t>(subCode) - 1u);
}

char ExpectedRevisionDigit(std::int8_t subCode) {
  return static_cast<char>(static_cast<std::uint8_t>('0' + ExpectedRevision(subCode)));
}

const char* ChipName(int chipType) {
  return device::ChipRowFor(chipType).name;
}

const char* ChipShortCode(int chipType) {
  return device::ChipRowFor(chipType).shortCode;
}

int ChipTypeFromNumber(const char* digits) {
  if (digits == nullptr) return 0;
  for (int row = 1; row <= kMaxChipType; ++row) {
    if (std::strncmp(digits, ChipShortCode(row), 3) == 0) return row;
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
  return device::kFlashKindTable[static_cast<std::size_t>(FlashTypeFromReport(code))];
}

const char* FlashTypeName(int code) { return FlashTypeRowFor(code).name; }

}  // namespace identify
