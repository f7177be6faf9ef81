#include "identify/flash_id.h"

#include <array>

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

namespace {

// The identification reads of one search, and whether every one was answered.
struct IdReads {
  const SpiReader& spi;
  const IdBytesReader* idBytes;
  bool all = true;
  std::uint8_t b[6] = {};

  bool Spi(std::uint8_t opcode) { return Note(Read(spi, opcode, b, 4)); }
  bool IdBytes(std::uint8_t opcode, int flag) {
    for (int i = 0; i < 6; ++i) b[i] = 0;
    return Note((*idBytes)(opcode, flag, b));
  }
  bool Note(bool ok) {
    all = all && ok;
    return ok;
  }
};

void SetOlderAtmel(FlashDescriptor& d) {
  d.flashMaker = kFlashAtmel;
  d.chipEraseOpcode = 0x62;
  d.blockEraseOpcode = 0x52;
  d.programOpcode = 0x02;
}

// The older identification reads, once no JEDEC rule knew the answer.
bool IdentifyByOlderReads(IdReads& r, FlashDescriptor& d) {
  if (r.Spi(0x90) && r.b[3] == 0xBF) {
    d.flashMaker = kFlashSst;
    d.chipEraseOpcode = 0x60;
    d.blockEraseOpcode = 0x52;
    d.programOpcode = 0xAF;
    return true;
  }
  if (r.Spi(0xAB) && (r.b[3] == 0x9D || r.b[3] == 0x05)) {
    d.flashMaker = r.b[3] == 0x9D ? kFlashPmc : kFlashStEonMxic;
    return true;
  }
  if (r.Spi(0x15) && r.b[0] == 0x1F) {
    SetOlderAtmel(d);
    return true;
  }
  if (r.idBytes == nullptr || !*r.idBytes) return false;
  if (r.IdBytes(0x15, 0) && r.b[0] == 0x1F) {
    SetOlderAtmel(d);
    return true;
  }
  if (r.IdBytes(0xAB, 1) && r.b[0] == 0x05) {
    d.flashMaker = kFlashStEonMxic;
    return true;
  }
  return false;
}

}  // namespace

bool IdentifyFlashWith(const SpiReader& spi, const IdBytesReader* idBytes, FlashDescriptor& d,
                       bool* answered) {
  d = FlashDescriptor{};
  IdReads reads{spi, idBytes};
  bool scratch = true;
  bool& outcome = answered != nullptr ? *answered : scratch;
  // A rule that matched rests on an answer; only a search that came up empty
  // depends on every read having been answered.
  outcome = true;
  if (!reads.Spi(0x9F)) {  // no answer at all: maker 0, nothing to probe
    outcome = false;
    return true;
  }
  const int maker = FlashMakerFromJedec(reads.b, d);
  if (maker != 0) {
    d.flashMaker = static_cast<std::uint8_t>(maker);
    return true;
  }
  if (IdentifyByOlderReads(reads, d)) return true;
  outcome = reads.all;
  return false;
}

std::uint32_t FlashSizeKbWith(const SpiReader& spi, int maker, bool ok, const std::uint8_t* b) {
  const std::uint32_t size = KnownFlashSizeKbWith(spi, maker, ok, b);
  return size == 0 ? 64 : size;
}

