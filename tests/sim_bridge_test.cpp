// The emulated bridge chips and the profile catalogue, driven with the raw
// command blocks the host sends.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "scsi/passthrough.h"
#include "sim/profiles.h"
#include "sim_fixture.h"

namespace {

using testing_support::StepPattern;

using Bytes = std::vector<std::uint8_t>;

struct Reply {
  int ok = 0;
  Bytes data;
  std::int32_t moved = 0;
};

Bytes Cdb(Bytes bytes) {
  bytes.resize(12, 0x00);
  return bytes;
}

Reply In(const std::string& path, Bytes cdb, int length) {
  Reply r;
  r.data.assign(static_cast<std::size_t>(length), 0);
  const Bytes c = Cdb(std::move(cdb));
  r.ok = device::ScsiPassThroughIn(path.c_str(), c.data(), 12, length ? r.data.data() : nullptr,
                                   length, &r.moved);
  return r;
}

int Out(const std::string& path, Bytes cdb, Bytes data = {}) {
  const Bytes c = Cdb(std::move(cdb));
  return device::ScsiPassThroughOut(path.c_str(), c.data(), 12,
                                    data.empty() ? nullptr : data.data(),
                                    static_cast<std::uint32_t>(data.size()), nullptr);
}

const char* const kShortCodes[25] = {"",    "775", "776", "777", "779", "769", "842", "843", "846",
                                     "846", "847", "961", "929", "847", "842", "842", "927", "659",
                                     "649", "779", "777", "778", "779", "775", "776"};

int ShortCodeRow(const char* digits) {
  for (int row = 1; row <= 24; ++row)
    if (std::memcmp(kShortCodes[row], digits, 3) == 0) return row;
  return 0;
}

std::string Hex2(std::uint8_t a, std::uint8_t b) {
  char text[8];
  std::snprintf(text, sizeof text, "%X%X", a, b);
  return text;
}

// The host's classification of a device path, rule by rule, so that each
// profile is checked against what identification will make of it.
std::pair<int, int> Classify(const std::string& path) {
  int t = 0;
  int r = 0;
  const Reply q = In(path, {0x12, 0, 0, 0, 40}, 40);
  if (q.ok) {
    if (q.data[36] == 't') t = ShortCodeRow(reinterpret_cast<const char*>(&q.data[37]));
    if (t == 0 && std::memcmp(&q.data[36], "t845", 4) == 0) t = 8;
    if (t == 0) {
      const Reply w = In(path, {0xDF, 0x10, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0xFF}, 2);
      const Reply i = w.ok ? In(path, {0xE0, 0xF4, 0xE7}, 16) : Reply{};
      if (w.ok && i.ok) {
        if (i.data[0] == 0xF4 && i.data[1] == 0xE7) {
          if (Hex2(i.data[2], i.data[3]) == "3E8A" && Hex2(i.data[4], i.data[5]) == "4776") {
            return {24, 0};
          }
          t = ShortCodeRow(reinterpret_cast<const char*>(&i.data[8]));
          if (t == 0 && std::memcmp(&i.data[8], "845", 3) == 0) t = 8;
          r = static_cast<std::int8_t>(i.data[11] - 0x30);
        } else {
          t = 20 + ((w.data[0] >> 5) & 3);
        }
      }
    }
  }
  if (t == 0 || t == 1 || t == 3 || t == 4 || t == 6 || t == 10 || t == 17) {
    const Reply s = In(path, {0xFF, 0x04, 0x30, 0x08}, 40);
    if (s.ok) {
      const std::string text(reinterpret_cast<const char*>(s.data.data()),
                             strnlen(reinterpret_cast<const char*>(s.data.data()), 8));
      const int c = s.data[5];
      const auto starts = [&](const char* p) { return text.rfind(p, 0) == 0; };
      if (starts("t775C"))
        t = 1, r = c - 0x2F;
      else if (starts("t779C"))
        t = 4, r = c - 0x2F;
      else if (starts("t779E"))
        t = 19, r = c + 1;
      else if (starts("t659A"))
        t = 17, r = c - 0x2F;
      else if (starts("t842"))
        t = 6, r = c == 0 ? 1 : c - 0x2F;
      else if (starts("t4847"))
        t = 10, r = c - 0x2F;
    } else if (t == 1) {
      r = 1;
    }
  } else if (t == 7) {
    const Reply j = In(path, {0xE0, 0xF4, 0xE7}, 12);
    if (j.ok && j.data[0] == 0xF4 && j.data[1] == 0xE7 && (j.data[11] == '1' || j.data[11] == '2'))
      r = j.data[11] - '0';
  } else if (t == 11) {
    const Reply m = In(path, {0xDF, 0x10, 0, 0, 0x04, 0, 0xFD, 0xB0, 0, 0, 0, 0xFD}, 4);
    if (m.ok && m.data[1] >= 0xB4) r = 5;
  }
  return {t, static_cast<std::int8_t>(r)};
}

class BridgeTest : public ::testing::Test, public testing_support::SimFixtureBase {
 protected:
  std::shared_ptr<sim::BridgeChip> Attach(const std::string& name, sim::AttachOptions o = {}) {
    auto chip = AttachNamedProfile(name, o);
    if (chip) path = chip->path();
    return chip;
  }
  // A bare bridge on an SST part, outside the profile catalogue.
  std::shared_ptr<sim::BridgeChip> AttachSstProbe(const std::string& serial) {
    sim::BridgeConfig config;
    config.product = "SST probe";
    auto flash = std::make_shared<sim::SerialFlash>(*sim::FindFlashPart("sst-25vf512"));
    auto chip = std::make_shared<sim::BridgeChip>(config, flash, nullptr);
    path = sim::UsbDiskPath("Tavrion", "SSTprobe", serial);
    machine.Attach({host::InterfaceClass::Disk, path, {7, 1, 0}, {}, chip});
    return chip;
  }
  Bytes ReadFlash(std::uint32_t a, int n) {
    const Reply r = In(path,
                       {0xFF, 0x04, 0x10, static_cast<std::uint8_t>(a >> 16),
                        static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a)},
                       n);
    EXPECT_EQ(1, r.ok);
    return r.data;
  }
  std::uint8_t Status() { return In(path, {0xFF, 0x04, 0x12}, 1).data[0]; }
  int Spi(Bytes record) {
    Bytes cdb{0xFF, 0x04, 0x20};
    cdb.insert(cdb.end(), record.begin(), record.end());
    return Out(path, cdb);
  }
  int SpiData(Bytes data) {
    return Out(path, {0xFF, 0x04, 0x22, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(data.size())},
               data);
  }
  Bytes BlockRead(std::uint32_t a, std::uint16_t n) {
    const Reply r = In(path,
                       {0xDF, 0x10, 0, static_cast<std::uint8_t>(n >> 8),
                        static_cast<std::uint8_t>(n), 0, 0, 0, static_cast<std::uint8_t>(a >> 16),
                        static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a), 0xFA},
                       n);
    EXPECT_EQ(1, r.ok);
    return r.data;
  }
  int BlockWrite(std::uint32_t a, const Bytes& data, std::uint8_t mode) {
    const auto n = static_cast<std::uint16_t>(data.size());
    return Out(path,
               {0xDF, mode, 0, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n), 0,
                0, 0, static_cast<std::uint8_t>(a >> 16), static_cast<std::uint8_t>(a >> 8),
                static_cast<std::uint8_t>(a), 0xFB},
               data);
  }
  Bytes Memory(std::uint16_t a, int n) {
    const Reply r =
        In(path,
           {0xDF, 0x10, 0, 0, static_cast<std::uint8_t>(n), 0, static_cast<std::uint8_t>(a >> 8),
            static_cast<std::uint8_t>(a), 0, 0, 0, 0xFD},
           n);
    EXPECT_EQ(1, r.ok);
    return r.data;
  }

  std::string path;
};

