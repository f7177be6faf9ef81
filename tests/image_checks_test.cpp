#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "identify/image_checks.h"
#include "identify/run_enabling.h"
#include "sim/test_images.h"

namespace {

using identify::ChipIdentity;
using sim::Image;

// Writes images to temporary files and removes them when the test ends.
class ImageFiles : public ::testing::Test {
 protected:
  ~ImageFiles() override {
    for (const auto& p : paths_) std::remove(p.c_str());
  }
  std::string Write(const Image& image) {
    std::string path = sim::TempImagePath("img");
    paths_.push_back(path);
    EXPECT_TRUE(sim::WriteImageFile(path, image));
    return path;
  }
  bool Matches(const Image& image, ChipIdentity chip) {
    return identify::CheckImageMatchesChip(Write(image), chip).accepted;
  }
  bool SumOk(const Image& image, ChipIdentity chip) {
    return identify::VerifyImageChecksum(Write(image), chip);
  }

 private:
  std::vector<std::string> paths_;
};

std::uint8_t Sum(const Image& image, std::size_t n) {
  std::uint8_t s = 0;
  for (std::size_t i = 0; i < n; ++i) s = static_cast<std::uint8_t>(s + image[i]);
  return s;
}

void Put(Image& image, std::size_t at, const char* text) {
  std::memcpy(image.data() + at, text, std::strlen(text));
}

Image Code(std::size_t size, std::uint32_t seed = 7) {
  Image image(size);
  sim::FillCode(image, seed);
  return image;
}

const std::int8_t kSubCodes[] = {-1, 0, 1, 2, 3, 4, 5, 9};

// ---- Accept/refuse matrix ---------------------------------------------------

TEST_F(ImageFiles, EveryChipAndRevisionAcceptsItsOwnImage) {
  for (int t = 1; t <= identify::kMaxChipType; ++t) {
    for (std::int8_t r : kSubCodes) {
      for (bool nvram : {false, true}) {
        for (std::size_t size : {std::size_t{0x8000}, std::size_t{0x10000}}) {
          const ChipIdentity chip{static_cast<std::uint8_t>(t), r};
          sim::ImageLayout layout;
          layout.size = size;
          layout.nvramArea = nvram;
          const Image image = sim::MakeMatchingImage({chip.type, chip.subCode}, layout);
          const bool none = t == 18 || (t == 7 && r != 1 && r != 2);
          ASSERT_EQ(none, image.empty()) << "type " << t << " sub " << int(r);
          EXPECT_EQ(!none, identify::ChipTakesImages(chip)) << "type " << t << " sub " << int(r);
          if (none) continue;
          const std::string path = Write(image);
          EXPECT_TRUE(identify::CheckImageMatchesChip(path, chip).accepted)
              << "type " << t << " sub " << int(r) << " nvram " << nvram << " size " << size;
          EXPECT_TRUE(identify::VerifyImageChecksum(path, chip))
              << "type " << t << " sub " << int(r) << " nvram " << nvram << " size " << size;
        }
      }
    }
  }
}

TEST_F(ImageFiles, ChipsWithoutAnImageRuleRefuseEverything) {
  const std::string path = Write(sim::MakeMatchingImage({4, 1}));
  for (int t : {0, 18, 25, 255}) {
    EXPECT_FALSE(identify::CheckImageMatchesChip(path, {static_cast<std::uint8_t>(t), 1}).accepted)
        << t;
    EXPECT_FALSE(identify::ChipTakesImages({static_cast<std::uint8_t>(t), 1})) << t;
  }
  EXPECT_FALSE(identify::ChipTakesImages({0, 0}));
  for (std::int8_t r : kSubCodes) {
    if (r == 1 || r == 2) continue;
    EXPECT_FALSE(Matches(sim::MakeMatchingImage({7, 1}), {7, r})) << int(r);
    EXPECT_FALSE(Matches(sim::MakeMatchingImage({7, 2}), {7, r})) << int(r);
    EXPECT_FALSE(identify::ChipTakesImages({7, r})) << int(r);
  }
}

TEST_F(ImageFiles, RefusedImagesAreRefusedByEveryRevision) {
  for (int t = 0; t <= 25; ++t) {
    const bool takesAll = t == 3 || (t >= 20 && t <= 23);
    for (std::int8_t r : kSubCodes) {
      const ChipIdentity chip{static_cast<std::uint8_t>(t), r};
      const Image image = sim::MakeRefusedImage({chip.type, chip.subCode});
      ASSERT_EQ(takesAll, image.empty()) << t;
      if (!takesAll) {
        EXPECT_FALSE(Matches(image, chip)) << "type " << t << " sub " << int(r);
      }
    }
  }
}

TEST_F(ImageFiles, RevisionDecidesOnlyWhereTheChipCarriesOne) {
  const std::set<int> revisionBound = {1, 4, 6, 7, 14, 15};
  for (int t : {1, 4, 5, 6, 7, 8, 10, 11, 12, 13, 14, 15, 16, 17, 19}) {
    for (std::int8_t made : {1, 2}) {
      const Image image = sim::MakeMatchingImage({static_cast<std::uint8_t>(t), made});
      const std::string path = Write(image);
      for (std::int8_t asked : {1, 2, 3}) {
        const bool expect = !revisionBound.count(t) || made == asked;
        EXPECT_EQ(expect, identify::CheckImageMatchesChip(path, {static_cast<std::uint8_t>(t), asked})
                              .accepted)
            << "type " << t << " made " << int(made) << " asked " << int(asked);
      }
    }
  }
}

TEST_F(ImageFiles, ImagesOfOneFamilyAreRefusedByTheOthers) {
  // Chip types that share images; 2, 3 and 20..24 take foreign images by design.
  const std::vector<std::set<int>> families = {{1},  {4},     {5},  {6, 14, 15}, {7},  {8, 9},
                                               {10, 13}, {11}, {12}, {16},        {17}, {19}};
  for (const auto& maker : families) {
    for (bool nvram : {false, true}) {
      sim::ImageLayout layout;
      layout.nvramArea = nvram;
      layout.size = 0x10000;
      const std::uint8_t t = static_cast<std::uint8_t>(*maker.begin());
      const std::string path = Write(sim::MakeMatchingImage({t, 1}, layout));
      for (const auto& asked : families) {
        for (int a : asked) {
          const bool expect = maker.count(a) != 0;
          EXPECT_EQ(expect,
                    identify::CheckImageMatchesChip(path, {static_cast<std::uint8_t>(a), 1}).accepted)
              << "image of " << int(t) << " nvram " << nvram << " asked by " << a;
        }
      }
    }
  }
}

TEST_F(ImageFiles, ChipType1And2Patterns) {
  Image image = Code(0x8000);
  const std::uint8_t rev0[4] = {0x5A, 0xA5, 0x0F, 0xF0};
  std::memcpy(image.data() + 4, rev0, 4);
  EXPECT_TRUE(Matches(image, {1, 1}));
  EXPECT_TRUE(Matches(image, {2, 0}));
  Put(image, 4, "7750");
  EXPECT_FALSE(Matches(image, {1, 1}));
  EXPECT_FALSE(Matches(image, {2, 0}));
  EXPECT_FALSE(Matches(image, {24, 0}));
  Put(image, 4, "7752");
  EXPECT_TRUE(Matches(image, {1, 3}));
  Put(image, 4, "7690");
  EXPECT_TRUE(Matches(image, {2, 0}));
}

// The rule texts name the chip number from the chip table.
TEST(ImageRuleText, NamesTheChipNumberOrTheRuleText) {
  EXPECT_EQ("the text begins with \"846\"", identify::ImageRuleText(9));
  EXPECT_EQ("the text is \"775\" and the revision digit (sub-code - 1); for sub-code 1 it is "
            "\"Z\\xA5\\x0F\\xF0\"",
            identify::ImageRuleText(1));
  EXPECT_EQ("the text is \"779\" and the revision digit (sub-code - 1)", identify::ImageRuleText(4));
  EXPECT_EQ("the text is \"779E\"", identify::ImageRuleText(19));
  EXPECT_EQ("the text does not begin with \"77\"", identify::ImageRuleText(24));
  EXPECT_EQ("no image is accepted", identify::ImageRuleText(25));
}

TEST_F(ImageFiles, ChipType8MarkerAtZeroWinsOverTheNvramLayout) {
  Image image = Code(0x8000);
  sim::PutBridgeMarker(image, 0, "8460", 0);
  EXPECT_TRUE(Matches(image, {8, 0}));
  sim::PutBridgeMarker(image, 0x1000, "8460", 0);
  sim::PutBridgeMarker(image, 0, "8470", 0);
  EXPECT_FALSE(Matches(image, {8, 0}));
  image[0] = 0x02;  // no marker at 0 any more: the NVRAM layout applies
  EXPECT_TRUE(Matches(image, {8, 0}));
  sim::PutBridgeMarker(image, 0x1000, "8470", 0);
  EXPECT_FALSE(Matches(image, {8, 0}));
}

TEST_F(ImageFiles, MarkerOffsetsOfChipTypes12And16AreMandatory) {
  Image image = Code(0x10000);
  sim::PutBridgeMarker(image, 0x1000, "9290", 0);
  Put(image, 4, "9290");
  EXPECT_FALSE(Matches(image, {12, 0}));
  sim::PutBridgeMarker(image, 0xBFF0, "9290", 0);
  EXPECT_TRUE(Matches(image, {12, 0}));
  sim::PutBridgeMarker(image, 0xBFF0, "9270", 0);
  EXPECT_FALSE(Matches(image, {12, 0}));
  // 0x55 0xAA alone passes the first test; the number then comes from 0x1000.
  image[0xBFF2] = 0;
  EXPECT_TRUE(Matches(image, {12, 0}));
  EXPECT_FALSE(Matches(image, {16, 0}));
}

TEST_F(ImageFiles, Layout80OfChipTypes10And13) {
  Image image = Code(0x8000);
  sim::PutLayout80(image, "8471");
  EXPECT_TRUE(Matches(image, {10, 0}));
  EXPECT_TRUE(Matches(image, {13, 4}));
  image[0x82] = 0x66;
  EXPECT_FALSE(Matches(image, {10, 0}));
  sim::PutLayout80(image, "8461");
  EXPECT_FALSE(Matches(image, {10, 0}));
  sim::PutBridgeMarker(image, 0, "8470", 0);  // a bridge marker does not replace the 0x80 block
  image[0x80] = 0;
  EXPECT_FALSE(Matches(image, {10, 0}));
}

TEST_F(ImageFiles, RevisionByteOf842ImagesCountsOnlyInAMarkerBlock) {
  Image image = Code(0x8000);
  sim::PutBridgeMarker(image, 0, "8420", 0);  // revision byte 0 means revision 0
  EXPECT_TRUE(Matches(image, {6, 1}));
  EXPECT_FALSE(Matches(image, {6, 2}));
  image[8] = '2';
  EXPECT_TRUE(Matches(image, {6, 3}));
  EXPECT_TRUE(Matches(image, {14, 3}));
  EXPECT_TRUE(Matches(image, {15, 3}));
  EXPECT_FALSE(Matches(image, {15, 2}));

  Image bare = Code(0x8000);  // no marker at 0 or 0x1000
  bare[0x1008] = '0';
  EXPECT_FALSE(Matches(bare, {6, 1}));
  EXPECT_FALSE(Matches(bare, {14, 1}));
  // Sub-code 0 of chip type 15 takes whatever passes the marker tests.
  EXPECT_TRUE(Matches(bare, {15, 0}));
}

// ---- Short files --------------------------------------------------------------

TEST_F(ImageFiles, MissingBytesNeverMatch) {
  // The revision byte is missing; a stale zero would have meant revision 0.
  Image cut = {0x55, 0xAA, 0xAA, 0x55, '8', '4', '2', '0'};
  EXPECT_FALSE(Matches(cut, {6, 1}));
  cut.push_back(0);
  EXPECT_TRUE(Matches(cut, {6, 1}));

  EXPECT_FALSE(Matches({0x55, 0xAA, 0xAA, 0x55, 't', '8', '4'}, {7, 1}));
  EXPECT_FALSE(Matches({0x02, 0x00, 0x00, 0x00, '7', '7', '9'}, {4, 1}));
  EXPECT_FALSE(Matches({0x02, 0x00, 0x00, 0x00, 0x5A, 0xA5, 0x0F}, {1, 1}));
  EXPECT_FALSE(Matches({}, {1, 1}));

  Image upTo4000 = Code(0x4001);
  upTo4000[0x4000] = 0x55;  // 0xAA would follow, past the end
  EXPECT_FALSE(Matches(upTo4000, {17, 1}));
  Image upToBff0 = Code(0xBFF1);
  upToBff0[0xBFF0] = 0x55;
  EXPECT_FALSE(Matches(upToBff0, {12, 0}));

  Image layout = Code(0x83);
  layout[0x80] = 0xE9;
  layout[0x81] = 0xAC;
  layout[0x82] = 0x67;
  EXPECT_FALSE(Matches(layout, {10, 0}));
}

TEST_F(ImageFiles, ShortNvramMarkerDoesNotCarryNvram) {
  Image image = Code(0x1006);
  sim::PutBridgeMarker(image, 0x1000, "84", 0);
  image.resize(0x1006);  // "84" and the cut-off third digit
  EXPECT_FALSE(identify::ImageCarriesNvram(Write(image), 8));
  Image whole = Code(0x1010);
  sim::PutBridgeMarker(whole, 0x1000, "8460", 0);
  EXPECT_TRUE(identify::ImageCarriesNvram(Write(whole), 8));
  EXPECT_FALSE(identify::ImageCarriesNvram(Write(whole), 11));
  EXPECT_FALSE(identify::ImageCarriesNvram(Write(whole), 0));
}

TEST_F(ImageFiles, ImageStartingWithAMarkerCarriesNoNvram) {
  Image image = Code(0x8000);
  sim::PutBridgeMarker(image, 0, "8460", 0);
  sim::PutBridgeMarker(image, 0x1000, "8460", 0);
  EXPECT_FALSE(identify::ImageCarriesNvram(Write(image), 8));
  Image layout = Code(0x8000);
  sim::PutLayout80(layout, "8470");
  EXPECT_TRUE(identify::ImageCarriesNvram(Write(layout), 10));
  EXPECT_TRUE(identify::ImageCarriesNvram(Write(layout), 13));
  layout[0x83] = 0x33;  // the layout test needs all four bytes
  EXPECT_FALSE(identify::ImageCarriesNvram(Write(layout), 10));
}

// ---- Files that cannot be opened, sizes -----------------------------------------

TEST_F(ImageFiles, UnopenableFilesAreReportedOrRefusedSilently) {
  const std::string missing = sim::TempImagePath("missing");
  const auto match = identify::CheckImageMatchesChip(missing, {3, 0});
  EXPECT_FALSE(match.accepted);
  EXPECT_TRUE(match.openFailed);
  const auto fits = identify::CheckImageFitsFlash(missing, 64);
  EXPECT_FALSE(fits.accepted);
  EXPECT_TRUE(fits.openFailed);
  EXPECT_FALSE(identify::ImageCarriesNvram(missing, 8));
  EXPECT_FALSE(identify::VerifyImageChecksum(missing, {8, 0}));
  EXPECT_FALSE(identify::CheckImageMatchesChip(Write(Code(16)), {1, 1}).openFailed);
}

TEST_F(ImageFiles, FitsFlashAtTheExactSize) {
  EXPECT_TRUE(identify::CheckImageFitsFlash(Write(Code(65536)), 64).accepted);
  EXPECT_FALSE(identify::CheckImageFitsFlash(Write(Code(65537)), 64).accepted);
  EXPECT_TRUE(identify::CheckImageFitsFlash(Write({}), 0).accepted);
  EXPECT_FALSE(identify::CheckImageFitsFlash(Write(Code(1)), 0).accepted);
  // 4194304 KB is 2^32 bytes: a 32-bit product would wrap to 0.
  EXPECT_TRUE(identify::CheckImageFitsFlash(Write(Code(1)), 4194304u).accepted);
}

TEST_F(ImageFiles, GetFileLengthKeepsThePosition) {
  const std::string path = Write(Code(1234));
  std::FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(nullptr, f);
  std::fseek(f, 100, SEEK_SET);
  EXPECT_EQ(1234, identify::GetFileLength(f));
  EXPECT_EQ(100, std::ftell(f));
  std::fclose(f);
}

// A 4 GiB + 256 byte file whose first 32 KB are a matching image is longer
// than any flash: its length is never cut to 32 bits (nor lost to a 32-bit
// long), and a folder is a file the checks cannot open.
TEST_F(ImageFiles, FilesBeyond32BitsAndFoldersAreNeverImages) {
  const ChipIdentity chip{1, 2};
  Image image = sim::MakeMatchingImage({chip.type, chip.subCode});
  ASSERT_TRUE(identify::CheckImageMatchesChip(Write(image), chip).accepted);
  const std::string huge = Write(image);
  std::error_code ec;
  std::filesystem::resize_file(huge, (std::uint64_t{1} << 32) + 256, ec);
  if (ec) GTEST_SKIP() << "no sparse file here: " << ec.message();
  std::FILE* f = std::fopen(huge.c_str(), "rb");
  ASSERT_NE(nullptr, f);
  EXPECT_EQ((std::int64_t{1} << 32) + 256, identify::GetFileLength(f));
  std::fclose(f);
  const identify::CheckResult fits = identify::CheckImageFitsFlash(huge, 1024);
  EXPECT_FALSE(fits.accepted);
  EXPECT_FALSE(fits.openFailed);
  EXPECT_FALSE(identify::VerifyImageChecksum(huge, chip));

  const std::string folder = std::filesystem::temp_directory_path().string();
  EXPECT_TRUE(identify::CheckImageMatchesChip(folder, chip).openFailed);
  EXPECT_TRUE(identify::CheckImageFitsFlash(folder, 1024).openFailed);
  EXPECT_FALSE(identify::VerifyImageChecksum(folder, chip));
}

// ---- Checksum ---------------------------------------------------------------------

TEST_F(ImageFiles, SumInTheLastByteOf32And64KbImages) {
  for (std::size_t size : {std::size_t{0x8000}, std::size_t{0x10000}}) {
    Image image = Code(size);
    image[size - 1] = Sum(image, size - 1);
    EXPECT_TRUE(SumOk(image, {1, 1})) << size;
    for (std::size_t at : {std::size_t{0}, std::size_t{0x4000}, size - 2}) {
      Image changed = image;
      changed[at] ^= 0x10;
      EXPECT_FALSE(SumOk(changed, {1, 1})) << size << " at " << at;
    }
  }
}

TEST_F(ImageFiles, ShortImagesNeedTheNvramMarker) {
  Image image = Code(0x7FFF);
  sim::PutBridgeMarker(image, 0x1000, "8460", 0);
  EXPECT_TRUE(SumOk(image, {8, 0}));   // carries NVRAM: no sum needed
  EXPECT_FALSE(SumOk(image, {4, 1}));  // not this chip's marker: too short to sum
  image.resize(0x8000);
  image[0x7FFF] = static_cast<std::uint8_t>(Sum(image, 0x7FFF) + 1);
  EXPECT_FALSE(SumOk(image, {11, 5}));  // the marker names another chip: the bad sum counts
  EXPECT_TRUE(SumOk(image, {9, 0}));    // 846 is chip type 9's number too
}

TEST_F(ImageFiles, SumEndsWithTheFirstCompleteEndMarker) {
  Image image = Code(0x8000);
  Put(image, 4, "7793");
  Put(image, 0x100, "ENDSTRxx");      // not a complete marker
  sim::PutEndMarker(image, 0x5000, 0x6000);
  image[0x7FFF] = Sum(image, 0x5008);
  EXPECT_TRUE(SumOk(image, {4, 4}));
  Image after = image;
  after[0x5008] ^= 0xFF;  // past the marker: not summed
  EXPECT_TRUE(SumOk(after, {4, 4}));
  Image before = image;
  before[0x5007] ^= 0x01;  // the marker's own last byte is summed
  EXPECT_FALSE(SumOk(before, {4, 4}));

  // A revision below 3 sums the whole image.
  Put(image, 4, "7792");
  EXPECT_FALSE(SumOk(image, {4, 3}));
  image[0x7FFF] = Sum(image, 0x7FFF);
  EXPECT_TRUE(SumOk(image, {4, 3}));
}

TEST_F(ImageFiles, EndMarkerSearchStopsAtTheLimitAndAtTheFileEnd) {
  Image image = Code(0x8000);
  Put(image, 4, "7795");
  sim::PutEndMarker(image, 0x5000, 0x5007);  // the marker ends one byte past the limit
  image[0x7FFF] = Sum(image, 0x5007);
  EXPECT_TRUE(SumOk(image, {4, 6}));

  // Limit past the end of the file with no marker: nothing sound to sum.
  Image noMarker = Code(0x8000);
  Put(noMarker, 4, "7795");
  noMarker[12] = 0xFF;
  noMarker[13] = 0xFF;
  noMarker[0x7FFF] = Sum(noMarker, 0x7FFF);
  EXPECT_FALSE(SumOk(noMarker, {4, 6}));

  const std::uint8_t bytes[12] = {'E', 'N', 'D', 'S', 'T', 'R', 0x55, 0xAA, 'E', 'N', 'D', 'S'};
  EXPECT_EQ(8u, identify::FindEndMarker(bytes, sizeof bytes, 8));
  EXPECT_EQ(7u, identify::FindEndMarker(bytes, sizeof bytes, 7));
  EXPECT_EQ(8u, identify::FindEndMarker(bytes, sizeof bytes, 100000));
  EXPECT_EQ(100000u, identify::FindEndMarker(bytes + 1, 11, 100000));
}

TEST_F(ImageFiles, TestImageMakerClosesTheSumWithTheMarker) {
  sim::ImageLayout layout;
  layout.endMarkerAt = 0x2000;
  const Image image = sim::MakeMatchingImage({4, 5}, layout);
  ASSERT_EQ(0, std::memcmp(image.data() + 4, "7794", 4));
  EXPECT_EQ(0, std::memcmp(image.data() + 0x2000, identify::kEndMarker, 8));
  EXPECT_EQ(Sum(image, 0x2008), image[0x7FFF]);
  EXPECT_TRUE(SumOk(image, {4, 5}));
}

// ---- Run enabling ---------------------------------------------------------------------

class RunEnabling : public ImageFiles {
 protected:
  identify::RunInputs Inputs(ChipIdentity chip, const std::string& file) {
    identify::RunInputs in;
    in.deviceCount = 1;
    in.deviceListEnabled = true;
    in.chip = chip;
    in.fileName = file;
    return in;
  }
};

TEST_F(RunEnabling, SelectionChangeChecksTheImage) {
  using identify::RunEffect;
  const std::string good = Write(sim::MakeMatchingImage({4, 2}));
  auto d = identify::RunAfterSelectionChange(Inputs({4, 2}, good));
  EXPECT_EQ(RunEffect::Enable, d.run);
  EXPECT_TRUE(d.notices.empty());

  d = identify::RunAfterSelectionChange(Inputs({4, 3}, good));
  EXPECT_EQ(RunEffect::Disable, d.run);
  ASSERT_EQ(1u, d.notices.size());
  EXPECT_STREQ("The firmware file seems not match this chip!", d.notices[0].text);
  EXPECT_STREQ("Message", d.notices[0].caption);

  d = identify::RunAfterSelectionChange(Inputs({4, 2}, sim::TempImagePath("missing")));
  EXPECT_EQ(RunEffect::Disable, d.run);
  ASSERT_EQ(1u, d.notices.size());  // no mismatch notice after it
  EXPECT_STREQ("Open Firmware File Error!!", d.notices[0].text);
  EXPECT_STREQ("Error", d.notices[0].caption);

  auto none = Inputs({12, 0}, "");
  EXPECT_EQ(RunEffect::Keep, identify::RunAfterSelectionChange(none).run);
  none.backupChecked = true;
  EXPECT_EQ(RunEffect::Enable, identify::RunAfterSelectionChange(none).run);
  none.deviceListEnabled = false;
  EXPECT_EQ(RunEffect::Keep, identify::RunAfterSelectionChange(none).run);
  auto noDevice = Inputs({4, 2}, good);
  noDevice.deviceCount = 0;
  EXPECT_EQ(RunEffect::Keep, identify::RunAfterSelectionChange(noDevice).run);
  EXPECT_TRUE(identify::RunAfterSelectionChange(noDevice).notices.empty());
}

TEST_F(RunEnabling, OptionClicks) {
  using identify::RunEffect;
  const std::string good = Write(sim::MakeMatchingImage({8, 1}));
  auto in = Inputs({8, 1}, "");
  in.eraseOnlyChecked = true;
  EXPECT_EQ(RunEffect::Enable, identify::RunAfterOptionClick(in).run);
  in.chip = {0, 0};
  EXPECT_EQ(RunEffect::Disable, identify::RunAfterOptionClick(in).run);
  in.backupChecked = true;  // a backup needs neither chip type nor device entry
  in.deviceCount = 0;
  EXPECT_EQ(RunEffect::Enable, identify::RunAfterOptionClick(in).run);

  auto file = Inputs({8, 1}, good);
  EXPECT_EQ(RunEffect::Enable, identify::RunAfterOptionClick(file).run);
  file.chip = {11, 5};
  const auto refused = identify::RunAfterOptionClick(file);
  EXPECT_EQ(RunEffect::Disable, refused.run);
  EXPECT_TRUE(refused.notices.empty());  // no mismatch box from the option boxes
  file.fileName.clear();
  EXPECT_EQ(RunEffect::Disable, identify::RunAfterOptionClick(file).run);
}

TEST_F(RunEnabling, LoadEnablesUnlessTheChecksumVetoes) {
  using identify::RunEffect;
  Image image = Code(0x8000);
  Put(image, 4, "7790");
  image[0x7FFF] = Sum(image, 0x7FFF);
  const std::string good = Write(image);
  image[0x7FFF] ^= 1;
  const std::string bad = Write(image);

  auto in = Inputs({1, 3}, bad);  // also a mismatch: loading is deliberate
  EXPECT_EQ(RunEffect::Enable, identify::RunAfterLoad(in).run);
  in.checksumChecked = true;
  const auto vetoed = identify::RunAfterLoad(in);
  EXPECT_EQ(RunEffect::Disable, vetoed.run);
  ASSERT_EQ(1u, vetoed.notices.size());
  EXPECT_STREQ("Please check the firmware file with checksum!", vetoed.notices[0].text);
  EXPECT_EQ(nullptr, vetoed.notices[0].caption);
  in.fileName = good;
  EXPECT_EQ(RunEffect::Enable, identify::RunAfterLoad(in).run);
}

}  // namespace
