#include "sim/flash_parts.h"

#include <utility>

namespace sim {

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kKb = 1024;

// Three clocks of address or dummy bytes during which the part drives nothing.
Bytes AfterDummies(Bytes id) {
  Bytes out{0xFF, 0xFF, 0xFF};
  for (int repeat = 0; repeat < 2; ++repeat) out.insert(out.end(), id.begin(), id.end());
  return out;
}

EraseCommand Chip(std::uint8_t opcode) { return {opcode, 0, {}}; }
EraseCommand Unit(std::uint8_t opcode, std::uint32_t kb) { return {opcode, kb * kKb, {}}; }
EraseCommand Boot(std::uint8_t opcode, std::vector<std::uint32_t> kbFromBottom) {
  for (std::uint32_t& kb : kbFromBottom) kb *= kKb;
  return {opcode, 0, std::move(kbFromBottom)};
}

// The erase sets the catalogue's chips share.
std::vector<EraseCommand> Uniform4k64k() {  // 0x20 4 KB, 0xD8 64 KB, 0x60 / 0xC7 chip
  return {Unit(0x20, 4), Unit(0xD8, 64), Chip(0x60), Chip(0xC7)};
}
std::vector<EraseCommand> Gd25q() {  // 0x52 32 KB blocks besides the 4 KB and 64 KB units
  return {Unit(0x20, 4), Unit(0x52, 32), Unit(0xD8, 64), Chip(0x60), Chip(0xC7)};
}

FlashPart Part(std::string name, std::string chip, std::uint8_t maker, std::uint32_t sizeKb,
               Bytes jedec, std::vector<EraseCommand> erase) {
  FlashPart p;
  p.name = std::move(name);
  p.chip = std::move(chip);
  p.maker = maker;
  p.sizeKb = sizeKb;
  p.answer9F = std::move(jedec);
  p.erase = std::move(erase);
  if (sizeKb >= 2048) p.timing.chipEraseMs = 3000;
  return p;
}

// A row no real chip backs: it answers one identification row of the host.
FlashPart StandIn(std::string name, std::string row, std::uint8_t maker, std::uint32_t sizeKb,
                  Bytes jedec, std::vector<EraseCommand> erase) {
  FlashPart p = Part(std::move(name), "", maker, sizeKb, std::move(jedec), std::move(erase));
  p.standInFor = std::move(row);
  return p;
}

// PMC bridges erase 4 KB sectors with 0xD7, which every PMC part takes.
FlashPart Pmc(std::string name, std::string chip, std::uint32_t kb, Bytes jedec,
              std::vector<EraseCommand> erase, std::uint8_t protectMask) {
  FlashPart p = Part(std::move(name), std::move(chip), kMakerPmc, kb, std::move(jedec),
                     std::move(erase));
  p.protectMask = protectMask;
  p.engineSectorErase = 0xD7;
  return p;
}

// SST 25-series: byte program only (one-byte buffer), AAI with its status
// flag, 0x52 32 KB blocks; identified by 0x90 / 0xAB.
FlashPart Sst(std::string name, std::string chip, std::uint32_t kb, Bytes jedec,
              std::uint8_t device, std::vector<EraseCommand> erase, AaiMode aai,
              StatusWriteEnable statusWrite, std::uint8_t protectMask) {
  FlashPart p = Part(std::move(name), std::move(chip), kMakerSst, kb, std::move(jedec),
                     std::move(erase));
  p.answer90 = AfterDummies({0xBF, device});
  p.answerAB = AfterDummies({0xBF, device});
  p.pageSize = 1;
  p.aai = aai;
  p.aaiStatusFlag = true;
  p.statusWrite = statusWrite;
  p.protectMask = protectMask;
  p.engineChipErase = 0x60;
  p.engineBlockErase = 0x52;
  p.engineProgram = aai == AaiMode::Word ? 0xAD : 0xAF;
  return p;
}

// The first ATMEL serial parts: no JEDEC answer, 0x15 identification, 0x62
// chip erase and 0x52 32 KB sectors.
FlashPart OldAtmel(std::string name, std::string chip, std::uint32_t kb, std::uint8_t device,
                   std::uint32_t pageSize, std::uint8_t protectMask) {
  FlashPart p = Part(std::move(name), std::move(chip), kMakerAtmel, kb, {},
                     {Unit(0x52, 32), Chip(0x62)});
  p.answer15 = {0x1F, device, 0x1F, device};
  p.pageSize = pageSize;
  p.protectMask = protectMask;
  p.engineChipErase = 0x62;
  p.engineBlockErase = 0x52;
  p.engineSectorErase = 0x52;
  return p;
}

// The MXIC 32-byte-page row: MXIC's erase set with a 32-byte program buffer.
FlashPart Mxic32(std::string name, std::uint32_t kb, std::uint8_t capacity) {
  FlashPart p = StandIn(std::move(name), "MXIC C2 22 10/11/13: 32-byte pages", kMakerMxic, kb,
                        {0xC2, 0x22, capacity}, Uniform4k64k());
  p.pageSize = 32;
  return p;
}

FlashPart WithMask(FlashPart p, std::uint8_t protectMask) {
  p.protectMask = protectMask;
  return p;
}

std::vector<FlashPart> BuildCatalogue() {
  std::vector<FlashPart> parts;
  // PMC
  parts.push_back(Pmc("pmc-25ld512", "Pm25LD512", 64, {0x7F, 0x9D, 0x20},
                      {Unit(0x20, 4), Unit(0xD7, 4), Unit(0xD8, 32), Chip(0x60), Chip(0xC7)},
                      0x1C));
  parts.push_back(Pmc("pmc-25lv010", "Pm25LV010A", 128, {0x7F, 0x9D, 0x7C},
                      {Unit(0xD7, 4), Unit(0xD8, 32), Chip(0xC7)}, 0x0C));
  parts.push_back(Pmc("pmc-25lv020", "Pm25LV020", 256, {0x7F, 0x9D, 0x7D},
                      {Unit(0xD7, 4), Unit(0xD8, 64), Chip(0xC7)}, 0x1C));
  {
    // No JEDEC answer: identifies only through 0xAB.
    FlashPart p = Pmc("pmc-25lv512-res", "Pm25LV512", 64, {},
                      {Unit(0xD7, 4), Unit(0xD8, 32), Chip(0xC7)}, 0x0C);
    p.answerAB = AfterDummies({0x9D, 0x7B});
    parts.push_back(p);
  }
  // SST
  const std::vector<EraseCommand> sstSmall{Unit(0x20, 4), Unit(0x52, 32), Chip(0x60)};
  const std::vector<EraseCommand> sstB{Unit(0x20, 4), Unit(0x52, 32), Unit(0xD8, 64), Chip(0x60),
                                       Chip(0xC7)};
  parts.push_back(Sst("sst-25vf512", "SST25VF512", 64, {}, 0x48, sstSmall, AaiMode::Byte,
                      StatusWriteEnable::Ewsr, 0x0C));
  parts.push_back(Sst("sst-25vf010", "SST25VF010", 128, {}, 0x49, sstSmall, AaiMode::Byte,
                      StatusWriteEnable::Ewsr, 0x0C));
  parts.push_back(Sst("sst-25vf016b", "SST25VF016B", 2048, {0xBF, 0x25, 0x41}, 0x41, sstB,
                      AaiMode::Word, StatusWriteEnable::Either, 0x3C));
  parts.push_back(Sst("sst-25vf032b", "SST25VF032B", 4096, {0xBF, 0x25, 0x4A}, 0x4A, sstB,
                      AaiMode::Word, StatusWriteEnable::Ewsr, 0x3C));
  // ST/EON/MXIC (the makers the chips report as one kind): no 4 KB sectors.
  parts.push_back(WithMask(Part("st-m25p05", "M25P05-A", kMakerStEonMxic, 64, {0x20, 0x20, 0x10},
                                {Unit(0xD8, 32), Chip(0xC7)}),
                           0x3C));
  parts.push_back(WithMask(Part("st-m25p10", "M25P10-A", kMakerStEonMxic, 128,
                                {0x20, 0x20, 0x11}, {Unit(0xD8, 32), Chip(0xC7)}),
                           0x3C));
  parts.push_back(WithMask(Part("st-m25p80", "M25P80", kMakerStEonMxic, 1024, {0x20, 0x20, 0x14},
                                {Unit(0xD8, 64), Chip(0xC7)}),
                           0x3C));
  {
    // Electronic signature only.
    FlashPart p = WithMask(Part("st-m25p05-res", "M25P05", kMakerStEonMxic, 64, {},
                                {Unit(0xD8, 32), Chip(0xC7)}),
                           0x3C);
    p.answerAB = {0xFF, 0xFF, 0xFF, 0x05, 0x05, 0x05};
    parts.push_back(p);
  }
  // ATMEL. AT25F512 and AT25F512A answer alike; the A part has a 128-byte buffer.
  parts.push_back(OldAtmel("atmel-at25f512", "AT25F512", 64, 0x65, 256, 0x0C));
  parts.push_back(OldAtmel("atmel-at25f512a", "AT25F512A", 64, 0x65, 128, 0x04));
  parts.push_back(OldAtmel("atmel-at25f1024", "AT25F1024", 128, 0x60, 256, 0x0C));
  parts.push_back(WithMask(
      Part("atmel-at25fs010", "AT25FS010", kMakerAtmel, 128, {0x1F, 0x66, 0x01},
           {Unit(0x20, 4), Unit(0xD7, 4), Unit(0x52, 32), Unit(0xD8, 32), Chip(0x60), Chip(0xC7)}),
      0x6C));
  parts.push_back(Part(
      "atmel-at25f512b", "AT25F512B", kMakerAtmel, 64, {0x1F, 0x65, 0x01},
      {Unit(0x20, 4), Unit(0x52, 32), Unit(0xD8, 32), Chip(0x60), Chip(0xC7), Chip(0x62)}));
  // MXIC
  parts.push_back(WithMask(
      Part("mxic-mx25l512", "MX25L512", kMakerMxic, 64, {0xC2, 0x20, 0x10}, Uniform4k64k()), 0x0C));
  parts.push_back(
      Part("mxic-mx25l8005", "MX25L8005", kMakerMxic, 1024, {0xC2, 0x20, 0x14}, Uniform4k64k()));
  parts.push_back(
      Part("mxic-mx25l1605", "MX25L1605", kMakerMxic, 2048, {0xC2, 0x20, 0x15}, Uniform4k64k()));
  parts.push_back(Mxic32("mxic-c22210-p32", 64, 0x10));
  parts.push_back(Mxic32("mxic-c22211-p32", 128, 0x11));
  parts.push_back(Mxic32("mxic-c22213-p32", 512, 0x13));
  // WINBOND
  parts.push_back(
      Part("winbond-w25x05", "W25X05", kMakerWinbond, 64, {0xEF, 0x30, 0x10}, Uniform4k64k()));
  parts.push_back(
      Part("winbond-w25x10", "W25X10", kMakerWinbond, 128, {0xEF, 0x30, 0x11}, Uniform4k64k()));
  parts.push_back(
      Part("winbond-w25x20", "W25X20", kMakerWinbond, 256, {0xEF, 0x30, 0x12}, Uniform4k64k()));
  parts.push_back(
      Part("winbond-w25x40", "W25X40", kMakerWinbond, 512, {0xEF, 0x30, 0x13}, Uniform4k64k()));
  parts.push_back(
      Part("winbond-w25x80", "W25X80", kMakerWinbond, 1024, {0xEF, 0x30, 0x14}, Uniform4k64k()));
  parts.push_back(StandIn("winbond-ef4010", "WINBOND EF 40 10: the default 64 KB", kMakerWinbond,
                          64, {0xEF, 0x40, 0x10}, Uniform4k64k()));
  // AMIC: the P parts erase by boot-sector layout, 0xD8 only.
  parts.push_back(WithMask(Part("amic-a25l05pu", "A25L05PU", kMakerAmic, 64,
                                {0x7F, 0x37, 0x20, 0x10},
                                {Boot(0xD8, {4, 4, 8, 16, 32}), Chip(0xC7)}),
                           0x0C));
  {
    FlashPart p = WithMask(Part("amic-a25l05pt", "A25L05PT", kMakerAmic, 64,
                                {0x7F, 0x37, 0x20, 0x20},
                                {Boot(0xD8, {32, 16, 8, 4, 4}), Chip(0xC7)}),
                           0x0C);
    p.answerAB = {0xFF, 0xFF, 0xFF, 0x05, 0x05, 0x05};
    parts.push_back(p);
  }
  parts.push_back(WithMask(Part("amic-a25l10pt", "A25L10PT", kMakerAmic, 128,
                                {0x7F, 0x37, 0x20, 0x21},
                                {Boot(0xD8, {64, 32, 16, 8, 4, 4}), Chip(0xC7)}),
                           0x0C));
  parts.push_back(Part("amic-a25l080", "A25L080", kMakerAmic, 1024, {0x37, 0x30, 0x14},
                       {Unit(0x20, 4), Unit(0xD8, 64), Chip(0xC7)}));
  // EON
  parts.push_back(Part("eon-en25p05", "EN25P05", kMakerEon, 64, {0x1C, 0x20, 0x10},
                       {Unit(0xD8, 32), Chip(0xC7)}));
  parts.push_back(
      Part("eon-en25f80", "EN25F80", kMakerEon, 1024, {0x1C, 0x31, 0x14}, Uniform4k64k()));
  // ESMT
  parts.push_back(
      Part("esmt-f25l01pa", "F25L01PA", kMakerEsmt, 128, {0x8C, 0x30, 0x11}, Uniform4k64k()));
  // SANYO: sector erase 0xD7. The real part has no JEDEC answer and gives its
  // IDs through 0xAB; the stand-in answers the host's SANYO row.
  {
    FlashPart p = WithMask(Part("sanyo-le25fu206", "LE25FU206", kMakerSanyo, 256, {},
                                {Unit(0xD7, 4), Unit(0xD8, 64), Chip(0xC7)}),
                           0x0C);
    p.answerAB = AfterDummies({0x62, 0x44});
    p.engineSectorErase = 0xD7;
    parts.push_back(p);
  }
  {
    FlashPart p = StandIn("sanyo-6206-res44", "SANYO 62 with 0xAB answer 44: 256 KB", kMakerSanyo,
                          256, {0x62, 0x06, 0x12}, {Unit(0xD7, 4), Unit(0xD8, 64), Chip(0xC7)});
    p.answerAB = {0xFF, 0xFF, 0xFF, 0x44, 0x44, 0x44};
    p.engineSectorErase = 0xD7;
    parts.push_back(p);
  }
  // GIGADEVICE: the 512-Kbit part has no 64 KB block erase.
  parts.push_back(WithMask(Part("gd-gd25q512", "GD25Q512", kMakerGigaDevice, 64,
                                {0xC8, 0x40, 0x10},
                                {Unit(0x20, 4), Unit(0x52, 32), Chip(0x60), Chip(0xC7)}),
                           0x7C));
  parts.push_back(WithMask(
      Part("gd-gd25q10", "GD25Q10", kMakerGigaDevice, 128, {0xC8, 0x40, 0x11}, Gd25q()), 0x7C));
  parts.push_back(WithMask(
      Part("gd-gd25q40", "GD25Q40", kMakerGigaDevice, 512, {0xC8, 0x40, 0x13}, Gd25q()), 0x7C));
  return parts;
}

// Names parts had before they were named for the chip their IDs belong to (or
// for the identification row they stand in for).
const std::pair<const char*, const char*> kFormerNames[] = {
    {"pmc-25lv512", "pmc-25ld512"},
    {"atmel-at26f004", "atmel-at25f512b"},
    {"mxic-mx25v512-p32", "mxic-c22210-p32"},
    {"mxic-mx25v1006-p32", "mxic-c22211-p32"},
    {"mxic-mx25v4006-p32", "mxic-c22213-p32"},
    {"amic-a25l512-boot", "amic-a25l05pu"},
    {"amic-a25l05p", "amic-a25l05pt"},
    {"amic-a25l010", "amic-a25l10pt"},
    {"sanyo-le25fw206", "sanyo-6206-res44"},
};

}  // namespace

