// Storage-controller and disk commands: the blocks they send, and the derived
// results the flash and disk-area procedures rely on.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/guarded_steps.h"
#include "scsi/ata_commands.h"
#include "scsi/flash_commands.h"
#include "scsi/disk_commands.h"
#include "sim/bridge_chip.h"
#include "sim/profiles.h"
#include "scripted_device.h"
#include "sim_fixture.h"

namespace {

using sim::CdbPattern;
using sim::CommandFault;
using testing_support::Hex;

// Accepts every block; answers reads with zeros.
class AcceptAll : public sim::SimDevice {
 public:
  void Execute(sim::Machine&, sim::Exchange& e) override {
    if (e.dataIn && e.data != nullptr) std::memset(e.data, 0, e.length);
  }
};

// Answers the status read with busy until `busyReads` reads were answered.
class StatusScript : public sim::SimDevice {
 public:
  explicit StatusScript(int busyReads) : busyReads_(busyReads) {}
  void Execute(sim::Machine&, sim::Exchange& e) override {
    if (e.at(0) != 0xA1 || e.at(3) != 0xEA) return e.Reject();
    std::memset(e.data, 0, e.length);
    e.data[0] = reads_++ < busyReads_ ? 0x01 : 0x00;
  }

 private:
  int busyReads_;
  int reads_ = 0;
};

// Answers status reads from a script, one letter per read: 'B' busy, 'R'
// ready, 'X' refused; the last letter repeats. Flash reads get zeros.
class StatusLetters : public sim::SimDevice {
 public:
  explicit StatusLetters(std::string script) : script_(std::move(script)) {}
  void Execute(sim::Machine&, sim::Exchange& e) override {
    if (e.at(0) != 0xA1) return e.Reject();
    std::memset(e.data, 0, e.length);
    if (e.at(3) != 0xEA) return;
    const char c = script_[std::min(reads_++, script_.size() - 1)];
    if (c == 'X') return e.Reject();
    e.data[0] = c == 'B' ? 0x01 : 0x00;
  }

