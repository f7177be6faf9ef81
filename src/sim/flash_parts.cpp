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

// Typical and maximum busy time in milliseconds (fractions allowed).
BusyTime Ms(double typical, double maximum) {
  return {static_cast<std::uint32_t>(typical * 1000 + 0.5),
          static_cast<std::uint32_t>(maximum * 1000 + 0.5)};
}
BusyTime Us(std::uint32_t typical, std::uint32_t maximum) { return {typical, maximum}; }

EraseCommand Chip(std::uint8_t opcode, BusyTime time) { return {opcode, 0, {}, time}; }
EraseCommand Unit(std::uint8_t opcode, std::uint32_t kb, BusyTime time) {
  return {opcode, kb * kKb, {}, time};
}
EraseCommand Boot(std::uint8_t opcode, std::vector<std::uint32_t> kbFromBottom, BusyTime time) {
  for (std::uint32_t& kb : kbFromBottom) kb *= kKb;
  return {opcode, 0, std::move(kbFromBottom), time};
}

// The status write cycle of the parts that have one (tW).
constexpr BusyTime kStatusWrite{10000, 15000};

FlashPart Part(std::string name, std::string chip, std::uint8_t maker, std::uint32_t sizeKb,
               Bytes jedec, std::vector<EraseCommand> erase, BusyTime pageProgram) {
  FlashPart p;
  p.name = std::move(name);
  p.chip = std::move(chip);
  p.maker = maker;
  p.sizeKb = sizeKb;
  p.answer9F = std::move(jedec);
  p.erase = std::move(erase);
  p.pageProgram = pageProgram;
  p.statusWriteTime = kStatusWrite;
  return p;
}

// A row no real chip backs: it answers one identification row of the host.
FlashPart StandIn(std::string name, std::string row, std::uint8_t maker, std::uint32_t sizeKb,
                  Bytes jedec, std::vector<EraseCommand> erase, BusyTime pageProgram) {
  FlashPart p = Part(std::move(name), "", maker, sizeKb, std::move(jedec), std::move(erase),
                     pageProgram);
  p.standInFor = std::move(row);
  return p;
}

FlashPart WithMask(FlashPart p, std::uint8_t protectMask) {
  p.protectMask = protectMask;
  return p;
}

// The electronic signature (0xAB): three dummy bytes, then the device byte
// for as long as the clock runs.
FlashPart WithRes(FlashPart p, std::uint8_t device) {
  p.answerAB = {0xFF, 0xFF, 0xFF, device, device, device};
  return p;
}

// The signature and the maker/device pair (0x90, address 0).
FlashPart WithResAndRems(FlashPart p, std::uint8_t maker, std::uint8_t device) {
  p = WithRes(std::move(p), device);
  p.answer90 = AfterDummies({maker, device});
  return p;
}

// PMC: every erase takes about 40 ms; PMC bridges erase 4 KB sectors with
// 0xD7, which every PMC part takes.
const BusyTime kPmcErase = Ms(40, 120);
const BusyTime kPmcPage = Ms(2, 6);
FlashPart Pmc(std::string name, std::string chip, std::uint32_t kb, Bytes jedec,
              std::vector<EraseCommand> erase, std::uint8_t protectMask) {
  FlashPart p = Part(std::move(name), std::move(chip), kMakerPmc, kb, std::move(jedec),
                     std::move(erase), kPmcPage);
  p.protectMask = protectMask;
  p.engineSectorErase = 0xD7;
  return p;
}

// SST 25-series: byte program only (one-byte buffer), AAI with its status
// flag, 0x52 32 KB blocks; identified by 0x90 / 0xAB. Their status write has
// no write cycle.
FlashPart Sst(std::string name, std::string chip, std::uint32_t kb, Bytes jedec,
              std::uint8_t device, std::vector<EraseCommand> erase, AaiMode aai,
              StatusWriteEnable statusWrite, std::uint8_t protectMask, std::uint8_t powerUp,
              BusyTime byteProgram) {
  FlashPart p = Part(std::move(name), std::move(chip), kMakerSst, kb, std::move(jedec),
                     std::move(erase), byteProgram);
  p.answer90 = AfterDummies({0xBF, device});
  p.answerAB = AfterDummies({0xBF, device});
  p.pageSize = 1;
  p.aai = aai;
  p.aaiStatusFlag = true;
  p.statusWriteTime = {};
  p.statusWrite = statusWrite;
  p.protectMask = protectMask;
  p.powerUpProtection = powerUp;
  p.engineChipErase = 0x60;
  p.engineBlockErase = 0x52;
  p.engineProgram = aai == AaiMode::Word ? 0xAD : 0xAF;
  return p;
}

