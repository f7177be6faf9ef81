// The NVRAM-preserving 16 KB-page update and the SST update on emulated
// enclosures: the commands each layout takes, what lands where in the flash,
// the refusals before any command, and the NVRAM put back after a failure.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "scsi/flash_commands.h"
#include "procedure_fixture.h"
#include "engine/procedure_table.h"
#include "engine/image_file.h"
#include "procedures/nvram_page16k.h"
#include "procedures/sst_serial.h"

namespace {

using testing_support::FakeRunWindow;
using testing_support::FlashAddress;
using Bytes = std::vector<std::uint8_t>;
using Writes = std::vector<std::pair<std::uint32_t, std::uint32_t>>;  // address, length

constexpr const char* kPowerCycle = "Please Turn-Off the Power and Turn-On Again!";

Bytes Pattern(std::size_t n, std::uint8_t seed) { return testing_support::Pattern(n, seed, 13, 9); }

// An image whose chip marker sits behind a 4 KB NVRAM area (what the layout
// test of chip type 6 looks for), filled with a pattern elsewhere.
Bytes SignedImage(std::size_t n) {
  Bytes v = Pattern(n, 0x42);
  const std::uint8_t marker[] = {0x55, 0xAA, 0xAA, 0x55, '8', '4', '2', ' ', 0x01};
  std::copy(std::begin(marker), std::end(marker), v.begin() + 0x1000);
  v[0] = 0x00;  // no marker at 0
  return v;
}

class Page16KProcedureTest : public testing_support::ProcedureFixture {
 protected:
  Page16KProcedureTest() : ProcedureFixture("tx-page16k") {}

  // Attaches a profile whose flash holds old firmware and a known NVRAM, with
  // the facts identification gives it.
  void Attach(const std::string& name, int flashKind, std::int32_t flashSizeKb = 64,
              const sim::AttachOptions& options = {}) {
    const sim::EnclosureProfile* profile = AttachNamed(name, options);
    ASSERT_NE(nullptr, profile);
    sim::FlashArray& cells = chip->serialFlash()->cells();
    const Bytes old = Pattern(cells.size(), 0x11);
    cells.Load(0, old.data(), old.size());
    nvram_ = Flash(0, 0x1000);
    window.facts_.chipSubCode = profile->subCode;
    window.facts_.flashTypeCode = flashKind;
    window.facts_.flashSizeKb = flashSizeKb;
    window.facts_.sstJedecFlag = flashKind == 2 ? 1 : 0;
    machine.ClearTranscript();
  }

  Writes EngineWrites() const {
    Writes out;
    for (const auto& e : machine.transcript())
      if (e.command == "WriteFlash") out.push_back({FlashAddress(e), e.request.dataTransferLength});
    return out;
  }
  // 16 KB reads: the blank-check halves and the page read-backs.
  std::vector<std::uint32_t> PageReads() const {
    std::vector<std::uint32_t> out;
    for (const auto& e : machine.transcript())
      if (e.command == "ReadFlash" && e.request.dataTransferLength == 0x4000)
        out.push_back(FlashAddress(e));
    return out;
  }
  // The NVRAM read: 4 KB from flash address 0 before the first erase.
  bool ReadNvramFirst() const {
    for (const auto& e : machine.transcript()) {
      if (e.command == "EraseFlashSector") return false;
      if (e.command == "ReadFlash" && e.request.dataTransferLength == 0x1000 && FlashAddress(e) == 0)
        return true;
    }
    return false;
  }

