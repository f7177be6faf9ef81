#include "sim/profiles.h"

#include <algorithm>
#include <cstring>
#include <tuple>

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

EnclosureProfile Row(std::string name, std::uint8_t type, std::int8_t sub, std::string product,
                     const char* inquiryTail, std::string answers) {
  EnclosureProfile p;
  p.name = std::move(name);
  p.chipType = type;
  p.subCode = sub;
  p.identifiedType = type;
  p.answers = std::move(answers);
  p.bridge.product = std::move(product);
  p.bridge.inquiryVendorBytes = Tail(inquiryTail);
  return p;
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

DiskConfig Disk(std::uint64_t sectors, std::uint32_t sectorSize = 512) {
  DiskConfig d;
  d.sectors = sectors;
  d.logicalSectorSize = sectorSize;
  return d;
}

// Release bits at 0x7038 for every family that reads them there.
MemoryBytes ReleaseBits7038() { return Mem(0x7038, {0x00, 0x00, 0x15, 0x00}); }

const BridgeConfig& BridgeOf(const std::vector<EnclosureProfile>& rows, const std::string& name) {
  for (const EnclosureProfile& r : rows)
    if (r.name == name) return r.bridge;
  return rows.front().bridge;
}

std::vector<EnclosureProfile> Build() {
  std::vector<EnclosureProfile> rows;

  // --- 1: TX40775 -------------------------------------------------------------
  {
    EnclosureProfile p =
        Row("tx40775-pmc", 1, 1, "TX40775 Disk", "t775",
            "INQUIRY \"t775\"; ID string \"t775C0\"; flash kind asked of the flash");
    p.bridge.idString = "t775C0.1";
    p.bridge.chipInfo = Info(0x47, 0x75, 2, 5, "7751", {2, 5, 1, 0});
    p.bridge.flashTypeCode = 0;
    p.flashPart = "pmc-25ld512";
    rows.push_back(p);
  }
  {
    EnclosureProfile p =
        Row("tx40775-amic", 1, 1, "TX40775 Disk", "t775",
            "INQUIRY \"t775\"; ID string rejected (sub-code 1); AMIC boot-sector flash");
    p.bridge.chipInfo = Info(0x47, 0x75, 2, 4, "7751", {0, 0, 0, 0});
    p.bridge.chipInfoLength = 12;
    p.bridge.flashTypeCode = 0;
    p.flashPart = "amic-a25l05pu";
    rows.push_back(p);
  }
  // --- 2 and 24: TX40776 with the parallel flash --------------------------------
  for (auto [name, kind, a1] : {std::tuple{"tx40776-atmel", ParallelPartKind::Atmel49BV512, false},
                                std::tuple{"tx40776-pmc", ParallelPartKind::Pmc39LV512, false},
                                std::tuple{"tx40776-sst-a1", ParallelPartKind::Sst39LF512, true}}) {
    EnclosureProfile p =
        Row(name, 2, 0, "TX40776 Disk", "t776",
            a1 ? "INQUIRY \"t776\"; A1 chip: runs from internal ROM, refuses the switch"
               : "INQUIRY \"t776\"; parallel flash behind the internal ROM");
    p.bridge.chipInfo = Info(0x47, 0x76, 2, 1, "7760", {2, 1, 0, 0});
    p.bridge.bus = FlashBus::Parallel;
    p.bridge.engineCommands = false;
    p.bridge.rawSpi = false;
    p.bridge.a1Chip = a1;
    p.parallelPart = kind;
    rows.push_back(p);
  }
  {
    EnclosureProfile p = Row("tx40776-3e8a", 24, 0, "TX40776 Disk", "",
                             "no INQUIRY code; chip info VID 3E8A, PID 4776");
    p.bridge.chipInfo = Info(0x47, 0x76, 3, 2, "7760", {3, 2, 0, 0});
    p.bridge.bus = FlashBus::Parallel;
    p.bridge.engineCommands = false;
    p.bridge.rawSpi = false;
    p.parallelPart = ParallelPartKind::Sst39LF512;
    rows.push_back(p);
  }
  // --- 3: TX40777 ---------------------------------------------------------------
  {
    EnclosureProfile p = Row("tx40777", 3, 0, "TX40777 Disk", "t777",
                             "INQUIRY \"t777\"; ID string rejected; flash kind 3 reported");
    p.bridge.chipInfo = Info(0x47, 0x77, 1, 8, "7770", {1, 8, 0, 0});
    p.bridge.flashTypeCode = 3;
    p.flashPart = "st-m25p05-res";
    rows.push_back(p);
  }
  // --- 4 and 19: TX40779 ---------------------------------------------------------
  {
    EnclosureProfile p =
        Row("tx40779-c", 4, 2, "TX40779 Disk", "t779",
            "INQUIRY \"t779\"; ID string \"t779C1\"; release bit and 0xC000 marker");
    p.bridge.idString = "t779C1.0";
    p.bridge.chipInfo = Info(0x47, 0x79, 2, 9, "7791", {2, 9, 3, 0});
    p.bridge.flashTypeCode = 4;
    p.bridge.memory = {ReleaseBits7038(), Mem(0xC000, Marker("779 "))};
    p.flashPart = "atmel-at25f512";
    rows.push_back(p);
  }
  {
    EnclosureProfile p =
        Row("tx40779-e", 19, 3, "TX40779 Disk", "t779",
            "INQUIRY \"t779\"; ID string \"t779E\" with sixth byte 0x02; MXIC 32-byte pages");
    p.bridge.idString = std::string("t779E\x02", 6) + "-7";
    p.bridge.chipInfo = Info(0x47, 0x79, 3, 1, "7793", {3, 1, 5, 0});
    p.bridge.engineConfig = true;
    p.bridge.knowsFlashPart = false;
    p.bridge.memory = {ReleaseBits7038()};
    p.flashPart = "mxic-c22211-p32";
    p.disk = Disk(488397168);  // keeps its firmware on the disk when no flash is found
    rows.push_back(p);
  }
  {
    EnclosureProfile p = Row("tx40779-e-noflash", 19, 3, "TX40779 Disk", "t779",
                             "as tx40779-e without a serial flash: its firmware lives on the disk");
    p.bridge = BridgeOf(rows, "tx40779-e");
    p.flashPart = "";
    p.disk = Disk(488397168);
    rows.push_back(p);
  }
  // --- 5 and 18: parameter-block chips --------------------------------------------
  {
    EnclosureProfile p =
        Row("tx40769", 5, 0, "TX40769 Disk", "t769",
            "INQUIRY \"t769\"; parameter byte 8 = 0xAB, byte 18 = 0xD4 (supported)");
    p.bridge.chipInfo = Info(0x47, 0x69, 2, 2, "7690", {2, 2, 0, 0});
    p.bridge.answersParameters = true;
    p.bridge.parameters[8] = 0xAB;
    p.bridge.parameters[18] = 0xD4;
    p.bridge.bus = FlashBus::None;
    p.disk = Disk(312581808);  // its firmware lives on the disk
    rows.push_back(p);
  }
  {
    EnclosureProfile p =
        Row("tx40769-old", 5, 0, "TX40769 Disk", "t769",
            "INQUIRY \"t769\"; parameter byte 8 = 0xAB, byte 18 = 0xC0 (unsupported)");
    p.bridge.chipInfo = Info(0x47, 0x69, 1, 0, "7690", {1, 0, 0, 0});
    p.bridge.answersParameters = true;
    p.bridge.parameters[8] = 0xAB;
    p.bridge.parameters[18] = 0xC0;
    p.bridge.bus = FlashBus::None;
    rows.push_back(p);
  }
  {
    EnclosureProfile p = Row("txr649", 18, 0, "TXR649 Disk", "t649",
                             "INQUIRY \"t649\"; parameter byte 8 = 0xD1; bytes 16, 17 = 1");
    p.bridge.chipInfo = Info(0x46, 0x49, 4, 1, "6490", {4, 1, 0, 0});
    p.bridge.answersParameters = true;
    p.bridge.parameters[8] = 0xD1;
    p.bridge.parameters[16] = 0x01;
    p.bridge.parameters[17] = 0x01;
    p.bridge.bus = FlashBus::None;
    p.disk = Disk(976773168);
    rows.push_back(p);
  }
  {
    EnclosureProfile p = Row("txr649-2t", 18, 0, "TXR649 Disk", "t649",
                             "as txr649, on a disk of more than 2^32 sectors");
    p.bridge = BridgeOf(rows, "txr649");
    p.disk = Disk(0x100000000ull + 0x2345678);
    rows.push_back(p);
  }
  {
    EnclosureProfile p = Row("txr649-4k", 18, 0, "TXR649 Disk", "t649",
                             "as txr649, on a disk of 4096-byte sectors");
    p.bridge = BridgeOf(rows, "txr649");
    p.disk = Disk(244190646, 4096);
    rows.push_back(p);
  }
  {
    EnclosureProfile p = Row("txr649-tag0", 18, 0, "TXR649 Disk", "t649",
                             "as txr649-tagged, but the area tag holds 0");
    p.bridge = BridgeOf(rows, "txr649");
    p.bridge.memory.push_back(Mem(0xC000, {0x55, 0xAA, 0x00, 0x00}));
    p.disk = Disk(1000000);
    p.disk.hiddenSectors = 8;
    p.diskAreaTag = 0;
    rows.push_back(p);
  }
  {
    EnclosureProfile p = Row("txr649-tagged", 18, 0, "TXR649 Disk", "t649",
                             "as txr649, with the 0xC000 area marker and a disk whose area "
                             "tag names LBA 0xF4000");
    p.bridge = BridgeOf(rows, "txr649");
    p.bridge.memory.push_back(Mem(0xC000, {0x55, 0xAA, 0x00, 0x00}));
    p.disk = Disk(1000000);
    p.disk.hiddenSectors = 8;  // the tag sector lies past the reported end
    p.diskAreaTag = 0x000F4000;
    rows.push_back(p);
  }
  // --- 6: TXR842 ---------------------------------------------------------------------
  {
    EnclosureProfile p =
        Row("txr842", 6, 1, "TXR842 Disk", "t842",
            "INQUIRY \"t842\"; ID string \"t842\" with sixth byte 0; 0xC000 marker");
    p.bridge.idString = std::string("t842\0\0", 6) + "00";
    p.bridge.chipInfo = Info(0x48, 0x42, 1, 3, "8420", {1, 3, 2, 0});
    p.bridge.flashTypeCode = 5;
    p.bridge.memory = {ReleaseBits7038(), Mem(0xC000, Marker("842 "))};
    p.flashPart = "mxic-mx25l512";
    rows.push_back(p);
  }
  // --- 7: TXR843 over USB and IEEE 1394 ------------------------------------------------
  {
    EnclosureProfile p = Row("txr843-usb", 7, 1, "TXR843 Disk", "t843",
                             "INQUIRY \"t843\"; 12-byte chip info, number \"8431\"");
    p.bridge.chipInfo = Info(0x48, 0x43, 1, 6, "8431", {0, 0, 0, 0});
    p.bridge.chipInfoLength = 12;
    p.bridge.flashTypeCode = 6;
    p.flashPart = "winbond-w25x05";
    rows.push_back(p);
  }
  {
    EnclosureProfile p =
        Row("txr843-1394", 7, 2, "TXR843 1394", "t843",
            "sbp2 path; INQUIRY \"t843\"; chip info number \"8432\"; block writes with erase flag");
    p.sbp2 = true;
    p.bridge.chipInfo = Info(0x48, 0x43, 1, 7, "8432", {1, 7, 2, 0});
    p.bridge.flashTypeCode = 6;
    p.bridge.plainBlockWrite = true;
    p.flashPart = "winbond-w25x05";
    rows.push_back(p);
  }
  // --- 8 and 9: TXR845/846 ---------------------------------------------------------------
  {
    EnclosureProfile p = Row("txr846", 8, 0, "TXR846 Disk", "t846",
                             "INQUIRY \"t846\"; block commands; flash marker \"846\" at 0x1000");
    p.bridge.chipInfo = Info(0x48, 0x46, 8, 3, "8460", {1, 16, 0, 0});
    p.bridge.flashTypeCode = 8;
    p.bridge.blockCommands = true;
    p.bridge.memory = {ReleaseBits7038()};
    // An EON part whose 64 KB block erase fits the EON erase geometry (the
    // 64-KB EN25P05 erases 32 KB with 0xD8 and has no sector erase).
    p.flashPart = "eon-en25f80";
    rows.push_back(p);
  }
  {
    EnclosureProfile p =
        Row("txr845", 8, 0, "TXR845 Disk", "t845", "INQUIRY \"t845\"; block commands");
    p.bridge.chipInfo = Info(0x48, 0x45, 8, 1, "8450", {2, 16, 0, 0});
    p.bridge.flashTypeCode = 6;
    p.bridge.blockCommands = true;
    p.bridge.memory = {ReleaseBits7038()};
    p.flashPart = "winbond-w25x10";
    rows.push_back(p);
  }
  {
    EnclosureProfile p =
        Row("txr845-info", 8, 3, "TXR845 Disk", "", "no INQUIRY code; chip info number \"8453\"");
    p.bridge.chipInfo = Info(0x48, 0x45, 8, 2, "8453", {3, 16, 0, 0});
    p.bridge.flashTypeCode = 1;
    p.bridge.blockCommands = true;
    p.flashPart = "pmc-25lv010";
    rows.push_back(p);
  }
  {
    EnclosureProfile p = Row("txr846-b", 9, 0, "TXR846 Disk", "t846",
                             "as txr846 (code 9 shares its chip; identification yields 8)");
    p.identifiedType = 8;
    p.bridge.chipInfo = Info(0x48, 0x46, 8, 4, "8460", {4, 16, 0, 0});
    p.bridge.flashTypeCode = 4;
    p.bridge.blockCommands = true;
    p.bridge.memory = {ReleaseBits7038()};
    p.flashPart = "atmel-at25fs010";
    rows.push_back(p);
  }
  // --- 10: TXR847 ----------------------------------------------------------------------------
  {
    EnclosureProfile p =
        Row("txr847-mxic32", 10, 1, "TXR847 Disk", "t847",
            "INQUIRY \"t847\"; ID string \"t48470\"; host sets opcodes and 32-byte pages");
    p.bridge.idString = "t48470.2";
    p.bridge.chipInfo = Info(0x48, 0x47, 1, 2, "8471", {1, 2, 3, 4});
    p.bridge.engineConfig = true;
    p.bridge.knowsFlashPart = false;
    p.flashPart = "mxic-c22210-p32";
    rows.push_back(p);
  }
  {
    EnclosureProfile p = Row("txr847-sst", 10, 2, "TXR847 Disk", "t847",
                             "INQUIRY \"t847\"; ID string \"t48471\"; SST flash with JEDEC BF 25");
    p.bridge.idString = "t48471.2";
    p.bridge.chipInfo = Info(0x48, 0x47, 1, 3, "8472", {1, 3, 0, 0});
    p.bridge.engineConfig = true;
    p.bridge.knowsFlashPart = false;
    p.flashPart = "sst-25vf016b";
    rows.push_back(p);
  }
  // --- 11: TXV961/929 ------------------------------------------------------------------------
  {
    EnclosureProfile p = Row("txv961", 11, 0, "TXV961 Disk", "t961",
                             "INQUIRY \"t961\"; 0xFDB0 level 0x20; 0x505E mode; 0x506A probe bit");
    p.bridge.chipInfo = Info(0x49, 0x61, 9, 20, "9610", {1, 16, 1, 0});
    p.bridge.flashTypeCode = 5;
    p.bridge.engineConfig = true;
    p.bridge.blockCommands = true;
    p.bridge.probeBit506A = true;
    p.bridge.memory = {ReleaseBits7038(), Mem(0x505E, {0x00, 0x00, 0x01, 0x00}),
                       Mem(0xFDB0, {0x00, 0x20, 0x00, 0x00})};
    p.flashPart = "mxic-mx25l8005";
    p.controllerInfo = ControllerInfo(0x49, 0x61, 0x49, 0x61, {1, 16, 1, 0, 0, 0, 0, 0});
    p.disk = Disk(625142448);
    rows.push_back(p);
  }
  {
    EnclosureProfile p = Row("txv961-l5", 11, 5, "TXV961 Disk", "t961",
                             "INQUIRY \"t961\"; 0xFDB0 level 0xB4 (sub-code 5); kind 3 reported");
    p.bridge.chipInfo = Info(0x49, 0x61, 9, 21, "9610", {1, 16, 0, 0});
    p.bridge.flashTypeCode = 3;
    p.bridge.engineConfig = true;
    p.bridge.blockCommands = true;
    p.bridge.memory = {ReleaseBits7038(), Mem(0x505E, {0x00, 0x01, 0x00, 0x00}),
                       Mem(0xFDB0, {0x00, 0xB4, 0x00, 0x00})};
    p.flashPart = "mxic-c22211-p32";
    p.controllerInfo = ControllerInfo(0x49, 0x61, 0x49, 0x61, {1, 16, 0, 0, 0, 0, 0, 0});
    p.disk = Disk(625142448);
    rows.push_back(p);
  }
  // --- 12 and 16: TXV929 and TXV927 --------------------------------------------------------
  {
    EnclosureProfile p =
        Row("txv929", 12, 0, "TXV929 Disk", "t929",
            "INQUIRY \"t929\"; two sound banks; resets itself; release from parameter byte 19");
    p.bridge.chipInfo = Info(0x49, 0x29, 1, 0, "9290", {1, 2, 3, 4});
    p.bridge.flashTypeCode = 6;
    p.bridge.engineConfig = true;
    p.bridge.pageSize16 = true;
    p.bridge.blockCommands = true;
    p.bridge.resets = true;
    p.bridge.answersParameters = true;
    p.bridge.parameters[8] = 0x01;
    p.bridge.parameters[19] = 0x01;
    p.bridge.memory = {Mem(0x70F0, {0x00, 0x00, 0x00, 0x01})};
    p.flashPart = "winbond-w25x10";
    p.controllerInfo = ControllerInfo(0x49, 0x29, 0x49, 0x29, {1, 2, 3, 4, 0, 0, 0, 0});
    p.disk = Disk(976773168);
    rows.push_back(p);
  }
  {
    EnclosureProfile p = Row("txv929-bank1-damaged", 12, 0, "TXV929 Disk", "t929",
                             "as txv929, second firmware bank damaged");
    p.bridge = BridgeOf(rows, "txv929");
    p.flashPart = "winbond-w25x10";
    p.controllerInfo = ControllerInfo(0x49, 0x29, 0x49, 0x29, {1, 2, 3, 4, 0, 0, 0, 0});
    p.disk = Disk(976773168);
    p.damagedBank1 = true;
    rows.push_back(p);
  }
  // Bank variants for the repair: the first bank damaged, both damaged, and a
  // first bank that names the TXV927.
  for (const char* variant : {"bank0-damaged", "banks-damaged", "bank0-wrong-number"}) {
    const std::string name = std::string("txv929-") + variant;
    EnclosureProfile p = Row(name, 12, 0, "TXV929 Disk", "t929",
                             std::string("as txv929, ") +
                                 (name == "txv929-bank0-damaged"    ? "first firmware bank damaged"
                                  : name == "txv929-banks-damaged" ? "both firmware banks damaged"
                                                                   : "first bank names chip 927"));
    p.bridge = BridgeOf(rows, "txv929");
    p.flashPart = "winbond-w25x10";
    p.controllerInfo = ControllerInfo(0x49, 0x29, 0x49, 0x29, {1, 2, 3, 4, 0, 0, 0, 0});
    p.disk = Disk(976773168);
    p.damagedBank0 = name != "txv929-bank0-wrong-number";
    p.damagedBank1 = name == "txv929-banks-damaged";
    if (name == "txv929-bank0-wrong-number") p.bank0ChipNumber = "9270";
    rows.push_back(p);
  }
  {
    EnclosureProfile p = Row("txv927", 16, 0, "TXV927 Disk", "t927",
                             "INQUIRY \"t927\"; flash marker \"927\" at 0x7FF0; resets itself");
    p.bridge.chipInfo = Info(0x49, 0x27, 1, 0, "9270", {2, 3, 4, 5});
    p.bridge.flashTypeCode = 11;
    p.bridge.engineConfig = true;
    p.bridge.pageSize16 = true;
    p.bridge.blockCommands = true;
    p.bridge.resets = true;
    p.bridge.memory = {Mem(0x70F0, {0x00, 0x00, 0x00, 0x01})};
    p.flashPart = "gd-gd25q10";
    p.controllerInfo = ControllerInfo(0x49, 0x27, 0x49, 0x27, {2, 3, 4, 5, 0, 0, 0, 0});
    p.disk = Disk(488378646, 4096);  // a 4 KB-sector disk
    rows.push_back(p);
  }
  {
    EnclosureProfile p = Row("txv929-hdd", 12, 0, "TXV929 Disk", "t929",
                             "as txv929 without a serial flash (kind 0): its bank lives on the disk");
    p.bridge = BridgeOf(rows, "txv929");
    p.bridge.flashTypeCode = 0;
    p.controllerInfo = ControllerInfo(0x49, 0x29, 0x49, 0x29, {1, 2, 3, 4, 0, 0, 0, 0});
    p.disk = Disk(976773168);
    rows.push_back(p);
  }
  // --- 13, 14, 15: bridges behind a storage controller ----------------------------------------
  {
    EnclosureProfile p = Row("txv929-txr847", 13, 0, "TXV929 Disk", "t929",
                             "txv929 with a TXR847 behind the controller (\"<<847>> \" entry)");
    p.bridge = BridgeOf(rows, "txv929");
    p.identifiedType = 12;
    p.flashPart = "winbond-w25x10";
    p.controllerInfo = ControllerInfo(0x49, 0x29, 0x48, 0x47, {1, 2, 3, 4, 5, 6, 7, 0});
    p.behind = BehindBridge{"TXR847", 13, "mxic-c22210-p32", 5};
    p.disk = Disk(1953525168);
    rows.push_back(p);
  }
  {
    EnclosureProfile p = Row("txv961-txr842", 14, 0, "TXV961 Disk", "t961",
                             "txv961 with a TXR842 behind the controller (\"<<842>> \" entry)");
    p.bridge = BridgeOf(rows, "txv961");
    p.identifiedType = 11;
    p.flashPart = "mxic-mx25l8005";
    p.controllerInfo = ControllerInfo(0x49, 0x61, 0x48, 0x42, {2, 1, 0, 0, 0, 0, 0, 0});
    p.behind = BehindBridge{"TXR842", 14, "winbond-w25x10", 6};
    p.disk = Disk(625142448);
    rows.push_back(p);
  }
  {
    EnclosureProfile p = Row("txv929-txr842", 15, 0, "TXV929 Disk", "t929",
                             "txv929 with a TXR842 behind the controller (\"<<842>> \" entry)");
    p.bridge = BridgeOf(rows, "txv929");
    p.identifiedType = 12;
    p.flashPart = "winbond-w25x10";
    p.controllerInfo = ControllerInfo(0x49, 0x29, 0x48, 0x42, {2, 2, 0, 0, 0, 0, 0, 0});
    p.behind = BehindBridge{"TXR842", 15, "eon-en25p05", 8};
    p.disk = Disk(1953525168);
    rows.push_back(p);
  }
  // --- 17: TXR659 -----------------------------------------------------------------------------
  {
    EnclosureProfile p =
        Row("txr659-a", 17, 1, "TXR659 Disk", "t659",
            "INQUIRY \"t659\"; ID string \"t659A0\"; AMIC flash; flash marker at 0x4000");
    p.bridge.idString = "t659A0.3";
    p.bridge.chipInfo = Info(0x46, 0x59, 3, 1, "6590", {3, 1, 5, 0});
    p.bridge.flashTypeCode = 7;
    p.bridge.memory = {ReleaseBits7038()};
    p.flashPart = "amic-a25l05pu";
    rows.push_back(p);
  }
  {
    EnclosureProfile p =
        Row("txr659-c", 17, 4, "TXR659 Disk", "t659",
            "INQUIRY \"t659\"; ID string \"t659A3\" (sub-code 4: host sets the opcodes)");
    p.bridge.idString = "t659A3.3";
    p.bridge.chipInfo = Info(0x46, 0x59, 3, 2, "6593", {3, 2, 0, 0});
    p.bridge.engineConfig = true;
    p.bridge.knowsFlashPart = false;
    p.bridge.memory = {ReleaseBits7038()};
    p.flashPart = "esmt-f25l01pa";
    rows.push_back(p);
  }
  // --- 20..23: older chips told apart by the variant word, and "t778"
  // -----------------------------
  for (auto [name, type, variant, product] :
       {std::tuple{"tx40777-legacy", 20, 0x00, "TX40777 Disk"},
        std::tuple{"tx40778-legacy", 21, 0x20, "TX40778 Disk"},
        std::tuple{"tx40779-legacy", 22, 0x40, "TX40779 Disk"},
        std::tuple{"tx40775-legacy", 23, 0x60, "TX40775 Disk"}}) {
    EnclosureProfile p = Row(name, static_cast<std::uint8_t>(type), 0, product, "",
                             "no INQUIRY code; chip info without signature; variant word 0x" +
                                 std::string(1, "0246"[variant >> 5]) + "0");
    p.bridge.chipInfo = {};  // answers, but without the signature
    p.bridge.variant = {static_cast<std::uint8_t>(variant | 0x01), 0x00};
    p.bridge.bus = FlashBus::None;
    rows.push_back(p);
  }
  {
    EnclosureProfile p = Row("tx40778", 21, 0, "TX40778 Disk", "t778", "INQUIRY \"t778\"");
    p.bridge.chipInfo = Info(0x47, 0x78, 1, 1, "7780", {1, 1, 0, 0});
    p.bridge.bus = FlashBus::None;
    rows.push_back(p);
  }
  // --- variants of the rows above with other flash parts or register values,
  // so that every rule of the 16 KB-page and SST updates has an enclosure ------
  auto variant = [&rows](const char* base, std::string name, std::string answers) {
    EnclosureProfile p = rows.front();
    for (const EnclosureProfile& r : rows)
      if (r.name == base) p = r;
    p.name = std::move(name);
    p.answers = p.answers + "; " + answers;
    return p;
  };
  {
    EnclosureProfile p = variant("txr842", "txr842-atmel", "ATMEL flash found by its own probe");
    p.bridge.flashTypeCode = 4;
    p.flashPart = "atmel-at25f512";
    rows.push_back(p);
  }
  {
    EnclosureProfile p = variant("txr847-mxic32", "txr847-atmel", "ATMEL flash");
    p.flashPart = "atmel-at25f1024";
    rows.push_back(p);
  }
  {
    EnclosureProfile p = variant("txr847-sst", "txr847-sst-byte",
                                 "SST flash without JEDEC answer (byte AAI)");
    p.flashPart = "sst-25vf512";
    rows.push_back(p);
  }
  {
    EnclosureProfile p = variant("txv961", "txv961-page", "0x505E not in mode (00 01 00 00)");
    p.bridge.memory = {ReleaseBits7038(), Mem(0x505E, {0x00, 0x01, 0x00, 0x00}),
                       Mem(0xFDB0, {0x00, 0x20, 0x00, 0x00})};
    rows.push_back(p);
  }
  {
    EnclosureProfile p =
        variant("txv961-l5", "txv961-l5-sst", "SST flash with JEDEC BF 25, kind 2 reported");
    p.bridge.flashTypeCode = 2;
    p.flashPart = "sst-25vf016b";
    rows.push_back(p);
  }
  {
    EnclosureProfile p = variant("txr659-c", "txr659-sst", "SST flash with JEDEC BF 25");
    p.flashPart = "sst-25vf016b";
    rows.push_back(p);
  }
  {
    EnclosureProfile p = variant("tx40779-e", "tx40779-e-sst", "SST flash with JEDEC BF 25");
    p.flashPart = "sst-25vf016b";
    rows.push_back(p);
  }
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