// The first ATMEL serial parts: no JEDEC answer, 0x15 identification, 0x62
// chip erase and 0x52 32 KB sectors; they program about 75 us per byte.
FlashPart OldAtmel(std::string name, std::string chip, std::uint32_t kb, std::uint8_t device,
                   std::uint32_t pageSize, std::uint8_t protectMask) {
  const double sectors = kb / 32.0;
  FlashPart p = Part(std::move(name), std::move(chip), kMakerAtmel, kb, {},
                     {Unit(0x52, 32, Ms(1000, 3000)), Chip(0x62, Ms(1000 * sectors, 3000 * sectors))},
                     Ms(0.075 * pageSize, 0.225 * pageSize));
  p.answer15 = {0x1F, device, 0x1F, device};
  p.pageSize = pageSize;
  p.protectMask = protectMask;
  p.engineChipErase = 0x62;
  p.engineBlockErase = 0x52;
  p.engineSectorErase = 0x52;
  return p;
}

// M25P parts: a sector erase (0xD8) and a bulk erase.
FlashPart M25p(std::string name, std::string chip, std::uint32_t kb, Bytes jedec,
               std::uint32_t sectorKb, BusyTime bulk, BusyTime page) {
  return WithMask(Part(std::move(name), std::move(chip), kMakerStEonMxic, kb, std::move(jedec),
                       {Unit(0xD8, sectorKb, Ms(1000, 3000)), Chip(0xC7, bulk)}, page),
                  0x3C);
}

// Macronix: 4 KB sectors, 64 KB blocks by 0x52 or 0xD8, chip erase by 0x60
// or 0xC7.
const BusyTime kMxicPage = Ms(1.4, 5);
std::vector<EraseCommand> Mxic(BusyTime chip) {
  return {Unit(0x20, 4, Ms(60, 120)), Unit(0x52, 64, Ms(1000, 2000)),
          Unit(0xD8, 64, Ms(1000, 2000)), Chip(0x60, chip), Chip(0xC7, chip)};
}

// The MXIC 32-byte-page row: the 4 KB / 64 KB erase set with a 32-byte
// program buffer.
FlashPart Mxic32(std::string name, std::uint32_t kb, std::uint8_t capacity, BusyTime chip) {
  FlashPart p = StandIn(std::move(name), "MXIC C2 22 10/11/13: 32-byte pages", kMakerMxic, kb,
                        {0xC2, 0x22, capacity},
                        {Unit(0x20, 4, Ms(60, 120)), Unit(0xD8, 64, Ms(1000, 2000)),
                         Chip(0x60, chip), Chip(0xC7, chip)},
                        kMxicPage);
  p.pageSize = 32;
  return p;
}

// Winbond W25X: 4 KB sectors, 64 KB blocks, chip erase by 0xC7 only.
const BusyTime kW25xPage = Ms(1.5, 3);
std::vector<EraseCommand> W25x(BusyTime chip) {
  return {Unit(0x20, 4, Ms(150, 300)), Unit(0xD8, 64, Ms(1000, 2000)), Chip(0xC7, chip)};
}

// Chip erase times of the uniform 4 KB / 64 KB parts by size, from the EON
// EN25F / EN25LF data sheets (3 s for 256 KB, 5 s for 512 KB typical).
BusyTime ChipEraseBySize(std::uint32_t kb) {
  const double typical = kb <= 64 ? 1 : kb <= 128 ? 2 : kb <= 256 ? 3 : kb <= 512 ? 5 : 10;
  return Ms(typical * 1000, typical * 3000);
}

std::vector<EraseCommand> Uniform4k64k(std::uint32_t kb, BusyTime sector, BusyTime block) {
  const BusyTime chip = ChipEraseBySize(kb);
  return {Unit(0x20, 4, sector), Unit(0xD8, 64, block), Chip(0x60, chip), Chip(0xC7, chip)};
}