 private:
  std::string script_;
  std::size_t reads_ = 0;
};

// Answers IDENTIFY DEVICE with a fixed block.
class IdentifyOnly : public sim::SimDevice {
 public:
  std::array<std::uint8_t, 512> data{};
  void Execute(sim::Machine&, sim::Exchange& e) override {
    if (e.at(0) != 0xA1 || e.at(9) != 0xEC) return e.Reject();
    std::memcpy(e.data, data.data(), 512);
  }
  void SetWord(int word, std::uint16_t value) {
    data[2 * word] = static_cast<std::uint8_t>(value);
    data[2 * word + 1] = static_cast<std::uint8_t>(value >> 8);
  }
};

// A device serial made of a prefix and numbers (appended: mingw's g++ 12 warns
// falsely about "literal" + std::string at -O3).
std::string Serial(const char* prefix, std::uint64_t a, std::int64_t b = -1) {
  std::string s = prefix;
  s += std::to_string(a);
  if (b >= 0) {
    s += '_';
    s += std::to_string(b);
  }
  return s;
}

class AtaCommandsTest : public ::testing::Test, public testing_support::SimFixtureBase {
 protected:
  std::string Attach(std::shared_ptr<sim::SimDevice> device, const std::string& serial = "1") {
    sim::Attachment a;
    a.path = sim::UsbDiskPath("Tavrion", "TXV929", serial);
    a.device = std::move(device);
    machine.Attach(a);
    return a.path;
  }
  // A chip without a flash of its own; tests add a route or a disk behind it.
  std::shared_ptr<sim::BridgeChip> AttachChip(sim::BridgeConfig config, std::string* path) {
    config.bus = sim::FlashBus::None;
    auto chip = std::make_shared<sim::BridgeChip>(std::move(config), nullptr, nullptr);
    *path = Attach(chip, Serial("c", static_cast<std::uint64_t>(++serial_)));
    return chip;
  }
  std::shared_ptr<sim::BridgeChip> AttachChipWithDisk(sim::BridgeConfig config,
                                                      const sim::DiskConfig& disk,
                                                      std::string* path) {
    auto chip = AttachChip(std::move(config), path);
    chip->AddDisk(std::make_shared<sim::SimDisk>(disk));
    return chip;
  }
  std::shared_ptr<sim::BridgeChip> AttachProfile(const char* name, std::string* path,
                                                 sim::AttachOptions options = {}) {
    options.serial = Serial("p", static_cast<std::uint64_t>(++serial_));
    auto chip = AttachNamedProfile(name, options);
    if (chip) *path = chip->path();
    return chip;
  }
  std::vector<std::string> Commands() const {
    std::vector<std::string> names;
    for (const auto& t : machine.transcript()) names.push_back(t.command);
    return names;
  }
  int serial_ = 0;
};

struct CdbCase {
  const char* name;
  std::function<int(const char*)> send;
  const char* cdb;
  int dataIn;
  std::uint32_t length;
  std::uint32_t timeout;
};

TEST_F(AtaCommandsTest, EveryCommandSendsItsBlock) {
  const std::string path = Attach(std::make_shared<AcceptAll>());
  static std::uint8_t buf[0x10000];
  const device::SpiRecord record = device::MakeSpiRecord(4, 1, 0x02, 0x12, 0x34);
  const device::SpiRecord oddRecord = device::MakeSpiRecord(0xFF, 0x02, 0x03);
  device::FlashDescriptor descriptor;
  descriptor.flashMaker = 0x05;
  std::uint8_t status = 0;
  const CdbCase cases[] = {
      {"AtaReadChipInfo", [&](const char* p) { return device::AtaReadChipInfo(p, buf, 512); },
       "A1 08 0B E0 01 00 00 00 B0 B0 00 00", 1, 512, 10},
      {"AtaReadStatus", [&](const char* p) { return device::AtaReadStatus(p, &status); },
       "A1 08 0B EA 01 00 00 00 B0 B0 00 00", 1, 512, 10},
      {"AtaReadFlash", [&](const char* p) { return device::AtaReadFlash(p, 0x12000, buf, 8192); },
       "A1 08 0B E8 10 00 20 01 B0 B0 00 00", 1, 8192, 10},
      {"AtaReadFlash 4K", [&](const char* p) { return device::AtaReadFlash(p, 0xABCDEF, buf, 4096); },
       "A1 08 0B E8 08 EF CD AB B0 B0 00 00", 1, 4096, 10},
      {"AtaWriteFlash", [&](const char* p) { return device::AtaWriteFlash(p, 0, buf, 8192); },
       "A1 0A 03 E9 10 00 00 00 B0 B0 00 00", 0, 8192, 50},
      {"AtaEraseFlashChip", [&](const char* p) { return device::AtaEraseFlashChip(p); },
       "A1 06 0B E7 00 00 00 00 B0 B0 00 00", 0, 0, 50},
      {"AtaSpiCommand", [&](const char* p) { return device::AtaSpiCommand(p, record, nullptr, 0); },
       "A1 06 0B E1 84 02 12 34 00 B0 00 00", 0, 0, 50},
      {"AtaSpiCommand cut", [&](const char* p) { return device::AtaSpiCommand(p, oddRecord, nullptr, 0); },
       "A1 06 0B E1 7F 03 00 00 00 B0 00 00", 0, 0, 50},
      {"AtaSpiReadData", [&](const char* p) { return device::AtaSpiReadData(p, buf, 512); },
       "A1 08 0B E3 01 00 00 00 B0 B0 00 00", 1, 512, 10},
      {"AtaSetFlashOpcodes", [&](const char* p) { return device::AtaSetFlashOpcodes(p, descriptor); },
       "A1 06 0B E4 05 C7 D8 02 B0 B0 00 00", 1, 0, 10},
      {"AtaSetFlashPageSize", [&](const char* p) { return device::AtaSetFlashPageSize(p, 32); },
       "A1 06 0B E5 08 00 00 00 B0 B0 00 00", 1, 0, 10},
      {"AtaReadFlashTypeBlock", [&](const char* p) { return device::AtaReadFlashTypeBlock(p, buf, 512); },
       "A1 08 0B EC 01 00 00 00 B0 B0 00 00", 1, 512, 10},
      {"ReadCapacity16", [&](const char* p) { return device::ReadCapacity16(p, buf, 16); },
       "9E 10 00 00 00 00 00 00 00 00 00 00 00 10 00 00", 1, 16, 10},
      {"ReadDisk16", [&](const char* p) { return device::ReadDisk16(p, buf, 0x89ABCDEF, 0x01234567, 8192, 512); },
       "88 00 01 23 45 67 89 AB CD EF 00 00 00 10 00 00", 1, 8192, 10},
      {"WriteDisk16", [&](const char* p) { return device::WriteDisk16(p, buf, 7, 0, 0x10000, 4096); },
       "8A 00 00 00 00 00 00 00 00 07 00 00 00 10 00 00", 0, 0x10000, 50},
      {"AtaIdentify", [&](const char* p) { return device::AtaIdentify(p, buf); },
       "A1 08 0B 00 00 00 00 00 40 EC 00 00", 1, 512, 10},
      {"AtaReadDma48", [&](const char* p) { return device::AtaReadDma48(p, buf, 0x44332211, 0x6655, 4 * 4096, 4096); },
       "85 15 0B 00 00 00 04 44 11 55 22 66 33 60 25 00", 1, 4 * 4096, 10},
      {"AtaWriteDma48", [&](const char* p) { return device::AtaWriteDma48(p, buf, 0x00012345, 0, 0x10000, 512); },
       "85 17 03 00 00 00 80 00 45 00 23 00 01 60 35 00", 0, 0x10000, 50},
  };
  for (const CdbCase& c : cases) {
    machine.ClearTranscript();
    EXPECT_EQ(1, c.send(path.c_str())) << c.name;
    ASSERT_EQ(1u, machine.transcript().size()) << c.name;
    const auto& t = machine.transcript()[0];
    EXPECT_EQ(Hex(c.cdb), t.cdb) << c.name;
    EXPECT_EQ(c.dataIn, t.request.dataIn) << c.name;
    EXPECT_EQ(c.length, t.request.dataTransferLength) << c.name;
    EXPECT_EQ(c.timeout, t.request.timeOutValue) << c.name;
  }
}

TEST_F(AtaCommandsTest, SpiCommandReadSendsTheRecordThenReadsTheAnswer) {
  const std::string path = Attach(std::make_shared<AcceptAll>());
  std::uint8_t answer[4];
  ASSERT_EQ(1, device::AtaSpiCommandRead(path.c_str(), 0x9F, answer, 4));
  ASSERT_EQ(2u, machine.transcript().size());
  EXPECT_EQ(Hex("A1 06 0B E1 81 9F 00 00 00 B0 00 00"), machine.transcript()[0].cdb);
  EXPECT_EQ(Hex("A1 08 0B E3 01 00 00 00 B0 B0 00 00"), machine.transcript()[1].cdb);

  machine.ClearTranscript();
  machine.AddFault(CommandFault{CommandFault::Kind::CheckCondition, path, CdbPattern("A1 06 0B E1"), 0});
  EXPECT_EQ(0, device::AtaSpiCommandRead(path.c_str(), 0x9F, answer, 4));
  EXPECT_EQ(1u, machine.transcript().size());  // no read after a failed command
}

TEST_F(AtaCommandsTest, SectorSizeZeroSendsNothing) {
  const std::string path = Attach(std::make_shared<AcceptAll>());
  std::uint8_t buf[512];
  EXPECT_EQ(0, device::ReadDisk16(path.c_str(), buf, 0, 0, 512, 0));
  EXPECT_EQ(0, device::AtaWriteDma48(path.c_str(), buf, 0, 0, 512, 0));
  EXPECT_TRUE(machine.transcript().empty());
}

// --- busy waits, counted in re-reads and virtual time ----------------------

TEST_F(AtaCommandsTest, WaitReadyCountsFiveHundredRereads) {
  struct Case {
    int busyReads;
    int result;
    std::size_t reads;
    std::uint64_t sleptMs;
  } cases[] = {
      {0, 1, 1, 0},         // clear at the first read
      {1, 1, 2, 10},        // first re-read
      {500, 1, 501, 5000},  // 500th re-read still counts
      {501, 0, 502, 5010},  // 501st does not
      {100000, 0, 503, 5020},  // never: gives up after the 502nd re-read
  };
  for (const Case& c : cases) {
    sim::Machine m;
    m.SetTranscriptLimit(sim::kFullTranscript);
    host::ScopedHost scope(m);
    sim::Attachment a;
    a.path = sim::UsbDiskPath("Tavrion", "TXV929", "w");
    a.device = std::make_shared<StatusScript>(c.busyReads);
    m.Attach(a);
    EXPECT_EQ(c.result, device::AtaWaitReady(a.path.c_str())) << c.busyReads;
    EXPECT_EQ(c.reads, m.transcript().size()) << c.busyReads;
    EXPECT_EQ(c.sleptMs, m.SleptMs()) << c.busyReads;
  }
}

TEST_F(AtaCommandsTest, WaitReadyIsNotReadyWhenTheStatusCannotBeRead) {
  const std::string path = Attach(std::make_shared<StatusScript>(0));
  machine.AddFault(CommandFault{CommandFault::Kind::CheckCondition, path, CdbPattern("A1 08 0B EA"), 0});
  EXPECT_EQ(0, device::AtaWaitReady(path.c_str()));
  EXPECT_EQ(0, device::AtaWaitReady("\\\\?\\usbstor#gone"));
  EXPECT_EQ(0u, machine.SleptMs());
}

TEST_F(AtaCommandsTest, AFailedReReadKeepsTheFlashBusy) {
  // A lost answer in the middle of the poll is not a ready flash: the wait
  // goes on and the chunk waits for the status that shows ready.
  std::string path = Attach(std::make_shared<StatusLetters>("BXBR"), "flaky");
  EXPECT_EQ(1, device::AtaWaitReady(path.c_str()));
  EXPECT_EQ(4u, machine.transcript().size());
  EXPECT_EQ(30u, machine.SleptMs());

  machine.ClearTranscript();
  path = Attach(std::make_shared<StatusLetters>("BXXBR"), "flaky-range");
  static std::uint8_t buf[8192];
  ASSERT_EQ(0, device::AtaReadFlashRange(path.c_str(), 0, buf, sizeof buf));
  std::vector<std::uint8_t> features;
  for (const auto& t : machine.transcript()) features.push_back(t.cdb[3]);
  EXPECT_EQ((std::vector<std::uint8_t>{0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xE8}), features);

  // Answers that never come back run the wait to its bound.
  path = Attach(std::make_shared<StatusLetters>("BX"), "lost");
  const std::uint64_t before = machine.SleptMs();
  machine.ClearTranscript();
  EXPECT_EQ(0, device::AtaWaitReady(path.c_str()));
  EXPECT_EQ(503u, machine.transcript().size());
  EXPECT_EQ(5020u, machine.SleptMs() - before);
}

// --- information block ------------------------------------------------------

TEST_F(AtaCommandsTest, ProductIdIsComparedAsPrintedHex) {
  struct Case {
    std::array<std::uint8_t, 2> id;
    const char* text;
    int match;
  } cases[] = {{{0x48, 0x47}, "4847", 1}, {{0x48, 0x07}, "4847", 0},
               {{0x48, 0x07}, "487", 1},  {{0x48, 0x42}, "4842", 1},
               {{0x48, 0x42}, "4847", 0}, {{0x0A, 0xBC}, "ABC", 1}};
  for (const Case& c : cases) {
    sim::ControllerRouteConfig route;
    route.info = {0xF4, 0xE7, 0x3E, 0x8A, 0x49, 0x29, c.id[0], c.id[1]};
    std::string path;
    AttachChip({}, &path)->AddControllerRoute(std::make_shared<sim::ControllerRoute>(route, nullptr));
    EXPECT_EQ(c.match, device::MatchChipProductId(path.c_str(), c.text)) << c.text;
  }
}

TEST_F(AtaCommandsTest, ProductIdNeedsTheSignatureAndAnAnswer) {
  const std::string silent = Attach(std::make_shared<AcceptAll>(), "zeros");
  EXPECT_EQ(0, device::MatchChipProductId(silent.c_str(), "00"));  // no F4 E7
  std::string path;
  AttachProfile("txr847-sst", &path);  // a bridge: no ATA pass-through
  EXPECT_EQ(0, device::MatchChipProductId(path.c_str(), "4847"));
  std::uint8_t info[16];
  std::memset(info, 0xEE, sizeof info);
  EXPECT_EQ(0, device::AtaReadChipInfoBytes(path.c_str(), info, 16));
  EXPECT_EQ(0xEE, info[0]);  // nothing is copied after a failed read
}

// --- range operations -------------------------------------------------------

TEST_F(AtaCommandsTest, RangeOperationsStopAtTheFirstFailingChunk) {
  const std::string path = Attach(std::make_shared<AcceptAll>());
  static std::uint8_t buf[4 * 8192];
  machine.AddFault(CommandFault{CommandFault::Kind::CheckCondition, path, CdbPattern("A1 08 0B E8"), 2});
  EXPECT_EQ(device::kAtaReadCommandFailed,
            device::AtaReadFlashRange(path.c_str(), 0, buf, sizeof buf));
  machine.AddFault(CommandFault{CommandFault::Kind::CheckCondition, path, CdbPattern("A1 0A 03 E9"), 3});
  EXPECT_EQ(device::kAtaWriteCommandFailed,
            device::AtaWriteFlashRange(path.c_str(), 0x10000, buf, sizeof buf));
  std::vector<std::uint8_t> addresses;
  int reads = 0, writes = 0;
  for (const auto& t : machine.transcript()) {
    if (t.cdb[3] == 0xE8) ++reads;
    if (t.cdb[3] == 0xE9) {
      ++writes;
      addresses.push_back(t.cdb[6]);
    }
  }
  EXPECT_EQ(2, reads);
  EXPECT_EQ(3, writes);
  EXPECT_EQ((std::vector<std::uint8_t>{0x00, 0x20, 0x40}), addresses);  // 0x10000 + 8 KB steps
}

// Half a block arrives: the plain reads report what the device said, the
// whole reads (and the range read built on them) call it a failure.
TEST_F(AtaCommandsTest, WholeReadsFailOnAShortTransfer) {
  const std::string path = Attach(std::make_shared<AcceptAll>());
  static std::uint8_t buf[2 * 8192];
  const char* p = path.c_str();
  struct Row {
    const char* name;
    const char* pattern;
    std::function<int()> read;
    int expected;
  };
  const Row rows[] = {
      {"AtaReadFlash", "A1 08 0B E8", [&] { return device::AtaReadFlash(p, 0, buf, 8192); }, 1},
      {"AtaReadFlashWhole", "A1 08 0B E8",
       [&] { return device::AtaReadFlashWhole(p, 0, buf, 8192); }, 0},
      {"AtaReadFlashRange", "A1 08 0B E8",
       [&] { return device::AtaReadFlashRange(p, 0, buf, sizeof buf); },
       device::kAtaReadCommandFailed},
      {"ReadRom", "FF 04 03", [&] { return device::ReadRom(p, 0, buf, 0x4000); }, 1},
      {"ReadRomWhole", "FF 04 03", [&] { return device::ReadRomWhole(p, 0, buf, 0x4000); }, 0},
  };
  for (const Row& row : rows) {
    machine.ClearFaults();
    CommandFault fault{CommandFault::Kind::ShortTransfer, path, CdbPattern(row.pattern), 1};
    fault.shortLength = 4096;
    machine.AddFault(fault);
    EXPECT_EQ(row.expected, row.read()) << row.name;
  }
}

TEST_F(AtaCommandsTest, RangeOperationsPollTheStatusBeforeEachChunk) {
  const std::string path = Attach(std::make_shared<AcceptAll>());
  static std::uint8_t buf[2 * 8192];
  ASSERT_EQ(0, device::AtaReadFlashRange(path.c_str(), 0, buf, sizeof buf));
  std::vector<std::uint8_t> features;
  for (const auto& t : machine.transcript()) features.push_back(t.cdb[3]);
  EXPECT_EQ((std::vector<std::uint8_t>{0xEA, 0xE8, 0xEA, 0xE8}), features);
  machine.ClearTranscript();
  EXPECT_EQ(0, device::AtaReadFlashRange(path.c_str(), 0, buf, 0));
  EXPECT_TRUE(machine.transcript().empty());
}

// Reads of the bridge flash answer 0x5A; writes are kept.
class FlashChunks : public sim::SimDevice {
 public:
  void Execute(sim::Machine&, sim::Exchange& e) override {
    if (e.at(0) != 0xA1) return e.Reject();
    if (e.dataIn) std::memset(e.data, e.at(3) == 0xE8 ? 0x5A : 0x00, e.length);
    if (e.at(3) == 0xE9) written.emplace_back(e.data, e.data + e.length);
  }
  std::vector<std::vector<std::uint8_t>> written;
};

TEST_F(AtaCommandsTest, AShortLastChunkStaysInsideTheCallersBuffer) {
  auto dev = std::make_shared<FlashChunks>();
  const std::string path = Attach(dev);
  constexpr std::int32_t kLength = 8192 + 100;
  std::vector<std::uint8_t> buf(kLength + 64, 0xEE);
  ASSERT_EQ(0, device::AtaReadFlashRange(path.c_str(), 0, buf.data(), kLength));
  EXPECT_EQ(std::vector<std::uint8_t>(kLength, 0x5A),
            std::vector<std::uint8_t>(buf.begin(), buf.begin() + kLength));
  EXPECT_EQ(std::vector<std::uint8_t>(64, 0xEE),
            std::vector<std::uint8_t>(buf.begin() + kLength, buf.end()));

  // The last chunk is still a whole command; past the caller's bytes it
  // carries 0xFF, which leaves the flash as it is.
  std::vector<std::uint8_t> image(kLength + 64);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i % 251);
  machine.ClearTranscript();
  ASSERT_EQ(0, device::AtaWriteFlashRange(path.c_str(), 0x4000, image.data(), kLength));
  ASSERT_EQ(2u, dev->written.size());
  std::vector<std::uint8_t> tail(8192, 0xFF);
  std::copy(image.begin() + 8192, image.begin() + kLength, tail.begin());
  EXPECT_EQ(tail, dev->written[1]);
  for (const auto& t : machine.transcript()) {
    if (t.cdb[3] == 0xE9) {
      EXPECT_EQ(8192u, t.request.dataTransferLength);
    }
  }
  EXPECT_EQ(0x60, machine.transcript().back().cdb[6]);  // 0x4000 + 8 KB
}

