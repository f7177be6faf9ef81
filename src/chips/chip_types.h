// The chip types the utility knows, as one table of facts. The enum's values
// are the chip type codes identification reports and the window keeps (the
// low byte of the chip identity), so they never change. Everything that
// differs by chip type and is more than a rule of one step reads a row here.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace device {

enum class ChipType : std::uint8_t {
  None = 0,
  Tx40775 = 1,
  Tx40776 = 2,  // internal ROM with a parallel flash
  Tx40777 = 3,
  Tx40779 = 4,
  Tx40769 = 5,
  Txr842 = 6,
  Txr843 = 7,
  Txr845 = 8,
  Txr846 = 9,  // shares its name and number with Txr845
  Txr847 = 10,
  Txv961 = 11,
  Txv929 = 12,
  Txv929With847 = 13,  // a TXV929 with a TXR847 bridge behind it
  Txv961With842 = 14,  // a TXV961 with a TXR842 bridge behind it
  Txv929With842 = 15,  // a TXV929 with a TXR842 bridge behind it
  Txv927 = 16,
  Txr659 = 17,
  Txr649 = 18,
  Tx40779E = 19,
  // Answers of chips without the chip-information frame, by their variant
  // bits; none of them has a procedure.
  Tx40777Variant = 20,
  Tx40778Variant = 21,
  Tx40779Variant = 22,
  Tx40775Variant = 23,
  Tx40776Rom = 24,  // identified by its USB ids; runs the internal-ROM procedure
};

inline constexpr int kChipTypeCount = 25;  // codes 0..24

// Which controls a chip's display shows.
enum class DisplayGroup {
  Unsupported,
  SerialFlash,
  ParameterBlock,  // shown only from bridge version 0xD0 on
  ParallelFlash,
  BridgeBehindController,
};

// How a serial-flash chip finds and configures its flash part.
enum class FlashBranch {
  None,          // not a serial-flash chip
  JedecConfig,   // JEDEC id, size, opcodes sent
  ReportedType,  // the chip reports its flash
  ProbeParts,    // AMIC/ATMEL probes first
};

// Bounds for a sub-code test: every sub-code is at or above the first and
// below the second.
inline constexpr int kAnySubCode = -128;
inline constexpr int kNoSubCode = 128;

// When a chip takes its other flash branch.
enum class BranchSwitch { Never, SubCodeAbove2, OverIeee1394 };

struct FlashRoute {
  FlashBranch usual = FlashBranch::None;
  FlashBranch other = FlashBranch::None;
  BranchSwitch when = BranchSwitch::Never;
  // The JEDEC branch tells the opcodes with the command that gets no reply.
  bool opcodesNoReply = false;
  // The JEDEC branch tells an MXIC part's 32-byte page with this data
  // length; -1 when it does not.
  std::int8_t mxicPageData = -1;
  // The reported-type branch goes on to identify, size and configure the
  // flash from this sub-code on.
  int checksFlashFrom = kNoSubCode;
  // A bridge behind a storage controller: how the controller finds its flash
  // (JedecConfig or ReportedType).
  FlashBranch controller = FlashBranch::None;
};

// Where identification takes the sub-code from.
enum class SubCodeRead {
  Frame,         // the chip-information frame (or none)
  IdString,      // the chip-ID string, which may also name the type
  InfoRevision,  // chip information read short: revision digit '1' or '2'
  LevelFdb0,     // the chip level at FDB0
};

struct SubCodeRule {
  SubCodeRead read = SubCodeRead::Frame;
  // IdString: the sub-code when the string cannot be read (0: the frame's stands).
  std::int8_t unread = 0;
  // LevelFdb0: the sub-code a high level gives.
  std::int8_t high = 0;
};