// GigaDevice GD25Q: 4 KB, 32 KB (0x52) and 64 KB units.
const BusyTime kGdPage = Ms(0.7, 2.4);
std::vector<EraseCommand> Gd25q(std::uint32_t kb, bool block64) {
  const BusyTime chip = kb <= 64 ? Ms(500, 1500) : kb <= 128 ? Ms(1000, 3000) : Ms(2000, 6000);
  std::vector<EraseCommand> e{Unit(0x20, 4, Ms(50, 150)), Unit(0x52, 32, Ms(150, 450))};
  if (block64) e.push_back(Unit(0xD8, 64, Ms(250, 750)));
  e.push_back(Chip(0x60, chip));
  e.push_back(Chip(0xC7, chip));
  return e;
}

void AddPmc(std::vector<FlashPart>& parts) {
  parts.push_back(Pmc("pmc-25ld512", "Pm25LD512", 64, {0x7F, 0x9D, 0x20},
                      {Unit(0x20, 4, kPmcErase), Unit(0xD7, 4, kPmcErase),
                       Unit(0xD8, 32, kPmcErase), Chip(0x60, kPmcErase), Chip(0xC7, kPmcErase)},
                      0x1C));
  parts.push_back(Pmc("pmc-25lv010", "Pm25LV010A", 128, {0x7F, 0x9D, 0x7C},
                      {Unit(0xD7, 4, kPmcErase), Unit(0xD8, 32, kPmcErase),
                       Chip(0xC7, kPmcErase)},
                      0x0C));
  parts.back().answerAB = AfterDummies({0x9D, 0x7C});  // as the Pm25LV010 answers
  parts.push_back(Pmc("pmc-25lv020", "Pm25LV020", 256, {0x7F, 0x9D, 0x7D},
                      {Unit(0xD7, 4, kPmcErase), Unit(0xD8, 64, kPmcErase),
                       Chip(0xC7, kPmcErase)},
                      0x1C));
  // No JEDEC answer: identifies only through 0xAB.
  FlashPart p = Pmc("pmc-25lv512-res", "Pm25LV512", 64, {},
                    {Unit(0xD7, 4, kPmcErase), Unit(0xD8, 32, kPmcErase), Chip(0xC7, kPmcErase)},
                    0x0C);
  p.answerAB = AfterDummies({0x9D, 0x7B});
  parts.push_back(p);
}

void AddSst(std::vector<FlashPart>& parts) {
  const BusyTime sstUnit = Ms(18, 25);
  const std::vector<EraseCommand> sstSmall{Unit(0x20, 4, sstUnit), Unit(0x52, 32, sstUnit),
                                           Chip(0x60, Ms(70, 100))};
  const std::vector<EraseCommand> sstB{Unit(0x20, 4, sstUnit), Unit(0x52, 32, sstUnit),
                                       Unit(0xD8, 64, sstUnit), Chip(0x60, Ms(35, 50)),
                                       Chip(0xC7, Ms(35, 50))};
  parts.push_back(Sst("sst-25vf512", "SST25VF512", 64, {}, 0x48, sstSmall, AaiMode::Byte,
                      StatusWriteEnable::Ewsr, 0x0C, 0x0C, Us(14, 20)));
  parts.push_back(Sst("sst-25vf010", "SST25VF010", 128, {}, 0x49, sstSmall, AaiMode::Byte,
                      StatusWriteEnable::Ewsr, 0x0C, 0x0C, Us(14, 20)));
  parts.push_back(Sst("sst-25vf016b", "SST25VF016B", 2048, {0xBF, 0x25, 0x41}, 0x41, sstB,
                      AaiMode::Word, StatusWriteEnable::Either, 0x3C, 0x1C, Us(7, 10)));
  parts.push_back(Sst("sst-25vf032b", "SST25VF032B", 4096, {0xBF, 0x25, 0x4A}, 0x4A, sstB,
                      AaiMode::Word, StatusWriteEnable::Ewsr, 0x3C, 0x1C, Us(7, 10)));
}

