// UpdateBtnCheck: identification of the selected entry, Run enabling by the
// image check, the chip's name, flash part and family controls, and the
// firmware version. LoadBtnClick: choosing the image file.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "window/control_enabling.h"
#include "window/main_window.h"
#include "scsi/chip_commands.h"
#include "chips/names.h"
#include "identify/device_identify.h"

namespace app {

namespace {

void Apply(Control& control, identify::Vis vis, bool enableWhenShown = false) {
  if (vis == identify::Vis::Keep) return;
  const bool show = vis == identify::Vis::Show;
  control.SetVisible(show);
  if (enableWhenShown && show) control.SetEnabled(true);
}

std::string Letters(const device::DeviceRecord& record) {
  return std::string(record.driveLetters, strnlen(record.driveLetters, sizeof record.driveLetters));
}

}  // namespace

void MainWindow::UpdateBtnCheck(Control&) {
  NVRAMCheck.SetVisible(false);
  flashSizeMeasured = bridgeVersionRead = false;
  damagedBank = -1;
  // Nothing is known of this selection until it has been read again.
  chip.unreadFacts = device::kAllFacts;
  if (deviceCount == 0) return;

  // Text typed into the list, or a refresh that recognised nothing, leaves no
  // entry selected: no record is addressed and nothing can be run.
  const int selected = DeviceList.itemIndex();
  if (selected < 0 || selected >= recordCount) {
    chip.chipType = device::Code(device::ChipType::None);
    chip.chipSubCode = 0;
    ClearDeviceFields();
    return;
  }
  const device::DeviceRecord& record = devices[selected];
  const identify::Identification id = IdentifySelectedEntry(record);
  const identify::ChipIdentity identity{chip.chipType, chip.chipSubCode};

  // Enable or disable Run for the new selection. Its boxes wait until the
  // window shows the chip they are about.
  identify::RunDecision decision = identify::RunAfterSelectionChange(RunInputsOf(*this));
  const std::vector<identify::Notice> notices = std::exchange(decision.notices, {});
  ApplyRunDecision(*this, decision);

  // Clear what the previous selection showed and name the chip.
  StatusEdit.SetText("");
  SFlashTypeLable.SetText("");
  FwVerLableEdit.SetText("");
  ChipLabelEdit.SetText(identify::ChipName(chip.chipType));

  const bool sbp2 = record.bus == device::BusKind::Ieee1394;
  ShowFamilyControls(record.path, identity, sbp2);
  IdentifySelectedFlash(selected, identity, sbp2);
  ShowFirmwareVersion(record.path);

  // The drive letters of the selected device.
  DiskLetterLable.SetText(Letters(record));

  if (id.chipInfoFailed) Message(identify::kChipInfoFailText, "Error", ui::Icon::Error);
  ShowNotices(*this, notices);
}

identify::Identification MainWindow::IdentifySelectedEntry(const device::DeviceRecord& record) {
  // Identify the selected entry again: the device may have changed since the refresh.
  const identify::Identification id = identify::IdentifyChip(record.path);
  chip.chipType = static_cast<std::uint8_t>(identify::ApplyCompanionRule(
      id.chip.type, record.companion847 != 0, record.companion842 != 0));
  chip.chipSubCode = id.chip.subCode;
  if (!id.identityUnread) chip.unreadFacts &= ~device::kFactChipIdentity;
  return id;
}

void MainWindow::ShowFamilyControls(const char* path, const identify::ChipIdentity& identity,
                                    bool sbp2) {
  int version = 0;
  if (identify::DisplayGroupOf(chip.chipType) == identify::DisplayGroup::ParameterBlock) {
    std::uint8_t block[20] = {};
    const int yield = device::ReadChipParameters(path, block, sizeof block);
    version = identify::BridgeVersionFromParameters(yield != 0, block);
    if (version != 0) chip.bridgeVersion = version;
    bridgeVersionRead = version != 0;
    if (bridgeVersionRead) chip.unreadFacts &= ~device::kFactBridgeVersion;
  }
  const identify::ControlPlan plan = identify::PlanControls(identity, sbp2, version);
  Apply(SFlashTypeLable, plan.sFlashTypeLabel);
  Apply(FwVerLableEdit, plan.fwVersionEdit);
  Apply(FlashTypeList, plan.flashTypeList, true);
  Apply(FlashTypeLabel, plan.flashTypeLabel);
  Apply(A1ChipCheck, plan.a1ChipCheck, true);
  Apply(TXV929HDDFwChk, plan.hddFwCheck);
  if (plan.showNvramCheck) {
    NVRAMCheck.SetVisible(true);
    NVRAMCheck.SetChecked(chip.includeNvram != 0);
  }
  if (plan.status != nullptr) StatusEdit.SetText(plan.status);
}

void MainWindow::IdentifySelectedFlash(int selected, const identify::ChipIdentity& identity,
                                       bool sbp2) {
  identify::FlashState flash;
  static_cast<device::ChipState&>(flash) = chip;
  identify::FlashCommands commands = identify::DeviceFlashCommands(devices[selected].path);
  // Chip types 12 and 16: the setup has sized the flash when it asks for the
  // bank repair, which then works with what the setup found so far.
  commands.recoverFirmwareBanks = [&] {
    chip = flash;
    RepairFirmwareBanks(selected, flash.eraseGeometryRow);
  };
  identify::RunFlashSetup(commands, identity, sbp2, flash);
  chip = flash;
  flashSizeMeasured = device::FactsRead(chip, device::kFactFlashSize);
  if (!flash.flashLabel.empty()) SFlashTypeLable.SetText(flash.flashLabel);
  if (flash.eraseGeometryRow >= 0) {
    const identify::FlashTypeRow& row = identify::FlashTypeRowFor(flash.eraseGeometryRow);
    eraseGeometry.eraseBlockSize = row.eraseBlockSize;
    eraseGeometry.eraseSectorSize = row.eraseSectorSize;
  }
}

void MainWindow::ShowFirmwareVersion(const char* path) {
  const identify::VersionDisplay shown = identify::ReadFirmwareVersion(path, chip.chipType);
  if (shown.status != nullptr) StatusEdit.SetText(shown.status);
  std::string text = shown.text;
  if (shown.needsReleaseCheck &&
      identify::IsReleaseFirmware(path, chip.chipType, text, chip.flashTypeCode) ==
          identify::FirmwareBuild::Internal)
    text = identify::kInternalCodeText;
  FwVerLableEdit.SetText(text);
}

void MainWindow::LoadBtnClick(Control&) {
  StatusEdit.SetText("");
  if (OpenDialog1.initialDir.empty()) OpenDialog1.initialDir = ws_.ProgramFolder();
  if (!OpenDialog1.Execute(ws_)) return;
  if (FwFilenameEdit.text() != OpenDialog1.fileName || FwFilenameEdit.typing()) {
    // The change of the name runs UpdateBtnCheck with the image check; so
    // does the name the user had typed but not yet finished.
    FwFilenameEdit.SetText(OpenDialog1.fileName);
  } else if (!checkedImage || *checkedImage != identify::FingerprintImageFile(OpenDialog1.fileName)) {
    // The same name chosen again for a file that changed since its check:
    // it is checked again as a new file would be.
    ApplyRunDecision(*this, identify::RunAfterSelectionChange(RunInputsOf(*this)));
  }
  ApplyRunDecision(*this, identify::RunAfterLoad(RunInputsOf(*this)));
}

void MainWindow::ClearDeviceFields() {
  UpdateBtn.SetEnabled(false);
  ChipLabelEdit.SetText("");
  DiskLetterLable.SetText("");
  FwVerLableEdit.SetText("");
  SFlashTypeLable.SetText("");
  StatusEdit.SetText("");
}

}  // namespace app
