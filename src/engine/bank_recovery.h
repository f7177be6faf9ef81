// Repair of the two firmware banks of the TXV929 and TXV927 controllers
// (chip types 12 and 16, 128 KB flash or more): when exactly one bank is
// sound it is copied over the other, without being asked, the first time the
// device is selected.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/run_window.h"

namespace program {

inline constexpr std::uint32_t kBankSize = 0x10000;
inline constexpr std::uint32_t kBankMarkerOffset = 0xBFF0;

// Marker, chip number and CRC-16 of one 64 KB bank. bank must hold kBankSize
// bytes.
bool CheckBankImage(const std::uint8_t* bank, std::size_t length, std::uint8_t chipType);

inline constexpr int kRecoveryNotRepaired = 0;
inline constexpr int kRecoveryFinished = 1;

// kRecoveryFinished when it does not apply or repaired a bank,
// kRecoveryNotRepaired otherwise. recoveryChecked
// is the device record's flag: set once both banks were read, and while set
// nothing runs. The caller keeps Run disabled and other events out meanwhile.
// With repair false nothing is written: a damaged bank is only reported in
// damagedBank (0 or 1; -1 when none) and the record stays unchecked, so the
// next selection that may repair it does.
int RecoverFirmwareBanks(RunWindow& window, const char* path, std::uint8_t chipType,
                         std::uint32_t& recoveryChecked, bool repair = true,
                         int* damagedBank = nullptr);

}  // namespace program