// --- the catalogue -------------------------------------------------------------

TEST_F(BridgeTest, EveryProfileIdentifiesAsItsCodeAndSubCode) {
  int serial = 0;
  for (const sim::EnclosureProfile& p : sim::EnclosureProfiles()) {
    SCOPED_TRACE(p.name);
    sim::AttachOptions o;
    o.serial = "s";  // appended: mingw's g++ 12 warns falsely about "s" + std::string
    o.serial += std::to_string(++serial);
    auto chip = sim::AttachProfile(machine, p, o);
    EXPECT_EQ(p.sbp2, chip->path().find("sbp2") != std::string::npos);
    const auto [t, r] = Classify(chip->path());
    EXPECT_EQ(p.identifiedType, t);
    EXPECT_EQ(p.subCode, r);
    // The entry name is the INQUIRY vendor and product text.
    const Reply q = In(chip->path(), {0x12, 0, 0, 0, 40}, 40);
    EXPECT_EQ(0, std::memcmp(&q.data[8], "Tavrion ", 8));
    EXPECT_EQ(0, std::memcmp(&q.data[16], p.bridge.product.data(),
                             std::min<std::size_t>(16, p.bridge.product.size())));
    // The version read: signature and the layout's transferred count.
    const Reply i = In(chip->path(), {0xE0, 0xF4, 0xE7}, 16);
    ASSERT_EQ(1, i.ok);
    // Only the older chips told apart by their variant word lack the signature.
    const bool signed_ =
        !(p.chipType >= 20 && p.chipType <= 23 && p.bridge.inquiryVendorBytes[0] != 't');
    EXPECT_EQ(signed_, i.data[0] == 0xF4 && i.data[1] == 0xE7);
    EXPECT_EQ(static_cast<std::int32_t>(p.bridge.chipInfoLength), i.moved);
  }
}

TEST_F(BridgeTest, CatalogueCoversEveryChipTypeCode) {
  std::set<int> codes;
  std::set<std::string> names;
  for (const sim::EnclosureProfile& p : sim::EnclosureProfiles()) {
    codes.insert(p.chipType);
    EXPECT_TRUE(names.insert(p.name).second) << "duplicate " << p.name;
    if (!p.flashPart.empty()) {
      EXPECT_NE(nullptr, sim::FindFlashPart(p.flashPart)) << p.name;
    }
    if (p.behind) {
      EXPECT_NE(nullptr, sim::FindFlashPart(p.behind->flashPart)) << p.name;
    }
  }
  for (int code = 1; code <= 24; ++code) EXPECT_EQ(1u, codes.count(code)) << code;
}

