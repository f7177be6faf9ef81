#include "identify/chip_classify.h"

#include <cstdio>
#include <cstring>

namespace identify {

namespace {

std::int8_t Wrap(int value) { return static_cast<std::int8_t>(static_cast<std::uint8_t>(value)); }

std::string HexPair(std::uint8_t a, std::uint8_t b) {
  char text[8];
  std::snprintf(text, sizeof text, "%X%X", a, b);
  return text;
}

// Chip-ID string prefixes and how the sixth byte c gives the sub-code.
enum class SubRule { MinusDigitBase, PlusOne, ZeroIsOne };
struct IdStringRule {
  const char* prefix;
  ChipType type;
  SubRule sub;
};
constexpr IdStringRule kIdStringRules[] = {
    {"t775C", ChipType::Tx40775, SubRule::MinusDigitBase},
    {"t779C", ChipType::Tx40779, SubRule::MinusDigitBase},
    {"t779E", ChipType::Tx40779E, SubRule::PlusOne},
    {"t659A", ChipType::Txr659, SubRule::MinusDigitBase},
    {"t842", ChipType::Txr842, SubRule::ZeroIsOne},
    {"t4847", ChipType::Txr847, SubRule::MinusDigitBase},
};

// Chips without the chip-information frame tell their variant in bits 5-6.
ChipType VariantType(std::uint8_t variant) {
  return device::AsChipType(device::Code(ChipType::Tx40777Variant) + ((variant >> 5) & 3));
}

}  // namespace

namespace {

// The type INQUIRY names, else the chip-information frame or the variant bits
// say (with the sub-code the frame carries).
ChipType TypeFromInquiry(const ChipQueries& q, std::int8_t& r) {
  using enum ChipType;
  std::uint8_t buffer[40] = {};
  if (!q.inquiry || !q.inquiry(buffer)) return None;
  ChipType t = None;
  if (buffer[36] == 't')
    t = device::AsChipType(ChipTypeFromNumber(reinterpret_cast<const char*>(buffer + 37)));
  if (t == None && std::memcmp(buffer + 36, "t845", 4) == 0) t = Txr845;
  if (t != None) return t;
  std::uint8_t w[2] = {};
  std::uint8_t info[16] = {};
  if (!q.readChipVariant || !q.readChipVariant(w) || !q.readChipInfo || !q.readChipInfo(info, 16))
    return None;
  if (info[0] != 0xF4 || info[1] != 0xE7) return VariantType(w[0]);
  if (HexPair(info[2], info[3]) == "3E8A" && HexPair(info[4], info[5]) == "4776") return Tx40776Rom;
  const char number[4] = {static_cast<char>(info[8]), static_cast<char>(info[9]),
                          static_cast<char>(info[10]), '\0'};
  t = device::AsChipType(ChipTypeFromNumber(number));
  if (t == None && std::strcmp(number, "845") == 0) t = Txr845;
  r = Wrap(info[11] - 0x30);
  return t;
}

// The chip-ID string names the type and sub-code of the chips that carry one.
void ApplyIdString(const ChipQueries& q, std::int8_t unreadSubCode, ChipType& t, std::int8_t& r) {
  // Cleared first, so that a short answer is never read as INQUIRY bytes.
  std::uint8_t buffer[40] = {};
  if (!q.readChipIdString || !q.readChipIdString(buffer)) {
    if (unreadSubCode != 0) r = unreadSubCode;
    return;
  }
  char text[9] = {};
  std::memcpy(text, buffer, 8);
  const std::uint8_t c = buffer[5];
  for (const IdStringRule& rule : kIdStringRules) {
    if (std::strncmp(text, rule.prefix, std::strlen(rule.prefix)) != 0) continue;
    t = rule.type;
    switch (rule.sub) {
      case SubRule::MinusDigitBase: r = Wrap(c - 0x2F); break;
      case SubRule::PlusOne: r = Wrap(c + 1); break;
      case SubRule::ZeroIsOne: r = c == 0 ? 1 : Wrap(c - 0x2F); break;
    }
    return;
  }
}

// The 12-byte chip information carries the revision digit '1' or '2'.
void ReadInfoRevision(const ChipQueries& q, Identification& id, std::int8_t& r) {
  std::uint8_t j[16] = {};
  const bool ok = q.readChipInfo && q.readChipInfo(j, 12);
  if (ok && j[0] == 0xF4 && j[1] == 0xE7 && (j[11] == '1' || j[11] == '2')) {
    r = j[11] == '1' ? 1 : 2;
  } else {
    id.chipInfoFailed = true;
    id.identityUnread = true;
  }
}

}  // namespace

Identification IdentifyChipWith(const ChipQueries& q) {
  Identification id;
  std::int8_t r = 0;
  ChipType t = TypeFromInquiry(q, r);

  const device::SubCodeRule& rule = device::ChipRowFor(t).subCode;
  switch (rule.read) {
    case device::SubCodeRead::Frame: break;
    case device::SubCodeRead::IdString: ApplyIdString(q, rule.unread, t, r); break;
    case device::SubCodeRead::InfoRevision: ReadInfoRevision(q, id, r); break;
    case device::SubCodeRead::LevelFdb0: {
      const ChipLevel level = q.checkChipLevelFDB0 ? q.checkChipLevelFDB0() : ChipLevel::Unread;
      if (level == ChipLevel::High) r = rule.high;
      id.identityUnread = level == ChipLevel::Unread;
      break;
    }
  }

  id.chip.type = static_cast<std::uint8_t>(device::Code(t));
  id.chip.subCode = r;
  return id;
}

int ApplyCompanionRule(int chipType, bool companion847, bool companion842) {
  const device::ChipRow& row = device::ChipRowFor(chipType);
  if (companion847 && row.with847 != ChipType::None) return device::Code(row.with847);
  if (companion842 && row.with842 != ChipType::None) return device::Code(row.with842);
  return chipType;
}

std::string InquiryEntryName(const std::uint8_t* inquiry40) {
  std::string name;
  for (int i = 8; i < 32 && inquiry40[i] != 0; ++i) name += static_cast<char>(inquiry40[i]);
  return name;
}

const char* EntryPrefix(device::BusKind bus) {
  return bus == device::BusKind::Ieee1394 ? "<<1394>> " : "<<USB>> ";
}

}  // namespace identify