namespace {

// Each kind's sizing rule: b is the JEDEC answer, ok whether that read was
// answered; fallback reads go through spi. 0 when the rule knows no size.
using SizeRule = std::uint32_t (*)(const SpiReader& spi, bool ok, const std::uint8_t* b);

std::uint32_t PmcSizeKb(const SpiReader& spi, bool ok, const std::uint8_t* b) {
  if (ok && b[0] == 0x7F && b[1] == 0x9D) {
    if (b[2] == 0x20) return 64;
    if (b[2] == 0x21 || b[2] == 0x7C) return 128;
    if (b[2] == 0x22 || b[2] == 0x7D) return 256;
    return 0;
  }
  std::uint8_t f[6];
  return Read(spi, 0xAB, f, 6) && f[3] == 0x9D && f[4] == 0x7B ? 64 : 0;
}

std::uint32_t SstSizeKb(const SpiReader& spi, bool ok, const std::uint8_t* b) {
  if (ok && b[0] == 0xBF) return b[2] == 0x41 ? 2048 : b[2] == 0x4A ? 4096 : 0;
  std::uint8_t f[6];
  if (!Read(spi, 0xAB, f, 6) || f[3] != 0xBF) return 0;
  return f[4] == 0x48 ? 64 : f[4] == 0x49 ? 128 : 0;
}

std::uint32_t StEonMxicSizeKb(const SpiReader& spi, bool ok, const std::uint8_t* b) {
  if (ok && b[0] == 0x20) return Doubling(b[2], 0x16);
  std::uint8_t f[6];
  return Read(spi, 0xAB, f, 4) && f[0] == 0xFF && f[3] == 0x05 ? 64 : 0;
}

// 1F 60 from 0x15 names the 128 KB AT25F1024 and, as the parts are sold, the
// 64 KB AT25F512 too. Sized 128 KB, an image larger than an AT25F512 passes
// the size check and wraps onto its first half after the erase; sized 64 KB,
// nothing is ever written past either part.
std::uint32_t AtmelSizeKb(const SpiReader&, bool ok, const std::uint8_t* b) {
  if (!ok || b[0] != 0x1F) return 0;
  return b[1] == 0x65 ? 64 : b[1] == 0x66 ? 128 : 0;
}

std::uint32_t MxicSizeKb(const SpiReader&, bool ok, const std::uint8_t* b) {
  return ok && b[0] == 0xC2 && (b[1] == 0x20 || b[1] == 0x22) ? Doubling(b[2], 0x17) : 0;
}

std::uint32_t WinbondSizeKb(const SpiReader&, bool ok, const std::uint8_t* b) {
  return ok && b[0] == 0xEF && b[2] >= 0x11 && b[2] <= 0x14 ? 128u << (b[2] - 0x11) : 0;
}

std::uint32_t AmicSizeKb(const SpiReader&, bool ok, const std::uint8_t* b) {
  if (!ok) return 0;
  if (b[0] == 0x37) return Doubling(b[2], 0x16);
  if (b[0] != 0x7F || b[1] != 0x37) return 0;
  switch (b[3]) {
    case 0x20: return 64;
    case 0x21: return 128;
    case 0x22: return 256;
    case 0x14: return 1024;
    default: return 0;
  }
}

std::uint32_t EonSizeKb(const SpiReader&, bool ok, const std::uint8_t* b) {
  return ok && b[0] == 0x1C ? Doubling(b[2], 0x17) : 0;
}

std::uint32_t EsmtSizeKb(const SpiReader&, bool ok, const std::uint8_t* b) {
  return ok && b[0] == 0x8C && b[1] == 0x30 && b[2] == 0x11 ? 128 : 0;
}

std::uint32_t SanyoSizeKb(const SpiReader& spi, bool ok, const std::uint8_t* b) {
  std::uint8_t f[6];
  return ok && b[0] == 0x62 && Read(spi, 0xAB, f, 4) && f[3] == 0x44 ? 256 : 0;
}

std::uint32_t GigaDeviceSizeKb(const SpiReader&, bool ok, const std::uint8_t* b) {
  return ok && b[0] == 0xC8 && b[1] == 0x40 && b[2] >= 0x10 && b[2] <= 0x13
             ? 64u << (b[2] - 0x10)
             : 0;
}

struct SizeRow {
  device::FlashKind kind;
  SizeRule size;
};

constexpr std::array<SizeRow, kFlashTypeCount> kSizeRules = {{
    {device::FlashKind::Unknown, nullptr},
    {device::FlashKind::Pmc, PmcSizeKb},
    {device::FlashKind::Sst, SstSizeKb},
    {device::FlashKind::StEonMxic, StEonMxicSizeKb},
    {device::FlashKind::Atmel, AtmelSizeKb},
    {device::FlashKind::Mxic, MxicSizeKb},
    {device::FlashKind::Winbond, WinbondSizeKb},
    {device::FlashKind::Amic, AmicSizeKb},
    {device::FlashKind::Eon, EonSizeKb},
    {device::FlashKind::Esmt, EsmtSizeKb},
    {device::FlashKind::Sanyo, SanyoSizeKb},
    {device::FlashKind::GigaDevice, GigaDeviceSizeKb},
}};

constexpr bool SizeRulesInKindOrder() {
  for (int code = 0; code < kFlashTypeCount; ++code)
    if (device::Code(kSizeRules[static_cast<std::size_t>(code)].kind) != code) return false;
  return true;
}
static_assert(SizeRulesInKindOrder(), "sizing rules out of flash kind order");

}  // namespace

std::uint32_t KnownFlashSizeKbWith(const SpiReader& spi, int maker, bool ok,
                                   const std::uint8_t* b) {
  if (!IsKnownFlashType(maker)) return 0;
  const SizeRule size = kSizeRules[static_cast<std::size_t>(maker)].size;
  return size == nullptr ? 0 : size(spi, ok, b);
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
