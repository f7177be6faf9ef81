// What the console tells about a run beyond the window's own lines: which
// image rule let a file through, the support log's header, and backups that
// can be restored.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "console/backup.h"
#include "console/sha256.h"
#include "host/system_info.h"
#include "run_window_fixture.h"

namespace {

using Json = nlohmann::json;

class ConsoleSupportTest : public testing_support::RunWindowFixture {
 protected:
  bool Printed(const std::string& text) const { return output.find(text) != std::string::npos; }
  // As the program runs it: its version and commit given.
  int Tool(const std::vector<std::string>& args) {
    app::ConsoleOptions options;
    std::string error;
    EXPECT_TRUE(app::ParseConsoleArgs(args, options, error)) << error;
    options.toolVersion = "9.8.7.6";
    options.toolCommit = "0123456789ab";
    const std::string outName = TempName("support-out");
    std::FILE* out = std::fopen(outName.c_str(), "wb");
    if (out == nullptr) return -1;
    // Refusals go to the error stream: both are read here.
    const int status = app::RunConsole(host::Current(), options, out, out, nullptr);
    std::fclose(out);
    const std::vector<std::uint8_t> printed = testing_support::ReadFile(outName);
    output.assign(printed.begin(), printed.end());
    return status;
  }
  std::string Text(const std::string& file) {
    const std::vector<std::uint8_t> bytes = testing_support::ReadFile(file);
    return std::string(bytes.begin(), bytes.end());
  }
};

TEST(Sha256Test, KnownAnswers) {
  const std::pair<std::string, const char*> vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000, 'a'),
       "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3"},
  };
  for (const auto& [message, digest] : vectors) {
    app::Sha256 sha;
    sha.Add(message.data(), message.size());
    EXPECT_EQ(digest, sha.HexDigest()) << message.size();
  }
}

// The log opens with what a report needs before its first command: the
// tool, the system, the arguments, the image and the enclosures; and it
// holds the procedures' own lines.
TEST_F(ConsoleSupportTest, SupportLogHeaderNamesToolSystemImageAndEnclosures) {
  const std::vector<std::uint8_t> image = sim::MakeMatchingImage({1, 1});
  const std::string file = WriteFile("logged", image);
  const std::string log = TempName("support-log");
  Attach("tx40775-pmc", 1);
  ASSERT_EQ(app::kExitSuccess, Tool({"--log", log, "--run", "0", "--image", file})) << output;
  const std::string text = Text(log);
  app::Sha256 sha;
  sha.Add(image.data(), image.size());
  const std::string lines[] = {
      "# tool: version 9.8.7.6, commit 0123456789ab\n",
      "# system: " + host::SystemDescription() + "\n",
      "arguments: --log " + log + " --run 0 --image " + file + "\n",
      "# image: " + file + ": " + std::to_string(image.size()) + " bytes, sha256 " +
          sha.HexDigest() + "\n",
      "# enclosure 0: ",
      " diag: NVRAM O.K.\n",
      " diag: write NVRAM O.K.\n",
  };
  for (const std::string& line : lines) EXPECT_NE(std::string::npos, text.find(line)) << line;
  // The image before the first command block; the enclosures as soon as the
  // first look found them, before the run starts.
  EXPECT_LT(text.find("# image: "), text.find("cdb=")) << text;
  EXPECT_LT(text.find("# enclosure 0: "), text.find(" run: ")) << text;
  ASSERT_EQ(app::kExitSuccess, Tool({"--json", "--run", "0", "--image", file}));
  EXPECT_EQ("9.8.7.6", Json::parse(output).at("tool").at("version"));
}

