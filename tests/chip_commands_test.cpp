#include "scsi/chip_commands.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "scsi/vendor_frame.h"
#include "scripted_device.h"

namespace {

using testing_support::ExpectedRequest;
using testing_support::Hex;

class ChipCommandsTest : public ::testing::Test, public testing_support::ScriptedFixture {};

struct WireCase {
  std::string name;
  std::function<int(const char*)> send;
  ExpectedRequest want;
};

std::vector<WireCase> ChipCases() {
  static std::uint8_t buffer[0x400];
  static const std::uint8_t data[1] = {0x5A};
  return {
      {"ResetChip",
       [](const char* p) { return device::ResetChip(p); },
       {"FF 04 26 54 58 00 00 00 00 00 00 00", true, 0}},
      {"Inquiry",
       [](const char* p) { return device::Inquiry(p, buffer, 40); },
       {"12 00 00 00 28 00 00 00 00 00 00 00", true, 40}},
      {"ReadChipInfo",
       [](const char* p) {
         std::int32_t n = 0;
         return device::ReadChipInfo(p, buffer, 16, &n);
       },
       {"E0 F4 E7 00 00 00 00 00 00 00 00 00", true, 16}},
      {"ReadChipIdString",
       [](const char* p) { return device::ReadChipIdString(p, buffer, 40); },
       {"FF 04 30 08 00 00 00 00 00 00 00 00", true, 40}},
      {"ReadChipVariant",
       [](const char* p) { return device::ReadChipVariant(p, buffer); },
       {"DF 10 00 00 02 00 00 00 00 00 00 FF", true, 2}},
      {"ReadChipParameters",
       [](const char* p) { return device::ReadChipParameters(p, buffer, 20); },
       {"FF 04 A0 14 00 00 00 00 00 00 00 00", true, 20}},
      {"ReadChipMemory 0x505E",
       [](const char* p) { return device::ReadChipMemory(p, buffer, 0x505E, 4); },
       {"DF 10 00 00 04 00 50 5E 00 00 00 FD", true, 4}},
      {"ReadChipMemory long",
       [](const char* p) { return device::ReadChipMemory(p, buffer, 0xC123, 0x0300); },
       {"DF 10 00 03 00 00 C1 23 00 00 00 FD", true, 0x300}},
      {"WriteChipMemory 0x506A",
       [](const char* p) { return device::WriteChipMemory(p, data, 0x506A, 1); },
       {"DF 00 00 00 01 00 50 6A 00 00 00 FE", false, 2, 50}},
      {"CheckChipMode505E",
       [](const char* p) { return device::CheckChipMode505E(p); },
       {"DF 10 00 00 04 00 50 5E 00 00 00 FD", true, 4}},
      {"CheckChipLevelFDB0",
       [](const char* p) { return device::CheckChipLevelFDB0(p); },
       {"DF 10 00 00 04 00 FD B0 00 00 00 FD", true, 4}},
  };
}

TEST_F(ChipCommandsTest, EachCommandSendsItsBlockOnce) {
  for (const WireCase& c : ChipCases()) {
    machine.ClearTranscript();
    c.send(p());
    testing_support::ExpectWire(machine, {c.want}, c.name);
  }
}

TEST_F(ChipCommandsTest, NoCommandTurnsARejectionIntoSuccess) {
  device->rejectUnknown = true;
  for (const WireCase& c : ChipCases()) EXPECT_EQ(0, c.send(p())) << c.name;
  for (const WireCase& c : ChipCases()) EXPECT_EQ(0, c.send(gone.c_str())) << c.name;
}

TEST_F(ChipCommandsTest, WriteChipMemoryPadsAOneByteWriteWithZero) {
  const std::uint8_t value[1] = {0x5A};
  ASSERT_EQ(1, device::WriteChipMemory(p(), value, 0x506A, 1));
  ASSERT_EQ(1u, device->requests.size());
  EXPECT_EQ(Hex("5A 00"), device->requests[0].dataOut);
}

TEST_F(ChipCommandsTest, ParametersReportByteEightOnlyWhenTheCommandSucceeds) {
  std::vector<std::uint8_t> block(20, 0);
  block[8] = 0x5C;
  block[16] = 0x01;
  block[17] = 0x01;
  device->Reply("FF 04 A0", block);
  std::uint8_t got[20] = {};
  EXPECT_EQ(0x5C, device::ReadChipParameters(p(), got, 20));
  EXPECT_EQ(0x01, got[16]);
  EXPECT_EQ(0x01, got[17]);

  // A chip that fails the command reports 0 even though byte 8 reached the
  // buffer.
  ScriptedFixture failing;
  failing.device->ReplyThenReject("FF 04 A0", block);
  std::uint8_t again[20] = {};
  EXPECT_EQ(0, device::ReadChipParameters(failing.p(), again, 20));
  EXPECT_EQ(0x5C, again[8]);
}

TEST_F(ChipCommandsTest, ParametersTooShortForByteEightReportZero) {
  device->Reply("FF 04 A0", Hex("11 22 33 44 55 66 77 88 99"));
  std::uint8_t got[8] = {};
  EXPECT_EQ(0, device::ReadChipParameters(p(), got, 8));
  EXPECT_EQ(0x88, got[7]);
}

TEST_F(ChipCommandsTest, LevelCheckAcceptsB4AndAbove) {
  struct Case {
    std::uint8_t byte1;
    int want;
  } cases[] = {{0xB4, 1}, {0xFF, 1}, {0xB3, 0}, {0x00, 0}};
  for (const Case& c : cases) {
    ScriptedFixture f;
    f.device->Reply("DF 10 00 00 04 00 FD B0", {0x00, c.byte1, 0x00, 0x00});
    EXPECT_EQ(c.want, device::CheckChipLevelFDB0(f.p())) << int(c.byte1);
  }
  ScriptedFixture rejecting;
  rejecting.device->Reject("DF");
  EXPECT_EQ(0, device::CheckChipLevelFDB0(rejecting.p()));
}

TEST_F(ChipCommandsTest, ModeCheckWantsZeroThenOne) {
  struct Case {
    std::string reply;
    int want;
  } cases[] = {{"77 00 01 77", 1}, {"00 00 01 00", 1}, {"00 01 00 00", 0},
               {"00 00 00 00", 0}, {"00 00 02 00", 0}, {"00 10 01 00", 0}};
  for (const Case& c : cases) {
    ScriptedFixture f;
    f.device->Reply("DF 10 00 00 04 00 50 5E", Hex(c.reply));
    EXPECT_EQ(c.want, device::CheckChipMode505E(f.p())) << c.reply;
  }
  ScriptedFixture rejecting;
  rejecting.device->Reject("DF");
  EXPECT_EQ(0, device::CheckChipMode505E(rejecting.p()));
}

TEST_F(ChipCommandsTest, ChipInfoReportsTheCountTheChipDelivered) {
  device->Reply("E0 F4 E7", Hex("F4 E7 3E 8A 47 76 01 02 38 34 36 31"), 0, 12);
  std::uint8_t info[16] = {};
  std::int32_t transferred = -1;
  ASSERT_EQ(1, device::ReadChipInfo(p(), info, 16, &transferred));
  EXPECT_EQ(12, transferred);
  EXPECT_EQ(0xF4, info[0]);
  EXPECT_EQ('1', info[11]);
}

std::string g_assertionText;
void RecordAssertion(const char* text) { g_assertionText = text; }

TEST_F(ChipCommandsTest, ShortIdStringBufferRaisesTheAssertionAndSendsNothing) {
  g_assertionText.clear();
  const device::AssertionHandler previous = device::SetAssertionHandler(RecordAssertion);
  std::uint8_t buffer[8] = {};
  EXPECT_EQ(0, device::ReadChipIdString(p(), buffer, 7));
  device::SetAssertionHandler(previous);
  EXPECT_EQ("Assertion failed: length >= 0x08, file IDEAccess, line 1473", g_assertionText);
  EXPECT_TRUE(machine.transcript().empty());

  g_assertionText.clear();
  device::SetAssertionHandler(RecordAssertion);
  device::ReadChipIdString(p(), buffer, 8);
  device::SetAssertionHandler(previous);
  EXPECT_TRUE(g_assertionText.empty());
  EXPECT_EQ(1u, machine.transcript().size());
}

#if GTEST_HAS_DEATH_TEST && !defined(_WIN32)
TEST(ChipCommandsDeathTest, DefaultAssertionHandlerPrintsAndStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::uint8_t buffer[8] = {};
  EXPECT_DEATH(device::ReadChipIdString("\\\\?\\nowhere", buffer, 4),
               "Assertion failed: length >= 0x08, file IDEAccess, line 1473");
}
#endif

}  // namespace
