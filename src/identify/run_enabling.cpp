#include "identify/run_enabling.h"

#include "identify/image_checks.h"

namespace identify {

namespace {

const Notice kOpenErrorNotice{kOpenFirmwareFileError, "Error", false};

}  // namespace

RunDecision RunAfterSelectionChange(const RunInputs& in) {
  RunDecision d;
  if (in.deviceCount == 0 || !in.deviceListEnabled) return d;
  if (!in.fileName.empty()) {
    d.checkedImage = FingerprintImageFile(in.fileName);
    const CheckResult check = CheckImageMatchesChip(in.fileName, in.chip);
    if (check) {
      d.run = RunEffect::Enable;
    } else {
      // A file that cannot be read (a folder, say) is no mismatch: one box.
      d.notices.push_back(check.openFailed ? kOpenErrorNotice
                                           : Notice{kImageMismatchText, "Message", false});
      d.run = RunEffect::Disable;
    }
  } else if (in.eraseOnlyChecked || in.backupChecked) {
    d.run = RunEffect::Enable;
  }
  return d;
}

RunDecision RunAfterOptionClick(const RunInputs& in) {
  RunDecision d;
  const bool haveChip = in.deviceCount != 0 && device::AsChipType(in.chip.type) != ChipType::None;
  bool enable = false;
  if (in.eraseOnlyChecked) {
    enable = haveChip;
  } else if (haveChip && !in.fileName.empty()) {
    d.checkedImage = FingerprintImageFile(in.fileName);
    const CheckResult check = CheckImageMatchesChip(in.fileName, in.chip);
    if (check.openFailed) d.notices.push_back(kOpenErrorNotice);
    enable = check.accepted;
  }
  // A backup needs no image.
  if (!enable && in.backupChecked) enable = true;
  d.run = enable ? RunEffect::Enable : RunEffect::Disable;
  return d;
}

RunDecision RunAfterLoad(const RunInputs& in) {
  RunDecision d;
  if (in.checksumChecked && !VerifyImageChecksum(in.fileName, in.chip)) {
    d.notices.push_back({kChecksumNoticeText, nullptr, false});
    d.run = RunEffect::Disable;
    return d;
  }
  d.run = RunEffect::Enable;
  return d;
}

}  // namespace identify
