#include "chips/flash_busy.h"

#include <algorithm>
#include <functional>

#include "scsi/flash_commands.h"
#include "chips/flash_kind.h"
#include "host/host.h"

namespace device {

namespace {

constexpr std::uint32_t kPollMs = 10;
constexpr std::uint8_t kBusy = 0x01;

struct ChipEraseRow {
  FlashKind kind;
  std::int32_t sizeKb;
  std::uint32_t maximumMs;
};

// Data sheet maxima of the chip erase, by the kind and size identification
// gives. ATMEL parts answering 1F 60 are sized 64 KB whether they are the
// AT25F512 or the AT25F1024, so the 64 KB row covers the larger part.
constexpr ChipEraseRow kChipErase[] = {
    {FlashKind::Pmc, 64, 120},         {FlashKind::Pmc, 128, 120},
    {FlashKind::Pmc, 256, 120},        {FlashKind::Sst, 64, 100},
    {FlashKind::Sst, 128, 100},        {FlashKind::Sst, 2048, 50},
    {FlashKind::Sst, 4096, 50},        {FlashKind::StEonMxic, 64, 7500},
    {FlashKind::StEonMxic, 128, 5100}, {FlashKind::StEonMxic, 1024, 20000},
    {FlashKind::Atmel, 64, 12000},     {FlashKind::Atmel, 128, 12000},
    {FlashKind::Mxic, 64, 2000},       {FlashKind::Mxic, 128, 4000},
    {FlashKind::Mxic, 512, 15000},     {FlashKind::Mxic, 1024, 20000},
    {FlashKind::Mxic, 2048, 30000},    {FlashKind::Winbond, 64, 3000},
    {FlashKind::Winbond, 128, 6000},   {FlashKind::Winbond, 256, 9000},
    {FlashKind::Winbond, 512, 15000},  {FlashKind::Winbond, 1024, 30000},
    {FlashKind::Amic, 64, 3000},       {FlashKind::Amic, 128, 6000},
    {FlashKind::Amic, 1024, 30000},    {FlashKind::Eon, 64, 3000},
    {FlashKind::Eon, 1024, 30000},     {FlashKind::Esmt, 128, 3000},
    {FlashKind::Sanyo, 256, 9000},     {FlashKind::GigaDevice, 64, 1500},
    {FlashKind::GigaDevice, 128, 3000}, {FlashKind::GigaDevice, 512, 6000},
};

// No part erases more slowly than 3 s per 64 KB block.
constexpr std::uint32_t kSlowestPer64KbMs = 3000;

// Chip erase maxima of the parallel parts: AT49BV512, Pm39LV512, SST39LF512.
constexpr std::uint32_t kRomChipEraseMs[] = {10000, 120, 100};

// Reads the status until ready() holds or limitMs have passed on clock
// since the first read: how many reads or sleeps that took plays no
// part, so neither a slow machine nor a short sleep ends the wait early. A
// read that fails leaves the status as it was (busy); with stopUnanswered it
// ends the wait.
bool PollReadyWithin(host::Clock& clock, const std::function<bool(std::uint8_t* status)>& read,
                     const std::function<bool(std::uint8_t status)>& ready, std::uint32_t limitMs,
                     bool stopUnanswered) {
  const std::uint64_t start = clock.MonotonicMs();
  std::uint8_t status = kBusy;
  for (;;) {
    const bool answered = read(&status);
    if (!answered && stopUnanswered) return false;
    if (answered && ready(status)) return true;
    if (clock.MonotonicMs() - start >= limitMs) return false;
    clock.Sleep(kPollMs);
  }
}

}  // namespace

std::uint32_t ChipEraseLimitMs(std::int32_t flashTypeCode, std::int32_t sizeKb) {
  std::uint32_t exact = 0;
  std::uint32_t ofKind = 0;
  std::uint32_t ofAll = 0;
  for (const ChipEraseRow& row : kChipErase) {
    ofAll = std::max(ofAll, row.maximumMs);
    if (!IsKind(flashTypeCode, row.kind)) continue;
    ofKind = std::max(ofKind, row.maximumMs);
    if (row.sizeKb == sizeKb) exact = row.maximumMs;
  }
  std::uint32_t maximum = exact;
  if (maximum == 0) {
    const std::uint32_t blocks = sizeKb > 0 ? (static_cast<std::uint32_t>(sizeKb) + 63) / 64 : 1;
    maximum = std::max({ofKind != 0 ? ofKind : ofAll, blocks * kSlowestPer64KbMs});
  }
  return maximum + maximum / 4;
}

bool WaitFlashReadyWithin(host::Clock& clock, const char* path, std::uint32_t limitMs) {
  return PollReadyWithin(
      clock,
      [path](std::uint8_t* status) { return ReadFlashStatus(path, status).ok(); },
      [](std::uint8_t status) { return (status & kBusy) == 0; }, limitMs, false);
}

std::uint32_t RomReadyLimitMs() {
  const std::uint32_t maximum = *std::max_element(std::begin(kRomChipEraseMs),
                                                  std::end(kRomChipEraseMs));
  return maximum + maximum / 4;
}

bool WaitRomReadyWithin(host::Clock& clock, const char* path, std::uint32_t limitMs) {
  // The ROM's status byte is 0x01 while it works, anything else when done.
  return PollReadyWithin(
      clock, [path](std::uint8_t* status) { return ReadRomStatus(path, status).ok(); },
      [](std::uint8_t status) { return status != kBusy; }, limitMs, true);
}

}  // namespace device
