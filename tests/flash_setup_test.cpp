#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "identify/flash_setup.h"

namespace {

using identify::FlashState;

// A chip whose flash answers scripted identification bytes; every command
// sent is logged by name.
struct Bench {
  std::map<std::uint8_t, std::vector<std::uint8_t>> spi, ataSpi;
  std::optional<std::uint8_t> typeCode, ataTypeCode;
  int amic = -1, atmel = -1;
  std::vector<std::string> log;

  static identify::SpiReader Reader(std::map<std::uint8_t, std::vector<std::uint8_t>>& answers,
                                    std::vector<std::string>& log, const char* name) {
    return [&answers, &log, name](std::uint8_t op, std::uint8_t* out, std::uint32_t n) {
      char text[32];
      std::snprintf(text, sizeof text, "%s %02X", name, op);
      log.push_back(text);
      auto it = answers.find(op);
      if (it == answers.end()) return false;
      std::memcpy(out, it->second.data(), std::min<std::size_t>(n, it->second.size()));
      return true;
    };
  }
  identify::FlashCommands Commands() {
    identify::FlashCommands c;
    c.spiCommandRead = Reader(spi, log, "spi");
    c.ataSpiCommandRead = Reader(ataSpi, log, "ataspi");
    c.readFlashIdBytes = [this](std::uint8_t op, int flag, std::uint8_t*) {
      log.push_back("idbytes " + std::to_string(op) + "/" + std::to_string(flag));
      return false;
    };
    c.readFlashTypeCode = [this](std::uint8_t* out) {
      log.push_back("typecode");
      if (typeCode) *out = *typeCode;
      return typeCode.has_value();
    };
    c.ataReadFlashTypeCode = [this](std::uint8_t* out) {
      log.push_back("atatypecode");
      if (ataTypeCode) *out = *ataTypeCode;
      return ataTypeCode.has_value();
    };
    c.detectAmicFlash = [this] { log.push_back("amic"); return amic; };
    c.detectAtmelFlash = [this] { log.push_back("atmel"); return atmel; };
    auto opcodes = [this](const char* name) {
      return [this, name](const identify::FlashDescriptor& d) {
        char text[48];
        std::snprintf(text, sizeof text, "%s %02X %02X %02X %02X", name, d.chipEraseOpcode,
                      d.blockEraseOpcode, d.programOpcode, d.sectorEraseOpcode);
        log.push_back(text);
        return true;
      };
    };
    c.setFlashOpcodes = opcodes("opcodes");
    c.setFlashOpcodesNoReply = opcodes("opcodes-noreply");
    c.ataSetFlashOpcodes = opcodes("ata-opcodes");
    c.setFlashPageSize = [this](std::uint32_t page, std::uint32_t len) {
      log.push_back("pagesize " + std::to_string(page) + "/" + std::to_string(len));
      return true;
    };
    c.ataSetFlashPageSize = [this](std::uint32_t page) {
      log.push_back("ata-pagesize " + std::to_string(page));
      return true;
    };
    c.setFlashOpcodesAndPageSize = [this](const identify::FlashDescriptor&, std::uint32_t page) {
      log.push_back("opcodes+page " + std::to_string(page));
      return true;
    };
    c.setFlashOpcodesAndPageSize16 = [this](const identify::FlashDescriptor&, std::uint32_t page) {
      log.push_back("opcodes+page16 " + std::to_string(page));
      return true;
    };
    c.recoverFirmwareBanks = [this] { log.push_back("recover"); };
    return c;
  }
  FlashState Run(identify::ChipIdentity chip, bool sbp2 = false, FlashState start = {}) {
    identify::RunFlashSetup(Commands(), chip, sbp2, start);
    return start;
  }
  bool Sent(const std::string& entry) const {
    return std::find(log.begin(), log.end(), entry) != log.end();
  }
  int Count(const std::string& prefix) const {
    int n = 0;
    for (const auto& e : log) n += e.rfind(prefix, 0) == 0;
    return n;
  }
};

TEST(FlashSetup, MxicOnJedecChipsGetsSizeOpcodesAndPageSize) {
  Bench b19;
  b19.spi[0x9F] = {0xC2, 0x22, 0x11};
  FlashState s = b19.Run({19, 0});
  EXPECT_EQ(identify::kFlashMxic, s.flashTypeCode);
  EXPECT_EQ("MXIC", s.flashLabel);
  EXPECT_EQ(128u, s.flashSizeKb);
  EXPECT_TRUE(b19.Sent("opcodes C7 D8 02 20"));
  EXPECT_TRUE(b19.Sent("pagesize 32/2"));

  Bench b10;
  b10.spi[0x9F] = {0xC2, 0x20, 0x14};
  s = b10.Run({10, 0});
  EXPECT_EQ(1024u, s.flashSizeKb);
  EXPECT_TRUE(b10.Sent("opcodes-noreply C7 D8 02 20"));
  EXPECT_EQ(0, b10.Count("pagesize"));  // C2 20 is not the page-size part

  Bench b17;  // chip type 17 takes opcodes but never the page size
  b17.spi[0x9F] = {0xC2, 0x22, 0x11};
  b17.Run({17, 3});
  EXPECT_EQ(1, b17.Count("opcodes "));
  EXPECT_EQ(0, b17.Count("pagesize"));
}

TEST(FlashSetup, FailedJedecOnChipType10LeavesUnknownAndSendsNothing) {
  Bench b;
  FlashState start;
  start.flashTypeCode = 6;
  const FlashState s = b.Run({10, 0}, false, start);
  EXPECT_EQ(0, s.flashTypeCode);
  EXPECT_EQ("Unknown", s.flashLabel);
  EXPECT_EQ(0, b.Count("opcodes"));
  // Asked again before "no flash" is taken as the answer.
  EXPECT_EQ((std::vector<std::string>{"spi 9F", "spi 9F"}), b.log);
}

TEST(FlashSetup, SstJedecFlag) {
  Bench sst;  // no maker rule for 0xBF: the 0x90 answer names SST
  sst.spi[0x9F] = {0xBF, 0x25, 0x41};
  sst.spi[0x90] = {0, 0, 0, 0xBF};
  FlashState s = sst.Run({19, 0});
  EXPECT_EQ(identify::kFlashSst, s.flashTypeCode);
  EXPECT_EQ(2048u, s.flashSizeKb);
  EXPECT_EQ(1, s.sstJedecFlag);
  EXPECT_TRUE(sst.Sent("opcodes 60 52 AF 20"));

  Bench mxic;  // the flag of an earlier selection does not survive
  mxic.spi[0x9F] = {0xC2, 0x20, 0x10};
  FlashState start;
  start.sstJedecFlag = 1;
  start.amicFlashId = 3;
  s = mxic.Run({19, 0}, false, start);
  EXPECT_EQ(0, s.sstJedecFlag);
  EXPECT_EQ(-1, s.amicFlashId);
}

TEST(FlashSetup, ReportedTypeSetsEraseGeometry) {
  Bench b;
  b.typeCode = 4;
  FlashState s = b.Run({8, 0});
  EXPECT_EQ("ATMEL", s.flashLabel);
  EXPECT_EQ(identify::kFlashAtmel, s.eraseGeometryRow);
  EXPECT_EQ(std::vector<std::string>{"typecode"}, b.log);  // chip type 8 goes no further

  Bench odd;  // a code with no catalogue row
  odd.typeCode = 0x20;
  FlashState start;
  start.eraseGeometryRow = identify::kFlashAtmel;
  s = odd.Run({8, 0}, false, start);
  EXPECT_EQ(0, s.flashTypeCode);
  EXPECT_EQ("Unknown", s.flashLabel);
  EXPECT_EQ(identify::kFlashUnknown, s.eraseGeometryRow);

  Bench failing;
  start.flashTypeCode = 9;
  start.eraseGeometryRow = -1;
  s = failing.Run({9, 0}, false, start);
  EXPECT_EQ(9, s.flashTypeCode);
  EXPECT_EQ("", s.flashLabel);
  EXPECT_EQ(-1, s.eraseGeometryRow);  // nothing reported: the geometry stays
}

TEST(FlashSetup, Txv929IdentifiesSizesRecoversAndConfiguresMxic) {
  Bench b;
  b.typeCode = 0;
  b.spi[0x9F] = {0xC2, 0x22, 0x13};
  FlashState s = b.Run({12, 0});
  EXPECT_EQ(identify::kFlashMxic, s.flashTypeCode);
  EXPECT_EQ(identify::kFlashMxic, s.eraseGeometryRow);
  EXPECT_EQ(512u, s.flashSizeKb);
  EXPECT_TRUE(b.Sent("recover"));
  EXPECT_TRUE(b.Sent("opcodes+page16 32"));
  EXPECT_EQ(0, b.Count("opcodes+page "));

  Bench v961;
  v961.typeCode = 5;
  v961.spi[0x9F] = {0xC2, 0x22, 0x10};
  v961.Run({11, 5});
  EXPECT_TRUE(v961.Sent("opcodes+page 32"));
  EXPECT_FALSE(v961.Sent("recover"));

  Bench lowLevel;  // sub-code below 5: the reported type is all
  lowLevel.typeCode = 5;
  lowLevel.spi[0x9F] = {0xC2, 0x22, 0x10};
  lowLevel.Run({11, 4});
  EXPECT_EQ(std::vector<std::string>{"typecode"}, lowLevel.log);
}

TEST(FlashSetup, ProbedPartsComeFirst) {
  Bench amic;
  amic.amic = 2;
  FlashState start;
  start.flashTypeCode = 6;
  FlashState s = amic.Run({1, 1}, false, start);
  EXPECT_EQ("AMIC", s.flashLabel);
  EXPECT_EQ(6, s.flashTypeCode);
  EXPECT_EQ(2, s.amicFlashId);
  EXPECT_EQ(0, amic.Count("typecode"));

  Bench jedec;
  jedec.typeCode = 0;
  jedec.spi[0x9F] = {0xEF, 0x40, 0x10};
  s = jedec.Run({7, 1}, false);
  EXPECT_EQ("WINBOND", s.flashLabel);
  EXPECT_EQ(-1, s.atmelFlashId);

  Bench firewire;  // the same chip behind IEEE 1394 reports its type instead
  firewire.typeCode = 3;
  s = firewire.Run({7, 1}, true);
  EXPECT_EQ(0, firewire.Count("amic"));
  EXPECT_EQ("ST/EON/MXIC", s.flashLabel);
}

TEST(FlashSetup, BridgesBehindAController) {
  Bench b13;
  b13.ataSpi[0x9F] = {0xC2, 0x22, 0x11};
  FlashState s = b13.Run({13, 0});
  EXPECT_EQ(identify::kFlashMxic, s.flashTypeCode);
  EXPECT_EQ(128u, s.flashSizeKb);
  EXPECT_TRUE(b13.Sent("ata-opcodes C7 D8 02 20"));
  EXPECT_TRUE(b13.Sent("ata-pagesize 32"));
  EXPECT_EQ(0, b13.Count("spi "));

  Bench b14;
  b14.ataTypeCode = 0xFF;  // -1 as the controller's signed byte: no row
  s = b14.Run({14, 0});
  EXPECT_EQ(0, s.flashTypeCode);
  EXPECT_EQ("Unknown", s.flashLabel);
  b14.ataTypeCode = 8;
  EXPECT_EQ("EON", b14.Run({15, 0}).flashLabel);
}

TEST(FlashSetup, OtherGroupsSendNothing) {
  for (std::uint8_t t : {0, 2, 5, 18, 20, 24, 30}) {
    Bench b;
    b.Run({t, 0});
    EXPECT_TRUE(b.log.empty()) << int(t);
  }
}

}  // namespace
