#include "identify/flash_id.h"

#include "chips/names.h"

namespace identify {

namespace {

// First matching JEDEC rule wins; b1 = -1 means "any second byte".
struct JedecRule {
  std::uint8_t b0;
  int b1;
  int maker;
};

constexpr JedecRule kJedecRules[] = {
    {0x7F, 0x37, kFlashAmic}, {0x37, 0x30, kFlashAmic}, {0x1F, -1, kFlashAtmel},
    {0xC2, -1, kFlashMxic},   {0xEF, -1, kFlashWinbond}, {0x20, -1, kFlashStEonMxic},
    {0x1C, -1, kFlashEon},    {0x8C, -1, kFlashEsmt},    {0x7F, 0x9D, kFlashPmc},
    {0x62, -1, kFlashSanyo},  {0xC8, -1, kFlashGigadevice},
};

bool Read(const SpiReader& spi, std::uint8_t opcode, std::uint8_t* out, std::uint32_t n) {
  for (std::uint32_t i = 0; i < 6; ++i) out[i] = 0;
  return spi && spi(opcode, out, n);
}

// Sizes that double per step of the third answer byte from 0x10.
std::uint32_t Doubling(std::uint8_t b2, std::uint8_t last) {
  if (b2 < 0x10 || b2 > last) return 0;
  return 64u << (b2 - 0x10);
}

}  // namespace

int FlashMakerFromJedec(const std::uint8_t* b, FlashDescriptor& d) {
  for (const JedecRule& rule : kJedecRules) {
    if (b[0] != rule.b0) continue;
    if (rule.b1 >= 0 && b[1] != rule.b1) continue;
    if (rule.maker == kFlashSanyo) d.sectorEraseOpcode = 0xD7;
    return rule.maker;
  }
  return 0;
}

bool IdentifyFlashWith(const SpiReader& spi, const IdBytesReader* idBytes, FlashDescriptor& d,
                       bool* answered) {
  d = FlashDescriptor{};
  bool all = true;  // every read so far was answered
  const auto read = [&](std::uint8_t opcode, std::uint8_t* out) {
    const bool ok = Read(spi, opcode, out, 4);
    all = all && ok;
    return ok;
  };
  bool scratch = true;
  bool& outcome = answered != nullptr ? *answered : scratch;
  // A rule that matched rests on an answer; only a search that came up empty
  // depends on every read having been answered.
  outcome = true;
  std::uint8_t b[6];
  if (!read(0x9F, b)) {  // no answer at all: maker 0, nothing to probe
    outcome = false;
    return true;
  }
  int maker = FlashMakerFromJedec(b, d);
  if (maker != 0) {
    d.flashMaker = static_cast<std::uint8_t>(maker);
    return true;
  }

  if (read(0x90, b) && b[3] == 0xBF) {
    d.flashMaker = kFlashSst;
    d.chipEraseOpcode = 0x60;
    d.blockEraseOpcode = 0x52;
    d.programOpcode = 0xAF;
    return true;
  }
  if (read(0xAB, b) && (b[3] == 0x9D || b[3] == 0x05)) {
    d.flashMaker = b[3] == 0x9D ? kFlashPmc : kFlashStEonMxic;
    return true;
  }
  auto atmelOld = [&d] {
    d.flashMaker = kFlashAtmel;
    d.chipEraseOpcode = 0x62;
    d.blockEraseOpcode = 0x52;
    d.programOpcode = 0x02;
  };
  if (read(0x15, b) && b[0] == 0x1F) {
    atmelOld();
    return true;
  }
  if (idBytes == nullptr || !*idBytes) {
    outcome = all;
    return false;
  }

  const auto readIdBytes = [&](std::uint8_t opcode, int flag) {
    for (int i = 0; i < 6; ++i) b[i] = 0;
    const bool ok = (*idBytes)(opcode, flag, b);
    all = all && ok;
    return ok;
  };
  if (readIdBytes(0x15, 0) && b[0] == 0x1F) {
    atmelOld();
    return true;
  }
  if (readIdBytes(0xAB, 1) && b[0] == 0x05) {
    d.flashMaker = kFlashStEonMxic;
    return true;
  }
  outcome = all;
  return false;
}

std::uint32_t FlashSizeKbWith(const SpiReader& spi, int maker, bool ok, const std::uint8_t* b) {
  const std::uint32_t size = KnownFlashSizeKbWith(spi, maker, ok, b);
  return size == 0 ? 64 : size;
}

std::uint32_t KnownFlashSizeKbWith(const SpiReader& spi, int maker, bool ok,
                                   const std::uint8_t* b) {
  std::uint8_t f[6];
  std::uint32_t size = 0;
  switch (maker) {
    case kFlashPmc:
      if (ok && b[0] == 0x7F && b[1] == 0x9D) {
        if (b[2] == 0x20) size = 64;
        else if (b[2] == 0x21 || b[2] == 0x7C) size = 128;
        else if (b[2] == 0x22 || b[2] == 0x7D) size = 256;
      } else if (Read(spi, 0xAB, f, 6) && f[3] == 0x9D && f[4] == 0x7B) {
        size = 64;
      }
      break;
    case kFlashSst:
      if (ok && b[0] == 0xBF) {
        if (b[2] == 0x41) size = 2048;
        else if (b[2] == 0x4A) size = 4096;
      } else if (Read(spi, 0xAB, f, 6) && f[3] == 0xBF) {
        if (f[4] == 0x48) size = 64;
        else if (f[4] == 0x49) size = 128;
      }
      break;
    case kFlashStEonMxic:
      if (ok && b[0] == 0x20) {
        size = Doubling(b[2], 0x16);
      } else if (Read(spi, 0xAB, f, 4) && f[0] == 0xFF && f[3] == 0x05) {
        size = 64;
      }
      break;
    case kFlashAtmel:
      // 1F 60 from 0x15 names the 128 KB AT25F1024 and, as the parts are
      // sold, the 64 KB AT25F512 too. Sized 128 KB, an image larger than an
      // AT25F512 passes the size check and wraps onto its first half after
      // the erase; sized 64 KB, nothing is ever written past either part.
      if (ok && b[0] == 0x1F) {
        if (b[1] == 0x65) size = 64;
        else if (b[1] == 0x66) size = 128;
      }
      break;
    case kFlashMxic:
      if (ok && b[0] == 0xC2 && (b[1] == 0x20 || b[1] == 0x22)) size = Doubling(b[2], 0x17);
      break;
    case kFlashWinbond:
      if (ok && b[0] == 0xEF) {
        if (b[2] >= 0x11 && b[2] <= 0x14) size = 128u << (b[2] - 0x11);
      }
      break;
    case kFlashAmic:
      if (ok && b[0] == 0x37) {
        size = Doubling(b[2], 0x16);
      } else if (ok && b[0] == 0x7F && b[1] == 0x37) {
        if (b[3] == 0x20) size = 64;
        else if (b[3] == 0x21) size = 128;
        else if (b[3] == 0x22) size = 256;
        else if (b[3] == 0x14) size = 1024;
      }
      break;
    case kFlashEon:
      if (ok && b[0] == 0x1C) size = Doubling(b[2], 0x17);
      break;
    case kFlashEsmt:
      if (ok && b[0] == 0x8C && b[1] == 0x30 && b[2] == 0x11) size = 128;
      break;
    case kFlashSanyo:
      if (ok && b[0] == 0x62 && Read(spi, 0xAB, f, 4) && f[3] == 0x44) size = 256;
      break;
    case kFlashGigadevice:
      if (ok && b[0] == 0xC8 && b[1] == 0x40) {
        if (b[2] >= 0x10 && b[2] <= 0x13) size = 64u << (b[2] - 0x10);
      }
      break;
    default:
      break;
  }
  return size;
}

bool ReadFlashSizeWith(const SpiReader& spi, const IdBytesReader* idBytes, FlashDescriptor& d,
                       bool* answered) {
  bool identified = true;
  if (d.flashMaker == 0) IdentifyFlashWith(spi, idBytes, d, &identified);
  std::uint8_t b[6];
  const bool ok = Read(spi, 0x9F, b, 4);
  const std::uint32_t size = KnownFlashSizeKbWith(spi, d.flashMaker, ok, b);
  d.sizeKb = size == 0 ? 64 : size;
  if (answered != nullptr) *answered = identified && ok;
  return size != 0;
}

bool NeedsPageSize32(const std::uint8_t* b) {
  return b[0] == 0xC2 && b[1] == 0x22 && (b[2] == 0x10 || b[2] == 0x11 || b[2] == 0x13);
}

bool IsSstJedec25(const std::uint8_t* b) { return b[0] == 0xBF && b[1] == 0x25; }

}  // namespace identify
