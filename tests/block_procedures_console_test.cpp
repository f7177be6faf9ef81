// Every dispatch row of the block-command and IEEE 1394 procedures, through
// the console on its emulated enclosure: Run with a generated image, then a
// backup-only run in the same window reads the flash back.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "app/console.h"
#include "run_window_fixture.h"

namespace {

class BlockConsoleTest : public testing_support::RunWindowFixture {
 protected:
  int Console(const std::vector<std::string>& args) {
    app::ConsoleOptions options;
    std::string error;
    EXPECT_TRUE(app::ParseConsoleArgs(args, options, error)) << error;
    const std::string outName = TempName("console-out");
    std::FILE* out = std::fopen(outName.c_str(), "wb");
    const int status = app::RunConsole(options, out);
    std::fclose(out);
    std::ifstream in(outName, std::ios::binary);
    output.assign(std::istreambuf_iterator<char>(in), {});
    return status;
  }
  std::string output;
};

TEST_F(BlockConsoleTest, EachRowUpdatesItsEnclosureAndReadsTheImageBack) {
  struct Case {
    const char* profile;
    const char* procedure;
    const char* notice;
  };
  const char* autoReset = "[Message] TXV929 Auto reset, Please wait device re-attached!";
  const char* powerCycle = "[Message] Please Turn-Off the Power and Turn-On Again!";
  for (const Case& c : {Case{"txr846", "block-command flash", powerCycle},
                        Case{"txr846-b", "block-command flash", powerCycle},
                        Case{"txv961", "block-command flash", powerCycle},
                        Case{"txv929", "block-command flash", autoReset},
                        Case{"txv927", "block-command flash", autoReset},
                        Case{"txr843-1394", "IEEE 1394 bridge flash", powerCycle}}) {
    SCOPED_TRACE(c.profile);
    sim::Machine fresh;
    host::ScopedHost scope(fresh);
    const sim::EnclosureProfile* profile = sim::FindProfile(c.profile);
    ASSERT_NE(nullptr, profile);
    sim::AttachOptions options;
    options.volumes = {{'E', 1}};
    sim::AttachProfile(fresh, *profile, options);
    const sim::Image image = sim::MakeMatchingImage({profile->identifiedType, profile->subCode});
    ASSERT_FALSE(image.empty());
    const std::string file = WriteFile(c.profile, image);
    const std::string backup = TempName("readback");
    EXPECT_EQ(app::kExitSuccess, Console({"--run", "0", "--image", file, "--run", "0", "--rd",
                                          "--backup-only", "--backup-file", backup}))
        << output;
    EXPECT_NE(std::string::npos, output.find(std::string("result: success (") + c.procedure))
        << output;
    EXPECT_NE(std::string::npos, output.find(c.notice)) << output;
    std::ifstream in(backup, std::ios::binary);
    const std::vector<std::uint8_t> saved{std::istreambuf_iterator<char>(in), {}};
    ASSERT_GE(saved.size(), image.size());
    // Bank chips get the bank checksum stamped at the end of the bank.
    const std::size_t stamp = profile->chipType == 12 ? 0xBFFE : 0x7FFE;
    for (std::size_t i = 0; i < image.size(); ++i) {
      const bool stamped = (profile->chipType == 12 || profile->chipType == 16) &&
                           (i == stamp || i == stamp + 1);
      if (!stamped && saved[i] != image[i]) {
        ADD_FAILURE() << "first difference at " << i;
        break;
      }
    }
  }
}

}  // namespace
