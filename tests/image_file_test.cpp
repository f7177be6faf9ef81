// Loading an image for a procedure: the whole file or a refusal before the
// first command, and the backup that never saves a failed read.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "scratch_dir.h"
#include "fake_run_window.h"
#include "engine/procedure_table.h"
#include "engine/guarded_steps.h"
#include "engine/image_file.h"
#include "engine/shared_steps.h"
#include "procedures/standard_serial.h"
#include "sim/bridge_chip.h"
#include "sim/profiles.h"
#include "sim_fixture.h"

namespace {

using testing_support::FakeRunWindow;

constexpr program::ImageRules kRules{0x10000, "Open File Error!!", "Allocate write buffer Error!!"};

class ImageFileTest : public ::testing::Test, public testing_support::SimFixtureBase {
 protected:
  void SetUp() override {
    dir_ = testing_support::NewScratchDir("tx-image");
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string File(const std::string& name, std::size_t length) {
    const std::string file = (dir_ / name).string();
    std::ofstream out(file, std::ios::binary);
    const std::vector<char> bytes(length, 0x3C);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return file;
  }

  FakeRunWindow window;
  std::filesystem::path dir_;
};

TEST_F(ImageFileTest, ReadsTheWholeFileAndRefusesWhatCannotBeUsed) {
  struct Row {
    const char* name;
    std::size_t length;  // bytes written; SIZE_MAX: no file at all
    bool loads;
    const char* refusal = "Open File Error!!";
  } rows[] = {
      {"one byte", 1, true},
      {"exactly the limit", 0x10000, true},
      {"empty", 0, false},
      {"one byte over the limit", 0x10001, false, program::kImageTooLarge},
      {"missing", SIZE_MAX, false},
  };
  for (const Row& r : rows) {
    const std::string file =
        r.length == SIZE_MAX ? (dir_ / "missing.bin").string() : File("image.bin", r.length);
    window.statuses.clear();
    std::vector<std::uint8_t> image{1, 2, 3};
    EXPECT_EQ(r.loads, program::LoadImageFile(window, file, kRules, image)) << r.name;
    if (r.loads) {
      EXPECT_EQ(r.length, image.size()) << r.name;
      EXPECT_EQ(0x3C, image.back()) << r.name;
      EXPECT_TRUE(window.statuses.empty()) << r.name;
    } else {
      EXPECT_TRUE(image.empty()) << r.name;
      EXPECT_EQ(std::vector<std::string>{r.refusal}, window.statuses) << r.name;
    }
  }
}

// Lengths past 32 bits are not cut: a file of 4 GiB + 256 bytes is longer
// than any limit, never a 256-byte image.
TEST_F(ImageFileTest, LengthsBeyondFourGiBAreRefusedWhole) {
  const std::string file = (dir_ / "huge.bin").string();
  {
    std::ofstream(file, std::ios::binary).put('\x5A');
  }
  std::error_code ec;
  std::filesystem::resize_file(file, (std::uint64_t{1} << 32) + 256, ec);
  if (ec) GTEST_SKIP() << "no sparse file here: " << ec.message();
  std::vector<std::uint8_t> image;
  EXPECT_FALSE(program::LoadImageFile(window, file, {0xFFFFFFFFu, "x", "y"}, image));
  EXPECT_TRUE(image.empty());
  EXPECT_EQ(program::kImageTooLarge, window.StatusText());
}

TEST_F(ImageFileTest, ASourceThatFailsIsRefusedBeforeAnyBuffer) {
  struct Row {
    const char* name;
    bool lengthKnown;
    std::uint64_t length;
    std::size_t delivered;  // bytes read hands back
    bool loads;
  } rows[] = {
      {"read whole", true, 300, 300, true},
      {"read error part way", true, 300, 299, false},
      {"read error at once", true, 300, 0, false},
      {"length unknown", false, 300, 300, false},
      {"4 GiB + 256", true, (std::uint64_t{1} << 32) + 256, 256, false},
  };
  for (const Row& r : rows) {
    std::size_t asked = 0;
    program::ImageSource source;
    source.length = [&](std::uint64_t& length) {
      length = r.length;
      return r.lengthKnown;
    };
    source.read = [&](std::uint8_t*, std::size_t n) {
      asked = n;
      return r.delivered < n ? r.delivered : n;
    };
    window.statuses.clear();
    std::vector<std::uint8_t> image;
    EXPECT_EQ(r.loads, program::LoadImage(window, source, {0xFFFFFFFFu, "x", "y"}, image))
        << r.name;
    EXPECT_EQ(r.loads ? r.length : 0u, image.size()) << r.name;
    if (!r.loads) {
      const std::string refusal = r.length > 0xFFFFFFFFu ? program::kImageTooLarge : "x";
      EXPECT_EQ(std::vector<std::string>{refusal}, window.statuses) << r.name;
    }
    if (r.length > 0xFFFFFFFFu) {
      EXPECT_EQ(0u, asked) << r.name;
    }
  }
}

// A file the window's checks read must load as those bytes; a fingerprint
// of another name says nothing about this file.
TEST_F(ImageFileTest, ACheckedFileLoadsOnlyAsTheChecksReadIt) {
  const std::string file = File("checked.bin", 0x100);
  const std::string missing = (dir_ / "missing-then.bin").string();
  struct Row {
    const char* what;
    identify::ImageFingerprint checked;
    bool loads;
  } rows[] = {
      {"the same bytes", identify::FingerprintImageFile(file), true},
      {"another file's", identify::FingerprintImageFile(File("other.bin", 0x80)), true},
      {"missing when checked", identify::FingerprintImageFile(missing), false},
  };
  for (Row& r : rows) {
    SCOPED_TRACE(r.what);
    if (r.checked.fileName == missing) r.checked.fileName = file;
    window.options_.checkedImage = r.checked;
    window.statuses.clear();
    std::vector<std::uint8_t> image;
    EXPECT_EQ(r.loads, program::LoadImageFile(window, file, kRules, image));
    EXPECT_EQ(r.loads ? 0x100u : 0u, image.size());
    const std::vector<std::string> statuses =
        r.loads ? std::vector<std::string>{} : std::vector<std::string>{"Open File Error!!"};
    EXPECT_EQ(statuses, window.statuses);
  }
}

TEST_F(ImageFileTest, AFailedBackupReadWritesNoFile) {
  window.options_.backupFile = (dir_ / "backup.bin").string();
  const program::FlashReader failing = [](std::uint8_t*, std::uint32_t) { return false; };
  EXPECT_FALSE(program::BackupFlashToFile(window, failing, 0x10000, 0));
  EXPECT_EQ("Read Back to Backup Error!!", window.StatusText());
  EXPECT_FALSE(std::filesystem::exists(window.options_.backupFile));

  std::uint32_t asked = 0;
  const program::FlashReader reader = [&](std::uint8_t* buffer, std::uint32_t length) {
    asked = length;
    for (std::uint32_t i = 0; i < length; ++i) buffer[i] = static_cast<std::uint8_t>(i);
    return true;
  };
  EXPECT_TRUE(program::BackupFlashToFile(window, reader, 0x3000, 0x1000));
  EXPECT_EQ(0x3000u, asked);
  EXPECT_EQ(0x2000u, std::filesystem::file_size(window.options_.backupFile));
}

TEST(ErasedCheckTest, AnyByteNotFFFailsWithItsText) {
  FakeRunWindow window;
  std::vector<std::uint8_t> data(0x100, 0xFF);
  EXPECT_TRUE(program::RequireBlank(window, data.data(), data.size()));
  EXPECT_TRUE(window.statuses.empty());
  data[0xFF] = 0xFE;
  EXPECT_FALSE(program::RequireBlank(window, data.data(), data.size()));
  EXPECT_EQ("Data not 0xff !!", window.StatusText());
}

}  // namespace
