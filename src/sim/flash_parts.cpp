#include "sim/flash_parts.h"

namespace sim {

namespace {

using Bytes = std::vector<std::uint8_t>;

// Three clocks of address or dummy bytes during which the part drives nothing.
Bytes AfterDummies(Bytes id) {
  Bytes out{0xFF, 0xFF, 0xFF};
  for (int repeat = 0; repeat < 2; ++repeat) out.insert(out.end(), id.begin(), id.end());
  return out;
}

FlashPart Part(std::string name, std::uint8_t maker, std::uint32_t sizeKb, Bytes jedec) {
  FlashPart p;
  p.name = std::move(name);
  p.maker = maker;
  p.sizeKb = sizeKb;
  p.answer9F = std::move(jedec);
  // Geometry as the host's erase bookkeeping expects it for the maker.
  switch (maker) {
    case kMakerPmc:
    case kMakerSst:
      p.blockSize = 0x8000;
      p.sectorSize = 0x1000;
      break;
    case kMakerStEonMxic:
    case kMakerAtmel:
    case kMakerEon:
      p.blockSize = 0x10000;
      p.sectorSize = 0x8000;
      break;
    default:
      p.blockSize = 0x10000;
      p.sectorSize = 0x1000;
      break;
  }
  if (p.blockSize > p.sizeBytes()) p.blockSize = p.sizeBytes();
  if (sizeKb >= 2048) p.timing.chipEraseMs = 3000;
  return p;
}

FlashPart Pmc(std::string name, std::uint32_t kb, Bytes jedec) {
  FlashPart p = Part(std::move(name), kMakerPmc, kb, std::move(jedec));
  p.sectorEraseOps = {0xD7, 0x20};
  p.engineSectorErase = 0xD7;
  return p;
}

// SST 25-series: byte program only (one-byte buffer), AAI, 0x52 32 KB blocks,
// status writes enabled by 0x50.
FlashPart Sst(std::string name, std::uint32_t kb, Bytes jedec, std::uint8_t device, AaiMode aai) {
  FlashPart p = Part(std::move(name), kMakerSst, kb, std::move(jedec));
  p.answer90 = AfterDummies({0xBF, device});
  p.answerAB = AfterDummies({0xBF, device});
  p.pageSize = 1;
  p.blockEraseOps = {0x52};
  p.aai = aai;
  p.ewsr = true;
  p.engineChipErase = 0x60;
  p.engineBlockErase = 0x52;
  p.engineProgram = aai == AaiMode::Word ? 0xAD : 0xAF;
  return p;
}

// The first ATMEL serial parts: no JEDEC answer, 0x15 identification, 0x62
// chip erase and 0x52 32 KB sectors.
FlashPart OldAtmel(std::string name, std::uint32_t kb, std::uint8_t device) {
  FlashPart p = Part(std::move(name), kMakerAtmel, kb, {});
  p.answer15 = {0x1F, device, 0x1F, device};
  p.blockSize = 0x8000;
  p.sectorSize = 0x8000;
  p.chipEraseOps = {0x62};
  p.blockEraseOps = {0x52};
  p.sectorEraseOps = {0x52};
  p.engineChipErase = 0x62;
  p.engineBlockErase = 0x52;
  p.engineSectorErase = 0x52;
  return p;
}

FlashPart Mxic32(std::string name, std::uint32_t kb, std::uint8_t capacity) {
  FlashPart p = Part(std::move(name), kMakerMxic, kb, {0xC2, 0x22, capacity});
  p.pageSize = 32;
  return p;
}

std::vector<FlashPart> BuildCatalogue() {
  std::vector<FlashPart> parts;
  // PMC
  parts.push_back(Pmc("pmc-25lv512", 64, {0x7F, 0x9D, 0x20}));
  parts.push_back(Pmc("pmc-25lv010", 128, {0x7F, 0x9D, 0x7C}));
  parts.push_back(Pmc("pmc-25lv020", 256, {0x7F, 0x9D, 0x7D}));
  {
    FlashPart p = Pmc("pmc-25lv512-res", 64, {});  // identifies only through 0xAB
    p.answerAB = AfterDummies({0x9D, 0x7B});
    parts.push_back(p);
  }
  // SST
  parts.push_back(Sst("sst-25vf512", 64, {}, 0x48, AaiMode::Byte));
  parts.push_back(Sst("sst-25vf010", 128, {}, 0x49, AaiMode::Byte));
  parts.push_back(Sst("sst-25vf016b", 2048, {0xBF, 0x25, 0x41}, 0x41, AaiMode::Word));
  parts.push_back(Sst("sst-25vf032b", 4096, {0xBF, 0x25, 0x4A}, 0x4A, AaiMode::Word));
  // ST/EON/MXIC (the makers the chips report as one kind)
  parts.push_back(Part("st-m25p05", kMakerStEonMxic, 64, {0x20, 0x20, 0x10}));
  parts.push_back(Part("st-m25p10", kMakerStEonMxic, 128, {0x20, 0x20, 0x11}));
  parts.push_back(Part("st-m25p80", kMakerStEonMxic, 1024, {0x20, 0x20, 0x14}));
  {
    FlashPart p = Part("st-m25p05-res", kMakerStEonMxic, 64, {});  // electronic signature only
    p.answerAB = {0xFF, 0xFF, 0xFF, 0x05, 0x05, 0x05};
    parts.push_back(p);
  }
  // ATMEL
  parts.push_back(OldAtmel("atmel-at25f512", 64, 0x65));
  parts.push_back(OldAtmel("atmel-at25f1024", 128, 0x60));
  {
    FlashPart p = Part("atmel-at25fs010", kMakerAtmel, 128, {0x1F, 0x66, 0x01});
    p.sectorEraseOps = {0x52};
    parts.push_back(p);
  }
  {
    FlashPart p = Part("atmel-at26f004", kMakerAtmel, 64, {0x1F, 0x65, 0x01});
    p.sectorEraseOps = {0x52};
    parts.push_back(p);
  }
  // MXIC
  parts.push_back(Part("mxic-mx25l512", kMakerMxic, 64, {0xC2, 0x20, 0x10}));
  parts.push_back(Part("mxic-mx25l8005", kMakerMxic, 1024, {0xC2, 0x20, 0x14}));
  parts.push_back(Part("mxic-mx25l1605", kMakerMxic, 2048, {0xC2, 0x20, 0x15}));
  parts.push_back(Mxic32("mxic-mx25v512-p32", 64, 0x10));
  parts.push_back(Mxic32("mxic-mx25v1006-p32", 128, 0x11));
  parts.push_back(Mxic32("mxic-mx25v4006-p32", 512, 0x13));
  // WINBOND
  parts.push_back(Part("winbond-w25x05", kMakerWinbond, 64, {0xEF, 0x40, 0x10}));
  parts.push_back(Part("winbond-w25x10", kMakerWinbond, 128, {0xEF, 0x30, 0x11}));
  parts.push_back(Part("winbond-w25x20", kMakerWinbond, 256, {0xEF, 0x30, 0x12}));
  parts.push_back(Part("winbond-w25x40", kMakerWinbond, 512, {0xEF, 0x30, 0x13}));
  parts.push_back(Part("winbond-w25x80", kMakerWinbond, 1024, {0xEF, 0x30, 0x14}));
  // AMIC
  {
    // Bottom boot-sector part: blocks of 4, 8, 16, 4 and 32 KB.
    FlashPart p = Part("amic-a25l512-boot", kMakerAmic, 64, {0x7F, 0x37, 0x20, 0x10});
    p.blockStarts = {0x0000, 0x1000, 0x3000, 0x7000, 0x8000};
    parts.push_back(p);
  }
  parts.push_back(Part("amic-a25l05p", kMakerAmic, 64, {0x7F, 0x37, 0x20, 0x20}));
  parts.push_back(Part("amic-a25l010", kMakerAmic, 128, {0x7F, 0x37, 0x20, 0x21}));
  parts.push_back(Part("amic-a25l080", kMakerAmic, 1024, {0x37, 0x30, 0x14}));
  // EON
  parts.push_back(Part("eon-en25p05", kMakerEon, 64, {0x1C, 0x20, 0x10}));
  parts.push_back(Part("eon-en25f80", kMakerEon, 1024, {0x1C, 0x31, 0x14}));
  // ESMT
  parts.push_back(Part("esmt-f25l01pa", kMakerEsmt, 128, {0x8C, 0x30, 0x11}));
  // SANYO: sector erase 0xD7, size only from the electronic signature.
  {
    FlashPart p = Part("sanyo-le25fw206", kMakerSanyo, 256, {0x62, 0x06, 0x12});
    p.answerAB = {0xFF, 0xFF, 0xFF, 0x44, 0x44, 0x44};
    p.sectorEraseOps = {0xD7};
    p.engineSectorErase = 0xD7;
    parts.push_back(p);
  }
  // GIGADEVICE
  parts.push_back(Part("gd-gd25q512", kMakerGigaDevice, 64, {0xC8, 0x40, 0x10}));
  parts.push_back(Part("gd-gd25q10", kMakerGigaDevice, 128, {0xC8, 0x40, 0x11}));
  parts.push_back(Part("gd-gd25q40", kMakerGigaDevice, 512, {0xC8, 0x40, 0x13}));
  return parts;
}

}  // namespace

const std::vector<FlashPart>& FlashParts() {
  static const std::vector<FlashPart> parts = BuildCatalogue();
  return parts;
}

const FlashPart* FindFlashPart(const std::string& name) {
  for (const FlashPart& p : FlashParts())
    if (p.name == name) return &p;
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
