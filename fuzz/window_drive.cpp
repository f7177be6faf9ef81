#include "window_drive.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "window/headless_view.h"
#include "window/main_window.h"
#include "chips/names.h"
#include "sim/test_images.h"

namespace fuzzing {

const std::vector<std::string>& DriveImages() {
  static const std::vector<std::string> files = [] {
    std::vector<std::string> out;
    for (int type = 1; type <= identify::kMaxChipType; ++type) {
      sim::Image image = sim::MakeMatchingImage({static_cast<std::uint8_t>(type), 1});
      if (image.empty()) image.assign(0x8000, 0xFF);
      const std::string path = sim::TempImagePath("fuzz_image");
      if (!sim::WriteImageFile(path, image)) std::abort();
      out.push_back(path);
    }
    return out;
  }();
  return files;
}

namespace {

const std::string& BackupFile() {
  static const std::string path = sim::TempImagePath("fuzz_backup");
  return path;
}

// At most this many entries are driven: each run can be long.
constexpr std::size_t kMaxEntries = 6;

}  // namespace

void DriveWindow(std::uint8_t options) {
  const std::vector<std::string>& images = DriveImages();
  app::HeadlessView view;
  std::unique_ptr<app::MainWindow> w = app::StartMainWindow(view);
  view.ProcessMessages();
  if (w->DeviceList.enabled()) {
    const std::size_t count = std::min(w->DeviceList.items().size(), kMaxEntries);
    for (std::size_t i = 0; i < count && i < w->DeviceList.items().size(); ++i) {
      w->DeviceList.UserSelect(static_cast<int>(i));
      view.ProcessMessages();
      if (w->FwFilenameEdit.enabled())
        w->FwFilenameEdit.SetText(images[((options & 0x1F) + i) % images.size()]);
      if ((options & 0x80) != 0) {
        w->RdCheckBox.SetChecked(true);
        if (w->BackupFWCheckBox.Showing() && w->BackupFWCheckBox.enabled())
          w->BackupFWCheckBox.SetChecked(true);
        if (w->BackupFileEdit.Showing() && w->BackupFileEdit.enabled())
          w->BackupFileEdit.SetText(BackupFile());
      }
      view.ProcessMessages();
      if (w->UpdateBtn.enabled()) {
        w->UpdateBtn.Click();
        view.ProcessMessages();
      }
    }
  }
  w->ExitBtn.Click();
  view.ProcessMessages();
}

}  // namespace fuzzing