TEST_F(BridgeTest, CompanionProfilesCarryTheBehindBridgeProductId) {
  for (const char* name : {"txv929-txr847", "txv961-txr842", "txv929-txr842"}) {
    const sim::EnclosureProfile* p = sim::FindProfile(name);
    ASSERT_NE(nullptr, p);
    ASSERT_TRUE(p->behind.has_value());
    ASSERT_TRUE(p->controllerInfo.has_value());
    const auto& info = *p->controllerInfo;
    EXPECT_EQ(0xF4, info[0]);
    EXPECT_EQ(0xE7, info[1]);
    EXPECT_EQ("4" + p->behind->bridge.substr(3), Hex2(info[6], info[7])) << name;
    EXPECT_EQ(p->chipType, p->behind->companionType);
  }
}

TEST_F(BridgeTest, ProfileAttachHookSeesEveryProfile) {
  std::vector<int> types;
  sim::SetProfileAttachHook(
      [&](sim::BridgeChip&, const sim::EnclosureProfile& p) { types.push_back(p.chipType); });
  Attach("txr649");
  Attach("tx40769");
  sim::SetProfileAttachHook(nullptr);
  Attach("txv927");
  EXPECT_EQ((std::vector<int>{18, 5}), types);
}

// The version and release data identification reads besides the codes.
TEST_F(BridgeTest, ReleaseMarkersAreWhereTheVersionCheckLooks) {
  Attach("tx40779-c");
  EXPECT_EQ(0x01, Memory(0x7038, 4)[2] & 0x01);
  const Bytes c000 = Memory(0xC000, 10);
  EXPECT_EQ((Bytes{0x55, 0xAA, 0xAA, 0x55, '7', '7', '9'}), Bytes(c000.begin(), c000.begin() + 7));
  Attach("txr842");
  EXPECT_EQ(0x04, Memory(0x7038, 4)[2] & 0x04);
  EXPECT_EQ('8', Memory(0xC000, 10)[4]);
  Attach("txr846");
  const Bytes b = BlockRead(0x1000, 0x400);
  EXPECT_EQ((Bytes{0x55, 0xAA, 0xAA, 0x55, '8', '4', '6'}), Bytes(b.begin(), b.begin() + 7));
  Attach("txv927");
  EXPECT_EQ(0x01, Memory(0x70F0, 4)[3] & 0x01);
  const Bytes m = BlockRead(0x7C00, 0x400);
  EXPECT_EQ((Bytes{0x55, 0xAA, 0xAA, 0x55, '9', '2', '7'}),
            Bytes(m.begin() + 0x3F0, m.begin() + 0x3F7));
  Attach("txr659-a");
  const Bytes f = ReadFlash(0x4000, 0x400);
  EXPECT_EQ((Bytes{0x55, 0xAA, 0x54, 0x58, '6', '5', '9'}), Bytes(f.begin(), f.begin() + 7));
  Attach("txv929");
  const Reply params = In(path, {0xFF, 0x04, 0xA0, 20}, 20);
  EXPECT_EQ(1, params.ok);
  EXPECT_NE(0, params.data[8]);
  EXPECT_EQ(1, params.data[19]);
}

std::uint16_t Crc16OfWords(const Bytes& image, std::size_t length) {
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i + 4 <= length; i += 4) {
    for (int k = 3; k >= 0; --k) {
      crc ^= static_cast<std::uint16_t>(image[i + static_cast<std::size_t>(k)] << 8);
      for (int bit = 0; bit < 8; ++bit)
        crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
  }
  return crc;
}

bool BankSound(const Bytes& bank, std::size_t checked, const char* digits) {
  if (!(bank[0xBFF0] == 0x55 && bank[0xBFF1] == 0xAA && bank[0xBFF2] == 0xAA &&
        bank[0xBFF3] == 0x55 && std::memcmp(&bank[0xBFF4], digits, 3) == 0))
    return false;
  const std::uint16_t crc = Crc16OfWords(bank, checked - 4);
  return bank[checked - 2] == (crc >> 8) && bank[checked - 1] == (crc & 0xFF);
}

TEST_F(BridgeTest, FirmwareBanksCarryTheirChecksums) {
  const Bytes abcd{'a', 'b', 'c', 'd'};
  ASSERT_EQ(0x40D7, Crc16OfWords(abcd, 4));  // the checker itself
  struct Case {
    const char* profile;
    std::size_t checked;
    const char* digits;
    bool bank1Sound;
  };
  for (const Case& c : {Case{"txv929", 0xC000, "929", true}, Case{"txv927", 0x8000, "927", true},
                        Case{"txv929-bank1-damaged", 0xC000, "929", false}}) {
    SCOPED_TRACE(c.profile);
    Attach(c.profile);
    EXPECT_TRUE(BankSound(ReadFlash(0, 0x10000), c.checked, c.digits));
    EXPECT_EQ(c.bank1Sound, BankSound(ReadFlash(0x10000, 0x10000), c.checked, c.digits));
  }
}

// --- identification commands -----------------------------------------------------

