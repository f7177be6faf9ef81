#include "engine/bank_recovery.h"

#include <cstring>

#include "scsi/passthrough.h"
#include "chips/names.h"
#include "engine/block_transfer.h"
#include "engine/crc16.h"
#include "engine/guarded_steps.h"

namespace program {

namespace {

constexpr std::uint8_t kMarker[4] = {0x55, 0xAA, 0xAA, 0x55};

// The CRC covers the first bank up to its end.
std::uint32_t CheckedLength(std::uint8_t chipType) { return device::ChipRowFor(chipType).bankEnd; }

// Writes the sound copy over the target bank and reads it back. Each attempt
// starts its erase bookkeeping from the target, so no chunk is programmed
// over flash this attempt did not erase.
bool CopyBank(RunWindow& window, const char* path, std::uint32_t target,
              const std::uint8_t* sound, std::uint8_t* readBack, std::uint8_t mode) {
  std::memset(readBack, 0, kBankSize);
  StartErasedRegionAt(window.geometry(), target);
  const bool written = WriteFlashRange(window, path, target, sound, kBankSize, mode);
  const bool read = ReadFlashRange(window, path, target, readBack, kBankSize);
  window.ShowStatus("");
  return written && read && std::memcmp(readBack, sound, kBankSize) == 0;
}

}  // namespace

bool CheckBankImage(const std::uint8_t* bank, std::size_t length, std::uint8_t chipType) {
  if (!device::IsBankChip(chipType)) return false;
  if (bank == nullptr || length < kBankSize) return false;
  const std::uint8_t* mark = bank + kBankMarkerOffset;
  if (std::memcmp(mark, kMarker, sizeof kMarker) != 0) return false;
  if (!identify::MatchesChipNumber(mark + 4, chipType)) return false;
  const std::uint32_t l = CheckedLength(chipType);
  const std::uint16_t stored = static_cast<std::uint16_t>(bank[l - 2] << 8 | bank[l - 1]);
  return Crc16OfWords(bank, l - 4, 0) == stored;
}

int RecoverFirmwareBanks(RunWindow& window, const char* path, std::uint8_t chipType,
                         std::uint32_t& recoveryChecked, bool repair, int* damagedBank) {
  if (damagedBank != nullptr) *damagedBank = -1;
  // Two banks only on a flash whose size was read, and the copy erases by
  // the geometry of a part that was identified.
  const ChipState& facts = window.facts();
  if (facts.flashSizeKb < 128 || recoveryChecked == 1 || !device::IsBankChip(chipType) ||
      !device::FactsRead(facts, device::kFactFlashSize | device::kFactFlashPart))
    return kRecoveryFinished;
  device::PaddedBuffer readBuffer(kBankSize);
  device::PaddedBuffer soundCopy(kBankSize);
  if (!readBuffer.ok() || !soundCopy.ok()) return kRecoveryNotRepaired;

  bool sound[2] = {false, false};
  std::uint32_t target = 0;
  for (std::uint32_t bank = 0; bank < 2; ++bank) {
    const auto readBank = [&](std::uint8_t* into) {
      const bool read = ReadFlashRange(window, path, bank * kBankSize, into, kBankSize);
      window.ShowStatus("");
      return read;
    };
    std::memset(readBuffer.data(), 0, kBankSize);
    // A bank that could not be read is not judged: the next selection tries again.
    if (!readBank(readBuffer.data())) return kRecoveryNotRepaired;
    sound[bank] = CheckBankImage(readBuffer.data(), kBankSize, chipType);
    if (sound[bank]) {
      // The checksum leaves the bank's last bytes unchecked: the copy is
      // taken only when a second read agrees with the first.
      if (!SecondReadAgrees(readBank, readBuffer.data(), soundCopy.data(), kBankSize))
        return kRecoveryNotRepaired;
      target = bank == 0 ? kBankSize : 0;
    }
  }
  if (sound[0] != sound[1] && !repair) {
    if (damagedBank != nullptr) *damagedBank = sound[0] ? 1 : 0;
    return kRecoveryNotRepaired;
  }
  recoveryChecked = 1;
  if (sound[0] == sound[1]) return kRecoveryNotRepaired;

  // Block erase first; sector erase for the one retry.
  bool repaired = CopyBank(window, path, target, soundCopy.data(), readBuffer.data(), kEraseBlock);
  if (!repaired)
    repaired = CopyBank(window, path, target, soundCopy.data(), readBuffer.data(), kEraseSector);
  window.ShowStatus(repaired ? kBankRecoverySuccess : kBankRecoveryFail);
  return repaired ? kRecoveryFinished : kRecoveryNotRepaired;
}

}  // namespace program
