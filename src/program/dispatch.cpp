#include "program/dispatch.h"

#include <cstring>


namespace program {

namespace {
bool IsOneOf(int value, std::initializer_list<int> set) {
  for (int v : set)
    if (v == value) return true;
  return false;
}
}  // namespace

Procedure SelectProcedure(const ChipState& facts, const RunOptions& options, device::BusKind bus,
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
  if (type == 7 && bus == device::BusKind::Ieee1394) return Procedure::Ieee1394BridgeFlash;
  if (IsOneOf(type, {1, 3, 4, 7, 17, 19}))
    return facts.sstJedecFlag != 0 ? Procedure::SstSerialFlash : Procedure::StandardSerialFlash;
  if (type == 2 || type == 24) return Procedure::InternalRomParallelFlash;
  if (type == 13 || type == 14 || type == 15) return Procedure::BridgeBehindController;
  if (type == 18 || (type == 5 && facts.bridgeVersion >= 208)) return Procedure::DiskAreaFirmware;
  return Procedure::None;
}

}  // namespace program
