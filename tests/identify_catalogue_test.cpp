#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "chips/names.h"
#include "chips/display_rules.h"
#include "identify/flash_id.h"
#include "chips/release_rules.h"

namespace {

using identify::ChipIdentity;
constexpr auto kRelease = identify::FirmwareBuild::Release;
constexpr auto kInternal = identify::FirmwareBuild::Internal;

// ---- Catalogues -----------------------------------------------------------

TEST(Catalogue, ChipNumbersResolveToTheFirstRowOnly) {
  EXPECT_EQ(1, identify::ChipTypeFromNumber("775"));
  EXPECT_EQ(4, identify::ChipTypeFromNumber("779"));   // never 19 or 22
  EXPECT_EQ(8, identify::ChipTypeFromNumber("846"));   // never 9
  EXPECT_EQ(10, identify::ChipTypeFromNumber("847"));  // never 13
  EXPECT_EQ(6, identify::ChipTypeFromNumber("842"));   // never 14 or 15
  EXPECT_EQ(21, identify::ChipTypeFromNumber("778"));
  EXPECT_EQ(18, identify::ChipTypeFromNumber("6490"));  // only three characters count
  EXPECT_EQ(0, identify::ChipTypeFromNumber("845"));
  EXPECT_EQ(0, identify::ChipTypeFromNumber("77"));
  EXPECT_EQ(0, identify::ChipTypeFromNumber(""));
}

TEST(Catalogue, NamesAndNumbersOutsideTheTableAreSafe) {
  EXPECT_STREQ("TX40775 Series", identify::ChipName(1));
  EXPECT_STREQ("TXV929/842 Series", identify::ChipName(15));
  EXPECT_STREQ("TX40776", identify::ChipName(24));
  EXPECT_STREQ("Unknown Chip", identify::ChipName(25));
  EXPECT_STREQ("Unknown Chip", identify::ChipName(255));
  EXPECT_STREQ("Unknown Chip", identify::ChipName(-1));
  EXPECT_STREQ("", identify::ChipShortCode(0));
  EXPECT_STREQ("", identify::ChipShortCode(200));
  const std::uint8_t zeros[3] = {0, 0, 0};
  EXPECT_FALSE(identify::MatchesChipNumber(zeros, 0));  // row 0 is empty, never a match
  EXPECT_TRUE(identify::MatchesChipNumber(reinterpret_cast<const std::uint8_t*>("9271"), 16));
}

TEST(Catalogue, IdentityWordAndExpectedRevisionWrapIn8Bits) {
  const ChipIdentity f = ChipIdentity::FromWord(0xFF04);
  EXPECT_EQ(4, f.type);
  EXPECT_EQ(-1, f.subCode);
  EXPECT_EQ(0xFF04, f.Word());
  EXPECT_EQ(0, identify::ExpectedRevision(1));
  EXPECT_EQ(-1, identify::ExpectedRevision(0));
  EXPECT_EQ(127, identify::ExpectedRevision(-128));
  EXPECT_EQ('2', identify::ExpectedRevisionDigit(3));
  EXPECT_EQ('/', identify::ExpectedRevisionDigit(0));
}

TEST(Catalogue, FlashTypesAndTheOutOfRangeCode) {
  EXPECT_STREQ("ST/EON/MXIC", identify::FlashTypeName(3));
  EXPECT_STREQ("GIGADEVICE", identify::FlashTypeName(11));
  EXPECT_EQ(0x10000u, identify::FlashTypeRowFor(4).eraseBlockSize);
  EXPECT_EQ(0x8000u, identify::FlashTypeRowFor(4).eraseSectorSize);
  EXPECT_EQ(0x1000u, identify::FlashTypeRowFor(6).eraseSectorSize);
  // A reported code with no row shows "Unknown" with the starting geometry.
  for (int code : {12, 99, 255, -1, -128}) {
    EXPECT_STREQ("Unknown", identify::FlashTypeName(code)) << code;
    EXPECT_EQ(0x8000u, identify::FlashTypeRowFor(code).eraseBlockSize) << code;
    EXPECT_EQ(0x1000u, identify::FlashTypeRowFor(code).eraseSectorSize) << code;
    EXPECT_EQ(0, identify::FlashTypeFromReport(code)) << code;
  }
  EXPECT_EQ(11, identify::FlashTypeFromReport(11));
}

// ---- Family display -------------------------------------------------------

TEST(Display, GroupsAndBranchesByChipType) {
  using identify::DisplayGroup;
  using identify::FlashBranch;
  EXPECT_EQ(DisplayGroup::SerialFlash, identify::DisplayGroupOf(19));
  EXPECT_EQ(DisplayGroup::ParallelFlash, identify::DisplayGroupOf(24));
  EXPECT_EQ(DisplayGroup::ParameterBlock, identify::DisplayGroupOf(18));
  EXPECT_EQ(DisplayGroup::BridgeBehindController, identify::DisplayGroupOf(14));
  EXPECT_EQ(DisplayGroup::Unsupported, identify::DisplayGroupOf(22));
  EXPECT_EQ(DisplayGroup::Unsupported, identify::DisplayGroupOf(25));

  EXPECT_EQ(FlashBranch::JedecConfig, identify::FlashBranchOf({17, 3}, false));
  EXPECT_EQ(FlashBranch::ProbeParts, identify::FlashBranchOf({17, 2}, false));
  EXPECT_EQ(FlashBranch::ReportedType, identify::FlashBranchOf({7, 1}, true));
  EXPECT_EQ(FlashBranch::ProbeParts, identify::FlashBranchOf({7, 1}, false));
  EXPECT_EQ(FlashBranch::None, identify::FlashBranchOf({13, 0}, false));

  EXPECT_TRUE(identify::ReportedTypeChecksFlash({11, 5}));
  EXPECT_FALSE(identify::ReportedTypeChecksFlash({11, 4}));
  EXPECT_FALSE(identify::ReportedTypeChecksFlash({8, 9}));
}

TEST(Display, ControlPlansPerFamily) {
  using identify::Vis;
  const auto serial = identify::PlanControls({12, 0}, false, 0);
  EXPECT_EQ(Vis::Show, serial.hddFwCheck);
  EXPECT_TRUE(serial.showNvramCheck);
  EXPECT_TRUE(serial.resetFlashProbes);
  EXPECT_EQ(Vis::Hide, serial.flashTypeList);

  const auto usb843 = identify::PlanControls({7, 1}, false, 0);
  EXPECT_EQ(Vis::Hide, usb843.hddFwCheck);
  EXPECT_FALSE(usb843.showNvramCheck);

  const auto parallel = identify::PlanControls({2, 0}, false, 0);
  EXPECT_EQ(Vis::Show, parallel.flashTypeList);
  EXPECT_EQ(Vis::Show, parallel.a1ChipCheck);
  EXPECT_EQ(Vis::Hide, parallel.sFlashTypeLabel);
  EXPECT_EQ(Vis::Keep, parallel.hddFwCheck);
  EXPECT_EQ(nullptr, parallel.status);

  const auto unsupported = identify::PlanControls({21, 0}, false, 0);
  EXPECT_EQ(Vis::Hide, unsupported.fwVersionEdit);
  EXPECT_STREQ("The chip not support Firmware Update!", unsupported.status);

  // Parameter-block chips: nothing read keeps every control as it was.
  const auto silent = identify::PlanControls({5, 0}, false, 0);
  EXPECT_EQ(Vis::Keep, silent.sFlashTypeLabel);
  EXPECT_EQ(Vis::Keep, silent.fwVersionEdit);
  EXPECT_EQ(nullptr, silent.status);
  EXPECT_EQ(Vis::Show, identify::PlanControls({5, 0}, false, 0xD0).fwVersionEdit);
  EXPECT_STREQ(identify::kNotSupportedStatus, identify::PlanControls({18, 0}, false, 0xCF).status);

  const auto behind = identify::PlanControls({13, 0}, false, 0);
  EXPECT_TRUE(behind.showNvramCheck);
  EXPECT_EQ(Vis::Hide, behind.hddFwCheck);
}

TEST(Display, BridgeVersionFromTheParameterBlock) {
  std::uint8_t b[20] = {};
  b[8] = 0xAB;
  b[18] = 0xD4;
  EXPECT_EQ(0xD4, identify::BridgeVersionFromParameters(true, b));
  b[18] = 0xC0;
  EXPECT_EQ(0xAB, identify::BridgeVersionFromParameters(true, b));
  b[8] = 0xD1;
  EXPECT_EQ(0xD1, identify::BridgeVersionFromParameters(true, b));
  EXPECT_EQ(0, identify::BridgeVersionFromParameters(false, b));
}

// ---- Version text -----------------------------------------------------------

struct InfoBlock {
  std::uint8_t b[16] = {0xF4, 0xE7};
};

InfoBlock Info(std::initializer_list<std::pair<int, std::uint8_t>> bytes) {
  InfoBlock i;
  for (auto [at, v] : bytes) i.b[at] = v;
  return i;
}

TEST(Version, FormatDependsOnTheTransferredCount) {
  const InfoBlock i = Info({{6, 1}, {7, 5}, {12, 3}, {13, 7}, {14, 9}, {15, 4}});
  EXPECT_EQ("3.07.09", identify::FormatVersion(4, i.b, 16, {}));
  EXPECT_EQ("1.05", identify::FormatVersion(4, i.b, 12, {}));
  // Bytes the device did not transfer read as the cleared buffer.
  EXPECT_EQ("3.00.00", identify::FormatVersion(4, i.b, 13, {}));
  EXPECT_EQ("1.05.03.07.09", identify::FormatVersion(8, i.b, 16, {}));
  EXPECT_EQ("1.05.00.00.00", identify::FormatVersion(9, i.b, 12, {}));
  EXPECT_EQ("03.07.09.04", identify::FormatVersion(12, i.b, 16, {}));
  EXPECT_EQ("00.00.03.07.09", identify::FormatVersion(10, i.b, 16, {}));
}

TEST(Version, ChipType11FlipsTheLastFieldAndPrintsItSigned) {
  InfoBlock i = Info({{6, 2}, {7, 5}, {12, 11}, {13, 16}, {14, 0}});
  EXPECT_EQ("2.05.11.16.00", identify::FormatVersion(11, i.b, 16, {}));
  EXPECT_EQ("2.05.11.16.01", identify::FormatVersion(11, i.b, 16, {true, nullptr}));
  i.b[14] = 0xFF;
  EXPECT_EQ("2.05.11.16.-01", identify::FormatVersion(11, i.b, 16, {}));
  EXPECT_EQ("2.05.11.16.-02", identify::FormatVersion(11, i.b, 16, {true, nullptr}));
}

TEST(Version, ControllerBlockForBridgesBehindAController) {
  const InfoBlock own = Info({{12, 1}, {13, 2}, {14, 3}});
  const InfoBlock ctl = Info({{8, 4}, {9, 5}, {10, 6}, {11, 7}, {12, 8}, {13, 9}, {14, 10}});
  EXPECT_EQ("06.07.08.09.10", identify::FormatVersion(13, own.b, 16, {false, ctl.b}));
  EXPECT_EQ("04.05.06", identify::FormatVersion(14, own.b, 16, {false, ctl.b}));
  // Without the controller's block (or its signature) the chip's own text stays.
  EXPECT_EQ("1.02.03", identify::FormatVersion(15, own.b, 16, {}));
  InfoBlock bad = ctl;
  bad.b[1] = 0;
  EXPECT_EQ("1.02.03", identify::FormatVersion(13, own.b, 16, {false, bad.b}));
}

TEST(Version, FailedReadsAndMissingSignature) {
  const InfoBlock i = Info({});
  auto failed = [&](int type) { return identify::DecideVersionDisplay(type, false, i.b, 0, {}); };
  EXPECT_EQ("00.00", failed(0).text);
  EXPECT_EQ("02.00", failed(1).text);
  EXPECT_EQ("02.00", failed(4).text);
  EXPECT_EQ("01.00", failed(3).text);
  EXPECT_EQ("01.00", failed(40).text);  // a code past the table is no unknown chip
  EXPECT_FALSE(failed(12).needsReleaseCheck);

  std::uint8_t foreign[16] = {0x12, 0x34};
  const auto notChip = identify::DecideVersionDisplay(4, true, foreign, 16, {});
  EXPECT_EQ("", notChip.text);
  EXPECT_STREQ("Not Tavrion Chip!!", notChip.status);
  // A one-byte answer cannot carry the two-byte signature.
  EXPECT_STREQ(identify::kNotChipStatus,
               identify::DecideVersionDisplay(4, true, i.b, 1, {}).status);

  const auto ok = identify::DecideVersionDisplay(4, true, i.b, 16, {});
  EXPECT_TRUE(ok.needsReleaseCheck);
  EXPECT_EQ(nullptr, ok.status);
}

// ---- "Internal code" --------------------------------------------------------

// A chip whose memory and flash the release rule reads, counting every read.
struct FakeChip {
  std::map<std::uint32_t, std::vector<std::uint8_t>> memory, flashBlocks, flash;
  bool paramsOk = false;
  std::uint8_t params[20] = {};
  std::vector<std::string> calls;

