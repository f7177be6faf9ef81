// Classifying the chip behind a device into its type code and sub-code from
// the identification answers (INQUIRY, chip variant, chip information, chip
// ID string, chip level), and the naming of device list entries. The answers
// come through readers the caller supplies, one per device command.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "scsi/device_record.h"

#include "chips/names.h"
#include "texts.h"

namespace identify {

// What CheckChipLevelFDB0 found; Unread when the chip memory could not be read.
enum class ChipLevel { Unread = -1, Low = 0, High = 1 };

struct ChipQueries {
  std::function<bool(std::uint8_t* out40)> inquiry;         // Inquiry, 40 bytes
  std::function<bool(std::uint8_t* out2)> readChipVariant;  // ReadChipVariant, 2 bytes
  std::function<bool(std::uint8_t* out, std::uint32_t n)> readChipInfo;  // 16, or 12 for type 7
  std::function<bool(std::uint8_t* out40)> readChipIdString;  // ReadChipIdString, 40 bytes
  std::function<ChipLevel()> checkChipLevelFDB0;  // CheckChipLevelFDB0
};

struct Identification {
  ChipIdentity chip;
  // A TXR843 whose chip information could not be read: the caller shows
  // kChipInfoFailText (caption "Error", error icon).
  bool chipInfoFailed = false;
  // A read that decides the sub-code failed where its failure has no meaning
  // of its own (the TXR843's chip information, the TXV961's level): the
  // sub-code is a default, not the chip's.
  bool identityUnread = false;
};

// The whole identification sequence; a reader that is empty counts as a
// failing command.
Identification IdentifyChipWith(const ChipQueries& queries);

// The type a companion entry stands for: 12 behind a "<<847>> " entry is 13,
// 11 behind "<<842>> " is 14, 12 behind "<<842>> " is 15; else unchanged.
int ApplyCompanionRule(int chipType, bool companion847, bool companion842);

// The 24 characters of INQUIRY bytes 8..31, ending early at a zero byte.
std::string InquiryEntryName(const std::uint8_t* inquiry40);
// "<<1394>> " for IEEE 1394 enclosures, "<<USB>> " otherwise.
const char* EntryPrefix(device::BusKind bus);

}  // namespace identify
