// RefreshBtnClick: rebuilds the device table and DeviceList from discovery,
// listing every device whose chip is recognised (and, for the storage
// controllers, the bridges behind them as companion entries), then shows the
// first entry.
#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "window/main_window.h"
#include "scsi/ata_commands.h"
#include "scsi/chip_commands.h"
#include "scsi/discovery.h"
#include "identify/chip_classify.h"
#include "identify/device_identify.h"

namespace app {

namespace {

void CopyPath(char (&dst)[257], const char* src) {
  std::strncpy(dst, src, sizeof dst - 1);
  dst[sizeof dst - 1] = '\0';
}

void FillRecord(device::DeviceRecord& record, const char* path, device::BusKind bus) {
  record = device::DeviceRecord{};
  CopyPath(record.path, path);
  record.bus = bus;
}

}  // namespace

void MainWindow::RefreshBtnClick(Control&) {
  // The 16 discovery slots, zero-filled and released on every way out.
  struct Slots {
    device::PathTable table;
  };
  auto slots = std::make_unique<Slots>();
  device::BusKind buses[device::kMaxDevices] = {};
  const int disks = device::EnumDiskDevices(slots->table, true, buses);
  const int cdroms = device::EnumCdromDevices(slots->table, disks, true, buses);
  int total = disks + cdroms;
  if (total > device::kMaxDevices) total = device::kMaxDevices;  // the enumerators stop at 16
  deviceCount = total;

  if (total == 0) {
    ListNoDevice();
    return;
  }

  DeviceList.Clear();
  std::string entryName;
  // Which records stand for a CD-ROM-class device: they carry the vendor-mode
  // mark, wherever skipped devices and companion entries put them.
  bool cdromRecord[device::kMaxDevices] = {};
  int s = 0;
  for (int i = 0; i < total; ++i) {
    char* path = slots->table[i];
    // The bus discovery found (from the platform, or the path as it was spelt).
    const device::BusKind bus = buses[i];
    for (char* p = path; *p != '\0'; ++p)
      *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));

    std::uint8_t inquiry[40] = {};
    if (device::Inquiry(path, inquiry, sizeof inquiry).ok())
      entryName = identify::InquiryEntryName(inquiry);  // a failure keeps the previous name

    // The table is full: a device beyond it can be neither listed nor reached.
    if (s >= device::kMaxDevices) continue;
    if (!ListDevice(s, path, bus, entryName)) continue;  // the next device takes record s
    cdromRecord[s] = i >= disks;
    const int own = s++;
    AddCompanionEntries(own, entryName, s);
  }
  recordCount = s;

  // The CD-ROM-class records carry the vendor-mode mark.
  for (int k = 0; k < s; ++k) {
    if (!cdromRecord[k]) continue;
    devices[k].vendorModeFlag = 1;
    device::EnterVendorMode(devices[k].path);
  }
  DeviceList.SetEnabled(true);
  DeviceList.SetItemIndex(0);
  UpdateBtnCheck(DeviceList);
}

void MainWindow::ListNoDevice() {
  recordCount = 0;
  DeviceList.Clear();
  DeviceList.Add(kNoAvailableDevice);
  DeviceList.SetItemIndex(0);
  DeviceList.SetEnabled(false);
  ClearDeviceFields();
  FlashTypeList.SetEnabled(false);
  A1ChipCheck.SetEnabled(false);
  NVRAMCheck.SetVisible(false);
  TXV929HDDFwChk.SetVisible(false);
}

bool MainWindow::ListDevice(int s, const char* path, device::BusKind bus,
                            const std::string& entryName) {
  device::DeviceRecord& record = devices[s];
  FillRecord(record, path, bus);
  device::EnterVendorMode(record.path);

  const identify::Identification id = identify::IdentifyChip(record.path);
  chip.chipType = id.chip.type;
  chip.chipSubCode = id.chip.subCode;
  if (id.chipInfoFailed) Message(identify::kChipInfoFailText, "Error", ui::Icon::Error);
  if (TypeOf(chip) == device::ChipType::None) return false;  // not listed

  device::GetDriveLetters(record.path, record.driveLetters);
  diskLabel.SetText(record.bus == device::BusKind::Ieee1394 ? "1394 DISK" : "USB DISK");
  DeviceList.Add(identify::EntryPrefix(record.bus) + entryName);
  return true;
}

void MainWindow::AddCompanionEntries(int own, const std::string& entryName, int& s) {
  auto addCompanion = [&](const char* prefix, bool is847) {
    if (s >= device::kMaxDevices) return;
    device::DeviceRecord& companion = devices[s];
    FillRecord(companion, devices[own].path, devices[own].bus);
    std::memcpy(companion.driveLetters, devices[own].driveLetters, sizeof companion.driveLetters);
    companion.companion847 = is847 ? 1 : 0;
    companion.companion842 = is847 ? 0 : 1;
    DeviceList.Add(prefix + entryName);
    ++s;
  };
  if (TypeOf(chip) == device::ChipType::Txv929 && device::MatchChipProductId(devices[own].path, "4847") != 0)
    addCompanion("<<847>> ", true);
  if ((TypeOf(chip) == device::ChipType::Txv961 || TypeOf(chip) == device::ChipType::Txv929) &&
      device::MatchChipProductId(devices[own].path, "4842") != 0)
    addCompanion("<<842>> ", false);
}

}  // namespace app
