// The chip types the utility knows, as one table of facts. The enum's values
// are the chip type codes identification reports and the window keeps (the
// low byte of the chip identity), so they never change. Everything that
// differs by chip type and is more than a rule of one step reads a row here.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace device {

enum class ChipType : std::uint8_t {
  None = 0,
  Tx40775 = 1,
  Tx40776 = 2,  // internal ROM with a parallel flash
  Tx40777 = 3,
  Tx40779 = 4,
  Tx40769 = 5,
  Txr842 = 6,
  Txr843 = 7,
  Txr845 = 8,
  Txr846 = 9,  // shares its name and number with Txr845
  Txr847 = 10,
  Txv961 = 11,
  Txv929 = 12,
  Txv929With847 = 13,  // a TXV929 with a TXR847 bridge behind it
  Txv961With842 = 14,  // a TXV961 with a TXR842 bridge behind it
  Txv929With842 = 15,  // a TXV929 with a TXR842 bridge behind it
  Txv927 = 16,
  Txr659 = 17,
  Txr649 = 18,
  Tx40779E = 19,
  // Answers of chips without the chip-information frame, by their variant
  // bits; none of them has a procedure.
  Tx40777Variant = 20,
  Tx40778Variant = 21,
  Tx40779Variant = 22,
  Tx40775Variant = 23,
  Tx40776Rom = 24,  // identified by its USB ids; runs the internal-ROM procedure
};

inline constexpr int kChipTypeCount = 25;  // codes 0..24

struct ChipRow {
  ChipType type = ChipType::None;
  const char* name = "";       // shown as the chip name; at most 19 characters
  const char* shortCode = "";  // the chip number images and markers carry ("" for none)
  // The two firmware banks of a storage controller's flash: the first bank
  // ends here, and the NVRAM area starts here. 0 for chips without banks.
  std::uint32_t bankEnd = 0;
  // The bank layout holds on any flash (otherwise only above 64 KB).
  bool twoBanksAlways = false;
  // Flash moved with the block commands, with the 4 KB NVRAM area at the
  // bank end (or at 0 for a chip without banks).
  bool blockCommands = false;
  // Images carry a signature the controller checks.
  bool signedImage = false;
  // The flash page size is cleared before erasing.
  bool clearsPageSize = false;
  // The chip tells its flash size, and backups cover that size rather than
  // the size box.
  bool reportsFlashSize = false;
  // Images may carry the chip's 80-byte NVRAM record at byte 128, behind a
  // layout marker.
  bool imageNvramRecord = false;
  // A bridge reached through a storage controller's ATA commands.
  bool behindController = false;
};

inline constexpr std::array<ChipRow, kChipTypeCount> kChipTable = {{
    {.type = ChipType::None, .name = "Unknown Chip"},
    {.type = ChipType::Tx40775, .name = "TX40775 Series", .shortCode = "775"},
    {.type = ChipType::Tx40776, .name = "TX40776 Series", .shortCode = "776"},
    {.type = ChipType::Tx40777, .name = "TX40777 Series", .shortCode = "777"},
    {.type = ChipType::Tx40779, .name = "TX40779 Series", .shortCode = "779"},
    {.type = ChipType::Tx40769, .name = "TX40769 Series", .shortCode = "769"},
    {.type = ChipType::Txr842, .name = "TXR842 Series", .shortCode = "842"},
    {.type = ChipType::Txr843, .name = "TXR843 Series", .shortCode = "843"},
    {.type = ChipType::Txr845, .name = "TXR845/846 Series", .shortCode = "846",
     .blockCommands = true},
    {.type = ChipType::Txr846, .name = "TXR845/846 Series", .shortCode = "846",
     .blockCommands = true},
    {.type = ChipType::Txr847, .name = "TXR847 Series", .shortCode = "847",
     .reportsFlashSize = true, .imageNvramRecord = true},
    {.type = ChipType::Txv961, .name = "TXV961/929 Series", .shortCode = "961",
     .blockCommands = true, .signedImage = true, .clearsPageSize = true},
    {.type = ChipType::Txv929, .name = "TXV929 Series", .shortCode = "929", .bankEnd = 0xC000,
     .twoBanksAlways = true, .blockCommands = true, .signedImage = true},
    {.type = ChipType::Txv929With847, .name = "TXV929/847 Series", .shortCode = "847",
     .reportsFlashSize = true, .imageNvramRecord = true, .behindController = true},
    {.type = ChipType::Txv961With842, .name = "TXV929/842 Series", .shortCode = "842",
     .behindController = true},
    {.type = ChipType::Txv929With842, .name = "TXV929/842 Series", .shortCode = "842",
     .behindController = true},
    {.type = ChipType::Txv927, .name = "TXV927 Series", .shortCode = "927", .bankEnd = 0x8000,
     .blockCommands = true, .signedImage = true},
    {.type = ChipType::Txr659, .name = "TXR659 Series", .shortCode = "659"},
    {.type = ChipType::Txr649, .name = "TXR649 Series", .shortCode = "649"},
    {.type = ChipType::Tx40779E, .name = "TX40779 Series", .shortCode = "779"},
    {.type = ChipType::Tx40777Variant, .name = "TX40777", .shortCode = "777"},
    {.type = ChipType::Tx40778Variant, .name = "TX40778", .shortCode = "778"},
    {.type = ChipType::Tx40779Variant, .name = "TX40779", .shortCode = "779"},
    {.type = ChipType::Tx40775Variant, .name = "TX40775", .shortCode = "775"},
    {.type = ChipType::Tx40776Rom, .name = "TX40776", .shortCode = "776"},
}};

constexpr int Code(ChipType type) { return static_cast<int>(type); }

// The type of a code as the chip state keeps it. Codes without a row keep
// their value; ChipRowFor reads them as row 0.
constexpr ChipType AsChipType(int code) { return static_cast<ChipType>(code); }

constexpr bool HasChipRow(int code) { return code >= 0 && code < kChipTypeCount; }

constexpr const ChipRow& ChipRowFor(int code) {
  return kChipTable[static_cast<std::size_t>(HasChipRow(code) ? code : 0)];
}
constexpr const ChipRow& ChipRowFor(ChipType type) { return ChipRowFor(Code(type)); }

constexpr bool IsBankChip(int code) { return ChipRowFor(code).bankEnd != 0; }

// Rows are looked up by code: each sits at its own.
constexpr bool ChipRowsInCodeOrder() {
  for (int code = 0; code < kChipTypeCount; ++code)
    if (Code(kChipTable[static_cast<std::size_t>(code)].type) != code) return false;
  return true;
}
static_assert(ChipRowsInCodeOrder(), "chip rows out of code order");

// Two banks are moved with the block commands and carry signed images.
constexpr bool BankChipsUseBlockCommands() {
  for (const ChipRow& row : kChipTable)
    if (row.bankEnd != 0 && !(row.blockCommands && row.signedImage)) return false;
  return true;
}
static_assert(BankChipsUseBlockCommands(), "a bank chip outside the block commands");

}  // namespace device
