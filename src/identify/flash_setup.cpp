#include "identify/flash_setup.h"

#include "identify/display_rules.h"

namespace identify {

namespace {

constexpr std::uint32_t kMxicPageSize = 32;

bool JedecRead(const SpiReader& spi, std::uint8_t* b6) {
  for (int i = 0; i < 6; ++i) b6[i] = 0;
  return spi && spi(0x9F, b6, 4);
}

void ShowType(FlashState& s, int code) {
  s.flashTypeCode = FlashTypeFromReport(code);
  s.flashLabel = FlashTypeName(s.flashTypeCode);
}

void CheckSstJedec(const FlashCommands& c, FlashState& s) {
  std::uint8_t b[6];
  if (JedecRead(c.spiCommandRead, b) && IsSstJedec25(b)) s.sstJedecFlag = 1;
}

// Chip types 10, 19, and 17 above sub-code 2: the bridge identifies the part
// by JEDEC and is told its opcodes.
void JedecConfigBranch(const FlashCommands& c, int t, FlashState& s) {
  FlashDescriptor d;
  const IdBytesReader* idBytes = c.readFlashIdBytes ? &c.readFlashIdBytes : nullptr;
  if (IdentifyFlashWith(c.spiCommandRead, idBytes, d) && d.flashMaker != 0) {
    ReadFlashSizeWith(c.spiCommandRead, idBytes, d);
    s.flashSizeKb = d.sizeKb;
    s.sizeMeasured = true;
    const auto& set = t == 10 ? c.setFlashOpcodesNoReply : c.setFlashOpcodes;
    if (set) set(d);
  }
  ShowType(s, d.flashMaker);
  if (d.flashMaker == kFlashMxic && (t == 10 || t == 19)) {
    std::uint8_t b[6];
    if (JedecRead(c.spiCommandRead, b) && NeedsPageSize32(b) && c.setFlashPageSize) {
      c.setFlashPageSize(kMxicPageSize, t == 10 ? 0 : 2);
    }
  } else if (s.flashTypeCode == kFlashSst) {
    CheckSstJedec(c, s);
  }
}

// Chips that report their flash type themselves.
void ReportedTypeBranch(const FlashCommands& c, ChipIdentity chip, FlashState& s) {
  std::uint8_t code = 0;
  if (c.readFlashTypeCode && c.readFlashTypeCode(&code)) {
    ShowType(s, code);
    s.eraseGeometryRow = s.flashTypeCode;
  }
  if (!ReportedTypeChecksFlash(chip)) return;

  const int t = chip.type;
  const IdBytesReader* idBytes = c.readFlashIdBytes ? &c.readFlashIdBytes : nullptr;
  FlashDescriptor d;
  if ((s.flashTypeCode == kFlashUnknown || s.flashTypeCode == kFlashStEonMxic) &&
      IdentifyFlashWith(c.spiCommandRead, idBytes, d)) {
    ShowType(s, d.flashMaker);
    s.eraseGeometryRow = s.flashTypeCode;
  }
  if (t == 12 || t == 16) {
    d.flashMaker = static_cast<std::uint8_t>(s.flashTypeCode);
    ReadFlashSizeWith(c.spiCommandRead, idBytes, d);
    s.flashSizeKb = d.sizeKb;
    s.sizeMeasured = true;
    if (c.recoverFirmwareBanks) c.recoverFirmwareBanks();
  }
  if (s.flashTypeCode == kFlashMxic) {
    std::uint8_t b[6];
    if (JedecRead(c.spiCommandRead, b)) {
      d.chipEraseOpcode = 0xC7;
      d.blockEraseOpcode = 0xD8;
      d.programOpcode = 0x02;
      d.sectorEraseOpcode = 0x20;
      if (NeedsPageSize32(b)) {
        const auto& set = t == 11 ? c.setFlashOpcodesAndPageSize : c.setFlashOpcodesAndPageSize16;
        if (set) set(d, kMxicPageSize);
      }
    }
  } else if (s.flashTypeCode == kFlashSst) {
    CheckSstJedec(c, s);
  }
}

// Chips with an AMIC or ATMEL part found by their own probes first.
void ProbePartsBranch(const FlashCommands& c, FlashState& s) {
  s.amicFlashId = c.detectAmicFlash ? c.detectAmicFlash() : -1;
  s.atmelFlashId = c.detectAtmelFlash ? c.detectAtmelFlash() : -1;
  if (s.amicFlashId != -1) {
    s.flashLabel = "AMIC";
    return;
  }
  if (s.atmelFlashId != -1) {
    s.flashLabel = "ATMEL";
    return;
  }
  std::uint8_t code = 0;
  if (!c.readFlashTypeCode || !c.readFlashTypeCode(&code)) return;
  if (code != 0) {
    ShowType(s, code);
    return;
  }
  FlashDescriptor d;
  const IdBytesReader* idBytes = c.readFlashIdBytes ? &c.readFlashIdBytes : nullptr;
  if (IdentifyFlashWith(c.spiCommandRead, idBytes, d)) ShowType(s, d.flashMaker);
}

void BehindControllerSetup(const FlashCommands& c, int t, FlashState& s) {
  if (t == 13) {
    FlashDescriptor d;
    if (IdentifyFlashWith(c.ataSpiCommandRead, nullptr, d) && d.flashMaker != 0) {
      ReadFlashSizeWith(c.ataSpiCommandRead, nullptr, d);
      s.flashSizeKb = d.sizeKb;
      s.sizeMeasured = true;
      if (c.ataSetFlashOpcodes) c.ataSetFlashOpcodes(d);
    }
    ShowType(s, d.flashMaker);
    if (d.flashMaker == kFlashMxic) {
      std::uint8_t b[6];
      if (JedecRead(c.ataSpiCommandRead, b) && NeedsPageSize32(b) && c.ataSetFlashPageSize) {
        c.ataSetFlashPageSize(kMxicPageSize);
      }
    }
    return;
  }
  std::uint8_t code = 0;
  if (c.ataReadFlashTypeCode && c.ataReadFlashTypeCode(&code)) {
    ShowType(s, static_cast<std::int8_t>(code));  // the controller's byte is signed
  }
}

}  // namespace

void RunFlashSetup(const FlashCommands& commands, ChipIdentity chip, bool ieee1394,
                   FlashState& state) {
  const DisplayGroup group = DisplayGroupOf(chip.type);
  if (group == DisplayGroup::BridgeBehindController) {
    state.amicFlashId = state.atmelFlashId = -1;
    state.sstJedecFlag = 0;
    BehindControllerSetup(commands, chip.type, state);
    return;
  }
  if (group != DisplayGroup::SerialFlash) return;
  state.amicFlashId = state.atmelFlashId = -1;
  state.sstJedecFlag = 0;
  switch (FlashBranchOf(chip, ieee1394)) {
    case FlashBranch::JedecConfig: JedecConfigBranch(commands, chip.type, state); break;
    case FlashBranch::ReportedType: ReportedTypeBranch(commands, chip, state); break;
    case FlashBranch::ProbeParts: ProbePartsBranch(commands, state); break;
    case FlashBranch::None: break;
  }
}

}  // namespace identify