const EraseCommand* FlashPart::FindErase(std::uint8_t opcode) const {
  for (const EraseCommand& e : erase)
    if (e.opcode == opcode) return &e;
  return nullptr;
}

EraseRange FlashPart::EraseRangeAt(std::uint8_t opcode, std::uint32_t address) const {
  const EraseCommand* e = FindErase(opcode);
  const std::uint32_t size = sizeBytes();
  if (e == nullptr || size == 0) return {};
  if (e->wholeChip()) return {0, size};
  address %= size;
  if (e->layout.empty()) {
    const std::uint32_t unit = e->unit < size ? e->unit : size;
    return {address / unit * unit, unit};
  }
  std::uint32_t start = 0;
  for (std::uint32_t length : e->layout) {
    if (address < start + length) return {start, length};
    start += length;
  }
  return {};  // past a layout shorter than the part: nothing there to erase
}

const std::vector<FlashPart>& FlashParts() {
  static const std::vector<FlashPart> parts = BuildCatalogue();
  return parts;
}

const FlashPart* FindFlashPart(const std::string& name) {
  std::string key = name;
  for (const auto& [former, current] : kFormerNames)
    if (key == former) key = current;
  for (const FlashPart& p : FlashParts())
    if (p.name == key) return &p;
  return nullptr;
}

bool FlashFault::ActsOn(Kind what, std::uint32_t start, std::size_t n, std::size_t size) const {
  if (kind != what || n == 0) return false;
  if (times > 0) {
    if (used >= times) return false;
    bool touches = length == 0;
    for (std::size_t i = 0; i < n && !touches; ++i) {
      const std::uint32_t a = static_cast<std::uint32_t>((start + i) % size);
      touches = a >= address && a - address < length;
    }
    if (!touches) return false;
    ++used;
  }
  return true;
}

}  // namespace sim
