// --inspect: what the image checks make of a file, per chip type and
// sub-code, without a device; and the files it refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <nlohmann/json.hpp>

#include "console/console.h"
#include "console/image_report_text.h"
#include "identify/image_report.h"
#include "scratch_dir.h"
#include "sim/test_images.h"

namespace {

using identify::ChipIdentity;
using sim::Image;

class InspectTest : public ::testing::Test {
 protected:
  ~InspectTest() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  std::string Write(const std::string& name, const Image& image) {
    EXPECT_TRUE(sim::WriteImageFile(Path(name), image));
    return Path(name);
  }
  // RunInspect's exit status; what it wrote to out and err lands in the two strings.
  int Inspect(const std::string& file, bool json) {
    const std::string outName = Path("out.txt"), errName = Path("err.txt");
    std::FILE* out = std::fopen(outName.c_str(), "wb");
    std::FILE* err = std::fopen(errName.c_str(), "wb");
    const int status = app::RunInspect(file, json, out, err);
    std::fclose(out);
    std::fclose(err);
    out_ = Slurp(outName);
    err_ = Slurp(errName);
    return status;
  }
  static std::string Slurp(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  std::string out_, err_;

 private:
  std::filesystem::path dir_ = testing_support::NewScratchDir("tx-inspect");
};

// The chip types an inspection accepts: "type", or "type:sub,sub" where only
// some sub-codes take the file.
std::string Accepted(const identify::ImageInspection& in) {
  std::string text;
  for (const identify::ChipVerdict& v : in.chips) {
    if (v.acceptance == identify::Acceptance::Refused) continue;
    text.append(text.empty() ? "" : " ").append(std::to_string(v.chipType));
    for (std::size_t i = 0; i < v.subCodes.size(); ++i)
      text.append(i == 0 ? ":" : ",").append(std::to_string(v.subCodes[i]));
  }
  return text;
}

Image Nvram8() { return sim::MakeMatchingImage({8, 1}, {0x8000, true}); }
Image Refused12() { return sim::MakeRefusedImage({12, 0}); }
Image Layout10Only() {
  Image image(0x8000, 0xFF);
  sim::PutLayout80(image, "9610");
  return image;
}
Image Bridge842AtZero() {
  Image image(0x8000, 0x00);
  sim::PutBridgeMarker(image, 0, "7750", 0);
  return image;
}

// Every chip type's own image and a few that one family must refuse: the
// types (and sub-codes) that accept each, and the step that decided for
// one type, as literals.
TEST_F(InspectTest, ReportsWhatTheChecksDecidePerChipTypeAndSubCode) {
  const struct {
    const char* what;
    Image image;
    const char* accepted;
    int type;
    identify::MatchStep step;
    std::uint32_t offset;
  } rows[] = {
      {"775 rev 0 pattern", sim::MakeMatchingImage({1, 1}), "1:1 2 3 15:0 20 21 22 23 24", 1,
       identify::MatchStep::Rule, 0},
      {"775 rev 2", sim::MakeMatchingImage({1, 3}), "1:3 3 15:0 20 21 22 23", 2,
       identify::MatchStep::Rule, 0},
      {"779 rev 1", sim::MakeMatchingImage({4, 2}), "3 4:2 15:0 20 21 22 23", 4,
       identify::MatchStep::Rule, 0},
      {"769", sim::MakeMatchingImage({5, 0}), "2 3 5 15:0 20 21 22 23 24", 5,
       identify::MatchStep::Rule, 0},
      {"842 rev 1", sim::MakeMatchingImage({6, 2}), "2 3 6:2 14:2 15:0,2 20 21 22 23 24", 6,
       identify::MatchStep::Rule, 0},
      {"843 rev 2", sim::MakeMatchingImage({7, 2}), "2 3 7:2 20 21 22 23 24", 7,
       identify::MatchStep::Rule, 0},
      {"846 behind NVRAM", Nvram8(), "2 3 8 9 20 21 22 23 24", 8,
       identify::MatchStep::Rule, 0x1000},
      {"847 layout", sim::MakeMatchingImage({10, 1}), "2 3 10 13 15:0 20 21 22 23 24", 13,
       identify::MatchStep::Rule, 0x80},
      {"961", sim::MakeMatchingImage({11, 0}), "2 3 11 20 21 22 23 24", 11,
       identify::MatchStep::Rule, 0},
      {"929 tail", sim::MakeMatchingImage({12, 0}), "2 3 12 15:0 20 21 22 23 24", 12,
       identify::MatchStep::Rule, 0xBFF0},
      {"927 tail", sim::MakeMatchingImage({16, 0}), "2 3 15:0 16 20 21 22 23 24", 16,
       identify::MatchStep::Rule, 0x7FF0},
      {"659", sim::MakeMatchingImage({17, 1}), "2 3 15:0 17 20 21 22 23 24", 17,
       identify::MatchStep::Rule, 0x4000},
      {"779E", sim::MakeMatchingImage({19, 1}), "2 3 15:0 19 20 21 22 23 24", 19,
       identify::MatchStep::Rule, 0x4000},
      {"769, no 929 tail", Refused12(), "2 3 5 15:0 20 21 22 23 24", 12,
       identify::MatchStep::FamilyMarker, 0xBFF0},
      {"961 number at 0x80", Layout10Only(), "2 3 15:0 20 21 22 23 24", 10,
       identify::MatchStep::Rule, 0x80},
      {"775 marker for 842", Bridge842AtZero(), "3 20 21 22 23", 6,
       identify::MatchStep::ChipNumber, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_FALSE(row.image.empty());
    const std::string file = Write("image.bin", row.image);
    identify::ImageInspection in;
    ASSERT_EQ(identify::ImageFileProblem::None, identify::InspectImageFile(file, in));
    EXPECT_EQ(row.accepted, Accepted(in));
    const identify::ChipVerdict& v = in.chips.at(static_cast<std::size_t>(row.type - 1));
    EXPECT_EQ(row.step, v.decision.decidedBy);
    EXPECT_EQ(row.offset, v.decision.offset);
    // The answer is the file check's, for every type and sub-code.
    for (const identify::ChipVerdict& c : in.chips) {
      for (int r = -2; r <= 6; ++r) {
        const ChipIdentity chip{static_cast<std::uint8_t>(c.chipType), static_cast<std::int8_t>(r)};
        const bool listed = c.acceptance == identify::Acceptance::EverySubCode ||
                            std::find(c.subCodes.begin(), c.subCodes.end(), r) != c.subCodes.end();
        EXPECT_EQ(identify::CheckImageMatchesChip(file, chip).accepted, listed)
            << "type " << c.chipType << " sub-code " << r;
      }
    }
  }
}

TEST_F(InspectTest, ChecksumAndNvramAreaInTextAndJson) {
  Image differs = sim::MakeMatchingImage({1, 1});
  differs[0x100] ^= 0x01;
  Image endMarked = sim::MakeMatchingImage({4, 4});  // "7793": the sum ends at ENDSTR
  const struct {
    const char* what;
    Image image;
    const char* state;
    const char* text;
  } rows[] = {
      {"sum kept", sim::MakeMatchingImage({1, 1}), "matches",
       "checksum: matches: byte 0x7FFF holds 0x"},
      {"one bit off", differs, "differs", "checksum: does not match: byte 0x7FFF"},
      {"end marker", endMarked, "matches", "up to the end marker searched in the first 0x"},
      {"short", Image(0x4000, 0x11), "tooShort", "checksum: not summed: shorter than 32 KB"},
      {"NVRAM area", Nvram8(), "matches",
       "nvram:    0x0000..0x0FFF for chip types 8, 9 (marker at 0x1000)"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string file = Write("sum.bin", row.image);
    ASSERT_EQ(0, Inspect(file, false)) << err_;
    EXPECT_NE(std::string::npos, out_.find(row.text)) << out_;
    ASSERT_EQ(0, Inspect(file, true)) << err_;
    const nlohmann::json doc = nlohmann::json::parse(out_);
    EXPECT_EQ(row.state, doc.at("inspect").at("checksum").at("state"));
    EXPECT_EQ(24u, doc.at("inspect").at("chipTypes").size());
    EXPECT_EQ(0, doc.at("exitStatus"));
  }
}

// The files Run's loader refuses: refused (exit 3) with the loader's text and
// the reason.
TEST_F(InspectTest, FilesThatAreNoImagesAreRefused) {
  std::filesystem::create_directory(Path("folder"));
  std::vector<std::pair<std::string, const char*>> rows = {
      {Path("missing.bin"), "does not exist"},
      {Write("empty.bin", {}), "is empty"},
      {Path("folder"), "is a folder, not a file"},
  };
#ifndef _WIN32
  ASSERT_EQ(0, ::mkfifo(Path("fifo").c_str(), 0600));
  rows.push_back({Path("fifo"), "is a pipe, not a file"});
#endif
  std::error_code ec;
  const std::string huge = Write("huge.bin", {});
  std::filesystem::resize_file(huge, (4ull << 30) + 1, ec);
  if (!ec) rows.push_back({huge, "is longer than 4 GiB"});
  for (const auto& [file, problem] : rows) {
    SCOPED_TRACE(problem);
    EXPECT_EQ(app::kExitRefused, Inspect(file, false));
    EXPECT_EQ("Open File Error!! " + file + " " + problem + "\n", err_);
    EXPECT_TRUE(out_.empty()) << out_;
    EXPECT_EQ(app::kExitRefused, Inspect(file, true));
    const nlohmann::json doc = nlohmann::json::parse(out_);
    EXPECT_EQ(problem, doc.at("inspect").at("problem"));
    EXPECT_EQ("Open File Error!!", doc.at("inspect").at("error"));
    EXPECT_EQ(app::kExitRefused, doc.at("exitStatus"));
    EXPECT_EQ("refused", doc.at("exitClass"));
  }
  // Longer than any flash, and still inspected from its first blocks.
  std::filesystem::resize_file(huge, (16ull << 20) + 1, ec);
  if (ec) GTEST_SKIP() << "no sparse file here: " << ec.message();
  ASSERT_EQ(0, Inspect(huge, false));
  EXPECT_NE(std::string::npos, out_.find("every update refuses it")) << out_;
  EXPECT_NE(std::string::npos, out_.find("not summed: longer than 16 MiB")) << out_;
}

}  // namespace