// How the version text is built from the 16-byte chip-information block.
enum class VersionLayout {
  Plain,          // bytes 6.7, or 12.13.14 from a block longer than 12 bytes
  Bytes6To14,     // 6.7.12.13.14
  Bytes6To14Probed,  // the same, the last field signed with bit 0 flipped by the 0x506A probe
  Bytes10To14,    // 10.11.12.13.14, two digits each
  Bytes12To15,    // 12.13.14.15, two digits each
  Controller10To14,  // the storage controller's block, 10..14 (Plain without its signature)
  Controller8To10,   // the storage controller's block, 8..10 (Plain without its signature)
};

// What the marker text (or block) of an image has to be, the last step of
// the match check.
enum class MarkerRule {
  Never,            // no image rule
  Always,
  NumberPrefix,     // the text begins with the chip number
  NotPrefix,        // the text does not begin with `text`
  Exact,            // the text is `text`
  NumberRevision,   // the chip number and the revision digit; revision 0 may be the pattern `alt`
  RevisionByte,     // byte 8 of the marker block is the revision
  Sub0OrRevisionByte,
  HeaderPerRevision,  // bytes 0..7: the bridge marker and `text` (sub-code 1) or `alt` (2)
};

// Where images keep their marker block when it is not at their start.
inline constexpr std::uint32_t kMakerMarkerOffset = 0x4000;
inline constexpr std::uint32_t kTail927MarkerOffset = 0x7FF0;
inline constexpr std::uint32_t kTail929MarkerOffset = 0xBFF0;

struct ImageRule {
  MarkerRule rule = MarkerRule::Never;
  const char* text = nullptr;
  const char* alt = nullptr;
  // The block whose first bytes must be 0x55 0xAA; 0 for the image's start,
  // which may hold any marker.
  std::uint32_t markerAt = 0;
};

// Where a release build leaves its chip marker, once the release bit is set.
enum class ReleaseMarker {
  NoRule,       // every version shows
  ChipMemory,   // bridge marker and chip number at chip memory 0xC000
  FlashBlock,   // bridge marker and chip number (or `alsoNumber`) in flash block 0x1000
  BankTail,     // parameter byte 19, or the bridge marker closing the first bank
  MakerMarker,  // maker marker and chip number in the flash at 0x4000
};

struct ReleaseRule {
  ReleaseMarker marker = ReleaseMarker::NoRule;
  // The release bit: this byte of the 4 read at the release-bit address, and its mask.
  std::uint8_t bitByte = 0;
  std::uint8_t bitMask = 0;
  const char* alsoNumber = nullptr;
  // Versions the maker's internal builds carry; never shown as a version.
  std::array<const char*, 5> internalVersions{};
};

inline constexpr const char* kDefaultFailedVersion = "01.00";

struct ChipRow {
  ChipType type = ChipType::None;
  const char* name = "";       // shown as the chip name; at most 19 characters
  const char* shortCode = "";  // the chip number images and markers carry ("" for none)
  // The two firmware banks of a storage controller's flash: the first bank
  // ends here, and the NVRAM area starts here. 0 for chips without banks.
  std::uint32_t bankEnd = 0;
  // The bank layout holds on any flash (otherwise only above 64 KB).
  bool twoBanksAlways = false;
  // Flash moved with the block commands, with the 4 KB NVRAM area at the
  // bank end (or at 0 for a chip without banks).
  bool blockCommands = false;
  // Images carry a signature the controller checks.
  bool signedImage = false;
  // The flash page size is cleared before erasing.
  bool clearsPageSize = false;
  // The chip tells its flash size, and backups cover that size rather than
  // the size box.
  bool reportsFlashSize = false;
  // Images may carry the chip's 80-byte NVRAM record at byte 128, behind a
  // layout marker.
  bool imageNvramRecord = false;
  // A bridge reached through a storage controller's ATA commands.
  bool behindController = false;
  SubCodeRule subCode{};
  // What the type stands for behind a "<<847>> " or a "<<842>> " entry.
  ChipType with847 = ChipType::None;
  ChipType with842 = ChipType::None;
  // The chip keeps a 4 KB NVRAM area: the window offers "Include 4K NVRAM",
  // and its images may start with that area.
  bool nvramArea = false;
  DisplayGroup group = DisplayGroup::Unsupported;
  FlashRoute flash{};
  VersionLayout version = VersionLayout::Plain;
  // The version shown when the chip information cannot be read.
  const char* failedVersion = kDefaultFailedVersion;
  ImageRule image{};
  // Images that carry this chip number at byte 4 and a revision digit from
  // this one up sum only to their end marker; 0 for none.
  char summedToEndMarkerFrom = 0;
  ReleaseRule release{};
};

