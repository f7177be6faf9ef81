#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "identify/chip_classify.h"

namespace {

// Scripted answers of one device; a missing answer is a failing command.
struct ScriptedChip {
  std::optional<std::vector<std::uint8_t>> inquiry, variant, info16, info12, idString;
  bool fdb0 = false;
  std::vector<std::string> sent;

  static bool Give(const std::optional<std::vector<std::uint8_t>>& answer, std::uint8_t* out) {
    if (!answer) return false;
    std::memcpy(out, answer->data(), answer->size());
    return true;
  }
  identify::ChipQueries Queries() {
    identify::ChipQueries q;
    q.inquiry = [this](std::uint8_t* out) { sent.push_back("inquiry"); return Give(inquiry, out); };
    q.readChipVariant = [this](std::uint8_t* out) { sent.push_back("variant"); return Give(variant, out); };
    q.readChipInfo = [this](std::uint8_t* out, std::uint32_t n) {
      sent.push_back("info" + std::to_string(n));
      return Give(n == 12 ? info12 : info16, out);
    };
    q.readChipIdString = [this](std::uint8_t* out) { sent.push_back("idstring"); return Give(idString, out); };
    q.checkChipLevelFDB0 = [this] {
      sent.push_back("fdb0");
      return fdb0 ? identify::ChipLevel::High : identify::ChipLevel::Low;
    };
    return q;
  }
  identify::Identification Identify() { return identify::IdentifyChipWith(Queries()); }
};

std::vector<std::uint8_t> Inquiry(const char* at36) {
  std::vector<std::uint8_t> q(40, ' ');
  q[0] = 0;
  std::memcpy(q.data() + 8, "Tavrion USB Bridge      ", 24);
  std::memcpy(q.data() + 36, at36, std::strlen(at36));
  return q;
}

std::vector<std::uint8_t> Text(const char* text, std::size_t size = 40) {
  std::vector<std::uint8_t> v(size, 0);
  std::memcpy(v.data(), text, std::strlen(text));
  return v;
}

std::vector<std::uint8_t> ChipInfo(std::vector<std::pair<int, std::uint8_t>> bytes) {
  std::vector<std::uint8_t> v(16, 0);
  v[0] = 0xF4;
  v[1] = 0xE7;
  for (auto [at, b] : bytes) v[at] = b;
  return v;
}

TEST(IdentifyChip, InquiryNumbersAndTheIdStringRefinement) {
  ScriptedChip c;
  c.inquiry = Inquiry("t779");
  c.idString = Text("t779C");  // sixth byte 0
  auto id = c.Identify();
  EXPECT_EQ(4, id.chip.type);
  EXPECT_EQ(-0x2F, id.chip.subCode);

  c.idString = Text("t779E\x03");
  id = c.Identify();
  EXPECT_EQ(19, id.chip.type);
  EXPECT_EQ(4, id.chip.subCode);

  for (const char* number : {"t846", "t845"}) {
    ScriptedChip d;
    d.inquiry = Inquiry(number);
    EXPECT_EQ(8, d.Identify().chip.type) << number;
    EXPECT_EQ(std::vector<std::string>{"inquiry"}, d.sent);
  }
  ScriptedChip e;
  e.inquiry = Inquiry("t778");
  EXPECT_EQ(21, e.Identify().chip.type);
}

TEST(IdentifyChip, ChipInfoBlockClassifies) {
  ScriptedChip vidPid;
  vidPid.inquiry = Inquiry("    ");
  vidPid.variant = std::vector<std::uint8_t>{0, 0};
  vidPid.info16 = ChipInfo({{2, 0x3E}, {3, 0x8A}, {4, 0x47}, {5, 0x76}, {8, '7'}, {9, '7'}, {10, '5'}});
  auto id = vidPid.Identify();
  EXPECT_EQ(24, id.chip.type);
  EXPECT_EQ(0, id.chip.subCode);
  EXPECT_EQ((std::vector<std::string>{"inquiry", "variant", "info16"}), vidPid.sent);

  ScriptedChip number;
  number.inquiry = Inquiry("    ");
  number.variant = std::vector<std::uint8_t>{0, 0};
  number.info16 = ChipInfo({{8, '8'}, {9, '4'}, {10, '5'}, {11, '3'}});
  id = number.Identify();
  EXPECT_EQ(8, id.chip.type);
  EXPECT_EQ(3, id.chip.subCode);

  // The sub-code comes from byte 11 even when no row matches.
  number.info16 = ChipInfo({{8, '1'}, {9, '2'}, {10, '3'}, {11, '7'}});
  number.idString = Text("xxxxxxxx");
  id = number.Identify();
  EXPECT_EQ(0, id.chip.type);
  EXPECT_EQ(7, id.chip.subCode);

  ScriptedChip status;
  status.inquiry = Inquiry("    ");
  status.variant = std::vector<std::uint8_t>{0x60, 0};
  status.info16 = std::vector<std::uint8_t>(16, 0);
  EXPECT_EQ(23, status.Identify().chip.type);
  status.variant = std::vector<std::uint8_t>{0x9F, 0};
  EXPECT_EQ(20, status.Identify().chip.type);

  ScriptedChip noInfo;  // the chip-info read fails: nothing is known
  noInfo.inquiry = Inquiry("    ");
  noInfo.variant = std::vector<std::uint8_t>{0x60, 0};
  EXPECT_EQ(0, noInfo.Identify().chip.type);
}

TEST(IdentifyChip, IdStringSubCodes) {
  ScriptedChip c;
  c.inquiry = Inquiry("t775");
  auto id = c.Identify();  // the ID string read fails
  EXPECT_EQ(1, id.chip.type);
  EXPECT_EQ(1, id.chip.subCode);

  // No INQUIRY answer at all: the ID string names the chip, its byte 5 the sub-code.
  struct Row {
    const char* text;
    std::optional<std::uint8_t> byte5;  // none: as Text() leaves it
    int type;
    int subCode;
  };
  for (const Row& r : {Row{"t842", std::nullopt, 6, 1}, Row{"t842", '2', 6, 3},
                       Row{"t4847", '1', 10, 2},
                       Row{"t779E", 0x7F, 19, -128}}) {  // c + 1 wraps in 8 bits
    SCOPED_TRACE(r.text);
    ScriptedChip b;
    b.idString = Text(r.text);
    if (r.byte5) (*b.idString)[5] = *r.byte5;
    id = b.Identify();
    EXPECT_EQ(r.type, id.chip.type);
    EXPECT_EQ(r.subCode, id.chip.subCode);
  }
}

TEST(IdentifyChip, Txr843AndTxv961Extras) {
  ScriptedChip c;
  c.inquiry = Inquiry("t843");
  auto id = c.Identify();
  EXPECT_EQ(7, id.chip.type);
  EXPECT_TRUE(id.chipInfoFailed);
  c.info12 = ChipInfo({{11, '2'}});
  id = c.Identify();
  EXPECT_EQ(2, id.chip.subCode);
  EXPECT_FALSE(id.chipInfoFailed);
  c.info12 = ChipInfo({{11, '3'}});
  EXPECT_TRUE(c.Identify().chipInfoFailed);

  ScriptedChip v;
  v.inquiry = Inquiry("t961");
  v.fdb0 = true;
  EXPECT_EQ(5, v.Identify().chip.subCode);
  v.fdb0 = false;
  EXPECT_EQ(0, v.Identify().chip.subCode);
}

TEST(IdentifyChip, CompanionsAndEntryNames) {
  EXPECT_EQ(13, identify::ApplyCompanionRule(12, true, false));
  EXPECT_EQ(15, identify::ApplyCompanionRule(12, false, true));
  EXPECT_EQ(14, identify::ApplyCompanionRule(11, false, true));
  EXPECT_EQ(11, identify::ApplyCompanionRule(11, true, false));
  EXPECT_EQ(6, identify::ApplyCompanionRule(6, true, true));

  std::vector<std::uint8_t> q = Inquiry("t775");
  EXPECT_EQ("Tavrion USB Bridge      ", identify::InquiryEntryName(q.data()));
  q[15] = 0;
  EXPECT_EQ("Tavrion", identify::InquiryEntryName(q.data()));
  EXPECT_STREQ("<<1394>> ", identify::EntryPrefix(device::BusKind::Ieee1394));
  EXPECT_STREQ("<<USB>> ", identify::EntryPrefix(device::BusKind::Usb));
  EXPECT_STREQ("<<USB>> ", identify::EntryPrefix(device::BusKind::Other));
}

}  // namespace