TEST_F(AtaCommandsTest, EraseAndBlankCheckCodes) {
  std::string path;
  AttachProfile("txv929-txr847", &path);  // a 64 KB part behind the controller
  EXPECT_EQ(0, program::AtaEraseBlankChecked(path.c_str(), 0x10000));
  EXPECT_EQ(1, program::AtaEraseBlankChecked(path.c_str(), -1));

  machine.AddFault(CommandFault{CommandFault::Kind::CheckCondition, path, CdbPattern("A1 06 0B E7"), 1});
  EXPECT_EQ(2, program::AtaEraseBlankChecked(path.c_str(), 0x10000));
  machine.AddFault(CommandFault{CommandFault::Kind::CheckCondition, path, CdbPattern("A1 08 0B E8"), 3});
  EXPECT_EQ(3, program::AtaEraseBlankChecked(path.c_str(), 0x10000));

  sim::AttachOptions corrupt;
  sim::FlashFault fault;
  fault.kind = sim::FlashFault::Kind::WrongReadData;
  fault.address = 0x7001;
  fault.length = 1;
  fault.mask = 0x01;  // reads back 0xFE
  corrupt.behindFlashFaults = {fault};
  AttachProfile("txv929-txr847", &path, corrupt);
  EXPECT_EQ(6, program::AtaEraseBlankChecked(path.c_str(), 0x10000));
  EXPECT_EQ(0, program::AtaEraseBlankChecked(path.c_str(), 0x7000));  // the bad byte lies beyond
}

