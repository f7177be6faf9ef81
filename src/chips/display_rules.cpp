#include "chips/display_rules.h"

#include <cstdio>
#include <cstring>

namespace identify {

DisplayGroup DisplayGroupOf(int chipType) { return device::ChipRowFor(chipType).group; }

FlashBranch FlashBranchOf(ChipIdentity chip, bool ieee1394) {
  const device::FlashRoute& route = device::ChipRowFor(chip.type).flash;
  switch (route.when) {
    case device::BranchSwitch::SubCodeAbove2: return chip.subCode > 2 ? route.other : route.usual;
    case device::BranchSwitch::OverIeee1394: return ieee1394 ? route.other : route.usual;
    case device::BranchSwitch::Never: break;
  }
  return route.usual;
}

bool ReportedTypeChecksFlash(ChipIdentity chip) {
  return chip.subCode >= device::ChipRowFor(chip.type).flash.checksFlashFrom;
}

bool ShowsNvramCheck(int chipType) { return device::ChipRowFor(chipType).nvramArea; }

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
      plan.showNvramCheck = ShowsNvramCheck(chip.type);
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
  // A code without a row is still a chip that answered, not the unknown one.
  if (!device::HasChipRow(chipType)) return device::kDefaultFailedVersion;
  return device::ChipRowFor(chipType).failedVersion;
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
  const std::uint8_t* c = extras.controllerInfo;

  using enum device::VersionLayout;
  switch (device::ChipRowFor(chipType).version) {
    case Plain: break;
    case Bytes6To14:
      return Printf("%d.%.2d.%.2d.%.2d.%.2d", I[6], I[7], I[12], I[13], I[14]);
    case Bytes6To14Probed: {
      std::uint8_t x = I[14];
      if (extras.bit506AProbe) x ^= 0x01;
      return Printf("%d.%.2d.%.2d.%.2d.%.2d", I[6], I[7], I[12], I[13],
                    static_cast<std::int8_t>(x));
    }
    case Bytes10To14:
      return Printf("%.2d.%.2d.%.2d.%.2d.%.2d", I[10], I[11], I[12], I[13], I[14]);
    case Bytes12To15:
      return Printf("%.2d.%.2d.%.2d.%.2d", I[12], I[13], I[14], I[15]);
    case Controller10To14:
      if (!HasChipInfoSignature(c)) break;
      return Printf("%.2d.%.2d.%.2d.%.2d.%.2d", c[10], c[11], c[12], c[13], c[14]);
    case Controller8To10:
      if (!HasChipInfoSignature(c)) break;
      return Printf("%.2d.%.2d.%.2d", c[8], c[9], c[10]);
  }
  return transferred > 12 ? Printf("%d.%.2d.%.2d", I[12], I[13], I[14])
                          : Printf("%d.%.2d", I[6], I[7]);
}

bool VersionNeedsBitProbe(int chipType) {
  return device::ChipRowFor(chipType).version == device::VersionLayout::Bytes6To14Probed;
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