  Bytes nvram_;
};

// --- the page layouts of the NVRAM-preserving update -----------------------

struct LayoutCase {
  const char* name;
  const char* profile;
  int flashKind;
  bool signedImage;
  std::size_t fileLength;
  bool nvramChecked;
  std::vector<std::uint32_t> erases;
  Writes writes;
  bool readsNvram;
};

class NvramLayoutTest : public Page16KProcedureTest,
                        public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(NvramLayoutTest, ErasesWritesAndPlacesTheImageAsTheLayoutSays) {
  const LayoutCase& c = GetParam();
  Attach(c.profile, c.flashKind);
  const Bytes image = c.signedImage ? SignedImage(c.fileLength) : Pattern(c.fileLength, 0x77);
  WriteImage(image);
  window.options_.nvramChecked = c.nvramChecked;

  ASSERT_EQ(1, program::RunVerb(program::Procedure::NvramPage16K, window, path.c_str())) << window.StatusText();
  EXPECT_EQ(c.erases, EraseAddresses());
  EXPECT_EQ(c.writes, EngineWrites());
  EXPECT_EQ(c.readsNvram, ReadNvramFirst());
  EXPECT_EQ(c.signedImage ? 1 : 0, window.signature);
  EXPECT_EQ("Programming Success!!", window.StatusText());
  ASSERT_EQ(1u, window.messages.size());
  EXPECT_EQ(kPowerCycle, window.messages[0].text);
  // This update repaints the status line without letting other messages run.
  EXPECT_EQ(window.statuses.size(), static_cast<std::size_t>(window.repaintsWithoutPump));

  const bool keep = !(c.signedImage && c.nvramChecked);
  if (!keep) {
    EXPECT_EQ(image, Flash(0, image.size()));
    return;
  }
  EXPECT_EQ(nvram_, Flash(0, 0x1000));
  const std::size_t from = c.signedImage ? 0x1000 : 0;  // file offset at flash 0x1000
  EXPECT_EQ(Bytes(image.begin() + static_cast<std::ptrdiff_t>(from), image.end()),
            Flash(0x1000, image.size() - from));
  // Past the file, the last page written is padded with zeros.
  const std::uint32_t end = c.writes.back().first + c.writes.back().second;
  const std::size_t fileEnd = 0x1000 + image.size() - from;
  EXPECT_EQ(Bytes(end - fileEnd, 0x00), Flash(fileEnd, end - fileEnd));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Layouts, NvramLayoutTest, ::testing::Values(
    // 12 KB without an NVRAM area: one unit, the page at 0, then a 4 KB tail of zeros.
    LayoutCase{"Unsigned12K", "txr842", 5, false, 0x3000, false,
               {0x0000}, {{0x0000, 0x4000}, {0x4000, 0x1000}}, true},
    // Chip type 6, 36 KB with an NVRAM area: two units, two pages and the tail at 0x8000.
    LayoutCase{"Signed36KUnchecked", "txr842", 5, true, 0x9000, false,
               {0x0000, 0x8000}, {{0x0000, 0x4000}, {0x4000, 0x4000}, {0x8000, 0x1000}}, true},
    // The image's own NVRAM is wanted: no NVRAM read, the file as it is.
    LayoutCase{"Signed36KChecked", "txr842", 5, true, 0x9000, true,
               {0x0000, 0x8000}, {{0x0000, 0x4000}, {0x4000, 0x4000}, {0x8000, 0x4000}}, false},
    // Without an NVRAM area the box does not matter: the flash's NVRAM is kept.
    LayoutCase{"Unsigned48KChecked", "txr842", 5, false, 0xC000, true,
               {0x0000, 0x8000}, {{0x0000, 0x4000}, {0x4000, 0x4000}, {0x8000, 0x4000},
                                  {0xC000, 0x1000}}, true}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(Page16KProcedureTest, ChipTypeTenTakesTheImageRecordAt128IntoTheKeptNvram) {
  Attach("txr847-mxic32", 5);
  // What identification tells this chip: its flash takes 32-byte pages.
  ASSERT_EQ(1, device::SetFlashPageSize(path.c_str(), 32, 0));
  Bytes image = Pattern(0x8000, 0x23);
  const std::uint8_t layout80[] = {0xE9, 0xAC, 0x67, 0x32, '8', '4', '7', '1'};
  std::copy(std::begin(layout80), std::end(layout80), image.begin() + 0x80);
  WriteImage(image);
  ASSERT_EQ(1, program::RunVerb(program::Procedure::NvramPage16K, window, path.c_str())) << window.StatusText();
  Bytes expected = nvram_;
  std::copy(image.begin() + 128, image.begin() + 208, expected.begin() + 128);
  EXPECT_EQ(expected, Flash(0, 0x1000));
  EXPECT_EQ(Bytes(image.begin() + 0x1000, image.end()), Flash(0x1000, 0x7000));
}

TEST_F(Page16KProcedureTest, ChipTypeElevenClearsThePageSizeAndTakesTheImageAsSigned) {
  Attach("txv961-page", 5, 1024);
  const Bytes image = Pattern(0x8000, 0x31);  // no marker: type 11 is signed all the same
  WriteImage(image);
  window.options_.nvramChecked = true;
  ASSERT_EQ(1, program::RunVerb(program::Procedure::NvramPage16K, window, path.c_str())) << window.StatusText();
  EXPECT_EQ(1, window.signature);
  EXPECT_EQ(image, Flash(0, image.size()));
  int clears = 0;
  for (const auto& e : machine.transcript())
    clears += e.command == "FlashPageSize" && e.cdb[3] == 0x00 ? 1 : 0;
  EXPECT_EQ(1, clears);
}

TEST_F(Page16KProcedureTest, ImageFillingTheFlashExactlyIsWritten) {
  Attach("txr842", 5, 64);
  const Bytes image = Pattern(0xF000, 0x66);  // 60 KB + the 4 KB NVRAM = 64 KB
  WriteImage(image);
  ASSERT_EQ(1, program::RunVerb(program::Procedure::NvramPage16K, window, path.c_str())) << window.StatusText();
  EXPECT_EQ(image, Flash(0x1000, image.size()));
  EXPECT_EQ(nvram_, Flash(0, 0x1000));
}

// --- erase-only and backup-only ---------------------------------------------

TEST_F(Page16KProcedureTest, EraseOnlyPutsTheNvramBackUnlessItIsToBeIncluded) {
  for (bool checked : {false, true}) {
    SCOPED_TRACE(checked);
    window = FakeRunWindow();
    Attach("txr842", 5);
    window.options_.rdMode = true;
    window.facts_.eraseOnly = 1;
    window.options_.nvramChecked = checked;
    ASSERT_EQ(1, program::RunVerb(program::Procedure::NvramPage16K, window, path.c_str())) << window.StatusText();
    EXPECT_EQ(checked ? Bytes(0x1000, 0xFF) : nvram_, Flash(0, 0x1000));
    EXPECT_EQ(Bytes(0xF000, 0xFF), Flash(0x1000, 0xF000));
    ASSERT_EQ(1u, window.messages.size());
    EXPECT_EQ(kPowerCycle, window.messages[0].text);
  }
}

TEST_F(Page16KProcedureTest, BackupOnlyLeavesTheNvramOutUnlessItIsToBeIncluded) {
  for (bool checked : {false, true}) {
    SCOPED_TRACE(checked);
    window = FakeRunWindow();
    Attach("txr847-mxic32", 5, 64);
    window.options_.rdMode = true;
    window.options_.backupOnlyChecked = true;
    window.options_.nvramChecked = checked;
    window.options_.backupFile = FileIn("backup.bin");
    ASSERT_EQ(1, program::RunVerb(program::Procedure::NvramPage16K, window, path.c_str())) << window.StatusText();
    const Bytes file = ReadFile(window.options_.backupFile);
    const std::size_t skip = checked ? 0 : 0x1000;
    EXPECT_EQ(Flash(skip, 0x10000 - skip), file);
    EXPECT_TRUE(window.messages.empty());
  }
}

TEST_F(Page16KProcedureTest, AtmelLatchThatNeverSetsStopsBeforeAnyErase) {
  Attach("txr842-atmel", 0);
  window.facts_.atmelFlashId = 1;
  WriteImage(Pattern(0x8000, 0x01));
  sim::CommandFault fault;
  fault.pattern = sim::CdbPattern("FF 04 12");  // status reads: the latch never shows
  fault.occurrence = 0;
  machine.AddFault(fault);
  EXPECT_EQ(0, program::RunVerb(program::Procedure::NvramPage16K, window, path.c_str()));
  EXPECT_EQ("Enable ATMEL flash write enable fail!!", window.StatusText());
  EXPECT_TRUE(EraseAddresses().empty());
  EXPECT_EQ(nvram_, Flash(0, 0x1000));
}

// --- the SST update -----------------------------------------------------------

struct SstCase {
  const char* name;
  const char* profile;
  std::uint8_t chipType;  // as the facts give it
  std::size_t fileLength;
  std::vector<std::uint32_t> pageReads;  // blank-check halves, then read-backs
  bool chipErase;
};

class SstLayoutTest : public Page16KProcedureTest, public ::testing::WithParamInterface<SstCase> {};

TEST_P(SstLayoutTest, WritesTheImageFromZeroPageByPage) {
  const SstCase& c = GetParam();
  // Without the serial chip erase (and its protection clear) only a part an
  // earlier tool left unprotected erases; a protected one: SstProtectionTest.
  sim::AttachOptions options;
  options.powerUpProtection = c.chipErase;
  Attach(c.profile, 2, 2048, options);
  window.facts_.chipType = c.chipType;
  const Bytes image = Pattern(c.fileLength, 0x3C);
  WriteImage(image);
  ASSERT_EQ(1, program::RunVerb(program::Procedure::SstSerialFlash, window, path.c_str())) << window.StatusText();
  EXPECT_TRUE(window.options_.nvramChecked);
  EXPECT_EQ(std::vector<std::uint32_t>{0x0000}, EraseAddresses());
  EXPECT_EQ(c.pageReads, PageReads());
  EXPECT_EQ(c.chipErase ? 1 : 0, SpiOpcodes(0xC7));
  if (c.chipErase) {
    // The serial chip erase comes before the first unit's erase.
    std::size_t chipErase = 0, firstUnit = 0;
    const auto& t = machine.transcript();
    for (std::size_t i = 0; i < t.size(); ++i) {
      if (t[i].command == "SpiCommand" && t[i].cdb[5] == 0xC7 && chipErase == 0) chipErase = i;
      if (t[i].command == "EraseFlashSector" && firstUnit == 0) firstUnit = i;
    }
    EXPECT_LT(chipErase, firstUnit);
  }
  const std::size_t pages = c.pageReads.size() - 2;
  EXPECT_EQ(image, Flash(0, image.size()));
  EXPECT_EQ(Bytes(pages * 0x4000 - image.size(), 0x00),
            Flash(image.size(), pages * 0x4000 - image.size()));
  // One message round after each page program; every status only repainted.
  EXPECT_EQ(static_cast<int>(pages), window.pumps);
  EXPECT_EQ(window.statuses.size(), static_cast<std::size_t>(window.repaintsWithoutPump));
  ASSERT_EQ(1u, window.messages.size());
  EXPECT_EQ(kPowerCycle, window.messages[0].text);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Layouts, SstLayoutTest, ::testing::Values(
    SstCase{"EightKOnTypeTen", "txr847-sst", 10, 0x2000, {0x0000, 0x4000, 0x0000}, true},
    SstCase{"ThirtyTwoKOnTypeTen", "txr847-sst", 10, 0x8000,
            {0x0000, 0x4000, 0x0000, 0x4000}, true},
    SstCase{"TypeElevenHasNoChipErase", "txv961-l5-sst", 11, 0x2000, {0x0000, 0x4000, 0x0000},
            false},
    SstCase{"TypeOneHasNoChipErase", "txv961-l5-sst", 1, 0x2000, {0x0000, 0x4000, 0x0000}, false}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(Page16KProcedureTest, SstFailuresStopWithTheirTextAndNoBox) {
  struct Case {
    const char* pattern;
    int occurrence;
    const char* status;
  } cases[] = {
      {"FF 04 14", 1, "Erase command fail!!"},
      {"FF 04 10 00 40 00", 1, "Read back after erase fail!!"},
      {"FF 04 22", 3, "Write command fail!"},
      {"FF 04 10 00 00 00", 2, "Write command fail!"},  // the page's read-back
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    window = FakeRunWindow();
    machine.ClearFaults();
    Attach("txr847-sst", 2, 2048);
    WriteImage(Pattern(0x2000, 0x4D));
    sim::CommandFault fault;
    fault.pattern = sim::CdbPattern(c.pattern);
    fault.occurrence = c.occurrence;
    machine.AddFault(fault);
    EXPECT_EQ(0, program::RunVerb(program::Procedure::SstSerialFlash, window, path.c_str()));
    EXPECT_EQ(c.status, window.StatusText());
    EXPECT_TRUE(window.messages.empty());
  }
}

}  // namespace