TEST_F(BridgeTest, ChipMemoryProbeBitAndLevels) {
  Attach("txv961");
  EXPECT_EQ((Bytes{0x00, 0x00, 0x01, 0x00}), Memory(0x505E, 4));
  EXPECT_EQ(0x20, Memory(0xFDB0, 4)[1]);
  // The probe: write 0, read back 1 on a chip whose bit 0 is held.
  EXPECT_EQ(1, Out(path, {0xDF, 0x00, 0, 0, 0x01, 0, 0x50, 0x6A, 0, 0, 0, 0xFE}, {0x00}));
  EXPECT_EQ(0x01, Memory(0x506A, 1)[0]);
  EXPECT_EQ(1, Out(path, {0xDF, 0x00, 0, 0, 0x02, 0, 0x12, 0x34, 0, 0, 0, 0xFE}, {0xAB, 0xCD}));
  EXPECT_EQ((Bytes{0xAB, 0xCD}), Memory(0x1234, 2));
  Attach("txv961-l5");
  EXPECT_EQ(0xB4, Memory(0xFDB0, 4)[1]);
  EXPECT_EQ(1, Out(path, {0xDF, 0x00, 0, 0, 0x01, 0, 0x50, 0x6A, 0, 0, 0, 0xFE}, {0x00}));
  EXPECT_EQ(0x00, Memory(0x506A, 1)[0]);
}

TEST_F(BridgeTest, ChipsRejectCommandsTheyDoNotKnow) {
  struct Case {
    const char* profile;
    Bytes cdb;
    bool answered;
  };
  const std::vector<Case> cases = {
      {"tx40776-atmel", {0xFF, 0x04, 0x10}, false},                           // no serial engine
      {"tx40776-atmel", {0xFF, 0x04, 0x00}, true},                            // its busy byte
      {"tx40775-pmc", {0xFF, 0x04, 0x00}, false},                             // no parallel ROM
      {"tx40775-pmc", {0xDF, 0x10, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0xFA}, false},  // no block commands
      {"tx40775-pmc", {0xFF, 0x04, 0xA0, 20}, false},                         // no parameter block
      {"tx40775-amic", {0xFF, 0x04, 0x30, 0x08}, false},                      // no ID string
      {"tx40769", {0xFF, 0x04, 0xA0, 20}, true},
      {"tx40769", {0xFF, 0x04, 0x20, 1, 1, 0x9F}, false},  // no flash at all
      {"txr846", {0xDF, 0x10, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0xFA}, true},
      {"tx40777", {0xFF, 0x04, 0x24, 0x02}, false},  // no engine configuration
      {"tx40777", {0xFF, 0x04, 0x23, 0x04}, true},
      {"txr847-mxic32", {0xFF, 0x04, 0x23, 0x04}, false},  // the host must identify its flash
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.profile);
    Attach(c.profile);
    EXPECT_EQ(c.answered ? 1 : 0, In(path, c.cdb, 4).ok);
    EXPECT_EQ(c.answered ? sim::Outcome::Good : sim::Outcome::CheckCondition,
              machine.transcript().back().outcome);
  }
}

TEST_F(BridgeTest, ResetLeavesAndReattachesTheSamePath) {
  auto chip = Attach("txv929");
  std::vector<std::uint32_t> events;
  machine.onDeviceChange = [&](std::uint32_t e) { events.push_back(e); };
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x54, 0x58, 0x55}));
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x0F, 0xC7, 0xD8, 0x02, 0x20, 0x00, 0x20}));
  EXPECT_EQ(32u, chip->engine().pageSize);
  EXPECT_TRUE(chip->vendorMode());
  In(path, {0xFF, 0x04, 0x26, 0x54, 0x58}, 0);
  EXPECT_EQ((std::vector<std::uint32_t>{0x8004, 0x8000}), events);
  EXPECT_NE(nullptr, machine.Find(path));
  EXPECT_EQ(1, chip->resetCount());
  EXPECT_FALSE(chip->vendorMode());
  EXPECT_EQ(256u, chip->engine().pageSize);
  EXPECT_EQ(1, In(path, {0xE0, 0xF4, 0xE7}, 16).ok);

  Attach("txr846");  // a chip that does not reset itself rejects the command
  EXPECT_EQ(0, In(path, {0xFF, 0x04, 0x26, 0x54, 0x58}, 0).ok);
}

TEST_F(BridgeTest, ResetWithoutReattachLeavesTheDeviceGone) {
  sim::EnclosureProfile p = *sim::FindProfile("txv927");
  p.bridge.reattachOnReset = false;
  auto chip = sim::AttachProfile(machine, p);
  path = chip->path();
  In(path, {0xFF, 0x04, 0x26, 0x54, 0x58}, 0);
  EXPECT_EQ(nullptr, machine.Find(path));
  EXPECT_EQ(0, In(path, {0x12, 0, 0, 0, 36}, 36).ok);
}

// --- flash engine --------------------------------------------------------------------

TEST_F(BridgeTest, EngineEraseIsBusyForItsVirtualDuration) {
  auto chip = Attach("tx40775-pmc");
  EXPECT_NE(0xFF, ReadFlash(0, 1)[0]);
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x13}));
  EXPECT_EQ(0x01, Status() & 0x01);
  machine.Sleep(chip->serialFlash()->EraseMs(0xC7) - 10);
  EXPECT_EQ(0x01, Status() & 0x01);
  machine.Sleep(10);
  EXPECT_EQ(0x00, Status() & 0x01);
  EXPECT_EQ(Bytes(64, 0xFF), ReadFlash(0, 64));
}

