#include "program/dispatch.h"

#include <cstring>

#include "program/block_procedure.h"
#include "program/ieee1394_procedure.h"
#include "program/standard_serial.h"

namespace program {

namespace {
bool IsOneOf(int value, std::initializer_list<int> set) {
  for (int v : set)
    if (v == value) return true;
  return false;
}
}  // namespace

Procedure SelectProcedure(const ChipFacts& facts, const RunOptions& options, const char* path,
                          const DispatchChecks& checks) {
  const int type = facts.chipType;
  const int kind = facts.flashTypeCode;
  if (kind == 0 && type == 19) return Procedure::DiskAreaFirmware;
  if ((type == 12 || type == 16) && (options.hddFwChecked || kind == 0))
    return Procedure::HddHostedFirmware;
  if (type == 10 && !options.eraseOnlyChecked && !options.backupOnlyChecked &&
      !(checks.imageFitsFlash && checks.imageFitsFlash()))
    return Procedure::RefusedImageTooLarge;
  if (type == 10 && kind == 2) return Procedure::SstSerialFlash;
  if (type == 6 || type == 10) return Procedure::NvramPage16K;
  if (type == 8 || type == 9) return Procedure::BlockCommandFlash;
  if (type == 11) {
    const bool mode505E = checks.chipMode505E && checks.chipMode505E();
    if (!mode505E && facts.chipSubCode < 5) return Procedure::NvramPage16K;
    if (facts.sstJedecFlag != 0) return Procedure::SstSerialFlash;
    return Procedure::BlockCommandFlash;
  }
  if (type == 12 || type == 16) return Procedure::BlockCommandFlash;
  if (type == 7 && std::strstr(path, "sbp2") != nullptr) return Procedure::Ieee1394BridgeFlash;
  if (IsOneOf(type, {1, 3, 4, 7, 17, 19}))
    return facts.sstJedecFlag != 0 ? Procedure::SstSerialFlash : Procedure::StandardSerialFlash;
  if (type == 2 || type == 24) return Procedure::InternalRomParallelFlash;
  if (type == 13 || type == 14 || type == 15) return Procedure::BridgeBehindController;
  if (type == 18 || (type == 5 && facts.bridgeVersion >= 208)) return Procedure::DiskAreaFirmware;
  return Procedure::None;
}

bool RunProcedure(Procedure procedure, RunWindow& window, const char* path) {
  switch (procedure) {
    case Procedure::RefusedImageTooLarge:
      window.Message("The firmware file size is bigger than the flash size!", kCaptionMessage,
                     MessageIcon::None);
      return false;
    case Procedure::StandardSerialFlash:
      (void)RunStandardSerialFlash(window, path);
      return true;
    case Procedure::BlockCommandFlash:
      (void)BlockFlashProcedure(window, path);
      return true;
    case Procedure::Ieee1394BridgeFlash:
      (void)Ieee1394Procedure(window, path);
      return true;
    default:
      // The other families' procedures are not built yet: nothing runs.
      return true;
  }
}

bool ProcedureBuilt(Procedure procedure) {
  return procedure == Procedure::StandardSerialFlash ||
         procedure == Procedure::BlockCommandFlash || procedure == Procedure::Ieee1394BridgeFlash;
}

const char* ProcedureName(Procedure procedure) {
  switch (procedure) {
    case Procedure::None: return "none";
    case Procedure::RefusedImageTooLarge: return "image too large";
    case Procedure::DiskAreaFirmware: return "disk-area firmware";
    case Procedure::HddHostedFirmware: return "HDD-hosted firmware";
    case Procedure::SstSerialFlash: return "SST serial flash";
    case Procedure::NvramPage16K: return "NVRAM-preserving 16 KB pages";
    case Procedure::BlockCommandFlash: return "block-command flash";
    case Procedure::Ieee1394BridgeFlash: return "IEEE 1394 bridge flash";
    case Procedure::StandardSerialFlash: return "standard serial flash";
    case Procedure::InternalRomParallelFlash: return "internal-ROM parallel flash";
    case Procedure::BridgeBehindController: return "bridge behind controller";
  }
  return "?";
}

}  // namespace program
