#include "scsi/flash_commands.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "scripted_device.h"

namespace {

using testing_support::ExpectedRequest;
using testing_support::Hex;

class FlashCommandsTest : public ::testing::Test, public testing_support::ScriptedFixture {};

struct WireCase {
  std::string name;
  std::function<int(const char*)> send;
  std::vector<ExpectedRequest> want;
};

device::FlashDescriptor Descriptor(std::uint8_t maker, std::uint8_t sectorErase) {
  device::FlashDescriptor d;
  d.flashMaker = maker;
  d.sectorEraseOpcode = sectorErase;
  return d;
}

std::vector<WireCase> FlashCases() {
  static std::uint8_t buffer[0x2000];
  static const std::uint8_t image[0x1000] = {};
  return {
      {"ReadFlash 0x8000",
       [](const char* p) { return device::ReadFlash(p, 0x8000, buffer, 512); },
       {{"FF 04 10 00 80 00 00 00 00 00 00 00", true, 512}}},
      {"ReadFlash 24-bit",
       [](const char* p) { return device::ReadFlash(p, 0x7123456, buffer, 16); },
       {{"FF 04 10 12 34 56 00 00 00 00 00 00", true, 16}}},
      {"WriteFlash",
       [](const char* p) { return device::WriteFlash(p, 0x012345, image, 256); },
       {{"FF 04 11 01 23 45 00 00 00 00 00 00", false, 256, 50}}},
      {"ReadFlashStatus",
       [](const char* p) { return device::ReadFlashStatus(p, buffer); },
       {{"FF 04 12 00 00 00 00 00 00 00 00 00", true, 2}}},
      {"EraseFlashChip",
       [](const char* p) { return device::EraseFlashChip(p); },
       {{"FF 04 13 00 00 00 00 00 00 00 00 00", false, 0, 100}}},
      {"EraseFlashSector",
       [](const char* p) { return device::EraseFlashSector(p, 0x018000); },
       {{"FF 04 14 01 80 00 00 00 00 00 00 00", false, 0, 50}}},
      {"ReadFlashIdBytes 0x15",
       [](const char* p) { return device::ReadFlashIdBytes(p, buffer, 0x15, 0); },
       {{"FF 04 15 03 15 00 00 00 00 00 00 00", true, 3}}},
      {"ReadFlashIdBytes 0xAB",
       [](const char* p) { return device::ReadFlashIdBytes(p, buffer, 0xAB, 1); },
       {{"FF 04 15 03 AB 03 00 00 00 00 00 00", true, 3}}},
      {"ReadFlashTypeCode",
       [](const char* p) { return device::ReadFlashTypeCode(p, buffer); },
       {{"FF 04 23 04 00 00 00 00 00 00 00 00", true, 4}}},
      {"SpiCommandRead",
       [](const char* p) { return device::SpiCommandRead(p, 0x9F, buffer, 6); },
       {{"FF 04 20 01 01 9F 00 00 00 00 00 00", true, 0},
        {"FF 04 21 00 00 00 00 00 06 00 00 00", true, 6}}},
      {"DetectAmicFlash",
       [](const char* p) { return device::DetectAmicFlash(p); },
       {{"FF 04 20 01 01 9F 00 00 00 00 00 00", true, 0},
        {"FF 04 21 00 00 00 00 00 00 00 00 00", true, 4}}},
      {"DetectAtmelFlash",
       [](const char* p) { return device::DetectAtmelFlash(p); },
       {{"FF 04 20 01 01 9F 00 00 00 00 00 00", true, 0},
        {"FF 04 21 00 00 00 00 00 00 00 00 00", true, 4}}},
      {"SetFlashOpcodes",
       [](const char* p) { return device::SetFlashOpcodes(p, Descriptor(5, 0x20)); },
       {{"FF 04 24 02 C7 D8 02 05 01 00 00 00", true, 2}}},
      {"SetFlashOpcodesNoReply",
       [](const char* p) { return device::SetFlashOpcodesNoReply(p, Descriptor(4, 0x20)); },
       {{"FF 04 24 02 C7 D8 02 04 01 00 00 00", true, 0}}},
      {"SetFlashOpcodesAndPageSize",
       [](const char* p) {
         return device::SetFlashOpcodesAndPageSize(p, Descriptor(10, 0xD7), 32);
       },
       {{"FF 04 0F C7 D8 02 D7 08 00 00 00 00", false, 0, 50}}},
      {"SetFlashOpcodesAndPageSize16",
       [](const char* p) {
         return device::SetFlashOpcodesAndPageSize16(p, Descriptor(5, 0x20), 0x120);
       },
       {{"FF 04 0F C7 D8 02 20 01 20 00 00 00", false, 0, 50}}},
      {"SetFlashPageSize no reply",
       [](const char* p) { return device::SetFlashPageSize(p, 32, 0); },
       {{"FF 04 25 02 08 00 00 00 00 00 00 00", true, 0}}},
      {"SetFlashPageSize reply",
       [](const char* p) { return device::SetFlashPageSize(p, 32, 2); },
       {{"FF 04 25 02 08 00 00 00 00 00 00 00", true, 2}}},
      {"ClearFlashPageSize",
       [](const char* p) { return device::ClearFlashPageSize(p); },
       {{"FF 04 25 00 00 00 00 00 00 00 00 00", false, 0, 50}}},
      {"ReadFlashBlock",
       [](const char* p) { return device::ReadFlashBlock(p, 0x012000, buffer, 0x2000); },
       {{"DF 10 00 20 00 00 00 00 01 20 00 FA", true, 0x2000}}},
      {"WriteFlashBlock erase code 0x83",
       [](const char* p) { return device::WriteFlashBlock(p, 0, image, 0x1000, 0x83); },
       {{"DF 83 00 10 00 00 00 00 00 00 00 FB", false, 0x1000, 50}}},
      {"WriteFlashBlock chip erase",
       [](const char* p) { return device::WriteFlashBlock(p, 0x10000, image, 0x1000, 3); },
       {{"DF 03 00 10 00 00 00 00 01 00 00 FB", false, 0x1000, 100}}},
      {"WriteFlashBlock masked mode",
       [](const char* p) { return device::WriteFlashBlock(p, 0x0100, image, 0x100, 0x7F); },
       {{"DF 07 00 01 00 00 00 00 00 01 00 FB", false, 0x100, 50}}},
      {"WriteFlashBlock masked to code 3",
       [](const char* p) { return device::WriteFlashBlock(p, 0, image, 0x100, 0x7B); },
       {{"DF 03 00 01 00 00 00 00 00 00 00 FB", false, 0x100, 100}}},
      {"WriteFlashBlockPlain flag",
       [](const char* p) { return device::WriteFlashBlockPlain(p, 0x8000, image, 256, 5); },
       {{"DF 01 00 01 00 00 00 00 00 80 00 FB", false, 256, 50}}},
      {"WriteFlashBlockPlain no flag",
       [](const char* p) { return device::WriteFlashBlockPlain(p, 0x8100, image, 256, 0); },
       {{"DF 00 00 01 00 00 00 00 00 81 00 FB", false, 256, 50}}},
      {"SwitchToInternalRom",
       [](const char* p) { return device::SwitchToInternalRom(p); },
       {{"FF 04 05 00 00 00 00 00 00 00 00 00", false, 0, 50}}},
      {"IsRomBusy",
       [](const char* p) { return device::IsRomBusy(p); },
       {{"FF 04 00 00 00 00 00 00 00 00 00 00", true, 2}}},
      {"StartRomErase",
       [](const char* p) { return device::StartRomErase(p); },
       {{"FF 04 01 00 00 00 00 00 00 00 00 00", false, 0, 50}}},
      {"ReadRom 0x10000",
       [](const char* p) { return device::ReadRom(p, 0x10000, buffer, 64); },
       {{"FF 04 03 00 00 01 00 00 00 00 00 00", true, 64}}},
      {"ReadRom little-endian",
       [](const char* p) { return device::ReadRom(p, 0x12345678, buffer, 64); },
       {{"FF 04 03 78 56 34 12 00 00 00 00 00", true, 64}}},
      {"ProgramRom ATMEL",
       [](const char* p) { return device::ProgramRom(p, image, 0x1000, 0); },
       {{"FF 04 02 55 55 AA 2A 55 55 AA 55 A0", false, 0x1000, 50}}},
      {"ProgramRom PMC",
       [](const char* p) { return device::ProgramRom(p, image, 0x1000, 1); },
       {{"FF 04 02 55 05 AA 02 55 05 AA 55 A0", false, 0x1000, 50}}},
      {"ProgramRom SST",
       [](const char* p) { return device::ProgramRom(p, image, 0x1000, 2); },
       {{"FF 04 02 55 55 AA 2A 55 55 AA 55 A0", false, 0x1000, 50}}},
      {"ProgramRom unknown part",
       [](const char* p) { return device::ProgramRom(p, image, 0x1000, 3); },
       {{"FF 04 02 00 00 00 00 00 00 00 00 00", false, 0x1000, 50}}},
      {"PreEraseRom",
       [](const char* p) { return device::PreEraseRom(p, 0); },
       {{"FF 04 04 00 00 00 00 00 00 00 00 00", false, 18, 50}}},
  };
}

TEST_F(FlashCommandsTest, EachCommandSendsItsBlocks) {
  for (const WireCase& c : FlashCases()) {
    machine.ClearTranscript();
    c.send(p());
    testing_support::ExpectWire(machine, c.want, c.name);
  }
}

TEST_F(FlashCommandsTest, RejectionsAreFailuresInEachCommandsOwnTerms) {
  device->rejectUnknown = true;
  for (const WireCase& c : FlashCases()) {
    int want = 0;
    if (c.name == "IsRomBusy") want = 1;  // an unanswered status counts as busy
    if (c.name == "DetectAmicFlash" || c.name == "DetectAtmelFlash") want = -1;
    EXPECT_EQ(want, c.send(p())) << c.name;
  }
}

TEST_F(FlashCommandsTest, PreEraseSendsThePartsChipEraseSequence) {
  struct Case {
    int index;
    std::string data;
  } cases[] = {
      {0, "55 55 AA 2A 55 55 55 55 AA 2A 55 55 AA 55 80 AA 55 10"},
      {1, "55 05 AA 02 55 05 55 05 AA 02 55 05 AA 55 80 AA 55 10"},
      {2, "55 55 AA 2A 55 55 55 55 AA 2A 55 55 AA 55 80 AA 55 10"},
      {3, "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
      {-1, "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
  };
  for (const Case& c : cases) {
    device->requests.clear();
    ASSERT_EQ(1, device::PreEraseRom(p(), c.index));
    ASSERT_EQ(1u, device->requests.size());
    EXPECT_EQ(Hex(c.data), device->requests[0].dataOut) << c.index;
  }
}

TEST_F(FlashCommandsTest, WritesCarryTheCallersBytes) {
  std::vector<std::uint8_t> image(256);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_EQ(1, device::WriteFlash(p(), 0x1000, image.data(), 256));
  ASSERT_EQ(1, device::WriteFlashBlock(p(), 0x1000, image.data(), 256, 0));
  ASSERT_EQ(1, device::ProgramRom(p(), image.data(), 256, 1));
  ASSERT_EQ(3u, device->requests.size());
  for (const auto& r : device->requests) EXPECT_EQ(image, r.dataOut);
  EXPECT_EQ(0, device::WriteFlash(p(), 0, image.data(), -1));
  EXPECT_EQ(3u, device->requests.size());
}

TEST_F(FlashCommandsTest, ProbeStopsWhenTheOpcodeIsRefused) {
  device->Reject("FF 04 20");
  std::uint8_t id[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(0, device::SpiCommandRead(p(), 0x9F, id, 4));
  EXPECT_EQ(1u, device->requests.size());
  EXPECT_EQ(0xEE, id[0]);  // nothing was read
}

TEST_F(FlashCommandsTest, ProbeReturnsTheAnswerBytes) {
  device->Reply("FF 04 21", Hex("C2 22 11 00"));
  std::uint8_t id[4] = {};
  ASSERT_EQ(1, device::SpiCommandRead(p(), 0x9F, id, 4));
  EXPECT_EQ(Hex("C2 22 11 00"), std::vector<std::uint8_t>(id, id + 4));
}

TEST_F(FlashCommandsTest, AmicDetectorMapsTheVariantByte) {
  struct Case {
    std::string jedec;
    int want;
  } cases[] = {{"7F 37 20 12", 1},  {"7F 37 20 11", 3},  {"7F 37 20 20", 4},
               {"7F 37 20 10", 5},  {"7F 37 20 21", -1}, {"7F 37 20 22", -1},
               {"7F 37 21 12", -1}, {"37 20 12 00", -1}, {"1F 65 00 00", -1}};
  for (const Case& c : cases) {
    ScriptedFixture f;
    f.device->Reply("FF 04 21", Hex(c.jedec));
    EXPECT_EQ(c.want, device::DetectAmicFlash(f.p())) << c.jedec;
  }
  ScriptedFixture refusedRead;
  refusedRead.device->ReplyThenReject("FF 04 21", Hex("7F 37 20 12"));
  EXPECT_EQ(-1, device::DetectAmicFlash(refusedRead.p()));
}

TEST_F(FlashCommandsTest, AtmelDetectorMapsTheDeviceByte) {
  struct Case {
    std::string jedec;
    int want;
  } cases[] = {{"1F 65 00 00", 1},
               {"1F 66 01 00", 2},
               {"1F 47 00 00", 0},
               {"7F 37 20 12", -1},
               {"00 1F 65 00", -1}};
  for (const Case& c : cases) {
    ScriptedFixture f;
    f.device->Reply("FF 04 21", Hex(c.jedec));
    EXPECT_EQ(c.want, device::DetectAtmelFlash(f.p())) << c.jedec;
  }
  ScriptedFixture refusedProbe;
  refusedProbe.device->Reject("FF 04 20");
  refusedProbe.device->Reply("FF 04 21", Hex("1F 65 00 00"));
  EXPECT_EQ(-1, device::DetectAtmelFlash(refusedProbe.p()));
  EXPECT_EQ(1, refusedProbe.device->Count("FF 04 20"));
  EXPECT_EQ(0, refusedProbe.device->Count("FF 04 21"));
}

TEST_F(FlashCommandsTest, RomBusyCountsFailuresAsBusy) {
  struct Case {
    std::uint8_t status;
    int want;
  } cases[] = {{0x01, 1}, {0x00, 0}, {0x02, 0}, {0x81, 0}, {0xFF, 0}};
  for (const Case& c : cases) {
    ScriptedFixture f;
    f.device->Reply("FF 04 00", {c.status});
    EXPECT_EQ(c.want, device::IsRomBusy(f.p())) << int(c.status);
  }
  ScriptedFixture rejecting;
  rejecting.device->Reject("FF 04 00");
  EXPECT_EQ(1, device::IsRomBusy(rejecting.p()));
}

TEST_F(FlashCommandsTest, RomBusyOnAnUnreachableDeviceIsBusy) {
  EXPECT_EQ(1, device::IsRomBusy(gone.c_str()));
  machine.FailOpen(path, host::kErrorAccessDenied);
  EXPECT_EQ(1, device::IsRomBusy(p()));
  EXPECT_TRUE(machine.transcript().empty());
}

// The flash reports busy for `busyReads` status reads, then ready.
void BusyFor(testing_support::ScriptedDevice& d, int busyReads) {
  if (busyReads > 0) d.Reply("FF 04 12", {0x01}, busyReads);
  d.Reply("FF 04 12", {0x00});
}

TEST_F(FlashCommandsTest, ReadyWaitCountsReReadsAndVirtualTime) {
  struct Case {
    int busyReads;  // reads that still show busy
    bool ready;
    int statusReads;
    std::uint64_t ms;
  } cases[] = {
      {0, true, 1, 0},            // clear at the first read
      {1, true, 2, 10},           // clear at the first re-read
      {500, true, 501, 5000},     // clear at the 500th re-read: still in time
      {501, false, 502, 5010},    // clear at the 501st re-read does not count
      {502, false, 503, 5020},    // clear at the 502nd: the wait gave up there
      {100000, false, 503, 5020}  // never clears: gives up after 502 re-reads
  };
  for (const Case& c : cases) {
    ScriptedFixture f;
    BusyFor(*f.device, c.busyReads);
    EXPECT_EQ(c.ready, device::WaitFlashReady(f.p())) << c.busyReads;
    EXPECT_EQ(c.statusReads, f.device->Count("FF 04 12")) << c.busyReads;
    EXPECT_EQ(c.ms, f.machine.SleptMs()) << c.busyReads;
  }
}

TEST_F(FlashCommandsTest, ReadyWaitUsesWhateverAFailedStatusReadDelivered) {
  device->ReplyThenReject("FF 04 12", {0x01});
  // The failed read still delivered its byte: the busy bit counts.
  EXPECT_FALSE(device::WaitFlashReady(p()));

  ScriptedFixture zeroing;
  zeroing.device->Reject("FF 04 12");
  EXPECT_TRUE(device::WaitFlashReady(zeroing.p()));
  EXPECT_EQ(1, zeroing.device->Count("FF 04 12"));
}

TEST_F(FlashCommandsTest, ReadyWaitNeverPassesAnUnreachableDevice) {
  const int opensBefore = machine.openCount();
  EXPECT_FALSE(device::WaitFlashReady(gone.c_str()));
  EXPECT_EQ(503, machine.openCount() - opensBefore);
  EXPECT_EQ(5020u, machine.SleptMs());
}

TEST_F(FlashCommandsTest, FailedReadLeavesNoStaleBytes) {
  device->Reject("FF 04 10");
  std::vector<std::uint8_t> buffer(64, 0xAB);
  EXPECT_EQ(0, device::ReadFlash(p(), 0, buffer.data(), 64));
  EXPECT_EQ(std::vector<std::uint8_t>(64, 0), buffer);
}

}  // namespace
