// Identification against a real device path: the device-free rules of this
// folder fed by the device commands. Each function sends only the commands
// its rule needs and shows nothing; the window decides what to display.
#pragma once

#include <cstdint>
#include <string>

#include "identify/chip_classify.h"
#include "chips/display_rules.h"
#include "identify/flash_id.h"
#include "identify/flash_setup.h"
#include "chips/release_rules.h"

namespace identify {

// The chip type code and sub-code of the chip behind path (INQUIRY, variant
// word, chip information, ID string, chip level). chipInfoFailed asks the
// caller for the "Get chip information fail !" box.
Identification IdentifyChip(const char* path);

// The serial flash behind the bridge, by its identification answers.
bool IdentifyFlash(const char* path, FlashDescriptor& descriptor);
// The same through a storage controller's ATA route (ends after the 0x15 read).
bool IdentifyFlashAta(const char* path, FlashDescriptor& descriptor);
// Fill descriptor.sizeKb (identifying first when it has no maker); true when
// the size was read (see ReadFlashSizeWith).
bool ReadFlashSize(const char* path, FlashDescriptor& descriptor, bool* answered = nullptr);
bool ReadFlashSizeAta(const char* path, FlashDescriptor& descriptor);

// Internal when the version text must show as "Internal code".
FirmwareBuild IsReleaseFirmware(const char* path, int chipType, const std::string& version,
                                int flashTypeCode);

// Whether chip memory 0x506A keeps a written 0 in bit 0 as 1 (the chips whose
// last version field is stored inverted). A probe that wrote always puts the
// byte it read back; one that could not read it writes nothing.
bool ProbeChipBit506A(const char* path);

// The flash commands of the family display, bound to path. The bank recovery
// is left empty for the caller to fill.
FlashCommands DeviceFlashCommands(const char* path);

// The version step: chip information (16 bytes), with the 0x506A probe for
// chip type 11 and the controller's block for 13, 14 and 15, then the texts.
VersionDisplay ReadFirmwareVersion(const char* path, int chipType);

}  // namespace identify
