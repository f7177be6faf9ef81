#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "scsi/passthrough.h"
#include "sim_fixture.h"

namespace device {
extern int g_allocationsBeforeFailure;
}

namespace {

using sim::CdbPattern;
using sim::CommandFault;
using sim::Outcome;

// A device that answers one read command with a known pattern and records
// what a write delivered.
class PatternDevice : public sim::SimDevice {
 public:
  void Execute(sim::Machine&, sim::Exchange& e) override {
    lastLength = e.length;
    if (e.dataIn) {
      for (std::uint32_t i = 0; i < e.length; ++i) e.data[i] = static_cast<std::uint8_t>(0xA0 + i);
    } else if (e.data != nullptr) {
      received.assign(e.data, e.data + e.length);
    }
  }
  std::uint32_t lastLength = 0;
  std::vector<std::uint8_t> received;
};

class TransportTest : public ::testing::Test, public testing_support::SimFixtureBase {
 protected:
  void SetUp() override {
    device_ = std::make_shared<PatternDevice>();
    sim::Attachment a;
    a.path = sim::UsbDiskPath("Tavrion", "TX40775", "1");
    a.device = device_;
    machine.Attach(a);
    path_ = a.path;
  }
  std::shared_ptr<PatternDevice> device_;
  std::string path_;
  std::uint8_t cdb_[16] = {0xFF, 0x10};
};

TEST_F(TransportTest, ReadFillsTheRequestAsThePlatformExpects) {
  std::uint8_t buf[64] = {};
  std::int32_t moved = -1;
  ASSERT_EQ(1, device::ScsiPassThroughIn(path_.c_str(), cdb_, 12, buf, 64, &moved));
  EXPECT_EQ(64, moved);
  EXPECT_EQ(0xA0, buf[0]);
  EXPECT_EQ(0xA0 + 63, buf[63]);
  ASSERT_EQ(1u, machine.transcript().size());
  const auto& t = machine.transcript()[0];
  EXPECT_EQ(44, t.request.length);
  EXPECT_EQ(0, t.request.pathId);
  EXPECT_EQ(1, t.request.targetId);
  EXPECT_EQ(0, t.request.lun);
  EXPECT_EQ(12, t.request.cdbLength);
  EXPECT_EQ(0, t.request.senseInfoLength);
  EXPECT_EQ(1, t.request.dataIn);
  EXPECT_EQ(10u, t.request.timeOutValue);
  EXPECT_EQ(48u, t.request.senseInfoOffset);
  EXPECT_EQ(host::kShareRead | host::kShareWrite, t.share);
  EXPECT_TRUE(t.bufferAligned);
  EXPECT_EQ(0, t.request.cdb[12]);  // the unused CDB tail stays zero
  EXPECT_EQ(0, machine.openHandles());
}

TEST_F(TransportTest, OneByteTransfersTravelAsTwoButOnlyOneByteIsCopied) {
  std::uint8_t buf[2] = {0x11, 0x22};
  std::int32_t moved = 0;
  ASSERT_EQ(1, device::ScsiPassThroughIn(path_.c_str(), cdb_, 12, buf, 1, &moved));
  EXPECT_EQ(2u, machine.transcript()[0].request.dataTransferLength);
  EXPECT_EQ(2u, device_->lastLength);
  EXPECT_EQ(0xA0, buf[0]);
  EXPECT_EQ(0x22, buf[1]);

  std::uint8_t out[2] = {0x5A, 0x77};
  ASSERT_EQ(1, device::ScsiPassThroughOut(path_.c_str(), cdb_, 12, out, 1, &moved));
  ASSERT_EQ(2u, device_->received.size());
  EXPECT_EQ(0x5A, device_->received[0]);
  EXPECT_EQ(0x00, device_->received[1]);  // the pad byte is never the caller's
  EXPECT_EQ(0x77, out[1]);
}

TEST_F(TransportTest, ZeroLengthSendsNoBufferWithTheCarriersDirection) {
  std::int32_t moved = -1;
  ASSERT_EQ(1, device::ScsiPassThroughIn(path_.c_str(), cdb_, 12, nullptr, 0, &moved));
  ASSERT_EQ(1, device::ScsiPassThroughOut(path_.c_str(), cdb_, 12, nullptr, 0, &moved));
  ASSERT_EQ(2u, machine.transcript().size());
  for (const auto& t : machine.transcript()) {
    EXPECT_EQ(nullptr, t.request.dataBuffer);
    EXPECT_EQ(0u, t.request.dataTransferLength);
  }
  EXPECT_EQ(1, machine.transcript()[0].request.dataIn);
  EXPECT_EQ(0, machine.transcript()[1].request.dataIn);
  EXPECT_EQ(0u, machine.transcript()[1].share);  // writes want the device to themselves
}

TEST_F(TransportTest, WriteTimeoutsFollowTheCommand) {
  struct Case {
    std::uint8_t b1, b2, b11;
    std::uint32_t timeout;
  } cases[] = {{0x00, 0x13, 0x00, 100}, {0x03, 0x00, 0xFB, 100}, {0x02, 0x00, 0xFB, 50},
               {0x03, 0x00, 0xFA, 50},  {0x00, 0x12, 0x00, 50}};
  for (const Case& c : cases) {
    std::uint8_t cdb[12] = {0xFF, c.b1, c.b2};
    cdb[11] = c.b11;
    std::int32_t moved = 0;
    machine.ClearTranscript();
    ASSERT_EQ(1, device::ScsiPassThroughOut(path_.c_str(), cdb, 12, nullptr, 0, &moved));
    EXPECT_EQ(c.timeout, machine.transcript()[0].request.timeOutValue)
        << "b1=" << int(c.b1) << " b2=" << int(c.b2) << " b11=" << int(c.b11);
  }
}

TEST_F(TransportTest, FailedOpenSendsNothing) {
  std::uint8_t buf[8];
  std::memset(buf, 0xEE, sizeof buf);
  std::int32_t moved = 0;
  EXPECT_EQ(0, device::ScsiPassThroughIn("\\\\?\\usbstor#gone", cdb_, 12, buf, 8, &moved));
  machine.FailOpen(path_, host::kErrorAccessDenied);
  EXPECT_EQ(0, device::ScsiPassThroughOut(path_.c_str(), cdb_, 12, buf, 8, &moved));
  EXPECT_TRUE(machine.transcript().empty());
  EXPECT_EQ(0xEE, buf[0]);  // nothing was exchanged, so nothing was copied
}

TEST_F(TransportTest, HeldOpenElsewhereBlocksOnlyTheExclusiveWrite) {
  machine.HoldOpenElsewhere(path_);
  std::uint8_t buf[4] = {};
  std::int32_t moved = 0;
  EXPECT_EQ(1, device::ScsiPassThroughIn(path_.c_str(), cdb_, 12, buf, 4, &moved));
  EXPECT_EQ(0, device::ScsiPassThroughOut(path_.c_str(), cdb_, 12, buf, 4, &moved));
  EXPECT_EQ(1u, machine.transcript().size());
  // An open that asks for no data access takes no part in sharing, as on the
  // platform: the device number is still readable.
  host::DeviceNumber n;
  EXPECT_TRUE(device::GetDeviceNumber(path_.c_str(), &n));
  EXPECT_EQ(0, machine.openHandles());
}

TEST_F(TransportTest, CheckConditionFailsAndLeavesNoStaleBytes) {
  CommandFault fault;
  fault.pattern = CdbPattern("FF 10");
  fault.occurrence = 2;
  machine.AddFault(fault);
  std::uint8_t buf[16];
  std::int32_t moved = 0;
  ASSERT_EQ(1, device::ScsiPassThroughIn(path_.c_str(), cdb_, 12, buf, 16, &moved));
  EXPECT_EQ(0xA0, buf[0]);
  EXPECT_EQ(0, device::ScsiPassThroughIn(path_.c_str(), cdb_, 12, buf, 16, &moved));
  for (std::uint8_t b : buf) EXPECT_EQ(0, b);  // the previous answer is gone
  EXPECT_EQ(Outcome::CheckCondition, machine.transcript()[1].outcome);
  EXPECT_EQ(1, device::ScsiPassThroughIn(path_.c_str(), cdb_, 12, buf, 16, &moved));
}

TEST_F(TransportTest, ShortTransferReportsThePartAndZeroFillsTheRest) {
  CommandFault fault;
  fault.kind = CommandFault::Kind::ShortTransfer;
  fault.pattern = CdbPattern("FF");
  fault.shortLength = 4;
  machine.AddFault(fault);
  std::uint8_t buf[8];
  std::memset(buf, 0xEE, sizeof buf);
  std::int32_t moved = 0;
  EXPECT_EQ(1, device::ScsiPassThroughIn(path_.c_str(), cdb_, 12, buf, 8, &moved));
  EXPECT_EQ(4, moved);
  EXPECT_EQ(0xA3, buf[3]);
  EXPECT_EQ(0x00, buf[4]);
}

TEST_F(TransportTest, PlatformErrorAndUnplugFail) {
  CommandFault error;
  error.kind = CommandFault::Kind::PlatformError;
  error.pattern = CdbPattern("FF 10");
  machine.AddFault(error);
  std::int32_t moved = 0;
  EXPECT_EQ(0, device::ScsiPassThroughIn(path_.c_str(), cdb_, 12, nullptr, 0, &moved));

  machine.ClearFaults();
  CommandFault unplug;
  unplug.kind = CommandFault::Kind::Unplug;
  unplug.pattern = CdbPattern("FF 10");
  machine.AddFault(unplug);
  EXPECT_EQ(0, device::ScsiPassThroughIn(path_.c_str(), cdb_, 12, nullptr, 0, &moved));
  EXPECT_EQ(nullptr, machine.Find(path_));
  const std::size_t sent = machine.transcript().size();
  EXPECT_EQ(0, device::ScsiPassThroughIn(path_.c_str(), cdb_, 12, nullptr, 0, &moved));
  EXPECT_EQ(sent, machine.transcript().size());  // gone: the open fails first
}

TEST_F(TransportTest, AllocationFailureSendsNothingAndReleasesTheHandle) {
  std::uint8_t buf[8] = {};
  std::int32_t moved = 0;
  device::g_allocationsBeforeFailure = 1;  // the request block works, the data buffer not
  EXPECT_EQ(0, device::ScsiPassThroughIn(path_.c_str(), cdb_, 12, buf, 8, &moved));
  device::g_allocationsBeforeFailure = 0;
  EXPECT_EQ(0, device::ScsiPassThroughOut(path_.c_str(), cdb_, 12, buf, 8, &moved));
  EXPECT_TRUE(machine.transcript().empty());
  EXPECT_EQ(0, machine.openHandles());
}

TEST(PaddedBufferTest, AlignsToTheNextMultiple) {
  EXPECT_EQ(8192u, device::AlignUp(1, 8192));
  EXPECT_EQ(8192u, device::AlignUp(8192, 8192));
  EXPECT_EQ(16384u, device::AlignUp(8193, 8192));
  device::PaddedBuffer buffer(100000);
  ASSERT_TRUE(buffer.ok());
  EXPECT_EQ(0u, reinterpret_cast<std::uintptr_t>(buffer.data()) % 8192);
  for (std::size_t i = 0; i < buffer.size(); i += 4096) EXPECT_EQ(0, buffer.data()[i]);
}

TEST_F(TransportTest, DeviceNumberOfDiskAndMissingPath) {
  host::DeviceNumber n;
  ASSERT_TRUE(device::GetDeviceNumber(path_.c_str(), &n));
  EXPECT_EQ(7u, n.deviceType);
  EXPECT_FALSE(device::GetDeviceNumber("\\\\.\\Q:", &n));
  EXPECT_EQ(0, machine.openHandles());
}

}  // namespace
