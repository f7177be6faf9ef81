#include "identify/run_enabling.h"

#include "identify/image_checks.h"

namespace identify {

namespace {

const Notice kOpenErrorNotice{kOpenFirmwareFileError, "Error", false};

// The file is read once, into memory; the match check judges those bytes.
// A file that could not be read whole is checked as it is (an open failure,
// or one too long to program).
CheckResult MatchOfRead(const ImageFingerprint& print, ChipIdentity chip) {
  if (!print.bytes) return CheckImageMatchesChip(print.fileName, chip);
  CheckResult result;
  result.accepted = ExplainImageMatch({print.bytes->data(), print.bytes->size()}, chip).accepted;
  return result;
}

}  // namespace

RunDecision RunAfterSelectionChange(const RunInputs& in) {
  RunDecision d;
  if (in.deviceCount == 0 || !in.deviceListEnabled) return d;
  if (!in.fileName.empty()) {
    d.checkedImage = FingerprintImageFile(in.fileName);
    const CheckResult check = MatchOfRead(*d.checkedImage, in.chip);
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
    const CheckResult check = MatchOfRead(*d.checkedImage, in.chip);
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
  const auto summed = [&] {
    if (!in.checkedImage || in.checkedImage->fileName != in.fileName || !in.checkedImage->bytes)
      return VerifyImageChecksum(in.fileName, in.chip);
    const ImageBytes bytes{in.checkedImage->bytes->data(), in.checkedImage->bytes->size()};
    return NvramMarkerOffset(bytes, in.chip.type).has_value() ||
           ExplainChecksum(bytes).state == ChecksumState::Matches;
  };
  if (in.checksumChecked && !summed()) {
    d.notices.push_back({kChecksumNoticeText, nullptr, false});
    d.run = RunEffect::Disable;
    return d;
  }
  d.run = RunEffect::Enable;
  return d;
}

}  // namespace identify
