// The commands a kernel's disk driver sends when an enclosure attaches, and
// the sense a rejected command leaves for REQUEST SENSE.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "sim/enclosure.h"
#include "sim/machine.h"
#include "sim/sim_disk.h"

namespace {

constexpr std::uint64_t kSectors = 0x8000;  // 16 MiB

class SimBlockCommandsTest : public ::testing::Test {
 protected:
  SimBlockCommandsTest() {
    auto enclosure = std::make_shared<sim::Enclosure>("Tavrion", "TX40775 Disk", "0100");
    sim::DiskConfig config;
    config.sectors = kSectors;
    disk = std::make_shared<sim::SimDisk>(config);
    disk->Install(enclosure->commands());
    sim::Attachment a;
    a.path = sim::UsbDiskPath("Tavrion", "TX40775", "1");
    a.device = enclosure;
    machine.Attach(a);
    std::uint32_t error = 0;
    handle = machine.OpenDevice(a.path.c_str(), host::kGenericRead, 3, error);
  }
  ~SimBlockCommandsTest() override { machine.CloseDevice(handle); }

  struct Answer {
    std::uint8_t status = 0;
    std::uint32_t transferred = 0;
  };
  Answer Send(std::vector<std::uint8_t> cdb, bool in, std::vector<std::uint8_t>& data) {
    host::PassThroughRequest r;
    r.cdbLength = static_cast<std::uint8_t>(cdb.size());
    std::memcpy(r.cdb, cdb.data(), cdb.size());
    r.dataIn = in ? 1 : 0;
    r.dataTransferLength = static_cast<std::uint32_t>(data.size());
    r.dataBuffer = data.empty() ? nullptr : data.data();
    std::uint32_t error = 0;
    EXPECT_TRUE(machine.PassThrough(handle, r, error));
    return {r.scsiStatus, r.dataTransferLength};
  }
  // Sense key and additional sense code REQUEST SENSE reports now.
  std::pair<int, int> Sense() {
    std::vector<std::uint8_t> sense(18);
    const Answer a = Send({0x03, 0, 0, 0, 18, 0}, true, sense);
    EXPECT_EQ(0, a.status);
    EXPECT_EQ(18u, a.transferred);
    return {sense[2] & 0x0F, sense[12]};
  }

  sim::Machine machine;
  std::shared_ptr<sim::SimDisk> disk;
  host::Handle handle = host::kInvalidHandle;
};

TEST_F(SimBlockCommandsTest, AttachCommandsAnswerAndRejectionsLeaveSense) {
  struct Row {
    const char* what;
    std::vector<std::uint8_t> cdb;
    bool in;
    std::uint32_t length;
    std::uint8_t status;
    std::uint32_t transferred;
    std::vector<std::uint8_t> head;  // first bytes of the answer
    int senseKey, senseCode;         // REQUEST SENSE afterwards
  };
  const std::vector<Row> rows = {
      {"TEST UNIT READY", {0x00, 0, 0, 0, 0, 0}, false, 0, 0, 0, {}, 0, 0},
      {"INQUIRY, 36 bytes", {0x12, 0, 0, 0, 36, 0}, true, 36, 0, 36, {0x00, 0x80}, 0, 0},
      {"INQUIRY for a VPD page", {0x12, 1, 0x80, 0, 36, 0}, true, 36, 2, 0, {}, 5, 0x24},
      {"READ CAPACITY(10)", {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, 8, 0, 8,
       {0x00, 0x00, 0x7F, 0xFF, 0x00, 0x00, 0x02, 0x00}, 0, 0},
      {"READ CAPACITY(16)", {0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0}, true, 32, 0,
       32, {0, 0, 0, 0, 0, 0, 0x7F, 0xFF, 0, 0, 2, 0}, 0, 0},
      {"MODE SENSE(6), all pages", {0x1A, 0, 0x3F, 0, 192, 0}, true, 192, 0, 4, {3, 0, 0, 0}, 0, 0},
      {"MODE SENSE(10), all pages", {0x5A, 0, 0x3F, 0, 0, 0, 0, 0, 192, 0}, true, 192, 0, 8,
       {0, 6, 0, 0, 0, 0, 0, 0}, 0, 0},
      {"PREVENT MEDIUM REMOVAL", {0x1E, 0, 0, 0, 1, 0}, false, 0, 0, 0, {}, 0, 0},
      {"SYNCHRONIZE CACHE(10)", {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false, 0, 0, 0, {}, 0, 0},
      {"an unknown operation", {0xC7, 0, 0, 0, 0, 0}, false, 0, 2, 0, {}, 5, 0x20},
      {"READ(10) past the end", {0x28, 0, 0, 0, 0x7F, 0xFF, 0, 0, 2, 0}, true, 1024, 2, 0, {}, 5,
       0x24},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<std::uint8_t> data(row.length, 0xEE);
    const Answer a = Send(row.cdb, row.in, data);
    EXPECT_EQ(row.status, a.status);
    EXPECT_EQ(row.transferred, a.transferred);
    ASSERT_GE(data.size(), row.head.size());
    EXPECT_EQ(row.head, std::vector<std::uint8_t>(data.begin(), data.begin() + row.head.size()));
    EXPECT_EQ(std::make_pair(row.senseKey, row.senseCode), Sense());
    // Reported once: the good REQUEST SENSE itself clears it.
    EXPECT_EQ(std::make_pair(0, 0), Sense());
  }
}

TEST_F(SimBlockCommandsTest, TenByteReadAndWriteReachTheSectorsOfTheSixteenByteOnes) {
  std::vector<std::uint8_t> out(1024);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(i * 13 + 1);
  // The last two sectors, written with WRITE(10).
  EXPECT_EQ(0, Send({0x2A, 0, 0, 0, 0x7F, 0xFE, 0, 0, 2, 0}, false, out).status);
  std::vector<std::uint8_t> back(1024);
  const Answer r16 =
      Send({0x88, 0, 0, 0, 0, 0, 0, 0, 0x7F, 0xFE, 0, 0, 0, 2, 0, 0}, true, back);
  EXPECT_EQ(0, r16.status);
  EXPECT_EQ(out, back);
  std::vector<std::uint8_t> one(512);
  const Answer r10 = Send({0x28, 0, 0, 0, 0x7F, 0xFF, 0, 0, 1, 0}, true, one);
  EXPECT_EQ(1024u / 2, r10.transferred);
  EXPECT_TRUE(std::equal(one.begin(), one.end(), out.begin() + 512));
  // A data-in READ(10) may not write: the direction must match.
  EXPECT_EQ(2, Send({0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, true, one).status);
}

}  // namespace