  static identify::MemoryReader From(std::map<std::uint32_t, std::vector<std::uint8_t>>& m,
                                     std::vector<std::string>& calls, const char* name) {
    return [&m, &calls, name](std::uint32_t address, std::uint8_t* out, std::uint32_t n) {
      calls.push_back(std::string(name) + "@" + std::to_string(address));
      auto it = m.find(address);
      if (it == m.end()) return false;
      std::memcpy(out, it->second.data(), std::min<std::size_t>(n, it->second.size()));
      return true;
    };
  }
  identify::ReleaseReads Reads() {
    identify::ReleaseReads r;
    r.readChipMemory = From(memory, calls, "mem");
    r.readFlashBlock = From(flashBlocks, calls, "block");
    r.readFlash = From(flash, calls, "flash");
    r.readChipParameters = [this](std::uint8_t* out) {
      calls.push_back("params");
      if (!paramsOk) return 0;
      std::memcpy(out, params, 20);
      return static_cast<int>(params[8]);
    };
    return r;
  }
};

std::vector<std::uint8_t> Marker(std::uint8_t b2, std::uint8_t b3, const char* number,
                                 std::size_t at = 0, std::size_t size = 0x400) {
  std::vector<std::uint8_t> v(size, 0xFF);
  v[at] = 0x55;
  v[at + 1] = 0xAA;
  v[at + 2] = b2;
  v[at + 3] = b3;
  std::memcpy(v.data() + at + 4, number, 3);
  return v;
}

TEST(InternalCode, ChipsWithoutARuleAreAlwaysRelease) {
  FakeChip chip;
  EXPECT_EQ(kRelease, identify::IsReleaseFirmwareWith(chip.Reads(), 1, "1.00", 0));
  EXPECT_EQ(kRelease, identify::IsReleaseFirmwareWith(chip.Reads(), 10, "01.02.03.04.05", 0));
  EXPECT_TRUE(chip.calls.empty());
}

TEST(InternalCode, ReleaseBitAndMarkerForChipType4) {
  FakeChip chip;
  chip.memory[0x7038] = {0, 0, 0x01, 0};
  chip.memory[0xC000] = Marker(0xAA, 0x55, "779", 0, 10);
  EXPECT_EQ(kRelease, identify::IsReleaseFirmwareWith(chip.Reads(), 4, "3.07.09", 0));
  chip.memory[0xC000] = Marker(0xAA, 0x55, "775", 0, 10);
  EXPECT_EQ(kInternal, identify::IsReleaseFirmwareWith(chip.Reads(), 4, "3.07.09", 0));
  chip.memory[0x7038] = {0, 0, 0x04, 0};  // bit 2 is the 842 family's bit, not this one's
  chip.memory[0xC000] = Marker(0xAA, 0x55, "779", 0, 10);
  EXPECT_EQ(kInternal, identify::IsReleaseFirmwareWith(chip.Reads(), 4, "3.07.09", 0));
  chip.memory.erase(0x7038);
  EXPECT_EQ(kInternal, identify::IsReleaseFirmwareWith(chip.Reads(), 4, "3.07.09", 0));
}

TEST(InternalCode, KnownInternalVersionsOfChipType8WinOverAValidMarker) {
  FakeChip chip;
  chip.memory[0x7038] = {0, 0, 0x04, 0};
  chip.flashBlocks[0x1000] = Marker(0xAA, 0x55, "846");
  EXPECT_EQ(kInternal, identify::IsReleaseFirmwareWith(chip.Reads(), 8, "7.07.00.16.00", 0));
  EXPECT_EQ(1u, chip.calls.size());  // only the release bit was read
  EXPECT_EQ(kRelease, identify::IsReleaseFirmwareWith(chip.Reads(), 8, "7.07.00.16.01", 0));
  chip.flashBlocks[0x1000] = Marker(0xAA, 0x55, "845");
  EXPECT_EQ(kRelease, identify::IsReleaseFirmwareWith(chip.Reads(), 9, "1.00.00.00.00", 0));
}

TEST(InternalCode, ChipType11NeedsBit4AndThe961Marker) {
  FakeChip chip;
  chip.memory[0x7038] = {0, 0, 0x10, 0};
  chip.flashBlocks[0x1000] = Marker(0xAA, 0x55, "961");
  EXPECT_EQ(kRelease, identify::IsReleaseFirmwareWith(chip.Reads(), 11, "2.05.11.16.01", 0));
  EXPECT_EQ(kInternal, identify::IsReleaseFirmwareWith(chip.Reads(), 11, "5.13.11.16.00", 0));
}

TEST(InternalCode, ChipTypes12And16) {
  FakeChip chip;
  chip.memory[0x70F0] = {0, 0, 0, 0x01};
  // Flash type code 0 shows the version as soon as bit and version pass.
  EXPECT_EQ(kRelease, identify::IsReleaseFirmwareWith(chip.Reads(), 12, "01.02.03.04", 0));
  EXPECT_EQ(kInternal, identify::IsReleaseFirmwareWith(chip.Reads(), 12, "49.48.48.49", 0));
  chip.memory[0x70F0] = {0, 0, 0x01, 0x00};  // byte 2 is not the bit for these
  EXPECT_EQ(kInternal, identify::IsReleaseFirmwareWith(chip.Reads(), 12, "01.02.03.04", 0));

  chip.memory[0x70F0] = {0, 0, 0, 0x01};
  chip.paramsOk = true;
  chip.params[8] = 0xD4;
  chip.params[19] = 0;
  EXPECT_EQ(kInternal, identify::IsReleaseFirmwareWith(chip.Reads(), 12, "01.02.03.04", 5));
  chip.params[19] = 1;
  EXPECT_EQ(kRelease, identify::IsReleaseFirmwareWith(chip.Reads(), 16, "01.02.03.04", 5));

  chip.paramsOk = false;  // no parameters: the marker at the end of the flash block decides
  chip.flashBlocks[0x7C00] = Marker(0xAA, 0x55, "927", 0x3F0);
  EXPECT_EQ(kRelease, identify::IsReleaseFirmwareWith(chip.Reads(), 16, "01.02.03.04", 5));
  EXPECT_EQ(kInternal, identify::IsReleaseFirmwareWith(chip.Reads(), 12, "01.02.03.04", 5));
  chip.flashBlocks[0xBC00] = Marker(0xAA, 0x55, "929", 0x3F0);
  EXPECT_EQ(kRelease, identify::IsReleaseFirmwareWith(chip.Reads(), 12, "01.02.03.04", 5));
}

TEST(InternalCode, ChipTypes17And19ReadTheMakerMarker) {
  FakeChip chip;
  chip.memory[0x7038] = {0, 0, 0x01, 0};
  chip.flash[0x4000] = Marker(0x54, 0x58, "659");
  EXPECT_EQ(kRelease, identify::IsReleaseFirmwareWith(chip.Reads(), 17, "1.02.03", 0));
  EXPECT_EQ(kInternal, identify::IsReleaseFirmwareWith(chip.Reads(), 19, "1.02.03", 0));
  EXPECT_EQ(kInternal, identify::IsReleaseFirmwareWith(chip.Reads(), 17, "0.160.144", 0));
  chip.flash[0x4000] = Marker(0xAA, 0x55, "659");  // the bridge marker is not the maker's
  EXPECT_EQ(kInternal, identify::IsReleaseFirmwareWith(chip.Reads(), 17, "1.02.03", 0));
}

// ---- Flash identification and size -----------------------------------------

// A flash part that answers identification opcodes with fixed bytes.
struct FakeFlash {
  std::map<std::uint8_t, std::vector<std::uint8_t>> answers;
  std::vector<std::uint8_t> sent;
  identify::SpiReader Reader() {
    return [this](std::uint8_t op, std::uint8_t* out, std::uint32_t n) {
      sent.push_back(op);
      auto it = answers.find(op);
      if (it == answers.end()) return false;
      std::memcpy(out, it->second.data(), std::min<std::size_t>(n, it->second.size()));
      return true;
    };
  }
};

std::uint32_t SizeOf(std::vector<std::uint8_t> jedec) {
  FakeFlash f;
  f.answers[0x9F] = std::move(jedec);
  identify::FlashDescriptor d;
  identify::ReadFlashSizeWith(f.Reader(), nullptr, d);
  return d.sizeKb;
}

TEST(FlashSize, ByJedecAnswer) {
  EXPECT_EQ(1024u, SizeOf({0xC2, 0x20, 0x14}));
  EXPECT_EQ(8192u, SizeOf({0xC2, 0x22, 0x17}));
  EXPECT_EQ(64u, SizeOf({0xC2, 0x21, 0x14}));  // other MXIC memory types keep the default
  EXPECT_EQ(64u, SizeOf({0xEF, 0x40, 0x10}));
  EXPECT_EQ(1024u, SizeOf({0xEF, 0x40, 0x14}));
  EXPECT_EQ(4096u, SizeOf({0x20, 0x20, 0x16}));
  EXPECT_EQ(64u, SizeOf({0x20, 0x20, 0x17}));
  EXPECT_EQ(128u, SizeOf({0x1F, 0x66, 0x00}));
  EXPECT_EQ(256u, SizeOf({0x7F, 0x9D, 0x7D}));
  EXPECT_EQ(2048u, SizeOf({0x37, 0x30, 0x15}));
  EXPECT_EQ(1024u, SizeOf({0x7F, 0x37, 0x00, 0x14}));
  EXPECT_EQ(8192u, SizeOf({0x1C, 0x31, 0x17}));
  EXPECT_EQ(128u, SizeOf({0x8C, 0x30, 0x11}));
  EXPECT_EQ(512u, SizeOf({0xC8, 0x40, 0x13}));
  EXPECT_EQ(64u, SizeOf({0xC8, 0x60, 0x13}));
}

TEST(FlashSize, FallbackReadsWhenTheJedecAnswerDoesNotDecide) {
  FakeFlash sanyo;
  sanyo.answers[0x9F] = {0x62, 0x16, 0x10};
  sanyo.answers[0xAB] = {0, 0, 0, 0x44};
  identify::FlashDescriptor d;
  identify::ReadFlashSizeWith(sanyo.Reader(), nullptr, d);
  EXPECT_EQ(256u, d.sizeKb);
  EXPECT_EQ(0xD7, d.sectorEraseOpcode);

  FakeFlash sst;  // an older SST part: no JEDEC name, but 0x90 and 0xAB answer
  sst.answers[0x9F] = {0xFF, 0xFF, 0xFF};
  sst.answers[0x90] = {0, 0, 0, 0xBF};
  sst.answers[0xAB] = {0, 0, 0, 0xBF, 0x49};
  d = {};
  identify::ReadFlashSizeWith(sst.Reader(), nullptr, d);
  EXPECT_EQ(identify::kFlashSst, d.flashMaker);
  EXPECT_EQ(0x60, d.chipEraseOpcode);
  EXPECT_EQ(0xAF, d.programOpcode);
  EXPECT_EQ(128u, d.sizeKb);

  FakeFlash atmel;  // old ATMEL part: only opcode 0x15 names it
  atmel.answers[0x9F] = {0xFF, 0xFF, 0xFF};
  atmel.answers[0x15] = {0x1F, 0x60};
  d = {};
  identify::ReadFlashSizeWith(atmel.Reader(), nullptr, d);
  EXPECT_EQ(identify::kFlashAtmel, d.flashMaker);
  EXPECT_EQ(0x62, d.chipEraseOpcode);
  EXPECT_EQ(64u, d.sizeKb) << "1F 60 is the AT25F512's answer as well as the AT25F1024's";
}

TEST(FlashIdentify, RuleOrderAndTheBridgeOnlyReads) {
  FakeFlash pmc;
  pmc.answers[0x9F] = {0x7F, 0x9D, 0x20};
  identify::FlashDescriptor d;
  EXPECT_TRUE(identify::IdentifyFlashWith(pmc.Reader(), nullptr, d));
  EXPECT_EQ(identify::kFlashPmc, d.flashMaker);

  FakeFlash amic;
  amic.answers[0x9F] = {0x7F, 0x37, 0x20};  // AMIC's rule comes before PMC's
  EXPECT_TRUE(identify::IdentifyFlashWith(amic.Reader(), nullptr, d));
  EXPECT_EQ(identify::kFlashAmic, d.flashMaker);

  FakeFlash silent;  // no JEDEC answer: true with no maker, nothing more sent
  EXPECT_TRUE(identify::IdentifyFlashWith(silent.Reader(), nullptr, d));
  EXPECT_EQ(0, d.flashMaker);
  EXPECT_EQ(std::vector<std::uint8_t>{0x9F}, silent.sent);

  FakeFlash odd;
  odd.answers[0x9F] = {0x00, 0x00, 0x00};
  odd.answers[0x90] = {0, 0, 0, 0x00};
  odd.answers[0xAB] = {0, 0, 0, 0x00};
  odd.answers[0x15] = {0x00};
  EXPECT_FALSE(identify::IdentifyFlashWith(odd.Reader(), nullptr, d));  // controller route
  EXPECT_EQ((std::vector<std::uint8_t>{0x9F, 0x90, 0xAB, 0x15}), odd.sent);

  std::vector<std::pair<int, int>> idCalls;
  identify::IdBytesReader idBytes = [&](std::uint8_t op, int flag, std::uint8_t* out) {
    idCalls.emplace_back(op, flag);
    out[0] = op == 0xAB ? 0x05 : 0x00;
    return true;
  };
  EXPECT_TRUE(identify::IdentifyFlashWith(odd.Reader(), &idBytes, d));
  EXPECT_EQ(identify::kFlashStEonMxic, d.flashMaker);
  EXPECT_EQ((std::vector<std::pair<int, int>>{{0x15, 0}, {0xAB, 1}}), idCalls);
}

TEST(FlashIdentify, PageSizeAndSstAnswers) {
  const std::uint8_t c2_22_11[3] = {0xC2, 0x22, 0x11};
  const std::uint8_t c2_22_12[3] = {0xC2, 0x22, 0x12};
  const std::uint8_t c2_20_11[3] = {0xC2, 0x20, 0x11};
  EXPECT_TRUE(identify::NeedsPageSize32(c2_22_11));
  EXPECT_FALSE(identify::NeedsPageSize32(c2_22_12));
  EXPECT_FALSE(identify::NeedsPageSize32(c2_20_11));
  const std::uint8_t bf25[3] = {0xBF, 0x25, 0x8D};
  EXPECT_TRUE(identify::IsSstJedec25(bf25));
}

}  // namespace
