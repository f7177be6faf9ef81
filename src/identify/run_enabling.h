// The Run-enabling decisions that rest on the image checks: after a device
// or file change, after a click on the erase-only/backup boxes, and after a
// file is loaded. Each returns what happens to Run and which notices to show,
// in order; the window applies them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "chips/names.h"
#include "identify/image_fingerprint.h"
#include "texts.h"

namespace identify {

struct Notice {
  const char* text = nullptr;
  // "Error" or "Message"; null means the application title.
  const char* caption = nullptr;
  bool errorIcon = false;
};

enum class RunEffect { Keep, Enable, Disable };

struct RunDecision {
  RunEffect run = RunEffect::Keep;
  std::vector<Notice> notices;
  // The image file as read just before the checks that read it; Run
  // programs it only while it still reads the same.
  std::optional<ImageFingerprint> checkedImage;
};

struct RunInputs {
  int deviceCount = 0;
  bool deviceListEnabled = false;
  ChipIdentity chip;               // as identified for the selected entry
  std::string fileName;         // the text of FwFilenameEdit
  bool eraseOnlyChecked = false;
  bool backupChecked = false;
  bool checksumChecked = false;  // "Check CheckSum"
  // The file as the last checks read it, when that was fileName: a load
  // judges those bytes rather than read the file once more.
  std::optional<ImageFingerprint> checkedImage;
};

// After the selected device, the file name or the parallel-flash type changed.
// A file that cannot be opened gets the open error alone, not the mismatch too.
RunDecision RunAfterSelectionChange(const RunInputs& in);
// After a click on "Erase All Flash Only", "Backup Old Firmware Only" or the
// HDD firmware box (their states already updated); mismatches stay silent.
RunDecision RunAfterOptionClick(const RunInputs& in);
// After "Load File" put a chosen path into the file name and the selection
// change above ran: the checksum option may veto, otherwise Run is enabled
// (a loaded file is the operator's deliberate choice, also after a mismatch).
RunDecision RunAfterLoad(const RunInputs& in);

}  // namespace identify
