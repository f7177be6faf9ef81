#include "sim/profiles.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string_view>
#include <utility>

#include "sim/test_images.h"

namespace sim {

namespace {

using Bytes = std::vector<std::uint8_t>;

std::array<std::uint8_t, 4> Tail(const char* text) {
  std::array<std::uint8_t, 4> t{};
  for (int i = 0; i < 4 && text[i] != 0; ++i) t[i] = static_cast<std::uint8_t>(text[i]);
  return t;
}

// The chip information block: signature, USB identifiers, the short version
// (bytes 6-7), the chip number text (bytes 8-11) and the long version (12-15).
std::array<std::uint8_t, 16> Info(std::uint8_t pidHi, std::uint8_t pidLo, std::uint8_t major,
                                  std::uint8_t minor, const char* number,
                                  std::array<std::uint8_t, 4> version) {
  std::array<std::uint8_t, 16> b{0xF4, 0xE7, 0x3E, 0x8A, pidHi, pidLo, major, minor};
  for (int i = 0; i < 4; ++i) b[8 + i] = static_cast<std::uint8_t>(number[i]);
  for (int i = 0; i < 4; ++i) b[12 + i] = version[i];
  return b;
}

MemoryBytes Mem(std::uint16_t address, Bytes bytes) {
  return MemoryBytes{address, std::move(bytes)};
}

Bytes Marker(const char* digits) {
  Bytes b{0x55, 0xAA, 0xAA, 0x55};
  for (int i = 0; digits[i] != 0; ++i) b.push_back(static_cast<std::uint8_t>(digits[i]));
  return b;
}

// A storage controller's ATA information block: signature, USB vendor, its
// own product identifier, the product identifier of the bridge behind it (its
// own again when none) and version bytes.
std::array<std::uint8_t, 16> ControllerInfo(std::uint8_t pidHi, std::uint8_t pidLo,
                                            std::uint8_t behindHi, std::uint8_t behindLo,
                                            std::array<std::uint8_t, 8> version) {
  std::array<std::uint8_t, 16> b{0xF4, 0xE7, 0x3E, 0x8A, pidHi, pidLo, behindHi, behindLo};
  for (int i = 0; i < 8; ++i) b[8 + i] = version[i];
  return b;
}

DiskConfig Disk(std::uint64_t sectors, std::uint32_t sectorSize = 512,
                std::uint64_t hiddenSectors = 0) {
  DiskConfig d;
  d.sectors = sectors;
  d.logicalSectorSize = sectorSize;
  d.hiddenSectors = hiddenSectors;
  return d;
}

// The parameter block with the given bytes set, the rest 0.
std::array<std::uint8_t, 20> Parameters(
    std::initializer_list<std::pair<std::size_t, std::uint8_t>> bytes) {
  std::array<std::uint8_t, 20> block{};
  for (const auto& [at, value] : bytes) block[at] = value;
  return block;
}

// Release bits at 0x7038 for every family that reads them there.
MemoryBytes ReleaseBits7038() { return Mem(0x7038, {0x00, 0x00, 0x15, 0x00}); }

// One row of the profile table. A row starts from a fresh profile of its
// name, code, sub-code, product and INQUIRY tail; from the bridge of an
// earlier row (bridgeOf, which then also gives the product and tail); or from
// a whole earlier row (extends: the row keeps that row's code and appends its
// own answers after "; "). Every field the row gives then replaces the one
// there; a field left empty, zero, false or unset leaves it as it is.
struct ProfileRow {
  const char* name = "";
  std::uint8_t type = 0;
  std::int8_t sub = 0;
  const char* product = "";
  const char* inquiryTail = "";
  const char* answers = "";
  const char* bridgeOf = nullptr;
  const char* extends = nullptr;
  std::uint8_t identifiedAs = 0;  // 0: the row's own code
  bool sbp2 = false;
  // --- the bridge ---
  std::string_view idString{};
  std::optional<std::array<std::uint8_t, 16>> chipInfo{};
  std::uint32_t chipInfoLength = 0;
  std::optional<std::array<std::uint8_t, 2>> variant{};
  std::optional<FlashBus> bus{};  // a parallel bus has no serial engine and no raw SPI
  bool a1Chip = false;
  std::optional<int> flashTypeCode{};
  bool engineConfig = false;
  bool opcodesFromHost = false;  // the bridge does not know its flash part
  bool pageSize16 = false;
  bool blockCommands = false;
  bool plainBlockWrite = false;
  bool probeBit506A = false;
  bool resets = false;
  std::optional<std::array<std::uint8_t, 20>> parameters{};  // given: the block is answered
  std::vector<MemoryBytes> memory{};
  // --- what sits around it ---
  const char* flashPart = nullptr;
  std::optional<ParallelPartKind> parallelPart{};
  std::optional<std::array<std::uint8_t, 16>> controllerInfo{};
  std::optional<BehindBridge> behind{};
  DiskConfig disk{};  // sectors 0: none given
  std::optional<std::uint32_t> diskAreaTag{};
  bool damagedBank0 = false;
  bool damagedBank1 = false;
  const char* bank0ChipNumber = "";
};

const std::array<std::uint8_t, 16> kTxv929Controller =
    ControllerInfo(0x49, 0x29, 0x49, 0x29, {1, 2, 3, 4, 0, 0, 0, 0});

// The rows in catalogue order; a row names only earlier rows.
const ProfileRow kRows[] = {
    // --- 1: TX40775 ---
    {.name = "tx40775-pmc", .type = 1, .sub = 1, .product = "TX40775 Disk", .inquiryTail = "t775",
     .answers = "INQUIRY \"t775\"; ID string \"t775C0\"; flash kind asked of the flash",
     .idString = "t775C0.1", .chipInfo = Info(0x47, 0x75, 2, 5, "7751", {2, 5, 1, 0}),
     .flashTypeCode = 0, .flashPart = "pmc-25ld512"},
    {.name = "tx40775-amic", .type = 1, .sub = 1, .product = "TX40775 Disk", .inquiryTail = "t775",
     .answers = "INQUIRY \"t775\"; ID string rejected (sub-code 1); AMIC boot-sector flash",
     .chipInfo = Info(0x47, 0x75, 2, 4, "7751", {0, 0, 0, 0}), .chipInfoLength = 12,
     .flashTypeCode = 0, .flashPart = "amic-a25l05pu"},
    // --- 2 and 24: TX40776 with the parallel flash ---
    {.name = "tx40776-atmel", .type = 2, .product = "TX40776 Disk", .inquiryTail = "t776",
     .answers = "INQUIRY \"t776\"; parallel flash behind the internal ROM",
     .chipInfo = Info(0x47, 0x76, 2, 1, "7760", {2, 1, 0, 0}), .bus = FlashBus::Parallel,
     .parallelPart = ParallelPartKind::Atmel49BV512},
    {.name = "tx40776-pmc", .type = 2, .product = "TX40776 Disk", .inquiryTail = "t776",
     .answers = "INQUIRY \"t776\"; parallel flash behind the internal ROM",
     .chipInfo = Info(0x47, 0x76, 2, 1, "7760", {2, 1, 0, 0}), .bus = FlashBus::Parallel,
     .parallelPart = ParallelPartKind::Pmc39LV512},
    {.name = "tx40776-sst-a1", .type = 2, .product = "TX40776 Disk", .inquiryTail = "t776",
     .answers = "INQUIRY \"t776\"; A1 chip: runs from internal ROM, refuses the switch",
     .chipInfo = Info(0x47, 0x76, 2, 1, "7760", {2, 1, 0, 0}), .bus = FlashBus::Parallel,
     .a1Chip = true, .parallelPart = ParallelPartKind::Sst39LF512},
    {.name = "tx40776-3e8a", .type = 24, .product = "TX40776 Disk",
     .answers = "no INQUIRY code; chip info VID 3E8A, PID 4776",
     .chipInfo = Info(0x47, 0x76, 3, 2, "7760", {3, 2, 0, 0}), .bus = FlashBus::Parallel,
     .parallelPart = ParallelPartKind::Sst39LF512},
    // --- 3: TX40777 ---
    {.name = "tx40777", .type = 3, .product = "TX40777 Disk", .inquiryTail = "t777",
     .answers = "INQUIRY \"t777\"; ID string rejected; flash kind 3 reported",
     .chipInfo = Info(0x47, 0x77, 1, 8, "7770", {1, 8, 0, 0}), .flashTypeCode = 3,
     .flashPart = "st-m25p05-res"},
    // --- 4 and 19: TX40779 ---
    {.name = "tx40779-c", .type = 4, .sub = 2, .product = "TX40779 Disk", .inquiryTail = "t779",
     .answers = "INQUIRY \"t779\"; ID string \"t779C1\"; release bit and 0xC000 marker",
     .idString = "t779C1.0", .chipInfo = Info(0x47, 0x79, 2, 9, "7791", {2, 9, 3, 0}),
     .flashTypeCode = 4, .memory = {ReleaseBits7038(), Mem(0xC000, Marker("779 "))},
     .flashPart = "atmel-at25f512"},
    {.name = "tx40779-e", .type = 19, .sub = 3, .product = "TX40779 Disk", .inquiryTail = "t779",
     .answers = "INQUIRY \"t779\"; ID string \"t779E\" with sixth byte 0x02; MXIC 32-byte pages",
     .idString = {"t779E\x02" "-7", 8}, .chipInfo = Info(0x47, 0x79, 3, 1, "7793", {3, 1, 5, 0}),
     .engineConfig = true, .opcodesFromHost = true, .memory = {ReleaseBits7038()},
     .flashPart = "mxic-c22211-p32",
     .disk = Disk(488397168)},  // keeps its firmware on the disk when no flash is found
    {.name = "tx40779-e-noflash", .type = 19, .sub = 3,
     .answers = "as tx40779-e without a serial flash: its firmware lives on the disk",
     .bridgeOf = "tx40779-e", .disk = Disk(488397168)},
    // --- 5 and 18: parameter-block chips ---
    {.name = "tx40769", .type = 5, .product = "TX40769 Disk", .inquiryTail = "t769",
     .answers = "INQUIRY \"t769\"; parameter byte 8 = 0xAB, byte 18 = 0xD4 (supported)",
     .chipInfo = Info(0x47, 0x69, 2, 2, "7690", {2, 2, 0, 0}), .bus = FlashBus::None,
     .parameters = Parameters({{8, 0xAB}, {18, 0xD4}}),
     .disk = Disk(312581808)},  // its firmware lives on the disk
    {.name = "tx40769-old", .type = 5, .product = "TX40769 Disk", .inquiryTail = "t769",
     .answers = "INQUIRY \"t769\"; parameter byte 8 = 0xAB, byte 18 = 0xC0 (unsupported)",
     .chipInfo = Info(0x47, 0x69, 1, 0, "7690", {1, 0, 0, 0}), .bus = FlashBus::None,
     .parameters = Parameters({{8, 0xAB}, {18, 0xC0}})},
    {.name = "txr649", .type = 18, .product = "TXR649 Disk", .inquiryTail = "t649",
     .answers = "INQUIRY \"t649\"; parameter byte 8 = 0xD1; bytes 16, 17 = 1",
     .chipInfo = Info(0x46, 0x49, 4, 1, "6490", {4, 1, 0, 0}), .bus = FlashBus::None,
     .parameters = Parameters({{8, 0xD1}, {16, 0x01}, {17, 0x01}}), .disk = Disk(976773168)},
    {.name = "txr649-2t", .type = 18, .answers = "as txr649, on a disk of more than 2^32 sectors",
     .bridgeOf = "txr649", .disk = Disk(0x100000000ull + 0x2345678)},
    {.name = "txr649-4k", .type = 18, .answers = "as txr649, on a disk of 4096-byte sectors",
     .bridgeOf = "txr649", .disk = Disk(244190646, 4096)},
    {.name = "txr649-tag0", .type = 18, .answers = "as txr649-tagged, but the area tag holds 0",
     .bridgeOf = "txr649", .memory = {Mem(0xC000, {0x55, 0xAA, 0x00, 0x00})},
     .disk = Disk(1000000, 512, 8), .diskAreaTag = 0},
    {.name = "txr649-tagged", .type = 18,
     .answers = "as txr649, with the 0xC000 area marker and a disk whose area "
                "tag names LBA 0xF4000",
     .bridgeOf = "txr649", .memory = {Mem(0xC000, {0x55, 0xAA, 0x00, 0x00})},
     .disk = Disk(1000000, 512, 8),  // the tag sector lies past the reported end
     .diskAreaTag = 0x000F4000},
    // --- 6: TXR842 ---
    {.name = "txr842", .type = 6, .sub = 1, .product = "TXR842 Disk", .inquiryTail = "t842",
     .answers = "INQUIRY \"t842\"; ID string \"t842\" with sixth byte 0; 0xC000 marker",
     .idString = {"t842\0\0" "00", 8}, .chipInfo = Info(0x48, 0x42, 1, 3, "8420", {1, 3, 2, 0}),
     .flashTypeCode = 5, .memory = {ReleaseBits7038(), Mem(0xC000, Marker("842 "))},
     .flashPart = "mxic-mx25l512"},
    // --- 7: TXR843 over USB and IEEE 1394 ---
    {.name = "txr843-usb", .type = 7, .sub = 1, .product = "TXR843 Disk", .inquiryTail = "t843",
     .answers = "INQUIRY \"t843\"; 12-byte chip info, number \"8431\"",
     .chipInfo = Info(0x48, 0x43, 1, 6, "8431", {0, 0, 0, 0}), .chipInfoLength = 12,
     .flashTypeCode = 6, .flashPart = "winbond-w25x05"},
    {.name = "txr843-1394", .type = 7, .sub = 2, .product = "TXR843 1394", .inquiryTail = "t843",
     .answers = "sbp2 path; INQUIRY \"t843\"; chip info number \"8432\"; "
                "block writes with erase flag",
     .sbp2 = true, .chipInfo = Info(0x48, 0x43, 1, 7, "8432", {1, 7, 2, 0}), .flashTypeCode = 6,
     .plainBlockWrite = true, .flashPart = "winbond-w25x05"},
    // --- 8 and 9: TXR845/846 ---
    // An EON part whose 64 KB block erase fits the EON erase geometry (the
    // 64-KB EN25P05 erases 32 KB with 0xD8 and has no sector erase).
    {.name = "txr846", .type = 8, .product = "TXR846 Disk", .inquiryTail = "t846",
     .answers = "INQUIRY \"t846\"; block commands; flash marker \"846\" at 0x1000",
     .chipInfo = Info(0x48, 0x46, 8, 3, "8460", {1, 16, 0, 0}), .flashTypeCode = 8,
     .blockCommands = true, .memory = {ReleaseBits7038()}, .flashPart = "eon-en25f80"},
    {.name = "txr845", .type = 8, .product = "TXR845 Disk", .inquiryTail = "t845",
     .answers = "INQUIRY \"t845\"; block commands",
     .chipInfo = Info(0x48, 0x45, 8, 1, "8450", {2, 16, 0, 0}), .flashTypeCode = 6,
     .blockCommands = true, .memory = {ReleaseBits7038()}, .flashPart = "winbond-w25x10"},
    {.name = "txr845-info", .type = 8, .sub = 3, .product = "TXR845 Disk",
     .answers = "no INQUIRY code; chip info number \"8453\"",
     .chipInfo = Info(0x48, 0x45, 8, 2, "8453", {3, 16, 0, 0}), .flashTypeCode = 1,
     .blockCommands = true, .flashPart = "pmc-25lv010"},
    {.name = "txr846-b", .type = 9, .product = "TXR846 Disk", .inquiryTail = "t846",
     .answers = "as txr846 (code 9 shares its chip; identification yields 8)", .identifiedAs = 8,
     .chipInfo = Info(0x48, 0x46, 8, 4, "8460", {4, 16, 0, 0}), .flashTypeCode = 4,
     .blockCommands = true, .memory = {ReleaseBits7038()}, .flashPart = "atmel-at25fs010"},
    // --- 10: TXR847 ---
    {.name = "txr847-mxic32", .type = 10, .sub = 1, .product = "TXR847 Disk", .inquiryTail = "t847",
     .answers = "INQUIRY \"t847\"; ID string \"t48470\"; host sets opcodes and 32-byte pages",
     .idString = "t48470.2", .chipInfo = Info(0x48, 0x47, 1, 2, "8471", {1, 2, 3, 4}),
     .engineConfig = true, .opcodesFromHost = true, .flashPart = "mxic-c22210-p32"},
    {.name = "txr847-sst", .type = 10, .sub = 2, .product = "TXR847 Disk", .inquiryTail = "t847",
     .answers = "INQUIRY \"t847\"; ID string \"t48471\"; SST flash with JEDEC BF 25",
     .idString = "t48471.2", .chipInfo = Info(0x48, 0x47, 1, 3, "8472", {1, 3, 0, 0}),
     .engineConfig = true, .opcodesFromHost = true, .flashPart = "sst-25vf016b"},
    // --- 11: TXV961/929 ---
    {.name = "txv961", .type = 11, .product = "TXV961 Disk", .inquiryTail = "t961",
     .answers = "INQUIRY \"t961\"; 0xFDB0 level 0x20; 0x505E mode; 0x506A probe bit",
     .chipInfo = Info(0x49, 0x61, 9, 20, "9610", {1, 16, 1, 0}), .flashTypeCode = 5,
     .engineConfig = true, .blockCommands = true, .probeBit506A = true,
     .memory = {ReleaseBits7038(), Mem(0x505E, {0x00, 0x00, 0x01, 0x00}),
                Mem(0xFDB0, {0x00, 0x20, 0x00, 0x00})},
     .flashPart = "mxic-mx25l8005",
     .controllerInfo = ControllerInfo(0x49, 0x61, 0x49, 0x61, {1, 16, 1, 0, 0, 0, 0, 0}),
     .disk = Disk(625142448)},
    {.name = "txv961-l5", .type = 11, .sub = 5, .product = "TXV961 Disk", .inquiryTail = "t961",
     .answers = "INQUIRY \"t961\"; 0xFDB0 level 0xB4 (sub-code 5); kind 3 reported",
     .chipInfo = Info(0x49, 0x61, 9, 21, "9610", {1, 16, 0, 0}), .flashTypeCode = 3,
     .engineConfig = true, .blockCommands = true,
     .memory = {ReleaseBits7038(), Mem(0x505E, {0x00, 0x01, 0x00, 0x00}),
                Mem(0xFDB0, {0x00, 0xB4, 0x00, 0x00})},
     .flashPart = "mxic-c22211-p32",
     .controllerInfo = ControllerInfo(0x49, 0x61, 0x49, 0x61, {1, 16, 0, 0, 0, 0, 0, 0}),
     .disk = Disk(625142448)},
    // --- 12 and 16: TXV929 and TXV927 ---
    {.name = "txv929", .type = 12, .product = "TXV929 Disk", .inquiryTail = "t929",
     .answers = "INQUIRY \"t929\"; two sound banks; resets itself; release from parameter byte 19",
     .chipInfo = Info(0x49, 0x29, 1, 0, "9290", {1, 2, 3, 4}), .flashTypeCode = 6,
     .engineConfig = true, .pageSize16 = true, .blockCommands = true, .resets = true,
     .parameters = Parameters({{8, 0x01}, {19, 0x01}}),
     .memory = {Mem(0x70F0, {0x00, 0x00, 0x00, 0x01})}, .flashPart = "winbond-w25x10",
     .controllerInfo = kTxv929Controller, .disk = Disk(976773168)},
    {.name = "txv929-bank1-damaged", .type = 12,
     .answers = "as txv929, second firmware bank damaged",
     .bridgeOf = "txv929", .flashPart = "winbond-w25x10", .controllerInfo = kTxv929Controller,
     .disk = Disk(976773168), .damagedBank1 = true},
    // Bank variants for the repair: the first bank damaged, both damaged, and a
    // first bank that names the TXV927.
    {.name = "txv929-bank0-damaged", .type = 12,
     .answers = "as txv929, first firmware bank damaged",
     .bridgeOf = "txv929", .flashPart = "winbond-w25x10", .controllerInfo = kTxv929Controller,
     .disk = Disk(976773168), .damagedBank0 = true},
    {.name = "txv929-banks-damaged", .type = 12,
     .answers = "as txv929, both firmware banks damaged",
     .bridgeOf = "txv929", .flashPart = "winbond-w25x10", .controllerInfo = kTxv929Controller,
     .disk = Disk(976773168), .damagedBank0 = true, .damagedBank1 = true},
    {.name = "txv929-bank0-wrong-number", .type = 12,
     .answers = "as txv929, first bank names chip 927",
     .bridgeOf = "txv929", .flashPart = "winbond-w25x10", .controllerInfo = kTxv929Controller,
     .disk = Disk(976773168), .bank0ChipNumber = "9270"},
    {.name = "txv927", .type = 16, .product = "TXV927 Disk", .inquiryTail = "t927",
     .answers = "INQUIRY \"t927\"; flash marker \"927\" at 0x7FF0; resets itself",
     .chipInfo = Info(0x49, 0x27, 1, 0, "9270", {2, 3, 4, 5}), .flashTypeCode = 11,
     .engineConfig = true, .pageSize16 = true, .blockCommands = true, .resets = true,
     .memory = {Mem(0x70F0, {0x00, 0x00, 0x00, 0x01})}, .flashPart = "gd-gd25q10",
     .controllerInfo = ControllerInfo(0x49, 0x27, 0x49, 0x27, {2, 3, 4, 5, 0, 0, 0, 0}),
     .disk = Disk(488378646, 4096)},  // a 4 KB-sector disk
    {.name = "txv929-hdd", .type = 12,
     .answers = "as txv929 without a serial flash (kind 0): its bank lives on the disk",
     .bridgeOf = "txv929", .flashTypeCode = 0, .controllerInfo = kTxv929Controller,
     .disk = Disk(976773168)},
    // --- 13, 14, 15: bridges behind a storage controller ---
    {.name = "txv929-txr847", .type = 13,
     .answers = "txv929 with a TXR847 behind the controller (\"<<847>> \" entry)",
     .bridgeOf = "txv929", .identifiedAs = 12, .flashPart = "winbond-w25x10",
     .controllerInfo = ControllerInfo(0x49, 0x29, 0x48, 0x47, {1, 2, 3, 4, 5, 6, 7, 0}),
     .behind = BehindBridge{"TXR847", 13, "mxic-c22210-p32", 5}, .disk = Disk(1953525168)},
    {.name = "txv961-txr842", .type = 14,
     .answers = "txv961 with a TXR842 behind the controller (\"<<842>> \" entry)",
     .bridgeOf = "txv961", .identifiedAs = 11, .flashPart = "mxic-mx25l8005",
     .controllerInfo = ControllerInfo(0x49, 0x61, 0x48, 0x42, {2, 1, 0, 0, 0, 0, 0, 0}),
     .behind = BehindBridge{"TXR842", 14, "winbond-w25x10", 6}, .disk = Disk(625142448)},
    {.name = "txv929-txr842", .type = 15,
     .answers = "txv929 with a TXR842 behind the controller (\"<<842>> \" entry)",
     .bridgeOf = "txv929", .identifiedAs = 12, .flashPart = "winbond-w25x10",
     .controllerInfo = ControllerInfo(0x49, 0x29, 0x48, 0x42, {2, 2, 0, 0, 0, 0, 0, 0}),
     .behind = BehindBridge{"TXR842", 15, "eon-en25p05", 8}, .disk = Disk(1953525168)},
    // --- 17: TXR659 ---
    {.name = "txr659-a", .type = 17, .sub = 1, .product = "TXR659 Disk", .inquiryTail = "t659",
     .answers = "INQUIRY \"t659\"; ID string \"t659A0\"; AMIC flash; flash marker at 0x4000",
     .idString = "t659A0.3", .chipInfo = Info(0x46, 0x59, 3, 1, "6590", {3, 1, 5, 0}),
     .flashTypeCode = 7, .memory = {ReleaseBits7038()}, .flashPart = "amic-a25l05pu"},
    {.name = "txr659-c", .type = 17, .sub = 4, .product = "TXR659 Disk", .inquiryTail = "t659",
     .answers = "INQUIRY \"t659\"; ID string \"t659A3\" (sub-code 4: host sets the opcodes)",
     .idString = "t659A3.3", .chipInfo = Info(0x46, 0x59, 3, 2, "6593", {3, 2, 0, 0}),
     .engineConfig = true, .opcodesFromHost = true, .memory = {ReleaseBits7038()},
     .flashPart = "esmt-f25l01pa"},
    // --- 20..23: older chips told apart by the variant word (their chip info
    // answers without the signature), and "t778" ---
    {.name = "tx40777-legacy", .type = 20, .product = "TX40777 Disk",
     .answers = "no INQUIRY code; chip info without signature; variant word 0x00",
     .variant = {{0x01, 0x00}}, .bus = FlashBus::None},
    {.name = "tx40778-legacy", .type = 21, .product = "TX40778 Disk",
     .answers = "no INQUIRY code; chip info without signature; variant word 0x20",
     .variant = {{0x21, 0x00}}, .bus = FlashBus::None},
    {.name = "tx40779-legacy", .type = 22, .product = "TX40779 Disk",
     .answers = "no INQUIRY code; chip info without signature; variant word 0x40",
     .variant = {{0x41, 0x00}}, .bus = FlashBus::None},
    {.name = "tx40775-legacy", .type = 23, .product = "TX40775 Disk",
     .answers = "no INQUIRY code; chip info without signature; variant word 0x60",
     .variant = {{0x61, 0x00}}, .bus = FlashBus::None},
    {.name = "tx40778", .type = 21, .product = "TX40778 Disk", .inquiryTail = "t778",
     .answers = "INQUIRY \"t778\"", .chipInfo = Info(0x47, 0x78, 1, 1, "7780", {1, 1, 0, 0}),
     .bus = FlashBus::None},
    // --- variants of the rows above with other flash parts or register values,
    // so that every rule of the 16 KB-page and SST updates has an enclosure ---
    {.name = "txr842-atmel", .answers = "ATMEL flash found by its own probe", .extends = "txr842",
     .flashTypeCode = 4, .flashPart = "atmel-at25f512"},
    {.name = "txr847-atmel", .answers = "ATMEL flash", .extends = "txr847-mxic32",
     .flashPart = "atmel-at25f1024"},
    {.name = "txr847-sst-byte", .answers = "SST flash without JEDEC answer (byte AAI)",
     .extends = "txr847-sst", .flashPart = "sst-25vf512"},
    {.name = "txv961-page", .answers = "0x505E not in mode (00 01 00 00)", .extends = "txv961",
     .memory = {ReleaseBits7038(), Mem(0x505E, {0x00, 0x01, 0x00, 0x00}),
                Mem(0xFDB0, {0x00, 0x20, 0x00, 0x00})}},
    {.name = "txv961-l5-sst", .answers = "SST flash with JEDEC BF 25, kind 2 reported",
     .extends = "txv961-l5", .flashTypeCode = 2, .flashPart = "sst-25vf016b"},
    {.name = "txr659-sst", .answers = "SST flash with JEDEC BF 25", .extends = "txr659-c",
     .flashPart = "sst-25vf016b"},
    {.name = "tx40779-e-sst", .answers = "SST flash with JEDEC BF 25", .extends = "tx40779-e",
     .flashPart = "sst-25vf016b"},
};

// An earlier row by name (the first row when there is none).
const EnclosureProfile& Earlier(const std::vector<EnclosureProfile>& rows, const char* name) {
  for (const EnclosureProfile& r : rows)
    if (r.name == name) return r;
  return rows.front();
}

void ApplyBridge(const ProfileRow& row, BridgeConfig& b) {
  if (!row.idString.empty()) b.idString = row.idString;
  if (row.chipInfo) b.chipInfo = *row.chipInfo;
  if (row.chipInfoLength != 0) b.chipInfoLength = row.chipInfoLength;
  if (row.variant) b.variant = *row.variant;
  if (row.bus) b.bus = *row.bus;
  if (row.bus == FlashBus::Parallel) b.engineCommands = b.rawSpi = false;
  if (row.flashTypeCode) b.flashTypeCode = *row.flashTypeCode;
  b.a1Chip |= row.a1Chip;
  b.engineConfig |= row.engineConfig;
  if (row.opcodesFromHost) b.knowsFlashPart = false;
  b.pageSize16 |= row.pageSize16;
  b.blockCommands |= row.blockCommands;
  b.plainBlockWrite |= row.plainBlockWrite;
  b.probeBit506A |= row.probeBit506A;
  b.resets |= row.resets;
  if (row.parameters) {
    b.answersParameters = true;
    b.parameters = *row.parameters;
  }
  if (!row.memory.empty()) b.memory = row.memory;
}

EnclosureProfile FromRow(const ProfileRow& row, const std::vector<EnclosureProfile>& built) {
  EnclosureProfile p;
  if (row.extends != nullptr) {
    p = Earlier(built, row.extends);
    p.name = row.name;
    p.answers = p.answers + "; " + row.answers;
  } else {
    p.name = row.name;
    p.chipType = p.identifiedType = row.type;
    p.subCode = row.sub;
    p.answers = row.answers;
    p.bridge.product = row.product;
    p.bridge.inquiryVendorBytes = Tail(row.inquiryTail);
    if (row.bridgeOf != nullptr) p.bridge = Earlier(built, row.bridgeOf).bridge;
  }
  if (row.identifiedAs != 0) p.identifiedType = row.identifiedAs;
  p.sbp2 |= row.sbp2;
  ApplyBridge(row, p.bridge);
  if (row.flashPart != nullptr) p.flashPart = row.flashPart;
  if (row.parallelPart) p.parallelPart = row.parallelPart;
  if (row.controllerInfo) p.controllerInfo = row.controllerInfo;
  if (row.behind) p.behind = row.behind;
  if (row.disk.sectors != 0) p.disk = row.disk;
  if (row.diskAreaTag) p.diskAreaTag = row.diskAreaTag;
  p.damagedBank0 |= row.damagedBank0;
  p.damagedBank1 |= row.damagedBank1;
  if (*row.bank0ChipNumber != 0) p.bank0ChipNumber = row.bank0ChipNumber;
  return p;
}

std::vector<EnclosureProfile> Build() {
  std::vector<EnclosureProfile> rows;
  for (const ProfileRow& row : kRows) rows.push_back(FromRow(row, rows));
  return rows;
}

std::uint16_t Crc16AddWord(std::uint16_t crc, std::uint32_t word) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    crc = static_cast<std::uint16_t>(crc ^ (((word >> shift) & 0xFF) << 8));
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

// The bank checksum: CRC-16/XMODEM over 4-byte groups taken as little-endian words.
std::uint16_t BankCrc(const std::uint8_t* data, std::size_t length) {
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i + 4 <= length; i += 4) {
    const std::uint32_t w = data[i] | (data[i + 1] << 8) | (data[i + 2] << 16) |
                            (static_cast<std::uint32_t>(data[i + 3]) << 24);
    crc = Crc16AddWord(crc, w);
  }
  return crc;
}

void Put(std::vector<std::uint8_t>& image, std::size_t at, const Bytes& bytes) {
  for (std::size_t i = 0; i < bytes.size() && at + i < image.size(); ++i) image[at + i] = bytes[i];
}

StorageControllerHook& Hook() {
  static StorageControllerHook hook = InstallStorageController;
  return hook;
}

ProfileAttachHook& AttachHook() {
  static ProfileAttachHook hook;
  return hook;
}

std::string Compact(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
  return text;
}

}  // namespace