namespace chip_rows {

using enum DisplayGroup;
using enum FlashBranch;
using enum MarkerRule;
using enum ReleaseMarker;

inline constexpr ImageRule kByNumber{NumberPrefix};
inline constexpr SubCodeRule kIdString{SubCodeRead::IdString};
// The bank repair needs the flash checked whatever the sub-code.
inline constexpr FlashRoute kBankFlash{.usual = ReportedType, .checksFlashFrom = kAnySubCode};
inline constexpr FlashRoute kReportedThroughController{.controller = ReportedType};
inline constexpr std::array<const char*, 5> kBankInternal = {"49.48.48.48", "49.48.48.49"};
inline constexpr std::array<const char*, 5> kMakerInternal = {"2.00.00", "0.160.144"};
inline constexpr ReleaseRule k845Release{FlashBlock, 2, 0x04, "845",
                                         {"7.07.00.16.00", "11.19.02.16.00", "4.10.02.16.00"}};

inline constexpr std::array<ChipRow, kChipTypeCount> kChipTable = {{
    {.type = ChipType::None, .name = "Unknown Chip", .subCode = kIdString,
     .failedVersion = "00.00"},
    {.type = ChipType::Tx40775, .name = "TX40775 Series", .shortCode = "775",
     .subCode = {SubCodeRead::IdString, 1}, .group = SerialFlash, .flash = {ProbeParts},
     .failedVersion = "02.00", .image = {NumberRevision, nullptr, "\x5A\xA5\x0F\xF0"}},
    {.type = ChipType::Tx40776, .name = "TX40776 Series", .shortCode = "776",
     .group = ParallelFlash, .failedVersion = "02.00", .image = {NotPrefix, "77"}},
    {.type = ChipType::Tx40777, .name = "TX40777 Series", .shortCode = "777", .subCode = kIdString,
     .group = SerialFlash,
     .flash = {ProbeParts}, .image = {Always}},
    {.type = ChipType::Tx40779, .name = "TX40779 Series", .shortCode = "779", .subCode = kIdString,
     .group = SerialFlash,
     .flash = {ProbeParts}, .failedVersion = "02.00", .image = {NumberRevision},
     .summedToEndMarkerFrom = '3', .release = {ChipMemory, 2, 0x01}},
    {.type = ChipType::Tx40769, .name = "TX40769 Series", .shortCode = "769",
     .group = ParameterBlock, .image = kByNumber},
    {.type = ChipType::Txr842, .name = "TXR842 Series", .shortCode = "842", .subCode = kIdString,
     .nvramArea = true,
     .group = SerialFlash, .flash = {ProbeParts}, .image = {RevisionByte},
     .release = {ChipMemory, 2, 0x04}},
    {.type = ChipType::Txr843, .name = "TXR843 Series", .shortCode = "843",
     .subCode = {SubCodeRead::InfoRevision}, .group = SerialFlash,
     .flash = {ProbeParts, ReportedType, BranchSwitch::OverIeee1394},
     .image = {HeaderPerRevision, "t843", "8431"}},
    {.type = ChipType::Txr845, .name = "TXR845/846 Series", .shortCode = "846",
     .blockCommands = true, .nvramArea = true, .group = SerialFlash, .flash = {ReportedType},
     .version = VersionLayout::Bytes6To14, .image = kByNumber, .release = k845Release},
    {.type = ChipType::Txr846, .name = "TXR845/846 Series", .shortCode = "846",
     .blockCommands = true, .nvramArea = true, .group = SerialFlash, .flash = {ReportedType},
     .version = VersionLayout::Bytes6To14, .image = kByNumber, .release = k845Release},
    {.type = ChipType::Txr847, .name = "TXR847 Series", .shortCode = "847",
     .reportsFlashSize = true, .imageNvramRecord = true, .subCode = kIdString, .nvramArea = true,
     .group = SerialFlash, .flash = {JedecConfig, None, BranchSwitch::Never, true, 0},
     .version = VersionLayout::Bytes10To14, .image = kByNumber},
    {.type = ChipType::Txv961, .name = "TXV961/929 Series", .shortCode = "961",
     .blockCommands = true, .signedImage = true, .clearsPageSize = true,
     .subCode = {SubCodeRead::LevelFdb0, 0, 5}, .with842 = ChipType::Txv961With842,
     .nvramArea = true, .group = SerialFlash,
     .flash = {.usual = ReportedType, .checksFlashFrom = 5}, .version = VersionLayout::Bytes6To14Probed,
     .image = kByNumber,
     .release = {FlashBlock, 2, 0x10, nullptr,
                 {"9.18.01.16.00", "12.01.02.16.00", "2.05.11.16.00", "4.08.11.16.00",
                  "5.13.11.16.00"}}},
    {.type = ChipType::Txv929, .name = "TXV929 Series", .shortCode = "929", .bankEnd = 0xC000,
     .twoBanksAlways = true, .blockCommands = true, .signedImage = true,
     .with847 = ChipType::Txv929With847, .with842 = ChipType::Txv929With842, .nvramArea = true,
     .group = SerialFlash, .flash = kBankFlash, .version = VersionLayout::Bytes12To15,
     .image = {NumberPrefix, nullptr, nullptr, kTail929MarkerOffset},
     .release = {BankTail, 3, 0x01, nullptr, kBankInternal}},
    {.type = ChipType::Txv929With847, .name = "TXV929/847 Series", .shortCode = "847",
     .reportsFlashSize = true, .imageNvramRecord = true, .behindController = true,
     .nvramArea = true, .group = BridgeBehindController, .flash = {.controller = JedecConfig},
     .version = VersionLayout::Controller10To14, .image = kByNumber},
    {.type = ChipType::Txv961With842, .name = "TXV929/842 Series", .shortCode = "842",
     .behindController = true, .nvramArea = true, .group = BridgeBehindController,
     .flash = kReportedThroughController, .version = VersionLayout::Controller8To10, .image = {RevisionByte}},
    {.type = ChipType::Txv929With842, .name = "TXV929/842 Series", .shortCode = "842",
     .behindController = true, .nvramArea = true, .group = BridgeBehindController,
     .flash = kReportedThroughController, .version = VersionLayout::Controller8To10, .image = {Sub0OrRevisionByte}},
    {.type = ChipType::Txv927, .name = "TXV927 Series", .shortCode = "927", .bankEnd = 0x8000,
     .blockCommands = true, .signedImage = true, .nvramArea = true, .group = SerialFlash,
     .flash = kBankFlash, .version = VersionLayout::Bytes12To15,
     .image = {NumberPrefix, nullptr, nullptr, kTail927MarkerOffset},
     .release = {BankTail, 3, 0x01, nullptr, kBankInternal}},
    {.type = ChipType::Txr659, .name = "TXR659 Series", .shortCode = "659", .subCode = kIdString,
     .group = SerialFlash,
     .flash = {ProbeParts, JedecConfig, BranchSwitch::SubCodeAbove2},
     .image = {NumberPrefix, nullptr, nullptr, kMakerMarkerOffset},
     .release = {MakerMarker, 2, 0x01, nullptr, kMakerInternal}},
    // No image rule is known.
    {.type = ChipType::Txr649, .name = "TXR649 Series", .shortCode = "649",
     .group = ParameterBlock},
    {.type = ChipType::Tx40779E, .name = "TX40779 Series", .shortCode = "779",
     .group = SerialFlash, .flash = {JedecConfig, None, BranchSwitch::Never, false, 2},
     .image = {Exact, "779E", nullptr, kMakerMarkerOffset},
     .release = {MakerMarker, 2, 0x01, nullptr, kMakerInternal}},
    {.type = ChipType::Tx40777Variant, .name = "TX40777", .shortCode = "777", .image = {Always}},
    {.type = ChipType::Tx40778Variant, .name = "TX40778", .shortCode = "778", .image = {Always}},
    {.type = ChipType::Tx40779Variant, .name = "TX40779", .shortCode = "779", .image = {Always}},
    {.type = ChipType::Tx40775Variant, .name = "TX40775", .shortCode = "775", .image = {Always}},
    {.type = ChipType::Tx40776Rom, .name = "TX40776", .shortCode = "776",
     .group = ParallelFlash, .image = {NotPrefix, "77"}},
}};

}  // namespace chip_rows

