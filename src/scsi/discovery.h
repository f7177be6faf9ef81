// Finding candidate enclosures: disk and CD-ROM interfaces of USB
// mass-storage (and, on request, IEEE 1394 SBP-2) devices, their drive
// letters, and the vendor-mode pair the refresh and the exit send.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scsi/device_record.h"
#include "scsi/command_result.h"

namespace device {

// Fill slots from 0 (disk) or firstSlot (CD-ROM) on; return how many were
// stored. Never writes past slot 15; a path longer than 255 characters is
// skipped rather than cut, since a cut path would open some other device.
// buses (kMaxDevices entries), when given, receives each stored slot's bus.
int EnumDiskDevices(PathTable& table, bool include1394, BusKind* buses = nullptr);
int EnumCdromDevices(PathTable& table, int firstSlot, bool include1394,
                     BusKind* buses = nullptr);

// Whether a path names a candidate (case-sensitive, as the platform spells it).
bool IsCandidatePath(const char* path, bool include1394);
// The bus a path names, as the platform spells it (case-sensitive): an SBP-2
// path is IEEE 1394, a USB mass-storage path USB, anything else Other.
BusKind BusKindOfPath(const char* path);

// Fills letters (15 bytes) with the upper-case letters of the device's
// volumes; leaves it untouched when the device number cannot be read.
void GetDriveLetters(const char* path, char* letters);

// Where the platform shows volumes by mount point: true, with the mount
// points of the device's volumes (none when its number cannot be read).
// False where volumes are drive letters.
bool GetMountPoints(const char* path, std::vector<std::string>& mounts);

Result EnterVendorMode(const char* path);
Result LeaveVendorMode(const char* path);

}  // namespace device