const std::vector<EnclosureProfile>& EnclosureProfiles() {
  static const std::vector<EnclosureProfile> rows = Build();
  return rows;
}

const EnclosureProfile* FindProfile(const std::string& name) {
  for (const EnclosureProfile& p : EnclosureProfiles())
    if (p.name == name) return &p;
  return nullptr;
}

std::vector<std::uint8_t> FactoryFirmware(const EnclosureProfile& profile, std::size_t size) {
  std::vector<std::uint8_t> image(size, 0xFF);
  // Code bytes: a fixed pseudo-random pattern over the first 48 KB.
  std::uint32_t x = 0x2545F491u ^ profile.chipType;
  const std::size_t code = std::min<std::size_t>(size, 0xC000);
  for (std::size_t i = 0; i < code; ++i) {
    x = x * 1103515245u + 12345u;
    image[i] = static_cast<std::uint8_t>(x >> 16);
  }
  const std::uint8_t type = profile.chipType;
  if (type == 8 || type == 9) Put(image, 0x1000, Marker("846"));
  if (type == 11 || type == 14) Put(image, 0x1000, Marker("961"));
  if (type == 17) Put(image, 0x4000, {0x55, 0xAA, 0x54, 0x58, '6', '5', '9'});
  if (type == 19) Put(image, 0x4000, {0x55, 0xAA, 0x54, 0x58, '7', '7', '9'});
  const bool banked = type == 12 || type == 13 || type == 15 || type == 16;
  if (banked && size >= 0x10000) {
    const bool is927 = type == 16;
    const char* digits = is927 ? "9270" : "9290";
    const std::size_t checked = is927 ? 0x8000 : 0xC000;
    Put(image, 0xBFF0, Marker(digits));
    if (is927) Put(image, 0x7FF0, Marker(digits));
    const std::uint16_t crc = BankCrc(image.data(), checked - 4);
    image[checked - 2] = static_cast<std::uint8_t>(crc >> 8);
    image[checked - 1] = static_cast<std::uint8_t>(crc);
    // The TXV929's NVRAM area: settings no firmware image carries.
    if (type == 12)
      for (std::size_t i = 0; i < 0x1000; ++i)
        image[0xC000 + i] = static_cast<std::uint8_t>(0xA5 ^ (i * 13) ^ (i >> 7));
    if (size >= 0x20000) {
      std::copy(image.begin(), image.begin() + 0x10000, image.begin() + 0x10000);
      if (profile.damagedBank1) image[0x10000 + 0x100] ^= 0x5A;
      if (profile.damagedBank0) image[0x100] ^= 0x5A;
      if (!profile.bank0ChipNumber.empty()) {
        Put(image, 0xBFF4, Bytes(profile.bank0ChipNumber.begin(), profile.bank0ChipNumber.end()));
        const std::uint16_t restamped = BankCrc(image.data(), checked - 4);
        image[checked - 2] = static_cast<std::uint8_t>(restamped >> 8);
        image[checked - 1] = static_cast<std::uint8_t>(restamped);
      }
    }
  }
  return image;
}