TEST_F(BridgeTest, EngineWriteCannotSetBitsWithoutErase) {
  Attach("tx40775-pmc");
  const Bytes before = ReadFlash(0x100, 4);
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x11, 0x00, 0x01, 0x00}, {0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(before, ReadFlash(0x100, 4));
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x14, 0x00, 0x00, 0x00}));  // the 32 KB block at 0
  machine.Sleep(500);  // the erase runs on after the command
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x11, 0x00, 0x01, 0x00}, {0x12, 0x34, 0x56, 0x78}));
  EXPECT_EQ((Bytes{0x12, 0x34, 0x56, 0x78}), ReadFlash(0x100, 4));
  EXPECT_EQ(0xFF, ReadFlash(0x7FFF, 1)[0]);
  EXPECT_NE(0xFF, ReadFlash(0x8000, 1)[0]) << "the next block keeps its data";
}

TEST_F(BridgeTest, Mxic32BytePagesNeedThePageSizeConfigured) {
  auto chip = Attach("txr847-mxic32");
  Bytes image(256);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i);
  const std::uint32_t eraseMs = chip->serialFlash()->EraseMs(0xC7);
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x13}));
  machine.Sleep(eraseMs);
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x11, 0, 0, 0}, image));
  EXPECT_NE(image, ReadFlash(0, 256)) << "256-byte pages wrap in the part's 32-byte buffer";
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x13}));
  machine.Sleep(eraseMs);
  EXPECT_EQ(1, In(path, {0xFF, 0x04, 0x25, 0x02, 32 / 4}, 0).ok);
  EXPECT_EQ(32u, chip->engine().pageSize);
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x11, 0, 0, 0}, image));
  EXPECT_EQ(image, ReadFlash(0, 256));
}

TEST_F(BridgeTest, EngineUsesTheOpcodesTheHostSets) {
  auto chip = Attach("txr659-c");
  EXPECT_EQ(0x02, chip->engine().program);
  const Reply r = In(path, {0xFF, 0x04, 0x24, 0x02, 0x60, 0x52, 0xAF, 0x02, 0x01}, 2);
  EXPECT_EQ(1, r.ok);
  EXPECT_EQ(2, r.moved);
  EXPECT_EQ(0x60, chip->engine().chipErase);
  EXPECT_EQ(0x52, chip->engine().blockErase);
  EXPECT_EQ(0x02, chip->engine().maker);
  // An opcode the part does not know erases nothing.
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x14, 0, 0, 0}));
  EXPECT_NE(0xFF, ReadFlash(0, 1)[0]);
  EXPECT_EQ(1, In(path, {0xFF, 0x04, 0x24, 0x02, 0xC7, 0xD8, 0x02, 0x09, 0x01}, 0).ok);
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x14, 0, 0, 0}));
  EXPECT_EQ(0xFF, ReadFlash(0, 1)[0]);
}

TEST_F(BridgeTest, BlockWriteErasesByItsCode) {
  auto chip = Attach("txr846");  // EN25F80: 0x20 clears 4 KB, 0xD8 64 KB
  const Bytes data{0x11, 0x22, 0x33, 0x44};
  EXPECT_EQ(1, BlockWrite(0x100, {0xFF, 0xFF, 0xFF, 0xFF}, 0x00));
  EXPECT_NE(Bytes(4, 0xFF), BlockRead(0x100, 4)) << "mode 0 erases nothing";
  EXPECT_EQ(1, BlockWrite(0x0000, data, 0x01));
  EXPECT_EQ(data, BlockRead(0, 4));
  EXPECT_EQ(Bytes(4, 0xFF), BlockRead(0x0FFC, 4));
  EXPECT_NE(Bytes(4, 0xFF), BlockRead(0x1000, 4)) << "code 1 took one 4 KB sector only";
  EXPECT_EQ(1, BlockWrite(0x8000, data, 0x82));
  EXPECT_EQ(0x82, chip->lastBlockWriteMode());
  EXPECT_EQ(Bytes(4, 0xFF), BlockRead(0x0000, 4)) << "code 2 took the whole 64 KB block";
  EXPECT_EQ(data, BlockRead(0x8000, 4));
  EXPECT_EQ(1, BlockWrite(0x0000, data, 0x03));
  EXPECT_EQ(Bytes(4, 0xFF), BlockRead(0x8000, 4)) << "code 3 erased the chip";
}

TEST_F(BridgeTest, PlainBlockWriteErasesItsUnitOnTheFlag) {
  Attach("txr843-1394");
  const Bytes data(4, 0x5A);
  EXPECT_EQ(1, BlockWrite(0x8000, data, 0x01));
  EXPECT_EQ(data, BlockRead(0x8000, 4));
  EXPECT_EQ(Bytes(4, 0xFF), BlockRead(0xFFFC, 4));
  EXPECT_NE(Bytes(4, 0xFF), BlockRead(0x7FFC, 4)) << "the lower 32 KB unit is untouched";
  EXPECT_EQ(1, BlockWrite(0x8010, {0xFF, 0x00}, 0x00));
  EXPECT_EQ((Bytes{0xFF, 0x00}), BlockRead(0x8010, 2));
}

// --- raw serial-flash path --------------------------------------------------------------

TEST_F(BridgeTest, UnprotectSequenceClearsProtection) {
  sim::AttachOptions o;
  o.protection = 0x1C;
  auto chip = Attach("txr842", o);
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x13}));
  EXPECT_EQ(0, chip->serialFlash()->eraseOperations) << "protected: the erase does nothing";
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x20, 0x01, 0x00, 0x06}));  // write enable
  EXPECT_EQ(0x02, Status() & 0x02);
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x20, 0x02, 0x00, 0x01, 0x00}, {0x01, 0x00}));
  machine.Sleep(10);
  EXPECT_EQ(0x00, Status() & 0x1F);
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x13}));
  EXPECT_EQ(1, chip->serialFlash()->eraseOperations);
}