// ST/EON/MXIC (the makers the chips report as one kind): no 4 KB sectors.
// The JEDEC parts keep the one-byte signature for older hosts.
void AddStEonMxic(std::vector<FlashPart>& parts) {
  parts.push_back(WithRes(M25p("st-m25p05", "M25P05-A", 64, {0x20, 0x20, 0x10}, 32,
                               Ms(2500, 7500), Ms(1.4, 5)),
                          0x05));
  parts.push_back(WithRes(M25p("st-m25p10", "M25P10-A", 128, {0x20, 0x20, 0x11}, 32,
                               Ms(1700, 5100), Ms(1.4, 5)),
                          0x10));
  parts.push_back(WithRes(M25p("st-m25p80", "M25P80", 1024, {0x20, 0x20, 0x14}, 64,
                               Ms(10000, 20000), Ms(1.4, 5)),
                          0x13));
  // Electronic signature only, and 128-byte pages.
  FlashPart p = WithRes(M25p("st-m25p05-res", "M25P05", 64, {}, 32, Ms(2000, 6000), Ms(3, 9)),
                        0x05);
  p.pageSize = 128;
  parts.push_back(p);
}

// ATMEL. The AT25F512 answers 1F 60 as the AT25F1024 does; the AT25F512A
// answers 1F 65 and has a 128-byte buffer.
void AddAtmel(std::vector<FlashPart>& parts) {
  parts.push_back(OldAtmel("atmel-at25f512", "AT25F512", 64, 0x60, 256, 0x0C));
  parts.push_back(OldAtmel("atmel-at25f512a", "AT25F512A", 64, 0x65, 128, 0x04));
  parts.push_back(OldAtmel("atmel-at25f1024", "AT25F1024", 128, 0x60, 256, 0x0C));
  parts.push_back(WithMask(
      Part("atmel-at25fs010", "AT25FS010", kMakerAtmel, 128, {0x1F, 0x66, 0x01},
           {Unit(0x20, 4, Ms(100, 300)), Unit(0xD7, 4, Ms(100, 300)), Unit(0x52, 32, Ms(500, 1500)),
            Unit(0xD8, 32, Ms(500, 1500)), Chip(0x60, Ms(2000, 6000)), Chip(0xC7, Ms(2000, 6000))},
           Ms(2.5, 7.5)),
      0x6C));
  parts.push_back(Part("atmel-at25f512b", "AT25F512B", kMakerAtmel, 64, {0x1F, 0x65, 0x01},
                       {Unit(0x20, 4, Ms(100, 300)), Unit(0x52, 32, Ms(500, 1500)),
                        Unit(0xD8, 32, Ms(500, 1500)), Chip(0x60, Ms(1000, 3000)),
                        Chip(0xC7, Ms(1000, 3000)), Chip(0x62, Ms(1000, 3000))},
                       Ms(2.5, 7.5)));
}

void AddMxic(std::vector<FlashPart>& parts) {
  parts.push_back(WithRes(WithMask(Part("mxic-mx25l512", "MX25L512", kMakerMxic, 64,
                                        {0xC2, 0x20, 0x10}, Mxic(Ms(1000, 2000)), kMxicPage),
                                   0x0C),
                          0x05));
  parts.push_back(WithRes(Part("mxic-mx25l8005", "MX25L8005", kMakerMxic, 1024,
                               {0xC2, 0x20, 0x14}, Mxic(Ms(8000, 20000)), kMxicPage),
                          0x13));
  // The first MX25L1605 erases 64 KB with 0x20 as with 0xD8 (the A, D and E
  // versions have 4 KB sectors).
  parts.push_back(WithRes(
      Part("mxic-mx25l1605", "MX25L1605", kMakerMxic, 2048, {0xC2, 0x20, 0x15},
           {Unit(0x20, 64, Ms(1000, 2000)), Unit(0xD8, 64, Ms(1000, 2000)),
            Chip(0x60, Ms(15000, 30000)), Chip(0xC7, Ms(15000, 30000))},
           kMxicPage),
      0x14));
  parts.push_back(Mxic32("mxic-c22210-p32", 64, 0x10, Ms(1000, 2000)));
  parts.push_back(Mxic32("mxic-c22211-p32", 128, 0x11, Ms(2000, 4000)));
  parts.push_back(Mxic32("mxic-c22213-p32", 512, 0x13, Ms(5000, 15000)));
}

