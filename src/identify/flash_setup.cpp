#include "identify/flash_setup.h"

#include "chips/display_rules.h"

namespace identify {

namespace {

constexpr std::uint32_t kMxicPageSize = 32;

// What the setup could establish about the flash; a fact stays unread
// wherever a read or a configuration command it rests on went unanswered.
struct Findings {
  bool partRead = true;
  bool sizeTried = false;
  bool sizeRead = false;
  void Require(bool answered) { partRead = partRead && answered; }
  void Size(bool read) {
    sizeTried = true;
    sizeRead = read;
  }
};

// Writes what the setup found so far into the record's facts.
void Record(const Findings& f, FlashState& s) {
  auto mark = [&s](std::uint32_t fact, bool read) {
    s.unreadFacts = read ? s.unreadFacts & ~fact : s.unreadFacts | fact;
  };
  mark(device::kFactFlashPart, f.partRead);
  if (f.sizeTried) mark(device::kFactFlashSize, f.sizeRead);
}

bool JedecRead(const SpiReader& spi, std::uint8_t* b6) {
  for (int i = 0; i < 6; ++i) b6[i] = 0;
  return spi && spi(0x9F, b6, 4);
}

void ShowType(FlashState& s, int code) {
  s.flashTypeCode = FlashTypeFromReport(code);
  s.flashLabel = FlashTypeName(s.flashTypeCode);
}

// A configuration command that exists and was refused leaves the chip's
// flash engine set up for another part.
template <typename Command, typename... Args>
void Configure(Findings& f, const Command& command, Args&&... args) {
  if (command) f.Require(command(std::forward<Args>(args)...));
}

void CheckSstJedec(const FlashCommands& c, FlashState& s, Findings& f) {
  std::uint8_t b[6];
  const bool read = JedecRead(c.spiCommandRead, b);
  f.Require(read);
  if (read && IsSstJedec25(b)) s.sstJedecFlag = 1;
}

// The MXIC parts whose 32-byte program page the chip must be told of.
void MxicPageSize(const SpiReader& spi, Findings& f,
                  const std::function<void()>& setPageSize) {
  std::uint8_t b[6];
  const bool read = JedecRead(spi, b);
  f.Require(read);
  if (read && NeedsPageSize32(b)) setPageSize();
}

// Chip types 10, 19, and 17 above sub-code 2: the bridge identifies the part
// by JEDEC and is told its opcodes.
void JedecConfigBranch(const FlashCommands& c, ChipType t, FlashState& s, Findings& f) {
  FlashDescriptor d;
  const IdBytesReader* idBytes = c.readFlashIdBytes ? &c.readFlashIdBytes : nullptr;
  bool answered = false;
  bool found = IdentifyFlashWith(c.spiCommandRead, idBytes, d, &answered);
  // A chip without a serial flash refuses the identification, and a TX40779
  // without one keeps its firmware on the disk: a refusal counts as "no
  // flash" only when the identification is refused again.
  if (!answered) found = IdentifyFlashWith(c.spiCommandRead, idBytes, d, &answered);
  const device::FlashRoute& route = device::ChipRowFor(t).flash;
  if (found && d.flashMaker != 0) {
    f.Size(ReadFlashSizeWith(c.spiCommandRead, idBytes, d));
    s.flashSizeKb = static_cast<std::int32_t>(d.sizeKb);
    Configure(f, route.opcodesNoReply ? c.setFlashOpcodesNoReply : c.setFlashOpcodes, d);
  }
  ShowType(s, d.flashMaker);
  if (d.flashMaker == kFlashMxic && route.mxicPageData >= 0) {
    MxicPageSize(c.spiCommandRead, f, [&] {
      Configure(f, c.setFlashPageSize, kMxicPageSize,
                static_cast<std::uint32_t>(route.mxicPageData));
    });
  } else if (s.flashTypeCode == kFlashSst) {
    CheckSstJedec(c, s, f);
  }
}

// Chips that report their flash type themselves.
void ReportedTypeBranch(const FlashCommands& c, ChipIdentity chip, FlashState& s, Findings& f) {
  std::uint8_t code = 0;
  const bool reported = c.readFlashTypeCode && c.readFlashTypeCode(&code);
  if (reported) {
    ShowType(s, code);
    s.eraseGeometryRow = s.flashTypeCode;
  }
  if (!ReportedTypeChecksFlash(chip)) {
    f.Require(reported);
    return;
  }

  const IdBytesReader* idBytes = c.readFlashIdBytes ? &c.readFlashIdBytes : nullptr;
  FlashDescriptor d;
  bool identified = false;
  if ((s.flashTypeCode == kFlashUnknown || s.flashTypeCode == kFlashStEonMxic) &&
      IdentifyFlashWith(c.spiCommandRead, idBytes, d)) {
    ShowType(s, d.flashMaker);
    s.eraseGeometryRow = s.flashTypeCode;
    identified = d.flashMaker != 0;
  }
  // Without the chip's report the kind is what an earlier selection left,
  // unless the flash named itself just now.
  f.Require(reported || identified);
  if (device::IsBankChip(chip.type)) {
    d.flashMaker = static_cast<std::uint8_t>(s.flashTypeCode);
    f.Size(ReadFlashSizeWith(c.spiCommandRead, idBytes, d));
    s.flashSizeKb = static_cast<std::int32_t>(d.sizeKb);
    // The repair works with what the setup found so far.
    Record(f, s);
    if (c.recoverFirmwareBanks) c.recoverFirmwareBanks();
  }
  if (s.flashTypeCode == kFlashMxic) {
    MxicPageSize(c.spiCommandRead, f, [&] {
      d.chipEraseOpcode = 0xC7;
      d.blockEraseOpcode = 0xD8;
      d.programOpcode = 0x02;
      d.sectorEraseOpcode = 0x20;
      // Past ReportedTypeChecksFlash only the TXV961 takes the first form.
      const auto& set = device::IsBankChip(chip.type) ? c.setFlashOpcodesAndPageSize16
                                                      : c.setFlashOpcodesAndPageSize;
      Configure(f, set, d, kMxicPageSize);
    });
  } else if (s.flashTypeCode == kFlashSst) {
    CheckSstJedec(c, s, f);
  }
}

// Runs a part probe; a probe that got no answer leaves the part unread.
int Probe(const std::function<int()>& probe, Findings& f) {
  const int id = probe ? probe() : -1;
  f.Require(id != kProbeUnanswered);
  return id == kProbeUnanswered ? -1 : id;
}

// Chips with an AMIC or ATMEL part found by their own probes first.
void ProbePartsBranch(const FlashCommands& c, FlashState& s, Findings& f) {
  s.amicFlashId = Probe(c.detectAmicFlash, f);
  s.atmelFlashId = Probe(c.detectAtmelFlash, f);
  if (s.amicFlashId != -1) {
    s.flashLabel = "AMIC";
    return;
  }
  if (s.atmelFlashId != -1) {
    s.flashLabel = "ATMEL";
    return;
  }
  std::uint8_t code = 0;
  const bool reported = c.readFlashTypeCode && c.readFlashTypeCode(&code);
  f.Require(reported);
  if (!reported) return;
  if (code != 0) {
    ShowType(s, code);
    return;
  }
  FlashDescriptor d;
  const IdBytesReader* idBytes = c.readFlashIdBytes ? &c.readFlashIdBytes : nullptr;
  bool answered = false;
  if (IdentifyFlashWith(c.spiCommandRead, idBytes, d, &answered)) ShowType(s, d.flashMaker);
  f.Require(answered);
}

void BehindControllerSetup(const FlashCommands& c, ChipType t, FlashState& s, Findings& f) {
  if (device::ChipRowFor(t).flash.controller == FlashBranch::JedecConfig) {
    FlashDescriptor d;
    bool answered = false;
    const bool found = IdentifyFlashWith(c.ataSpiCommandRead, nullptr, d, &answered);
    f.Require(answered);
    if (found && d.flashMaker != 0) {
      f.Size(ReadFlashSizeWith(c.ataSpiCommandRead, nullptr, d));
      s.flashSizeKb = static_cast<std::int32_t>(d.sizeKb);
      Configure(f, c.ataSetFlashOpcodes, d);
    }
    ShowType(s, d.flashMaker);
    if (d.flashMaker == kFlashMxic)
      MxicPageSize(c.ataSpiCommandRead, f,
                   [&] { Configure(f, c.ataSetFlashPageSize, kMxicPageSize); });
    return;
  }
  std::uint8_t code = 0;
  const bool reported = c.ataReadFlashTypeCode && c.ataReadFlashTypeCode(&code);
  f.Require(reported);
  if (reported) ShowType(s, static_cast<std::int8_t>(code));  // the controller's byte is signed
  // The TXR842 does not tell its size: it is read from its flash through the
  // controller, as the TXR847's is, so that an erase covers what is there.
  FlashDescriptor d;
  if (IdentifyFlashWith(c.ataSpiCommandRead, nullptr, d) && d.flashMaker != 0) {
    f.Size(ReadFlashSizeWith(c.ataSpiCommandRead, nullptr, d));
    s.flashSizeKb = static_cast<std::int32_t>(d.sizeKb);
  }
}

}  // namespace

void RunFlashSetup(const FlashCommands& commands, ChipIdentity chip, bool ieee1394,
                   FlashState& state) {
  const DisplayGroup group = DisplayGroupOf(chip.type);
  Findings findings;
  if (group == DisplayGroup::BridgeBehindController) {
    state.amicFlashId = state.atmelFlashId = -1;
    state.sstJedecFlag = 0;
    BehindControllerSetup(commands, device::AsChipType(chip.type), state, findings);
    Record(findings, state);
    return;
  }
  if (group != DisplayGroup::SerialFlash) return;
  state.amicFlashId = state.atmelFlashId = -1;
  state.sstJedecFlag = 0;
  switch (FlashBranchOf(chip, ieee1394)) {
    case FlashBranch::JedecConfig: JedecConfigBranch(commands, device::AsChipType(chip.type), state, findings); break;
    case FlashBranch::ReportedType: ReportedTypeBranch(commands, chip, state, findings); break;
    case FlashBranch::ProbeParts: ProbePartsBranch(commands, state, findings); break;
    case FlashBranch::None: return;
  }
  Record(findings, state);
}

}  // namespace identify