using chip_rows::kChipTable;

constexpr int Code(ChipType type) { return static_cast<int>(type); }

// The type of a code as the chip state keeps it. Codes without a row keep
// their value; ChipRowFor reads them as row 0.
constexpr ChipType AsChipType(int code) { return static_cast<ChipType>(code); }

constexpr bool HasChipRow(int code) { return code >= 0 && code < kChipTypeCount; }

constexpr const ChipRow& ChipRowFor(int code) {
  return kChipTable[static_cast<std::size_t>(HasChipRow(code) ? code : 0)];
}
constexpr const ChipRow& ChipRowFor(ChipType type) { return ChipRowFor(Code(type)); }

constexpr bool IsBankChip(int code) { return ChipRowFor(code).bankEnd != 0; }

// Rows are looked up by code: each sits at its own.
constexpr bool ChipRowsInCodeOrder() {
  for (int code = 0; code < kChipTypeCount; ++code)
    if (Code(kChipTable[static_cast<std::size_t>(code)].type) != code) return false;
  return true;
}
static_assert(ChipRowsInCodeOrder(), "chip rows out of code order");

// Two banks are moved with the block commands and carry signed images.
constexpr bool BankChipsUseBlockCommands() {
  for (const ChipRow& row : kChipTable)
    if (row.bankEnd != 0 && !(row.blockCommands && row.signedImage)) return false;
  return true;
}
static_assert(BankChipsUseBlockCommands(), "a bank chip outside the block commands");

// A bank chip's image closes its first bank with its marker block.
constexpr bool BankImagesMarkTheirBankEnd() {
  for (const ChipRow& row : kChipTable)
    if (row.bankEnd != 0 && row.image.markerAt != row.bankEnd - 0x10) return false;
  return true;
}
static_assert(BankImagesMarkTheirBankEnd(), "a bank chip's image marker off its bank end");

// A bank chip's setup repairs its banks, which needs its flash checked.
constexpr bool BankChipsCheckTheirFlash() {
  for (const ChipRow& row : kChipTable)
    if (row.bankEnd != 0 && row.flash.checksFlashFrom != kAnySubCode) return false;
  return true;
}
static_assert(BankChipsCheckTheirFlash(), "a bank chip that skips its flash check");

// Only a bridge behind a controller has a controller route, and each has one.
constexpr bool ControllerRoutesMatchGroup() {
  for (const ChipRow& row : kChipTable)
    if ((row.group == DisplayGroup::BridgeBehindController) !=
        (row.flash.controller != FlashBranch::None))
      return false;
  return true;
}
static_assert(ControllerRoutesMatchGroup(), "a controller route on the wrong chip");

}  // namespace device