// Asked for, a part comes up with its data sheet's power-up protection: the
// SST parts' block protection set, the others' clear.
TEST_F(BridgeTest, PowerUpProtectionIsThePartsOwnWhenAsked) {
  struct Row {
    const char* profile;
    std::uint8_t bits;
  };
  for (const Row& r : {Row{"txr847-sst", 0x1C}, Row{"txr842", 0x00}}) {
    for (bool powerUp : {false, true}) {
      SCOPED_TRACE(std::string(r.profile) + (powerUp ? " power-up" : ""));
      sim::AttachOptions o;
      o.powerUpProtection = powerUp;
      auto chip = Attach(r.profile, o);
      ASSERT_NE(nullptr, chip);
      EXPECT_EQ(powerUp ? r.bits : 0, chip->serialFlash()->protectionBits());
      machine.Detach(path);
    }
  }
}

TEST_F(BridgeTest, RawPageProgramAndReadBack) {
  Attach("tx40775-pmc");
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x14, 0, 0, 0}));
  machine.Sleep(1000);
  Bytes page(256);
  for (std::size_t i = 0; i < page.size(); ++i) page[i] = static_cast<std::uint8_t>(255 - i);
  EXPECT_EQ(1, Spi({0x01, 0x00, 0x06}));
  EXPECT_EQ(1, Spi({0x04, 0x01, 0x02, 0x00, 0x01, 0x00}));
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x22, 0, 0, 0, 0, 0x01, 0x00}, page));
  machine.Sleep(10);
  EXPECT_EQ(page, ReadFlash(0x100, 256));
  // A data phase without a command that asked for one is refused.
  EXPECT_EQ(0, SpiData({0x00}));
  EXPECT_EQ(0, In(path, {0xFF, 0x04, 0x21, 0, 0, 0, 0, 0, 4}, 4).ok);
}

TEST_F(BridgeTest, RawAaiByteProgramNeedsWriteEnable) {
  auto chip = AttachSstProbe("1");
  const auto flash = chip->serialFlash();

  // Without the write enable of the clear-protection step nothing programs.
  EXPECT_EQ(1, Spi({0x04, 0x01, 0xAF, 0x00, 0x00, 0x00}));
  EXPECT_EQ(1, SpiData({0x42, 0x00}));
  EXPECT_EQ(1, Spi({0x02, 0x00, 0xAF, 0x43}));
  EXPECT_EQ(Bytes(2, 0xFF), ReadFlash(0, 2));

  // Clear protection (0x50, 0x01 with data, 0x06), then the AAI sequence.
  EXPECT_EQ(1, Spi({0x01, 0x00, 0x50}));
  EXPECT_EQ(1, Spi({0x01, 0x01, 0x01}));
  EXPECT_EQ(1, SpiData({0x00, 0x00}));
  machine.Sleep(10);
  EXPECT_EQ(1, Spi({0x01, 0x00, 0x06}));
  EXPECT_TRUE(flash->writeEnabled());
  machine.Sleep(10);
  EXPECT_EQ(1, Spi({0x04, 0x01, 0xAF, 0x00, 0x00, 0x00}));
  EXPECT_EQ(1, SpiData({0x42, 0x00}));
  for (std::uint8_t b : {0x43, 0x44, 0x45}) EXPECT_EQ(1, Spi({0x02, 0x00, 0xAF, b}));
  EXPECT_TRUE(flash->aaiActive());
  EXPECT_EQ(1, Spi({0x01, 0x00, 0x04}));  // AAI end
  EXPECT_FALSE(flash->aaiActive());
  EXPECT_EQ((Bytes{0x42, 0x43, 0x44, 0x45, 0xFF}), ReadFlash(0, 5));
}

