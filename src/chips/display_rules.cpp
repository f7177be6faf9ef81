#include "chips/display_rules.h"

#include <cstdio>
#include <cstring>

namespace identify {

DisplayGroup DisplayGroupOf(int chipType) {
  using enum ChipType;
  switch (device::AsChipType(chipType)) {
    case Tx40775: case Tx40777: case Tx40779: case Txr842: case Txr843: case Txr845: case Txr846: case Txr847:
    case Txv961: case Txv929: case Txv927: case Txr659: case Tx40779E:
      return DisplayGroup::SerialFlash;
    case Tx40769: case Txr649:
      return DisplayGroup::ParameterBlock;
    case Tx40776: case Tx40776Rom:
      return DisplayGroup::ParallelFlash;
    case Txv929With847: case Txv961With842: case Txv929With842:
      return DisplayGroup::BridgeBehindController;
    default:
      return DisplayGroup::Unsupported;
  }
}

FlashBranch FlashBranchOf(ChipIdentity chip, bool ieee1394) {
  using enum ChipType;
  switch (device::AsChipType(chip.type)) {
    case Txr847: case Tx40779E:
      return FlashBranch::JedecConfig;
    case Txr659:
      return chip.subCode > 2 ? FlashBranch::JedecConfig : FlashBranch::ProbeParts;
    case Txr845: case Txr846: case Txv961: case Txv929: case Txv927:
      return FlashBranch::ReportedType;
    case Txr843:
      return ieee1394 ? FlashBranch::ReportedType : FlashBranch::ProbeParts;
    case Tx40775: case Tx40777: case Tx40779: case Txr842:
      return FlashBranch::ProbeParts;
    default:
      return FlashBranch::None;
  }
}

bool ReportedTypeChecksFlash(ChipIdentity chip) {
  const ChipType type = device::AsChipType(chip.type);
  return (type == ChipType::Txv961 && chip.subCode >= 5) || device::IsBankChip(chip.type);
}

bool ShowsNvramCheck(int chipType) {
  using enum ChipType;
  switch (device::AsChipType(chipType)) {
    case Txr842: case Txr845: case Txr846: case Txr847: case Txv961: case Txv929: case Txv927:
    case Txv929With847: case Txv961With842: case Txv929With842:
      return true;
    default:
      return false;
  }
}

namespace {

// The flash controls: the serial-flash type label, the parallel-flash type
// list with its label and the A1 box, and the firmware version.
void SetFlashControls(ControlPlan& plan, Vis serialType, Vis parallelType, Vis version) {
  plan.sFlashTypeLabel = serialType;
  plan.flashTypeList = parallelType;
  plan.flashTypeLabel = parallelType;
  plan.a1ChipCheck = parallelType;
  plan.fwVersionEdit = version;
}

void HideAllForUnsupported(ControlPlan& plan) {
  SetFlashControls(plan, Vis::Hide, Vis::Hide, Vis::Hide);
  plan.status = kNotSupportedStatus;
}

}  // namespace

ControlPlan PlanControls(ChipIdentity chip, bool ieee1394, int bridgeVersion) {
  ControlPlan plan;
  plan.group = DisplayGroupOf(chip.type);
  switch (plan.group) {
    case DisplayGroup::SerialFlash:
      plan.branch = FlashBranchOf(chip, ieee1394);
      SetFlashControls(plan, Vis::Show, Vis::Hide, Vis::Show);
      // The reported-type branch offers the HDD-hosted firmware option.
      plan.hddFwCheck = plan.branch == FlashBranch::ReportedType ? Vis::Show : Vis::Hide;
      plan.resetFlashProbes = true;
      plan.showNvramCheck = ShowsNvramCheck(chip.type);
      break;
    case DisplayGroup::ParameterBlock:
      if (bridgeVersion == 0) break;  // nothing read: the controls keep their state
      if (bridgeVersion >= kMinSupportedBridgeVersion) {
        SetFlashControls(plan, Vis::Hide, Vis::Hide, Vis::Show);
      } else {
        HideAllForUnsupported(plan);
      }
      break;
    case DisplayGroup::ParallelFlash:
      SetFlashControls(plan, Vis::Hide, Vis::Show, Vis::Show);
      break;
    case DisplayGroup::BridgeBehindController:
      SetFlashControls(plan, Vis::Show, Vis::Hide, Vis::Show);
      plan.hddFwCheck = Vis::Hide;
      plan.resetFlashProbes = true;
      plan.showNvramCheck = true;
      break;
    case DisplayGroup::Unsupported:
      HideAllForUnsupported(plan);
      break;
  }
  return plan;
}

int BridgeVersionFromParameters(bool readOk, const std::uint8_t* block20) {
  if (!readOk || block20 == nullptr) return 0;
  int version = block20[8];
  if (version == 0xAB && block20[18] >= 0xD2) version = block20[18];
  return version;
}

const char* FailedVersionText(int chipType) {
  using enum ChipType;
  const ChipType type = device::AsChipType(chipType);
  if (type == None) return "00.00";
  if (type == Tx40775 || type == Tx40776 || type == Tx40779) return "02.00";
  return "01.00";
}

bool HasChipInfoSignature(const std::uint8_t* block) {
  return block != nullptr && block[0] == 0xF4 && block[1] == 0xE7;
}

namespace {

std::string Printf(const char* format, int a, int b, int c = 0, int d = 0, int e = 0) {
  char text[64];
  std::snprintf(text, sizeof text, format, a, b, c, d, e);
  return text;
}

}  // namespace

std::string FormatVersion(int chipType, const std::uint8_t* info16, std::uint32_t transferred,
                          const VersionExtras& extras) {
  // Only what the device transferred counts; the rest of the buffer is clear.
  std::uint8_t I[16] = {};
  std::memcpy(I, info16, transferred < 16 ? transferred : 16);

  std::string v = transferred > 12 ? Printf("%d.%.2d.%.2d", I[12], I[13], I[14])
                                   : Printf("%d.%.2d", I[6], I[7]);
  using enum ChipType;
  switch (device::AsChipType(chipType)) {
    case Txr845: case Txr846:
      return Printf("%d.%.2d.%.2d.%.2d.%.2d", I[6], I[7], I[12], I[13], I[14]);
    case Txv961: {
      std::uint8_t x = I[14];
      if (extras.bit506AProbe) x ^= 0x01;
      return Printf("%d.%.2d.%.2d.%.2d.%.2d", I[6], I[7], I[12], I[13],
                    static_cast<std::int8_t>(x));
    }
    case Txr847:
      return Printf("%.2d.%.2d.%.2d.%.2d.%.2d", I[10], I[11], I[12], I[13], I[14]);
    case Txv929: case Txv927:
      return Printf("%.2d.%.2d.%.2d.%.2d", I[12], I[13], I[14], I[15]);
    case Txv929With847: case Txv961With842: case Txv929With842: {
      const std::uint8_t* c = extras.controllerInfo;
      if (!HasChipInfoSignature(c)) return v;
      if (device::AsChipType(chipType) == Txv929With847) return Printf("%.2d.%.2d.%.2d.%.2d.%.2d", c[10], c[11], c[12], c[13], c[14]);
      return Printf("%.2d.%.2d.%.2d", c[8], c[9], c[10]);
    }
    default:
      return v;
  }
}

VersionDisplay DecideVersionDisplay(int chipType, bool readOk, const std::uint8_t* info16,
                                    std::uint32_t transferred, const VersionExtras& extras) {
  VersionDisplay shown;
  if (!readOk || info16 == nullptr) {
    shown.text = FailedVersionText(chipType);
    return shown;
  }
  // A block shorter than its signature cannot carry it.
  if (transferred < 2 || !HasChipInfoSignature(info16)) {
    shown.status = kNotChipStatus;
    return shown;
  }
  shown.text = FormatVersion(chipType, info16, transferred, extras);
  shown.needsReleaseCheck = true;
  return shown;
}

}  // namespace identify