// A backup writes its sidecar; a second backup to the same name keeps the
// first; --restore programs a backup back, and refuses, with nothing sent,
// one whose sidecar or bytes do not fit.
TEST_F(ConsoleSupportTest, BackupsAreKeptAndRestoredOnlyWhereTheyFit) {
  auto chip = Attach("tx40775-pmc", 1);
  const std::string backup = TempName("backup") + ".bin";
  const std::string kept = backup.substr(0, backup.size() - 4) + ".1.bin";
  const std::vector<std::string> backupArgs = {"--run", "0", "--rd", "--backup-only",
                                               "--backup-file", backup};
  ASSERT_EQ(app::kExitSuccess, Tool(backupArgs)) << output;
  EXPECT_TRUE(Printed("backup written to " + backup + " (sidecar " + backup + ".json)"));
  const std::vector<std::uint8_t> original = testing_support::ReadFile(backup);
  const Json sidecar = Json::parse(Text(backup + ".json"));
  EXPECT_EQ(1, sidecar.at("chip").at("type"));
  EXPECT_EQ(original.size(), sidecar.at("length"));
  EXPECT_EQ(0, sidecar.at("skipped"));
  EXPECT_EQ("9.8.7.6", sidecar.at("toolVersion"));
  ASSERT_EQ(app::kExitSuccess, Tool(backupArgs)) << output;
  EXPECT_TRUE(Printed("backup written to " + kept)) << output;
  EXPECT_EQ(original, testing_support::ReadFile(backup));

  // Another image goes in; the restore brings the backup's bytes back.
  const std::string other = WriteFile("other", sim::MakeMatchingImage({1, 1}));
  ASSERT_EQ(app::kExitSuccess, Tool({"--run", "0", "--image", other})) << output;
  ASSERT_EQ(app::kExitSuccess, Tool({"--run", "0", "--restore", backup})) << output;
  std::vector<std::uint8_t> flash(original.size());
  chip->serialFlash()->cells().Read(0, flash.data(), flash.size());
  EXPECT_EQ(original, flash);

  const struct {
    const char* what;
    const char* field;  // a sidecar field changed, or null
    Json value;
    bool flipByte;
    const char* said;
  } refusals[] = {
      {"changed bytes", nullptr, nullptr, true, "do not match the SHA-256"},
      {"no sidecar", "", nullptr, false, "has no readable sidecar"},
      {"another chip", "/chip/type", 2, false, "taken from a"},
      {"another flash", "/flash/bytes", 1024, false, "taken from a flash"},
      {"NVRAM left out", "/skipped", 4096, false, "leaves out the first 4096 bytes"},
  };
  for (const auto& row : refusals) {
    SCOPED_TRACE(row.what);
    std::vector<std::uint8_t> bytes = original;
    if (row.flipByte) bytes[100] ^= 0xFF;
    const std::string copy = WriteFile("restore-copy", bytes);
    Json side = sidecar;
    if (row.field != nullptr && *row.field != '\0')
      side[Json::json_pointer(row.field)] = row.value;
    std::remove((copy + ".json").c_str());
    if (row.field == nullptr || *row.field != '\0') std::ofstream(copy + ".json") << side.dump();
    machine.ClearTranscript();
    EXPECT_EQ(3, Tool({"--run", "0", "--restore", copy})) << output;
    EXPECT_TRUE(Printed(row.said)) << output;
    EXPECT_EQ(0, Count("EraseFlashChip") + Count("EraseFlashSector") + Count("WriteFlash"));
    std::remove((copy + ".json").c_str());
  }
  for (const std::string& f : {backup, backup + ".json", kept, kept + ".json"})
    std::remove(f.c_str());
}

constexpr char kGenericNotice[] =
    "the image carries no marker of this chip; accepted by the generic rule";

// A TX40775 image passes the TX40776's rule ("does not begin with 77" reads
// its 5A A5 0F F0): the run says so before Run is pressed and names the rule.
TEST_F(ConsoleSupportTest, AnImageAcceptedByAGenericRuleIsToldBeforeTheRun) {
  const std::string file = WriteFile("tx40775", sim::MakeMatchingImage({1, 1}));
  const struct {
    const char* profile;
    bool generic;
  } rows[] = {{"tx40776-atmel", true}, {"tx40775-pmc", false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.profile);
    Attach(row.profile, 1);
    EXPECT_EQ(app::kExitSuccess, Console({"--run", "0", "--image", file})) << output;
    const std::size_t notice = output.find(kGenericNotice);
    EXPECT_EQ(row.generic, notice != std::string::npos) << output;
    if (row.generic) {
      EXPECT_LT(notice, output.find("status: Erase")) << output;
    }
    ASSERT_EQ(app::kExitSuccess, Console({"--json", "--run", "0", "--image", file}));
    const Json check = Json::parse(output).at("runs")[0].at("imageCheck");
    EXPECT_EQ(row.generic, check.at("generic"));
    EXPECT_EQ("rule", check.at("step"));
    EXPECT_EQ(true, check.at("accepted"));
    machine.Detach(sim::ProfilePath(*sim::FindProfile(row.profile), row.profile));
  }
  app::ConsoleOptions o;
  std::string error;
  EXPECT_FALSE(app::ParseConsoleArgs(
      {"--wait", "--repeat", "--run", "0", "--image", file}, o, error));
  EXPECT_NE(std::string::npos, error.find("--expect-chip")) << error;
}

}  // namespace