namespace {
std::uint8_t StartingProtection(const std::optional<std::uint8_t>& bits,
                                const AttachOptions& options, const FlashPart& part) {
  return bits.value_or(options.powerUpProtection ? part.powerUpProtection : 0);
}
}  // namespace

std::shared_ptr<BridgeChip> MakeBridge(const EnclosureProfile& profile,
                                       const AttachOptions& options) {
  std::shared_ptr<SerialFlash> serial;
  std::shared_ptr<ParallelFlash> parallel;
  if (!profile.flashPart.empty()) {
    if (const FlashPart* part = FindFlashPart(profile.flashPart)) {
      serial = std::make_shared<SerialFlash>(*part);
      const std::vector<std::uint8_t> image = FactoryFirmware(profile, part->sizeBytes());
      serial->cells().Load(0, image.data(), image.size());
      serial->SetProtection(StartingProtection(options.protection, options, *part));
      serial->SetBusyTimes(options.busyTimes);
      for (const FlashFault& f : options.flashFaults) serial->AddFault(f);
    }
  }
  if (profile.parallelPart) {
    parallel = std::make_shared<ParallelFlash>(*profile.parallelPart);
    const std::vector<std::uint8_t> image = FactoryFirmware(profile, ParallelFlash::kSize);
    parallel->cells().Load(0, image.data(), image.size());
    for (const FlashFault& f : options.flashFaults) parallel->AddFault(f);
    parallel->SetBusyTimes(options.busyTimes);
  }
  auto chip = std::make_shared<BridgeChip>(profile.bridge, serial, parallel);
  for (const DisappearFault& f : options.disappear) chip->AddDisappearance(f);
  return chip;
}