// WINBOND. The W25X05 has 32 KB blocks and takes 0x60 as well.
void AddWinbond(std::vector<FlashPart>& parts) {
  parts.push_back(WithResAndRems(
      Part("winbond-w25x05", "W25X05", kMakerWinbond, 64, {0xEF, 0x30, 0x10},
           {Unit(0x20, 4, Ms(150, 300)), Unit(0x52, 32, Ms(500, 1500)),
            Unit(0xD8, 64, Ms(1000, 2000)), Chip(0x60, ChipEraseBySize(64)),
            Chip(0xC7, ChipEraseBySize(64))},
           kW25xPage),
      0xEF, 0x05));
  // W25X10 .. W25X80: JEDEC capacity byte 0x11 .. 0x14, the signature one below it.
  const struct {
    const char* name;
    const char* chip;
    std::uint32_t kb;
    std::uint8_t capacity;
  } w25x[] = {{"winbond-w25x10", "W25X10", 128, 0x11},
              {"winbond-w25x20", "W25X20", 256, 0x12},
              {"winbond-w25x40", "W25X40", 512, 0x13},
              {"winbond-w25x80", "W25X80", 1024, 0x14}};
  for (const auto& w : w25x) {
    parts.push_back(WithResAndRems(Part(w.name, w.chip, kMakerWinbond, w.kb,
                                        {0xEF, 0x30, w.capacity}, W25x(ChipEraseBySize(w.kb)),
                                        kW25xPage),
                                   0xEF, static_cast<std::uint8_t>(w.capacity - 1)));
  }
  parts.push_back(StandIn("winbond-ef4010", "WINBOND EF 40 10: the default 64 KB", kMakerWinbond,
                          64, {0xEF, 0x40, 0x10},
                          Uniform4k64k(64, Ms(150, 300), Ms(1000, 2000)), kW25xPage));
}

// AMIC: the P parts erase by boot-sector layout, 0xD8 only.
void AddAmic(std::vector<FlashPart>& parts) {
  const BusyTime amicPage = Ms(1.5, 5);
  const BusyTime amicSector = Ms(1000, 3000);
  parts.push_back(WithMask(Part("amic-a25l05pu", "A25L05PU", kMakerAmic, 64,
                                {0x7F, 0x37, 0x20, 0x10},
                                {Boot(0xD8, {4, 4, 8, 16, 32}, amicSector),
                                 Chip(0xC7, Ms(1000, 3000))},
                                amicPage),
                           0x0C));
  FlashPart pt = WithMask(Part("amic-a25l05pt", "A25L05PT", kMakerAmic, 64,
                               {0x7F, 0x37, 0x20, 0x20},
                               {Boot(0xD8, {32, 16, 8, 4, 4}, amicSector),
                                Chip(0xC7, Ms(1000, 3000))},
                               amicPage),
                          0x0C);
  pt.answerAB = {0xFF, 0xFF, 0xFF, 0x05, 0x05, 0x05};
  parts.push_back(pt);
  parts.push_back(WithMask(Part("amic-a25l10pt", "A25L10PT", kMakerAmic, 128,
                                {0x7F, 0x37, 0x20, 0x21},
                                {Boot(0xD8, {64, 32, 16, 8, 4, 4}, amicSector),
                                 Chip(0xC7, Ms(2000, 6000))},
                                amicPage),
                           0x0C));
  parts.push_back(Part("amic-a25l080", "A25L080", kMakerAmic, 1024, {0x37, 0x30, 0x14},
                       {Unit(0x20, 4, Ms(150, 450)), Unit(0xD8, 64, Ms(1000, 3000)),
                        Chip(0xC7, ChipEraseBySize(1024))},
                       amicPage));
}