TEST_F(AtaCommandsTest, EraseAndBlankCheckWaitsOutTheErase) {
  std::string path;
  auto chip = AttachProfile("txv961-txr842", &path);
  const std::uint64_t eraseMs = chip->controllerRoute()->flash()->EraseMs(0xC7);
  ASSERT_GT(eraseMs, 200u);
  ASSERT_EQ(0, program::AtaEraseBlankChecked(path.c_str(), 0x10000));
  EXPECT_GE(machine.NowMs(), eraseMs);
  EXPECT_LT(machine.NowMs(), eraseMs + 20);  // 100 ms settle, then 10 ms polls
}

// --- disk geometry ----------------------------------------------------------

TEST_F(AtaCommandsTest, IdentifyCapacityFallsBackToTheFortyEightBitWords) {
  std::uint8_t id[512] = {};
  auto word = [&](int w, std::uint16_t v) {
    id[2 * w] = static_cast<std::uint8_t>(v);
    id[2 * w + 1] = static_cast<std::uint8_t>(v >> 8);
  };
  word(60, 0xFFFF);
  word(61, 0x0FFF);
  word(102, 0x0001);  // 2^32
  EXPECT_EQ(0x100000000ull, device::IdentifyCapacity(id));
  word(100, 0x1234);
  word(103, 0x0002);
  EXPECT_EQ(0x0002000100001234ull, device::IdentifyCapacity(id));
  word(60, 1000);
  word(61, 0);
  EXPECT_EQ(1000u, device::IdentifyCapacity(id));  // the 28-bit value wins below the ceiling
}

