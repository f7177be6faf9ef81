#include "engine/dispatch.h"

#include <cstring>

#include "chips/flash_kind.h"


namespace program {

namespace {
bool IsOneOf(ChipType value, std::initializer_list<ChipType> set) {
  for (ChipType v : set)
    if (v == value) return true;
  return false;
}
}  // namespace

Procedure SelectProcedure(const ChipState& facts, const RunOptions& options, device::BusKind bus,
                          const DispatchChecks& checks) {
  using enum ChipType;
  const ChipType type = TypeOf(facts);
  const bool unknownFlash = device::IsKind(facts.flashTypeCode, device::FlashKind::Unknown);
  if (unknownFlash && type == Tx40779E) return Procedure::DiskAreaFirmware;
  if (IsOneOf(type, {Txv929, Txv927}) && (options.hddFwChecked || unknownFlash))
    return Procedure::HddHostedFirmware;
  if (type == Txr847 && !options.eraseOnlyChecked && !options.backupOnlyChecked &&
      !(checks.imageFitsFlash && checks.imageFitsFlash()))
    return Procedure::RefusedImageTooLarge;
  if (type == Txr847 && device::IsKind(facts.flashTypeCode, device::FlashKind::Sst))
    return Procedure::SstSerialFlash;
  if (IsOneOf(type, {Txr842, Txr847})) return Procedure::NvramPage16K;
  if (IsOneOf(type, {Txr845, Txr846})) return Procedure::BlockCommandFlash;
  if (type == Txv961) {
    const bool mode505E = checks.chipMode505E && checks.chipMode505E();
    if (!mode505E && facts.chipSubCode < 5) return Procedure::NvramPage16K;
    if (facts.sstJedecFlag != 0) return Procedure::SstSerialFlash;
    return Procedure::BlockCommandFlash;
  }
  if (IsOneOf(type, {Txv929, Txv927})) return Procedure::BlockCommandFlash;
  if (type == Txr843 && bus == device::BusKind::Ieee1394) return Procedure::Ieee1394BridgeFlash;
  if (IsOneOf(type, {Tx40775, Tx40777, Tx40779, Txr843, Txr659, Tx40779E}))
    return facts.sstJedecFlag != 0 ? Procedure::SstSerialFlash : Procedure::StandardSerialFlash;
  if (IsOneOf(type, {Tx40776, Tx40776Rom})) return Procedure::InternalRomParallelFlash;
  if (IsOneOf(type, {Txv929With847, Txv961With842, Txv929With842}))
    return Procedure::BridgeBehindController;
  if (type == Txr649 || (type == Tx40769 && facts.bridgeVersion >= 208))
    return Procedure::DiskAreaFirmware;
  return Procedure::None;
}

}  // namespace program