// The raw-path sequences the host runs, step by step with their waits, against
// the emulated parts: the parts must take them as real parts do.
class RawSequenceTest : public BridgeTest {
 protected:
  void Sleep(std::uint32_t ms) { machine.Sleep(ms); }
  int Record(std::uint8_t count, std::uint8_t data, std::uint8_t op, std::uint32_t a = 0) {
    return Spi({count, data, op, static_cast<std::uint8_t>(a >> 16),
                static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a)});
  }
  int WriteData(const std::uint8_t* p, std::uint16_t n) {
    return Out(path,
               {0xFF, 0x04, 0x22, 0, 0, 0, 0, static_cast<std::uint8_t>(n >> 8),
                static_cast<std::uint8_t>(n)},
               Bytes(p, p + n));
  }
  bool WaitReady() {
    for (int reread = 0; reread <= 501; ++reread) {
      if ((Status() & 0x01) == 0) return reread <= 500;
      Sleep(10);
    }
    return false;
  }
  int ClearProtection() {
    Record(1, 0, 0x50);
    Record(1, 1, 0x01);
    const std::uint8_t zero[2] = {0, 0};
    WriteData(zero, 2);
    Sleep(10);
    const int r = Record(1, 0, 0x06);
    Sleep(10);
    return r;
  }
  int PageProgram(std::uint32_t a, const std::uint8_t* src, std::uint32_t n, std::uint32_t page) {
    std::uint32_t i = 0;
    for (; i < n / page; ++i, a += page) {
      Sleep(10);
      Record(1, 0, 0x06);
      Sleep(10);
      if (!Record(4, 1, 0x02, a) || !WriteData(src + page * i, static_cast<std::uint16_t>(page)))
        return 0;
    }
    return static_cast<int>(i);
  }
  int AaiByte(std::uint32_t a, const std::uint8_t* src, std::uint32_t n, std::uint32_t block) {
    int last = 0;
    for (std::uint32_t i = 0; i < n / block; ++i, a += block) {
      const std::uint8_t* b = src + block * i;
      ClearProtection();
      Record(4, 1, 0xAF, a);
      const std::uint8_t first[2] = {b[0], 0x00};
      last = WriteData(first, 2);
      for (std::uint32_t j = 1; j < block; ++j) last = Spi({2, 0, 0xAF, b[j]});
      if (!last) break;
    }
    Record(1, 0, 0x04);
    Sleep(10);
    return last;
  }
  int AaiWord(std::uint32_t a, const std::uint8_t* src, std::uint32_t n, std::uint32_t block) {
    int last = 0;
    for (std::uint32_t i = 0; i < n / block; ++i, a += block) {
      const std::uint8_t* b = src + block * i;
      ClearProtection();
      if (a % 0x4000 == 0)
        Record(4, 1, 0xAD, a);
      else
        Record(1, 1, 0xAD);
      last = WriteData(b, 2);
      for (std::uint32_t j = 1; j < block / 2; ++j)
        last = Spi({3, 0, 0xAD, b[2 * j], b[2 * j + 1]});
      if (!last) break;
    }
    return last;
  }
  int ProgramImage(std::uint32_t a, const Bytes& image, int kind, bool wordMode) {
    for (std::uint32_t done = 0; done < image.size();) {
      const std::uint32_t chunk =
          std::min<std::uint32_t>(8192, static_cast<std::uint32_t>(image.size()) - done);
      WaitReady();
      int r = 0;
      if (kind != 2) {
        r = PageProgram(a + done, image.data() + done, chunk, kind == 5 ? 32 : 256);
      } else if (wordMode) {
        r = AaiWord(a + done, image.data() + done, chunk, 512);
        if (done + chunk == image.size()) {
          r = Record(1, 0, 0x04);
          Sleep(10);
        }
      } else {
        r = AaiByte(a + done, image.data() + done, chunk, 512);
      }
      if (r == 0) return 0;
      Sleep(10);
      done += chunk;
    }
    return 1;
  }
  void ChipEraseThroughEngine() {
    EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x13}));
    Sleep(500);
    EXPECT_TRUE(WaitReady());
  }
};

TEST_F(RawSequenceTest, SstWordModeImageAcrossSixteenKilobyteBoundaries) {
  sim::AttachOptions unprotected;  // the engine's erase leaves a protected part as it is
  unprotected.powerUpProtection = false;
  auto chip = Attach("txr847-sst", unprotected);
  ChipEraseThroughEngine();
  const Bytes image = StepPattern(0x4000, 3);
  EXPECT_EQ(1, ProgramImage(0x4000, image, 2, true));
  EXPECT_FALSE(chip->serialFlash()->aaiActive()) << "the last chunk ended the sequence";
  EXPECT_EQ(image, ReadFlash(0x4000, 0x4000));
  EXPECT_EQ(Bytes(16, 0xFF), ReadFlash(0x8000, 16));
}

TEST_F(RawSequenceTest, SstByteModeImage) {
  auto chip = AttachSstProbe("2");
  const auto flash = chip->serialFlash();
  const Bytes image = StepPattern(0x2000, 9);
  EXPECT_EQ(1, ProgramImage(0, image, 2, false));
  EXPECT_FALSE(flash->aaiActive());
  EXPECT_EQ(image, ReadFlash(0, 0x2000));
}

TEST_F(RawSequenceTest, MxicImageInThirtyTwoBytePages) {
  Attach("txr847-mxic32");
  ChipEraseThroughEngine();
  const Bytes image = StepPattern(0x2000, 5);
  EXPECT_EQ(1, ProgramImage(0, image, 5, false));
  EXPECT_EQ(image, ReadFlash(0, 0x2000));
  // The same image in 256-byte pages does not survive the part's 32-byte buffer.
  ChipEraseThroughEngine();
  EXPECT_EQ(1, ProgramImage(0, image, 6, false));
  EXPECT_NE(image, ReadFlash(0, 0x2000));
}

TEST_F(RawSequenceTest, SkippedWaitLosesTheWriteEnable) {
  Attach("tx40775-pmc");
  ChipEraseThroughEngine();
  Record(1, 0, 0x06);
  Record(4, 1, 0x02, 0x0000);
  const std::uint8_t first[4] = {1, 2, 3, 4};
  WriteData(first, 4);
  Record(1, 0, 0x06);  // no 10 ms pause: the part is still programming
  Record(4, 1, 0x02, 0x0100);
  WriteData(first, 4);
  Sleep(10);
  EXPECT_EQ((Bytes{1, 2, 3, 4}), ReadFlash(0, 4));
  EXPECT_EQ(Bytes(4, 0xFF), ReadFlash(0x100, 4));
}

// --- parallel flash behind the internal ROM ------------------------------------------------