TEST_F(AtaCommandsTest, LogicalSectorSizeFollowsWord106Exactly) {
  struct Case {
    std::uint16_t w106;
    std::uint32_t words;
    std::uint32_t size;
  } cases[] = {{0x5000, 2048, 4096}, {0x6000, 2048, 4096}, {0x4000, 2048, 512},
               {0x7000, 2048, 512},  {0x6003, 2048, 512},  {0x5000, 0x10000, 0x20000},
               {0x5000, 0, 512}};
  for (const Case& c : cases) {
    auto dev = std::make_shared<IdentifyOnly>();
    dev->SetWord(106, c.w106);
    dev->SetWord(117, static_cast<std::uint16_t>(c.words));
    dev->SetWord(118, static_cast<std::uint16_t>(c.words >> 16));
    const std::string path = Attach(dev, Serial("w", c.w106, c.words));
    EXPECT_EQ(c.size, device::GetLogicalSectorSize(path.c_str())) << std::hex << c.w106;
  }
  EXPECT_EQ(512u, device::GetLogicalSectorSize("\\\\?\\usbstor#gone"));
}

TEST_F(AtaCommandsTest, CapacityQueriesReadTheEmulatedDisk) {
  sim::DiskConfig disk;
  disk.sectors = (1ull << 33) + 5;
  disk.logicalSectorSize = 4096;
  std::string path;
  AttachChipWithDisk({}, disk, &path);
  EXPECT_EQ((1ull << 33) + 5, device::GetDiskCapacity(path.c_str()));
  EXPECT_EQ((1ull << 33) + 4, device::GetLastLba(path.c_str()));
  EXPECT_EQ(4096u, device::GetLogicalSectorSize(path.c_str()));

  // A bridge that keeps a tail for itself reports less through READ CAPACITY.
  disk.scsiSectors = (1ull << 33) - 4096;
  AttachChipWithDisk({}, disk, &path);
  EXPECT_EQ((1ull << 33) + 5, device::GetDiskCapacity(path.c_str()));
  EXPECT_EQ((1ull << 33) - 4097, device::GetLastLba(path.c_str()));

  disk.scsiSectors = 0;
  disk.answersAta = false;  // only the SCSI side answers
  disk.sectors = 1000;
  AttachChipWithDisk({}, disk, &path);
  EXPECT_EQ(0u, device::GetDiskCapacity(path.c_str()));
  EXPECT_EQ(512u, device::GetLogicalSectorSize(path.c_str()));
  EXPECT_EQ(999u, device::GetLastLba(path.c_str()));
  EXPECT_EQ(0u, device::GetLastLba("\\\\?\\usbstor#gone"));
}

