// RefreshBtnClick: rebuilds the device table and DeviceList from discovery.
// This is the seam the chip identification plugs into: until it does, every
// discovered device is listed under its INQUIRY name, and the companion
// entries of controller chips are not made.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "app/main_window.h"
#include "device/discovery.h"
#include "device/passthrough.h"

namespace app {

namespace {

// Standard INQUIRY with allocation length 40: the entry name is the vendor
// and product text, bytes 8..31, ending early at a zero byte.
bool ReadEntryName(const char* path, std::string& name) {
  const std::uint8_t cdb[12] = {0x12, 0x00, 0x00, 0x00, 40};
  std::uint8_t data[40] = {};
  std::int32_t transferred = 0;
  if (device::ScsiPassThroughIn(path, cdb, 12, data, sizeof data, &transferred) != 1) return false;
  const char* text = reinterpret_cast<const char*>(data + 8);
  name.assign(text, strnlen(text, 24));
  return true;
}

void CopyPath(char (&dst)[257], const char* src) {
  std::strncpy(dst, src, sizeof dst - 1);
  dst[sizeof dst - 1] = '\0';
}

}  // namespace

void MainWindow::RefreshBtnClick(Control&) {
  struct Slots {
    device::PathTable table;
  };
  auto slots = std::make_unique<Slots>();  // zero-filled, released on every way out
  const int disks = device::EnumDiskDevices(slots->table, true);
  const int cdroms = device::EnumCdromDevices(slots->table, disks, true);
  const int total = std::min(disks + cdroms, device::kMaxDevices);
  deviceCount = total;

  if (total == 0) {
    DeviceList.Clear();
    DeviceList.Add("No available device!!!");
    DeviceList.SetItemIndex(0);
    DeviceList.SetEnabled(false);
    UpdateBtn.SetEnabled(false);
    ChipLabelEdit.SetText("");
    DiskLetterLable.SetText("");
    FwVerLableEdit.SetText("");
    SFlashTypeLable.SetText("");
    StatusEdit.SetText("");
    FlashTypeList.SetEnabled(false);
    A1ChipCheck.SetEnabled(false);
    NVRAMCheck.SetVisible(false);
    TXV929HDDFwChk.SetVisible(false);
    return;
  }

  DeviceList.Clear();
  std::string entryName;
  int s = 0;
  for (int i = 0; i < total && s < device::kMaxDevices; ++i) {
    char* path = slots->table[i];
    for (char* p = path; *p != '\0'; ++p)
      *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    ReadEntryName(path, entryName);  // a failure keeps the previous name
    device::DeviceRecord& record = devices[s];
    record = device::DeviceRecord{};
    CopyPath(record.path, path);
    device::EnterVendorMode(record.path);
    device::GetDriveLetters(record.path, record.driveLetters);
    const bool firewire = std::strstr(path, "sbp2") != nullptr;
    diskLabel.SetText(firewire ? "1394 DISK" : "USB DISK");
    DeviceList.Add((firewire ? "<<1394>> " : "<<USB>> ") + entryName);
    // The vendor-mode mark stays with the record of a CD-ROM-class device,
    // wherever skipped devices or companion entries put that record.
    if (i >= disks) record.vendorModeFlag = 1;
    ++s;
  }
  for (int k = 0; k < s; ++k) {
    if (devices[k].vendorModeFlag != 0) device::EnterVendorMode(devices[k].path);
  }
  DeviceList.SetEnabled(true);
  DeviceList.SetItemIndex(0);
  UpdateBtnCheck(DeviceList);
}

}  // namespace app