std::string ProfilePath(const EnclosureProfile& profile, const std::string& serial, bool asCdrom) {
  const std::string product = Compact(profile.bridge.product);
  if (asCdrom || profile.cdrom) return UsbCdromPath(profile.bridge.vendor, product, serial);
  if (profile.sbp2) return Sbp2DiskPath(profile.bridge.vendor, product, serial);
  return UsbDiskPath(profile.bridge.vendor, product, serial);
}

std::shared_ptr<SerialFlash> MakeBehindFlash(const EnclosureProfile& profile,
                                             const AttachOptions& options) {
  if (!profile.behind) return nullptr;
  const FlashPart* part = FindFlashPart(profile.behind->flashPart);
  if (part == nullptr) return nullptr;
  auto flash = std::make_shared<SerialFlash>(*part);
  // The behind bridge's own firmware: a TXR842 (code 6) or a TXR847 (code 10).
  EnclosureProfile behindRow = profile;
  behindRow.chipType = profile.behind->bridge == "TXR842" ? 6 : 10;
  const std::vector<std::uint8_t> image = FactoryFirmware(behindRow, part->sizeBytes());
  flash->cells().Load(0, image.data(), image.size());
  flash->SetProtection(StartingProtection(options.behindProtection, options, *part));
  flash->SetBusyTimes(options.busyTimes);
  for (const FlashFault& f : options.behindFlashFaults) flash->AddFault(f);
  return flash;
}

