// The update of a bridge behind a storage controller (chip types 13, 14 and
// 15) end to end on emulated enclosures: what lands in the bridge's flash,
// what happens to its first 4 KB, the status texts and boxes.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "scsi/ata_commands.h"
#include "procedure_fixture.h"
#include "engine/procedure_table.h"
#include "procedures/bridge_flash.h"
#include "sim/controller_route.h"
#include "sim/test_images.h"

namespace {

using testing_support::FakeRunWindow;

constexpr const char* kPowerCycle = "Please Turn-Off the Power and Turn-On Again!";
constexpr std::size_t kNvram = 4096;

std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed) {
  return testing_support::Pattern(n, seed, 11, 9);
}

template <typename T>
std::vector<T> Slice(const std::vector<T>& v, std::size_t from, std::size_t to) {
  return {v.begin() + static_cast<std::ptrdiff_t>(from), v.begin() + static_cast<std::ptrdiff_t>(to)};
}

class BridgeFlashTest : public testing_support::ProcedureFixture {
 protected:
  BridgeFlashTest() : ProcedureFixture("tx-bridge") {}

  void Attach(const std::string& profileName, const sim::AttachOptions& options = {}) {
    const sim::EnclosureProfile* profile = AttachNamed(profileName, options);
    ASSERT_NE(nullptr, profile);
    sim::FlashArray& cells = chip->controllerRoute()->flash()->cells();
    old_ = Pattern(cells.size(), 0x35);
    cells.Load(0, old_.data(), old_.size());
    window = FakeRunWindow{};
    window.facts_.chipType = profile->chipType;
    window.facts_.flashSizeKb = static_cast<std::int32_t>(cells.size() / 1024);
    // What identification tells the controller about the TXR847's MXIC part.
    if (profile->chipType == 13) {
      ASSERT_EQ(1, device::AtaSetFlashPageSize(path.c_str(), 32));
    }
    machine.ClearTranscript();
  }

  std::vector<std::uint8_t> Flash() const {
    return chip->controllerRoute()->flash()->cells().cells();
  }

  // Requests with this feature code, answered or not.
  int Sent(std::uint8_t feature) const {
    int n = 0;
    for (const auto& e : machine.transcript())
      n += e.cdb.size() > 3 && e.cdb[0] == 0xA1 && e.cdb[3] == feature ? 1 : 0;
    return n;
  }

  // Reads of 4096 bytes (eight sectors): the NVRAM copy.
  int NvramReads() const {
    int n = 0;
    for (const auto& e : machine.transcript())
      n += e.cdb.size() > 4 && e.cdb[0] == 0xA1 && e.cdb[3] == 0xE8 && e.cdb[4] == 8 ? 1 : 0;
    return n;
  }

  void ExpectBox(bool shown) const {
    if (!shown) {
      EXPECT_TRUE(window.messages.empty());
      return;
    }
    ASSERT_EQ(1u, window.messages.size());
    EXPECT_EQ(kPowerCycle, window.messages[0].text);
    EXPECT_EQ("Message", window.messages[0].caption);
  }

  int Run() { return program::RunVerb(program::Procedure::BridgeBehindController, window, path.c_str()); }

  std::vector<std::uint8_t> old_;
};

// A 100-byte image takes one 8 KB chunk: the bridge's own first 4 KB, then
// zeros; the rest of the flash is left erased.
TEST_F(BridgeFlashTest, ShortImageIsProgrammedAsOneChunkBehindTheKeptNvram) {
  for (const char* profile : {"txv929-txr847", "txv961-txr842", "txv929-txr842"}) {
    SCOPED_TRACE(profile);
    Attach(profile);
    WriteImage(Pattern(100, 0x77));
    ASSERT_EQ(1, Run()) << window.StatusText();
    const std::vector<std::uint8_t> flash = Flash();
    EXPECT_EQ(Slice(old_, 0, kNvram), Slice(flash, 0, kNvram));
    EXPECT_EQ(std::vector<std::uint8_t>(8192 - kNvram, 0x00), Slice(flash, kNvram, 8192));
    EXPECT_EQ(std::vector<std::uint8_t>(flash.size() - 8192, 0xFF), Slice(flash, 8192, flash.size()));
    EXPECT_EQ((std::vector<std::string>{"Erasing...", "Programming....", "Read back....",
                                        "Compare....", "Programming Success!!"}),
              window.statuses);
    ExpectBox(true);
    machine.Detach(path);
    machine.ClearTranscript();
  }
}

