#include "identify/display_rules.h"

#include <cstdio>
#include <cstring>

namespace identify {

DisplayGroup DisplayGroupOf(int chipType) {
  switch (chipType) {
    case 1: case 3: case 4: case 6: case 7: case 8: case 9: case 10:
    case 11: case 12: case 16: case 17: case 19:
      return DisplayGroup::SerialFlash;
    case 5: case 18:
      return DisplayGroup::ParameterBlock;
    case 2: case 24:
      return DisplayGroup::ParallelFlash;
    case 13: case 14: case 15:
      return DisplayGroup::BridgeBehindController;
    default:
      return DisplayGroup::Unsupported;
  }
}

FlashBranch FlashBranchOf(ChipIdentity chip, bool ieee1394) {
  switch (chip.type) {
    case 10: case 19:
      return FlashBranch::JedecConfig;
    case 17:
      return chip.subCode > 2 ? FlashBranch::JedecConfig : FlashBranch::ProbeParts;
    case 8: case 9: case 11: case 12: case 16:
      return FlashBranch::ReportedType;
    case 7:
      return ieee1394 ? FlashBranch::ReportedType : FlashBranch::ProbeParts;
    case 1: case 3: case 4: case 6:
      return FlashBranch::ProbeParts;
    default:
      return FlashBranch::None;
  }
}

bool ReportedTypeChecksFlash(ChipIdentity chip) {
  return (chip.type == 11 && chip.subCode >= 5) || chip.type == 12 || chip.type == 16;
}

bool ShowsNvramCheck(int chipType) {
  switch (chipType) {
    case 6: case 8: case 9: case 10: case 11: case 12: case 16:
    case 13: case 14: case 15:
      return true;
    default:
      return false;
  }
}

namespace {

void HideAllForUnsupported(ControlPlan& plan) {
  plan.sFlashTypeLabel = Vis::Hide;
  plan.flashTypeList = Vis::Hide;
  plan.flashTypeLabel = Vis::Hide;
  plan.a1ChipCheck = Vis::Hide;
  plan.fwVersionEdit = Vis::Hide;
  plan.status = kNotSupportedStatus;
}

}  // namespace

ControlPlan PlanControls(ChipIdentity chip, bool ieee1394, int bridgeVersion) {
  ControlPlan plan;
  plan.group = DisplayGroupOf(chip.type);
  switch (plan.group) {
    case DisplayGroup::SerialFlash:
      plan.branch = FlashBranchOf(chip, ieee1394);
      plan.sFlashTypeLabel = Vis::Show;
      plan.fwVersionEdit = Vis::Show;
      plan.flashTypeList = Vis::Hide;
      plan.flashTypeLabel = Vis::Hide;
      plan.a1ChipCheck = Vis::Hide;
      // The reported-type branch offers the HDD-hosted firmware option.
      plan.hddFwCheck = plan.branch == FlashBranch::ReportedType ? Vis::Show : Vis::Hide;
      plan.resetFlashProbes = true;
      plan.showNvramCheck = ShowsNvramCheck(chip.type);
      break;
    case DisplayGroup::ParameterBlock:
      if (bridgeVersion == 0) break;  // nothing read: the controls keep their state
      if (bridgeVersion >= kMinSupportedBridgeVersion) {
        plan.sFlashTypeLabel = Vis::Hide;
        plan.flashTypeList = Vis::Hide;
        plan.flashTypeLabel = Vis::Hide;
        plan.a1ChipCheck = Vis::Hide;
        plan.fwVersionEdit = Vis::Show;
      } else {
        HideAllForUnsupported(plan);
      }
      break;
    case DisplayGroup::ParallelFlash:
      plan.sFlashTypeLabel = Vis::Hide;
      plan.flashTypeList = Vis::Show;
      plan.flashTypeLabel = Vis::Show;
      plan.a1ChipCheck = Vis::Show;
      plan.fwVersionEdit = Vis::Show;
      break;
    case DisplayGroup::BridgeBehindController:
      plan.sFlashTypeLabel = Vis::Show;
      plan.fwVersionEdit = Vis::Show;
      plan.flashTypeList = Vis::Hide;
      plan.flashTypeLabel = Vis::Hide;
      plan.a1ChipCheck = Vis::Hide;
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
  if (chipType == 0) return "00.00";
  if (chipType == 1 || chipType == 2 || chipType == 4) return "02.00";
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
  switch (chipType) {
    case 8: case 9:
      return Printf("%d.%.2d.%.2d.%.2d.%.2d", I[6], I[7], I[12], I[13], I[14]);
    case 11: {
      std::uint8_t x = I[14];
      if (extras.bit506AProbe) x ^= 0x01;
      return Printf("%d.%.2d.%.2d.%.2d.%.2d", I[6], I[7], I[12], I[13],
                    static_cast<std::int8_t>(x));
    }
    case 10:
      return Printf("%.2d.%.2d.%.2d.%.2d.%.2d", I[10], I[11], I[12], I[13], I[14]);
    case 12: case 16:
      return Printf("%.2d.%.2d.%.2d.%.2d", I[12], I[13], I[14], I[15]);
    case 13: case 14: case 15: {
      const std::uint8_t* c = extras.controllerInfo;
      if (!HasChipInfoSignature(c)) return v;
      if (chipType == 13) return Printf("%.2d.%.2d.%.2d.%.2d.%.2d", c[10], c[11], c[12], c[13], c[14]);
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
