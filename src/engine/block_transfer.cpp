#include "engine/block_transfer.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "scsi/flash_commands.h"
#include "chips/flash_kind.h"
#include "scsi/passthrough.h"
#include "engine/settings.h"
#include "engine/shared_steps.h"

namespace program {

namespace {

constexpr std::uint32_t kAddressSpace = 0x1000000;  // the commands carry 24-bit addresses
constexpr std::uint32_t kFirstWriteLimit = 0x1000;

bool FitsAddressSpace(std::uint32_t address, std::uint32_t length) {
  return address < kAddressSpace && length <= kAddressSpace - address;
}

// The erase unit and its count that a mode works with; null for modes that
// erase nothing unit by unit.
struct UnitCounter {
  std::uint32_t size;
  std::uint32_t* count;
};
bool UnitFor(EraseGeometry& g, std::uint8_t mode, UnitCounter& unit) {
  switch (mode & 0x7F) {
    case 1:
    case 4: unit = {g.eraseSectorSize, &g.erasedSectorCount}; return true;
    case 2:
    case 5: unit = {g.eraseBlockSize, &g.erasedBlockCount}; return true;
    default: return false;
  }
}

}  // namespace

BlockChipLayout BlockLayoutFor(const RunWindow& window) {
  const ChipState& facts = window.facts();
  const std::uint32_t setting = window.transfer().flashSize;
  const device::ChipRow& row = device::ChipRowFor(facts.chipType);
  if (!row.blockCommands) return {false, 0, setting};
  // Two banks fill the 128 KB flash.
  const bool twoBanks = row.bankEnd != 0 && (row.twoBanksAlways || facts.flashSizeKb > 64);
  return {true, row.bankEnd, twoBanks ? 0x20000u : setting};
}

void StartErasedRegionAt(EraseGeometry& g, std::uint32_t start) {
  g.erasedBlockCount = g.eraseBlockSize != 0 ? start / g.eraseBlockSize : 0;
  g.erasedSectorCount = g.eraseSectorSize != 0 ? start / g.eraseSectorSize : 0;
}

std::uint8_t EraseCodeForAddress(EraseGeometry& geometry, std::uint32_t address, std::uint8_t mode) {
  const std::uint8_t m = mode & 0x7F;
  UnitCounter unit{};
  if (UnitFor(geometry, mode, unit)) {
    if (address >= unit.size * *unit.count) {
      ++*unit.count;
      return mode & 7;
    }
    return 0;
  }
  if (m == 3 || m == 6 || m == 7) return address == 0 ? (mode & 7) : 0;
  return 0;
}

std::uint32_t ClipToErasedRegion(EraseGeometry& geometry, std::uint32_t address,
                                 std::uint32_t length, std::uint8_t mode) {
  // The same modes as EraseCodeForAddress: a flag in bit 7 does not change
  // what was erased.
  UnitCounter unit{};
  if (!UnitFor(geometry, mode, unit)) return length;
  const std::uint64_t end = static_cast<std::uint64_t>(unit.size) * *unit.count;
  if (address >= end) return 0;
  if (static_cast<std::uint64_t>(address) + length >= end)
    return static_cast<std::uint32_t>(end - address);
  return length;
}

bool ReadFlashRange(RunWindow& window, const char* path, std::uint32_t address,
                    std::uint8_t* destination, std::uint32_t length) {
  if (length == 0 || !FitsAddressSpace(address, RoundUp(length, 512))) return false;
  std::uint32_t total = RoundUp(length, 512);
  device::PaddedBuffer buffer(total);
  if (!buffer.ok()) return false;
  window.ShowStatus(kProgressReadFlash);
  const std::uint32_t block = window.transfer().blockSize;
  std::uint32_t done = 0;
  bool result = false;
  while (total > 0) {
    const std::uint32_t chunk = std::min(total, block);
    PollFlash(path);
    if (device::ReadFlashBlock(path, address + done, buffer.data() + done, chunk).failed()) {
      result = false;
      break;
    }
    done += chunk;
    total -= chunk;
    result = true;
    window.AppendStatus(".");
  }
  std::memcpy(destination, buffer.data(), length);
  return result;
}

bool WriteFlashRange(RunWindow& window, const char* path, std::uint32_t address,
                     const std::uint8_t* source, std::uint32_t length, std::uint8_t mode) {
  if (length == 0 || !FitsAddressSpace(address, RoundUp(length, 512))) return false;
  std::uint32_t total = RoundUp(length, 512);
  device::PaddedBuffer buffer(total);
  if (!buffer.ok()) return false;
  std::memcpy(buffer.data(), source, length);
  const std::uint32_t block = window.transfer().blockSize;
  const bool mxic = device::IsKind(window.facts().flashTypeCode, device::FlashKind::Mxic);
  EraseGeometry& geometry = window.geometry();
  std::uint32_t done = 0;
  bool result = false;
  while (total > 0) {
    const std::uint32_t a = address + done;
    std::uint32_t chunk = std::min(total, block);
    if (a == 0 && chunk > kFirstWriteLimit) chunk = kFirstWriteLimit;
    std::uint8_t code = EraseCodeForAddress(geometry, a, mode);
    if (a == 0 && mxic && code != 0) code |= 0x80;
    chunk = ClipToErasedRegion(geometry, a, chunk, mode);
    // Past the erased end nothing may be programmed: the caller did not set
    // the erased region for this address.
    if (chunk == 0) return false;
    PollFlash(path);
    if (device::WriteFlashBlock(path, a, buffer.data() + done, chunk, code).failed()) return false;
    done += chunk;
    total -= chunk;
    result = true;
    window.AppendStatus(".");
  }
  return result;
}

bool BackupFlashImage(RunWindow& window, const char* path, std::uint32_t skip) {
  const BlockChipLayout layout = BlockLayoutFor(window);
  const std::uint32_t size = layout.flashExtent;
  BackupPlan plan{[&window, path](std::uint8_t* into, std::uint32_t length) {
                    return ReadFlashRange(window, path, 0, into, length);
                  },
                  size, 0, 0, size, kDefaultBlockBackupFile};
  if (skip > 0 && device::IsBankChip(window.facts().chipType))
    plan.to = layout.nvramOffset;  // the flash below the NVRAM area and nothing from it on
  else
    plan.from = skip;
  return BackupFlash(window, plan);
}

}  // namespace program
