// The NVRAM a run keeps, on every way out: a fault at each step after its
// area was erased ends the run with its text and no box, and the NVRAM is
// back in place and checked; only a write-back that fails itself loses it,
// and then says so. Before the erase a fault changes nothing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "block_fixture.h"
#include "scsi/ata_commands.h"
#include "procedure_fixture.h"
#include "engine/procedure_table.h"
#include "sim/controller_route.h"
#include "sim/test_images.h"

namespace {

using program::Procedure;
using sim::CommandFault;
using testing_support::RunMode;

struct Fault {
  const char* pattern;
  int occurrence = 1;  // 0: every match
  CommandFault::Kind kind = CommandFault::Kind::CheckCondition;
  std::uint32_t shortLength = 0;  // ShortTransfer: bytes moved
};

enum class After { AsRowSays, Untouched, BlankAtZero };

struct Keep {
  const char* name;
  Procedure procedure;
  RunMode mode;
  std::vector<Fault> faults;
  const char* status;
  bool nvramBack;                  // false: the write-back failed and the NVRAM is lost
  After after = After::AsRowSays;  // what the rest of the flash shows
};

void PrintTo(const Keep& k, std::ostream* os) { *os << k.name; }

// The enclosure each procedure runs on, where it keeps the NVRAM there, the
// image its program runs write, and the flash kind identification reports
// (-1: the enclosure's own).
struct Place {
  Procedure procedure;
  const char* profile;
  std::uint32_t at, size;
  std::size_t image;
  int flashKind;
};
constexpr Place kPlaces[] = {
    // A first erase unit of 64 KB: the erase at 0 takes the record with it.
    {Procedure::StandardSerialFlash, "txr843-usb", 0x8000, 512, 0x6000, 1},
    {Procedure::NvramPage16K, "txr842", 0, 0x1000, 0x9000, 5},
    {Procedure::BlockCommandFlash, "txv929", 0xC000, 0x1000, 0x10000, -1},
    {Procedure::Ieee1394BridgeFlash, "txr843-1394", 0x8000, 0x400, 0x8000, -1},
    {Procedure::BridgeBehindController, "txv929-txr847", 0, 0x1000, 0x4000, -1},
};
const Place& PlaceOf(const Keep& k) {
  for (const Place& p : kPlaces)
    if (p.procedure == k.procedure) return p;
  throw std::logic_error("no place for this row");
}

class NvramKeptTest : public testing_support::ParamFilesTest<Keep> {};

TEST_P(NvramKeptTest, EveryWayOutPutsItBackOrSaysItIsLost) {
  const Keep& k = GetParam();
  const Place& place = PlaceOf(k);
  sim::Machine machine;
  const host::ScopedHost scope(machine);
  const sim::EnclosureProfile& profile = *sim::FindProfile(place.profile);
  auto chip = sim::AttachProfile(machine, profile);
  sim::SerialFlash* flash = chip->serialFlash();
  if (flash == nullptr) flash = chip->controllerRoute()->flash();
  sim::FlashArray& cells = flash->cells();
  const std::vector<std::uint8_t> old = testing_support::Pattern(cells.size(), 0x35, 11, 9);
  cells.Load(0, old.data(), old.size());

  testing_support::FakeRunWindow window;
  window.facts_.chipType = profile.chipType;
  window.facts_.chipSubCode = profile.subCode;
  window.facts_.flashTypeCode =
      place.flashKind >= 0 ? place.flashKind : profile.bridge.flashTypeCode;
  window.facts_.flashSizeKb = static_cast<std::int32_t>(cells.size() / 1024);
  window.geometry_ = testing_support::EraseGeometryForKind(window.facts_.flashTypeCode);
  ASSERT_TRUE(sim::WriteImageFile(file_, testing_support::Pattern(place.image, 0x61)));
  window.options_.imageFile = file_;
  testing_support::SetRunMode(window, k.mode, backup_);
  // What identification tells the controller about the TXR847's MXIC part.
  if (profile.behind.has_value()) {
    ASSERT_EQ(1, device::AtaSetFlashPageSize(chip->path().c_str(), 32));
  }
  for (const Fault& f : k.faults) {
    CommandFault fault;
    fault.kind = f.kind;
    fault.pattern = sim::CdbPattern(f.pattern);
    fault.occurrence = f.occurrence;
    fault.shortLength = f.shortLength;
    machine.AddFault(fault);
  }

  EXPECT_EQ(0, program::RunVerb(k.procedure, window, chip->path().c_str()));
  EXPECT_EQ(k.status, window.StatusText());
  EXPECT_TRUE(window.messages.empty());
  EXPECT_EQ(0, chip->resetCount());
  std::vector<std::uint8_t> after(cells.size());
  cells.Read(0, after.data(), after.size());
  const auto area = [&](const std::vector<std::uint8_t>& v) {
    return std::vector<std::uint8_t>(v.begin() + place.at, v.begin() + place.at + place.size);
  };
  EXPECT_EQ(k.nvramBack, area(old) == area(after));
  if (k.after == After::Untouched) {
    EXPECT_TRUE(old == after);
  }
  if (k.after == After::BlankAtZero) {
    EXPECT_EQ(0xFF, after[0]);
  }
}

constexpr auto kShort = CommandFault::Kind::ShortTransfer;
constexpr auto kUnplug = CommandFault::Kind::Unplug;
constexpr auto kProgram = RunMode::Program;
constexpr auto kEraseOnly = RunMode::EraseOnly;
const char* const kWriteBackFail = "Write NVRAM back command fail!";
const char* const kNvramReadFail = "Backup NVRAM command fail!";
constexpr auto kStandard = Procedure::StandardSerialFlash;
constexpr auto kPage16K = Procedure::NvramPage16K;
constexpr auto kBlock = Procedure::BlockCommandFlash;
constexpr auto kIeee1394 = Procedure::Ieee1394BridgeFlash;
constexpr auto kBridge = Procedure::BridgeBehindController;
constexpr const char* kBlockRead = "DF ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? FA";
const auto kName = [](const auto& info) { return std::string(info.param.name); };

// clang-format off
INSTANTIATE_TEST_SUITE_P(Standard, NvramKeptTest, ::testing::Values(
    Keep{"EraseFails", kStandard, kProgram, {{"FF 04 14"}}, "Erase command fail!!", true},
    Keep{"BlankReadFails", kStandard, kProgram, {{"FF 04 10 00 00 00"}},
         "Read Back Erased Flash Error!!", true, After::BlankAtZero},
    Keep{"BlankCheckFails", kStandard, kProgram, {{"FF 04 10 00 00 00", 1, kShort, 0x100}},
         "Data not 0xff !!", true, After::BlankAtZero},
    Keep{"ProgramFails", kStandard, kProgram, {{"FF 04 11 00 20 00"}}, "Programming Fail!!", true},
    Keep{"ReadBackFails", kStandard, kProgram, {{"FF 04 10 00 00 00", 2}}, "Read Fail!!\r\n", true},
    // The write-back itself failing is a failed run, never a success.
    Keep{"WriteBackFails", kStandard, kProgram, {{"FF 04 11 00 80 00"}}, kWriteBackFail, false},
    Keep{"WriteBackUnplugs", kStandard, kProgram, {{"FF 04 11 00 80 00", 1, kUnplug}},
         kWriteBackFail, false},
    // Reads at 0x8000: the record twice, then the check after the write-back.
    Keep{"WriteBackReadFails", kStandard, kProgram, {{"FF 04 10 00 80 00", 3}},
         "Compare NVRAM Fail!!", true},
    Keep{"WriteBackReadShort", kStandard, kProgram, {{"FF 04 10 00 80 00", 3, kShort, 0x100}},
         "Compare NVRAM Fail!!", true}),
    kName);

INSTANTIATE_TEST_SUITE_P(Page16K, NvramKeptTest, ::testing::Values(
    // Before the first erase nothing is lost and nothing is written.
    Keep{"NvramReadFails", kPage16K, kProgram, {{"FF 04 10 00 00 00"}}, kNvramReadFail, true},
    // Half an NVRAM is not a copy to put back.
    Keep{"NvramReadShort", kPage16K, kProgram, {{"FF 04 10 00 00 00", 1, kShort, 0x800}},
         kNvramReadFail, true},
    Keep{"BlankCheckReadShort", kPage16K, kProgram, {{"FF 04 10 00 40 00", 1, kShort, 0x800}},
         "Read back after erase fail!!", true},
    Keep{"SecondEraseFails", kPage16K, kProgram, {{"FF 04 14", 2}}, "Erase command fail!!", true},
    Keep{"BlankCheckReadFails", kPage16K, kProgram, {{"FF 04 10 00 40 00"}},
         "Read back after erase fail!!", true},
    Keep{"FirstPageFails", kPage16K, kProgram, {{"FF 04 11 00 00 00"}}, "Write command fail!",
         true},
    Keep{"SecondPageFails", kPage16K, kProgram, {{"FF 04 11 00 40 00"}}, "Write command fail!",
         true},
    // The page at 0 and the write-back both fail: the loss is reported.
    Keep{"WriteBackFailsToo", kPage16K, kProgram, {{"FF 04 11 00 00 00", 0}}, kWriteBackFail,
         false},
    Keep{"EraseOnlyWriteBackFails", kPage16K, kEraseOnly, {{"FF 04 11", 0}}, kWriteBackFail,
         false}),
    kName);

// Block reads: the NVRAM twice, then the blank check; each failed read is
// one command. The IEEE 1394 NVRAM takes 4 reads a copy.
INSTANTIATE_TEST_SUITE_P(BlockEraseOnly, NvramKeptTest, ::testing::Values(
    Keep{"BlockWriteBackFails", kBlock, kEraseOnly, {{"DF 00 ?? ?? ?? ?? ?? ?? 00 C0 00 FB", 0}},
         kWriteBackFail, false},
    Keep{"BlockBlankChecksCannotRead", kBlock, kEraseOnly, {{kBlockRead, 3}, {kBlockRead, 4}},
         "Read Back Erased Flash Error!!", true},
    Keep{"BlockFirstEraseFails", kBlock, kEraseOnly, {{"DF 03 ?? ?? ?? ?? ?? ?? 00 00 00 FB"}},
         "Erase command fail!!", true},
    Keep{"Ieee1394BlankCheckCannotRead", kIeee1394, kEraseOnly, {{kBlockRead, 9}},
         "Read Back Erased Flash Error!!", true},
    Keep{"Ieee1394EraseAt8000Fails", kIeee1394, kEraseOnly,
         {{"DF 01 ?? ?? ?? ?? ?? ?? 00 80 00 FB"}}, "Erase flash command fail!", true},
    Keep{"Ieee1394WriteBackFails", kIeee1394, kEraseOnly,
         {{"DF 01 ?? ?? ?? ?? ?? ?? 00 80 00 FB", 2}}, kWriteBackFail, false}),
    kName);

// Controller commands by feature: E8 read, E7 erase, E9 write.
INSTANTIATE_TEST_SUITE_P(BehindController, NvramKeptTest, ::testing::Values(
    Keep{"NvramRead", kBridge, kProgram, {{"A1 ?? ?? E8"}}, kNvramReadFail, true, After::Untouched},
    Keep{"Erase", kBridge, kProgram, {{"A1 ?? ?? E7"}}, "Issuse Errase Command fail!", true,
         After::Untouched},
    Keep{"NvramSecondRead", kBridge, kProgram, {{"A1 ?? ?? E8", 2}}, kNvramReadFail, true,
         After::Untouched},
    Keep{"BlankCheck", kBridge, kProgram, {{"A1 ?? ?? E8", 3}}, "Issuse Read Command fail!", true},
    Keep{"FirstChunk", kBridge, kProgram, {{"A1 ?? ?? E9"}}, "Issuse Write Command fail!", true},
    Keep{"SecondChunk", kBridge, kProgram, {{"A1 ?? ?? E9", 2}}, "Issuse Write Command fail!",
         true},
    Keep{"ReadBack", kBridge, kProgram, {{"A1 ?? ?? E8", 6}}, "Issuse Read Command fail!", true}),
    kName);
// clang-format on

}  // namespace