// --- the disk-hosted firmware area ------------------------------------------

class FirmwareLbaTest : public AtaCommandsTest {
 protected:
  // A bridge of chip type 18 whose disk keeps an area past its reported end.
  struct AreaChip {
    sim::BridgeConfig bridge;
    sim::DiskConfig disk;
  };
  static AreaChip Bridge(std::uint64_t sectors, bool marker, bool byte17) {
    AreaChip c;
    c.bridge.inquiryVendorBytes = {'t', '6', '4', '9'};
    c.disk.sectors = sectors;
    c.disk.hiddenSectors = 2048;
    if (marker) c.bridge.memory.push_back({0xC000, {0x55, 0xAA}});
    c.bridge.answersParameters = true;
    c.bridge.parameters[8] = 0xD0;
    c.bridge.parameters[17] = byte17 ? 0x01 : 0x00;
    return c;
  }
  std::shared_ptr<sim::BridgeChip> AttachAreaChip(const AreaChip& c, std::string* path) {
    return AttachChipWithDisk(c.bridge, c.disk, path);
  }
  static void Tag(sim::SimDisk& disk, std::uint64_t lba, std::uint32_t value) {
    std::vector<std::uint8_t> sector(disk.config().logicalSectorSize, 0);
    sector[150] = 0x55;
    sector[151] = static_cast<std::uint8_t>(value >> 24);
    sector[152] = static_cast<std::uint8_t>(value >> 16);
    sector[153] = static_cast<std::uint8_t>(value >> 8);
    sector[154] = static_cast<std::uint8_t>(value);
    sector[155] = 0xAA;
    disk.WriteSectors(lba, sector.data(), 1);
  }
};