void AddEonAndEsmt(std::vector<FlashPart>& parts) {
  const BusyTime eonPage = Ms(1.5, 4.5);
  parts.push_back(Part("eon-en25p05", "EN25P05", kMakerEon, 64, {0x1C, 0x20, 0x10},
                       {Unit(0xD8, 32, Ms(800, 2400)), Chip(0xC7, Ms(1000, 3000))}, eonPage));
  parts.push_back(Part("eon-en25f80", "EN25F80", kMakerEon, 1024, {0x1C, 0x31, 0x14},
                       Uniform4k64k(1024, Ms(150, 450), Ms(800, 2400)), eonPage));
  parts.push_back(Part("esmt-f25l01pa", "F25L01PA", kMakerEsmt, 128, {0x8C, 0x30, 0x11},
                       {Unit(0x20, 4, Ms(90, 270)), Unit(0xD8, 64, Ms(750, 2250)),
                        Chip(0x60, Ms(1000, 3000)), Chip(0xC7, Ms(1000, 3000))},
                       Ms(1.5, 4.5)));
}

// SANYO: sector erase 0xD7. The real part has no JEDEC answer and gives its
// IDs through 0xAB; the stand-in answers the host's SANYO row.
void AddSanyo(std::vector<FlashPart>& parts) {
  const std::vector<EraseCommand> sanyo{Unit(0xD7, 4, Ms(150, 450)),
                                        Unit(0xD8, 64, Ms(1000, 3000)),
                                        Chip(0xC7, ChipEraseBySize(256))};
  FlashPart real = WithMask(
      Part("sanyo-le25fu206", "LE25FU206", kMakerSanyo, 256, {}, sanyo, Ms(1.5, 4.5)), 0x0C);
  real.answerAB = AfterDummies({0x62, 0x44});
  real.engineSectorErase = 0xD7;
  parts.push_back(real);
  FlashPart standIn = StandIn("sanyo-6206-res44", "SANYO 62 with 0xAB answer 44: 256 KB",
                              kMakerSanyo, 256, {0x62, 0x06, 0x12}, sanyo, Ms(1.5, 4.5));
  standIn.answerAB = {0xFF, 0xFF, 0xFF, 0x44, 0x44, 0x44};
  standIn.engineSectorErase = 0xD7;
  parts.push_back(standIn);
}

// GIGADEVICE: the 512-Kbit part has no 64 KB block erase.
void AddGigaDevice(std::vector<FlashPart>& parts) {
  parts.push_back(WithMask(Part("gd-gd25q512", "GD25Q512", kMakerGigaDevice, 64,
                                {0xC8, 0x40, 0x10}, Gd25q(64, false), kGdPage),
                           0x7C));
  parts.push_back(WithMask(Part("gd-gd25q10", "GD25Q10", kMakerGigaDevice, 128,
                                {0xC8, 0x40, 0x11}, Gd25q(128, true), kGdPage),
                           0x7C));
  parts.push_back(WithMask(Part("gd-gd25q40", "GD25Q40", kMakerGigaDevice, 512,
                                {0xC8, 0x40, 0x13}, Gd25q(512, true), kGdPage),
                           0x7C));
}

// By maker, in the order of the flash type codes.
std::vector<FlashPart> BuildCatalogue() {
  std::vector<FlashPart> parts;
  for (auto add : {AddPmc, AddSst, AddStEonMxic, AddAtmel, AddMxic, AddWinbond, AddAmic,
                   AddEonAndEsmt, AddSanyo, AddGigaDevice})
    add(parts);
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

std::uint32_t BusyUs(const BusyTime& time, BusyTimes which) {
  return which == BusyTimes::Maximum ? time.maximumUs : time.typicalUs;
}

std::uint32_t FlashPart::EraseUs(std::uint8_t opcode, BusyTimes which) const {
  const EraseCommand* e = FindErase(opcode);
  return e == nullptr ? 0 : BusyUs(e->time, which);
}

std::uint32_t FlashPart::EraseMs(std::uint8_t opcode, BusyTimes which) const {
  return (EraseUs(opcode, which) + 999) / 1000;
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

void AddFlashFault(std::vector<FlashFault>& faults, const FlashFault& fault,
                   std::uint8_t& stuckBits, bool& stuckBusy) {
  if (fault.kind == FlashFault::Kind::BitsDoNotProgram && fault.times == 0)
    stuckBits |= fault.mask;
  if (fault.kind == FlashFault::Kind::StaysBusy && fault.atOperation <= 0) stuckBusy = true;
  faults.push_back(fault);
  faults.back().used = 0;
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