Bytes EraseSequence(std::uint8_t h, std::uint8_t g) {
  return {0x55, h, 0xAA, g, 0x55, h, 0x55, h, 0xAA, g, 0x55, h, 0xAA, 0x55, 0x80, 0xAA, 0x55, 0x10};
}

TEST_F(BridgeTest, ParallelRomEraseAndProgramFollowTheSelectedPart) {
  auto chip = Attach("tx40776-pmc");
  // Before the switch the chip runs from the flash and refuses to rewrite it.
  EXPECT_EQ(0, Out(path, {0xFF, 0x04, 0x04}, EraseSequence(0x05, 0x02)));
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x05}));
  EXPECT_TRUE(chip->romMode());
  // The ATMEL/SST sequence on the PMC part: accepted, but nothing happens.
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x04}, EraseSequence(0x55, 0x2A)));
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x01}));
  EXPECT_EQ(0x00, In(path, {0xFF, 0x04, 0x00}, 1).data[0]);
  EXPECT_EQ(0, chip->parallelFlash()->chipErases);
  // The part's own sequence erases; the busy byte shows it for the erase's
  // typical 40 ms.
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x04}, EraseSequence(0x05, 0x02)));
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x01}));
  const std::uint64_t erased = machine.NowMs();
  while (In(path, {0xFF, 0x04, 0x00}, 1).data[0] == 0x01 && machine.NowMs() - erased < 1000)
    machine.Sleep(1);
  // Polled each 1 ms, each poll a command on the bus: ready within a poll of 40 ms.
  EXPECT_GE(machine.NowMs() - erased, 39u);
  EXPECT_LE(machine.NowMs() - erased, 41u);
  EXPECT_EQ(Bytes(16, 0xFF), In(path, {0xFF, 0x04, 0x03, 0x00, 0x00, 0x00, 0x00}, 16).data);

  const Bytes image{1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x02, 0x55, 0x55, 0xAA, 0x2A, 0x55, 0x55, 0xAA, 0x55, 0xA0},
                   image));
  EXPECT_EQ(Bytes(8, 0xFF), In(path, {0xFF, 0x04, 0x03}, 8).data) << "wrong unlock: no program";
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x02, 0x55, 0x05, 0xAA, 0x02, 0x55, 0x05, 0xAA, 0x55, 0xA0},
                   image));
  EXPECT_EQ(image, In(path, {0xFF, 0x04, 0x03}, 8).data);
  // ReadRom takes a little-endian 32-bit address.
  EXPECT_EQ(Bytes{5}, In(path, {0xFF, 0x04, 0x03, 0x04, 0x00, 0x00, 0x00}, 1).data);
}

TEST_F(BridgeTest, A1ChipRefusesTheSwitchButRewrites) {
  Attach("tx40776-sst-a1");
  EXPECT_EQ(0, Out(path, {0xFF, 0x04, 0x05}));
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x04}, EraseSequence(0x55, 0x2A)));
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x01}));
  EXPECT_EQ(0x01, In(path, {0xFF, 0x04, 0x00}, 1).data[0]);
}

// --- faults
// ----------------------------------------------------------------------------------------

// The engine sends what it is asked to: a part that never comes back reads
// 0xFF, and a program, which waits for each page, fails.
TEST_F(BridgeTest, FlashThatStaysBusyReadsBlankAndFailsPrograms) {
  sim::AttachOptions o;
  o.flashFaults = {{sim::FlashFault::Kind::StaysBusy, 1}};
  Attach("tx40775-pmc", o);
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x13}));
  machine.Sleep(60000);
  EXPECT_EQ(0x01, Status() & 0x01);
  const Reply r = In(path, {0xFF, 0x04, 0x10}, 16);
  EXPECT_EQ(1, r.ok);
  EXPECT_EQ(Bytes(16, 0xFF), r.data);
  EXPECT_EQ(0, Out(path, {0xFF, 0x04, 0x11, 0, 0, 0}, {0x00}));
}

TEST_F(BridgeTest, StuckBitsAndWrongReadsShowThroughTheEngine) {
  sim::AttachOptions o;
  o.flashFaults = {{sim::FlashFault::Kind::BitsDoNotProgram, 1, 0x10},
                   {sim::FlashFault::Kind::WrongReadData, 1, 0x01, 0x40, 1}};
  Attach("txr846", o);
  EXPECT_EQ(1, BlockWrite(0, Bytes(0x80, 0x00), 0x01));
  const Bytes back = BlockRead(0, 0x80);
  EXPECT_EQ(0x10, back[0]);
  EXPECT_EQ(0x11, back[0x40]);
}

TEST_F(BridgeTest, DeviceThatDisappearsAfterACommand) {
  std::vector<std::uint32_t> events;
  machine.onDeviceChange = [&](std::uint32_t e) { events.push_back(e); };
  sim::AttachOptions o;
  o.disappear = {{sim::CdbPattern("FF 04 11"), 2}};
  Attach("tx40775-pmc", o);
  events.clear();
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x11, 0, 0, 0}, {0x00}));
  EXPECT_NE(nullptr, machine.Find(path));
  EXPECT_EQ(1, Out(path, {0xFF, 0x04, 0x11, 0, 0, 0}, {0x00}));
  EXPECT_EQ(nullptr, machine.Find(path));
  EXPECT_EQ((std::vector<std::uint32_t>{0x8004}), events);
  EXPECT_EQ(0, In(path, {0xFF, 0x04, 0x12}, 1).ok);
}

}  // namespace