TEST_F(FirmwareLbaTest, SignedAreaGivesTheTagReadPastTheEnd) {
  std::string path;
  auto c = AttachAreaChip(Bridge(1000000, true, false), &path);
  Tag(*c->disk(), 1000000, 0x000F4100);
  EXPECT_EQ(0x000F4100u, device::GetHddFirmwareLba(path.c_str(), 512, 18));
  EXPECT_EQ((std::vector<std::string>{"ReadCapacity16", "ReadChipParameters", "AtaIdentify",
                                      "AtaIdentify", "ReadChipMemory", "AtaReadDma48"}),
            Commands());
  const auto& dma = machine.transcript().back();
  EXPECT_EQ(4u * 512, dma.request.dataTransferLength);
  EXPECT_EQ(Hex("85 15 0B 00 00 00 04 00 40 00 42 00 0F 60 25 00"), dma.cdb);  // LBA 1000000
}

TEST_F(FirmwareLbaTest, UntaggedAreaGives257BelowTwoToTheThirtyTwo) {
  std::string path;
  AttachAreaChip(Bridge(1000000, true, false), &path);
  EXPECT_EQ(257u, device::GetHddFirmwareLba(path.c_str(), 512, 18));
}

TEST_F(FirmwareLbaTest, LargeDisksUseTheLowCapacityWord) {
  std::string path;
  AttachAreaChip(Bridge((1ull << 32) + 1000, true, false), &path);
  EXPECT_EQ(1000u & 0xFF, device::GetHddFirmwareLba(path.c_str(), 512, 18));  // untagged
  AttachAreaChip(Bridge((1ull << 32) + 1000, false, false), &path);
  EXPECT_EQ(999u, device::GetHddFirmwareLba(path.c_str(), 512, 18));  // unsigned: CL - 1
  AttachAreaChip(Bridge((1ull << 32) + 1000, false, true), &path);
  EXPECT_EQ(1000u, device::GetHddFirmwareLba(path.c_str(), 512, 18));
}