std::shared_ptr<BridgeChip> AttachProfile(Machine& machine, const EnclosureProfile& profile,
                                          const AttachOptions& options) {
  std::shared_ptr<BridgeChip> chip = MakeBridge(profile, options);
  if (profile.controllerInfo) Hook()(*chip, profile, MakeBehindFlash(profile, options));
  if (profile.disk.sectors != 0) {
    auto disk = std::make_shared<SimDisk>(profile.disk);
    if (profile.diskAreaTag) {
      // Where the disk-area queries look: the first sector past the reported end.
      std::vector<std::uint8_t> sector(profile.disk.logicalSectorSize, 0x00);
      PutAreaTag(sector.data(), *profile.diskAreaTag);
      disk->WriteSectors(profile.disk.sectors, sector.data(), 1);
    }
    chip->AddDisk(std::move(disk));
  }
  if (AttachHook()) AttachHook()(*chip, profile);
  Attachment a;
  const bool cdrom = options.asCdrom || profile.cdrom;
  a.interfaceClass = cdrom ? host::InterfaceClass::Cdrom : host::InterfaceClass::Disk;
  a.path = ProfilePath(profile, options.serial.empty() ? profile.name : options.serial, cdrom);
  a.number = {cdrom ? 2u : 7u, options.diskNumber, 0};  // FILE_DEVICE_CD_ROM or _DISK
  a.volumes = options.volumes;
  a.device = chip;
  chip->SetPath(a.path);
  machine.Attach(std::move(a));
  return chip;
}

void SetStorageControllerHook(StorageControllerHook hook) {
  Hook() = hook ? std::move(hook) : StorageControllerHook(InstallStorageController);
}

void InstallStorageController(BridgeChip& front, const EnclosureProfile& profile,
                              std::shared_ptr<SerialFlash> behindFlash) {
  if (!profile.controllerInfo) return;
  ControllerRouteConfig config;
  config.info = *profile.controllerInfo;
  if (profile.behind)
    config.flashTypeCode = static_cast<std::uint8_t>(profile.behind->flashTypeCode);
  front.AddControllerRoute(std::make_shared<ControllerRoute>(config, std::move(behindFlash)));
}
void SetProfileAttachHook(ProfileAttachHook hook) { AttachHook() = std::move(hook); }

}  // namespace sim
