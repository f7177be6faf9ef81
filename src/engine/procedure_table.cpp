#include "engine/procedure_table.h"

#include <array>

#include "chips/chip_types.h"
#include "scsi/change_gate.h"
#include "engine/image_file.h"
#include "engine/procedure_verbs.h"

namespace program {

namespace {

int RefuseImageTooLarge(RunWindow& window, const char*) {
  window.Message(kImageTooLarge, kCaptionMessage, MessageIcon::None);
  return kProcedureRefused;
}

const char* PowerCycleNotice(RunMode mode, const ChipState&) {
  return mode == RunMode::BackupOnly ? nullptr : kPowerCycle;
}
// The programming run's box has its own spacing.
const char* StandardSerialNotice(RunMode mode, const ChipState& facts) {
  return mode == RunMode::Program ? kPowerCycleSpaced : PowerCycleNotice(mode, facts);
}
// The chip was sent its reset: it leaves the bus and comes back by itself.
const char* AutoResetNotice(RunMode mode, const ChipState&) {
  return mode == RunMode::BackupOnly ? nullptr : kAutoReset;
}
// A bank chip resets itself; the others need a power cycle.
const char* BlockNotice(RunMode mode, const ChipState& facts) {
  return device::IsBankChip(facts.chipType) ? AutoResetNotice(mode, facts)
                                             : PowerCycleNotice(mode, facts);
}

constexpr std::array kRows = {
    ProcedureRow{Procedure::None, "none", nullptr, nullptr, nullptr},
    ProcedureRow{Procedure::RefusedImageTooLarge, "image too large", &RefuseImageTooLarge,
                 &RefuseImageTooLarge, &RefuseImageTooLarge},
    ProcedureRow{Procedure::DiskAreaFirmware, "disk-area firmware", &ProgramDiskAreaFirmware,
                 &EraseDiskAreaFirmware, &BackupDiskAreaFirmware, ModeSource::RdVersion,
                 &PowerCycleNotice},
    ProcedureRow{Procedure::HddHostedFirmware, "HDD-hosted firmware", &ProgramHddFirmware,
                 &EraseHddFirmware, &BackupHddFirmware, ModeSource::RdVersion, &AutoResetNotice},
    ProcedureRow{Procedure::SstSerialFlash, "SST serial flash", &ProgramSstSerialFlash,
                 &EraseSstSerialFlash, &BackupSstSerialFlash, ModeSource::RdVersion,
                 &PowerCycleNotice},
    ProcedureRow{Procedure::NvramPage16K, "NVRAM-preserving 16 KB pages", &ProgramNvramPage16K,
                 &EraseNvramPage16K, &BackupNvramPage16K, ModeSource::RdVersion,
                 &PowerCycleNotice},
    ProcedureRow{Procedure::BlockCommandFlash, "block-command flash", &ProgramBlockFlash,
                 &EraseBlockFlash, &BackupBlockFlash, ModeSource::RdVersion, &BlockNotice},
    ProcedureRow{Procedure::Ieee1394BridgeFlash, "IEEE 1394 bridge flash", &ProgramIeee1394Flash,
                 &EraseIeee1394Flash, &BackupIeee1394Flash, ModeSource::RdVersion,
                 &PowerCycleNotice},
    ProcedureRow{Procedure::StandardSerialFlash, "standard serial flash",
                 &ProgramStandardSerialFlash, &EraseStandardSerialFlash,
                 &BackupStandardSerialFlash, ModeSource::RdVersion, &StandardSerialNotice},
    ProcedureRow{Procedure::InternalRomParallelFlash, "internal-ROM parallel flash",
                 &ProgramInternalRomFlash, &EraseInternalRomFlash, &BackupInternalRomFlash,
                 ModeSource::BoxesAlone, &PowerCycleNotice},
    ProcedureRow{Procedure::BridgeBehindController, "bridge behind controller",
                 &ProgramBridgeFlash, &EraseBridgeFlash, &BackupBridgeFlash,
                 ModeSource::RdVersion, &PowerCycleNotice},
};

// Rows are looked up by position: keep them in the enum's order.
constexpr bool RowsInEnumOrder() {
  for (std::size_t i = 0; i < kRows.size(); ++i)
    if (static_cast<std::size_t>(kRows[i].procedure) != i) return false;
  return true;
}
static_assert(RowsInEnumOrder(), "procedure rows out of enum order");
static_assert(kRows.size() == static_cast<std::size_t>(Procedure::BridgeBehindController) + 1,
              "a procedure without a row");

}  // namespace

std::span<const ProcedureRow> ProcedureTable() { return kRows; }

const ProcedureRow& RowOf(Procedure procedure) {
  const auto index = static_cast<std::size_t>(procedure);
  return index < kRows.size() ? kRows[index] : kRows[0];
}

RunOutcome OutcomeOf(int procedureResult) {
  if (procedureResult == kProcedureRefused) return RunOutcome::Refused;
  return procedureResult == kProcedureSucceeded ? RunOutcome::Succeeded : RunOutcome::Failed;
}

std::uint32_t FactsNeeded(Procedure procedure, const RunWindow& window) {
  const ChipState& facts = window.facts();
  const ChipType type = TypeOf(facts);
  const RunMode mode = ModeOf(RowOf(procedure), window);
  const bool programming = mode == RunMode::Program;
  const bool backup = mode == RunMode::BackupOnly;
  // The image check keyed on the sub-code, the TXV961's level picks its
  // procedure, and a backup reads the flash of the chip it was taken for.
  std::uint32_t need =
      programming || backup || type == ChipType::Txv961 ? device::kFactChipIdentity : 0;
  // A backup of a chip that reports its flash size is as long as that size.
  if (backup && device::ChipRowFor(facts.chipType).reportsFlashSize) need |= device::kFactFlashSize;
  switch (procedure) {
    case Procedure::StandardSerialFlash:
    case Procedure::SstSerialFlash:
    case Procedure::NvramPage16K:
      // The SST flag picked the procedure; the AMIC and ATMEL parts decide
      // how it erases.
      need |= device::kFactFlashPart;
      break;
    case Procedure::BlockCommandFlash:
      need |= device::kFactFlashPart;  // erase codes and geometry
      if (device::IsBankChip(facts.chipType)) need |= device::kFactFlashSize;  // one bank or two
      break;
    case Procedure::HddHostedFirmware:
      // Chosen for a flash kind of 0 unless the box asked for the disk.
      if (!window.options().hddFwChecked) need |= device::kFactFlashPart;
      break;
    case Procedure::DiskAreaFirmware:
      if (type == ChipType::Tx40779E) need |= device::kFactFlashPart;  // no serial flash found
      if (type == ChipType::Tx40769) need |= device::kFactBridgeVersion;
      break;
    case Procedure::BridgeBehindController:
      // The TXR847 tells its size; the TXR842 never does, so only its erase
      // needs one.
      if (type == ChipType::Txv929With847 || IsEraseOnlyRun(window)) need |= device::kFactFlashSize;
      break;
    default:
      break;
  }
  return need;
}

const char* MissingFactText(std::uint32_t missing) {
  if (missing & device::kFactChipIdentity)
    return kChipIdentityUnread;
  if (missing & device::kFactFlashPart) return kFlashPartUnread;
  if (missing & device::kFactFlashSize) return kFlashSizeUnread;
  return kBridgeVersionUnread;
}

RunMode ModeOf(const ProcedureRow& row, const RunWindow& window) {
  if (row.modes == ModeSource::BoxesAlone) {
    if (window.facts().eraseOnly != 0) return RunMode::EraseOnly;
    return window.options().backupOnlyChecked ? RunMode::BackupOnly : RunMode::Program;
  }
  if (IsEraseOnlyRun(window)) return RunMode::EraseOnly;
  return IsBackupOnlyRun(window) ? RunMode::BackupOnly : RunMode::Program;
}

int RunVerb(Procedure procedure, RunWindow& window, const char* path) {
  const ProcedureRow& row = RowOf(procedure);
  if (row.program == nullptr) return kProcedureFailed;
  const RunMode mode = ModeOf(row, window);
  const ProcedureVerb verb = mode == RunMode::EraseOnly    ? row.eraseOnly
                             : mode == RunMode::BackupOnly ? row.backupOnly
                                                           : row.program;
  const int result = verb(window, path);
  // The notice follows only the work done: never a failure's.
  const char* notice = row.notice != nullptr ? row.notice(mode, window.facts()) : nullptr;
  if (result == kProcedureSucceeded && notice != nullptr)
    window.Message(notice, kCaptionMessage, MessageIcon::None);
  return result;
}

RunOutcome RunProcedure(Procedure procedure, RunWindow& window, const char* path) {
  const ProcedureRow& row = RowOf(procedure);
  if (row.program == nullptr) return RunOutcome::NothingRan;
  if (ProcedureBuilt(procedure)) {
    const std::uint32_t missing = FactsNeeded(procedure, window) & window.facts().unreadFacts;
    if (missing != 0) {
      window.ShowStatus(MissingFactText(missing));
      return RunOutcome::Failed;
    }
  }
  const RunOutcome outcome = OutcomeOf(RunVerb(procedure, window, path));
  // Called off at its first change, a procedure ends on the failure of that
  // command; what it says then (an erase that failed) did not happen.
  if (device::RunCalledOff()) {
    window.ShowStatus(kInterruptedBeforeWriting);
    return RunOutcome::CalledOff;
  }
  return outcome;
}

bool IsPowerCycleNotice(const std::string& text) {
  return text == kPowerCycle ||
         text == kPowerCycleSpaced ||
         text == kAutoReset;
}

const char* ProcedureName(Procedure procedure) { return RowOf(procedure).name; }

bool ProcedureBuilt(Procedure procedure) {
  // The refusal row only shows a box: it is no procedure of its own.
  return RowOf(procedure).program != nullptr && procedure != Procedure::RefusedImageTooLarge;
}

}  // namespace program

namespace program {

const char* DefaultBackupFileOf(Procedure procedure) {
  // Keep in step with the names these procedures pass to their backup step.
  constexpr Procedure kCapitalF[] = {Procedure::BlockCommandFlash, Procedure::Ieee1394BridgeFlash,
                                     Procedure::DiskAreaFirmware, Procedure::HddHostedFirmware};
  for (const Procedure p : kCapitalF)
    if (p == procedure) return kDefaultBackupFileCapitalF;
  return kDefaultBackupFile;
}

}  // namespace program