TEST_F(FirmwareLbaTest, UnsignedOrUnreadableAreasFallBack) {
  std::string path;
  auto c = AttachAreaChip(Bridge(1000000, false, false), &path);
  Tag(*c->disk(), 1000000, 0x1234);
  EXPECT_EQ(999999u, device::GetHddFirmwareLba(path.c_str(), 512, 18));  // last LBA
  EXPECT_EQ(0, device::CheckHddAreaSignature(path.c_str(), 18));

  c = AttachAreaChip(Bridge(1000000, true, true), &path);
  Tag(*c->disk(), 1000000, 0x1234);
  EXPECT_EQ(0x1234u, device::GetHddFirmwareLba(path.c_str(), 512, 18));
  EXPECT_EQ(1000000u, device::GetHddFirmwareLba(path.c_str(), 512, 12));  // never signed
  EXPECT_EQ(1, device::CheckParamByte17(path.c_str()));

  // The area read fails: the fallback, last LBA + 1 with byte 17 set.
  machine.AddFault(CommandFault{CommandFault::Kind::CheckCondition, path, CdbPattern("85"), 0});
  EXPECT_EQ(1000000u, device::GetHddFirmwareLba(path.c_str(), 512, 18));
}

TEST_F(FirmwareLbaTest, SignatureRulesByChipType) {
  AreaChip config = Bridge(1000, true, false);
  config.bridge.parameters[16] = 0x01;
  std::string path;
  AttachAreaChip(config, &path);
  EXPECT_EQ(1, device::CheckHddAreaSignature(path.c_str(), 5));
  EXPECT_EQ(1, device::CheckHddAreaSignature(path.c_str(), 19));
  EXPECT_EQ(0, device::CheckHddAreaSignature(path.c_str(), 12));
  EXPECT_EQ(0, device::CheckHddAreaSignature(path.c_str(), 16));

  config.bridge.parameters[8] = 0;  // the block's byte 8 gates type 19 and byte 17
  config.bridge.parameters[17] = 0x01;
  config.bridge.answersMemory = false;
  AttachAreaChip(config, &path);
  EXPECT_EQ(0, device::CheckHddAreaSignature(path.c_str(), 19));
  EXPECT_EQ(0, device::CheckParamByte17(path.c_str()));
  EXPECT_EQ(0, device::CheckHddAreaSignature(path.c_str(), 18));  // memory read refused
}

TEST_F(FirmwareLbaTest, FourKilobyteSectorsReadFourLongSectors) {
  AreaChip config = Bridge(250000, true, false);
  config.disk.logicalSectorSize = 4096;
  std::string path;
  auto c = AttachAreaChip(config, &path);
  Tag(*c->disk(), 250000, 0xBEEF);
  EXPECT_EQ(0xBEEFu, device::GetHddFirmwareLba(path.c_str(), 512, 18));
  EXPECT_EQ(4u * 4096, machine.transcript().back().request.dataTransferLength);
}

}  // namespace