// Which first 4 KB the bridge ends with, by the image's signature, the
// "Include 4K NVRAM" box and the chip type.
TEST_F(BridgeFlashTest, NvramComesFromTheBridgeUnlessTheSignedImageIsIncluded) {
  struct Row {
    const char* profile;
    bool signedImage;
    bool include;
    bool nvramRead;
    std::size_t imageFrom, imageTo;  // bytes of 0..4095 that come from the image
  };
  const Row rows[] = {
      {"txv929-txr847", true, true, false, 0, kNvram},
      {"txv929-txr847", false, true, true, 0, 0},
      {"txv929-txr847", true, false, true, 128, 208},
      {"txv929-txr842", true, true, false, 0, kNvram},
      {"txv929-txr842", true, false, true, 0, 0},
      {"txv961-txr842", false, false, true, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.profile) + (row.signedImage ? " signed" : " unsigned") +
                 (row.include ? " included" : " not included"));
    Attach(row.profile);
    const std::uint8_t type = window.facts_.chipType;
    sim::ImageLayout layout;
    layout.size = 0x4000;
    layout.nvramArea = type != 13;
    sim::Image image = sim::MakeMatchingImage({type, 1}, layout);
    if (!row.signedImage) image = Pattern(0x4000, 0x19);
    ASSERT_FALSE(image.empty());
    WriteImage(image);
    window.options_.nvramChecked = row.include;
    ASSERT_EQ(1, Run()) << window.StatusText();

    std::vector<std::uint8_t> expected = image;
    for (std::size_t i = 0; i < kNvram; ++i)
      if (i < row.imageFrom || i >= row.imageTo) expected[i] = old_[i];
    EXPECT_EQ(expected, Slice(Flash(), 0, image.size()));
    EXPECT_EQ(row.nvramRead ? 2 : 0, NvramReads());  // read twice, to agree
    ExpectBox(true);
    machine.Detach(path);
    machine.ClearTranscript();
  }
}

// Bits that will not program spoil the compare and the NVRAM write-back
// alike; both are reported.
TEST_F(BridgeFlashTest, ReadBackThatDiffersIsACompareFailure) {
  sim::FlashFault wrong;
  wrong.kind = sim::FlashFault::Kind::BitsDoNotProgram;
  wrong.mask = 0x80;
  sim::AttachOptions options;
  options.behindFlashFaults = {wrong};
  Attach("txv929-txr842", options);
  WriteImage(std::vector<std::uint8_t>(0x2000, 0x00));
  EXPECT_EQ(0, Run());
  ASSERT_LE(3u, window.statuses.size());
  EXPECT_EQ((std::vector<std::string>{"Compare....", "Data compare fail", "Write back NVRAM fail!!"}),
            Slice(window.statuses, window.statuses.size() - 3, window.statuses.size()));
  ExpectBox(false);
}

TEST_F(BridgeFlashTest, EraseOnlyChecksTheWholeFlashSize) {
  Attach("txv929-txr842");
  window.options_.rdMode = true;
  window.facts_.eraseOnly = 1;
  ASSERT_EQ(1, Run());
  EXPECT_EQ("Flash operations all success!", window.StatusText());
  EXPECT_EQ(std::vector<std::uint8_t>(old_.size(), 0xFF), Flash());
  ExpectBox(true);
}

// Types 14 and 15 are told no flash size; an unknown size erases nothing.
TEST_F(BridgeFlashTest, EraseOnlyWithoutAFlashSizeErasesNothing) {
  Attach("txv961-txr842");
  window.options_.rdMode = true;
  window.facts_.eraseOnly = 1;
  machine.ClearTranscript();
  window.facts_.flashSizeKb = 0;
  EXPECT_EQ(0, Run());
  EXPECT_EQ("Flash size unknown, nothing erased!!", window.StatusText());
  EXPECT_TRUE(machine.transcript().empty());
  ExpectBox(false);
}

}  // namespace
