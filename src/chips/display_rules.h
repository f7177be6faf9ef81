// Which controls a chip family shows, which flash-identification branch its
// display runs, and the version texts built from a chip-information block.
// Pure functions over what the device answered; the window applies them.
#pragma once

#include <cstdint>
#include <string>

#include "chips/names.h"
#include "texts.h"

namespace identify {

using device::DisplayGroup;
DisplayGroup DisplayGroupOf(int chipType);

using device::FlashBranch;
FlashBranch FlashBranchOf(ChipIdentity chip, bool ieee1394);

// The reported-type branch goes on to identify, size and configure the flash only for these.
bool ReportedTypeChecksFlash(ChipIdentity chip);
// The chips that keep a 4 KB NVRAM area and so show "Include 4K NVRAM".
bool ShowsNvramCheck(int chipType);

enum class Vis { Keep, Show, Hide };

// The state each family display leaves the controls in; Keep means the
// control keeps what the previous selection gave it.
struct ControlPlan {
  DisplayGroup group = DisplayGroup::Unsupported;
  FlashBranch branch = FlashBranch::None;
  Vis sFlashTypeLabel = Vis::Keep;
  Vis fwVersionEdit = Vis::Keep;
  Vis flashTypeList = Vis::Keep;  // shown also means enabled
  Vis flashTypeLabel = Vis::Keep;
  Vis a1ChipCheck = Vis::Keep;  // shown also means enabled
  Vis hddFwCheck = Vis::Keep;
  bool showNvramCheck = false;     // shown with its mark preset from includeNvram
  bool resetFlashProbes = false;   // amicFlashId = atmelFlashId = -1, sstJedecFlag = 0
  const char* status = nullptr;    // text for StatusEdit, null for none
};

// bridgeVersion matters only for the parameter-block chips (5, 18): the value
// BridgeVersionFromParameters gave, 0 when the parameter read yielded nothing
// (then every control keeps its state).
ControlPlan PlanControls(ChipIdentity chip, bool ieee1394, int bridgeVersion);

// The bridge version a 20-byte parameter block gives; 0 when the read failed
// or byte 8 is 0. Byte 8 = 0xAB defers to byte 18 when that is 0xD2 or more.
int BridgeVersionFromParameters(bool readOk, const std::uint8_t* block20);
inline constexpr int kMinSupportedBridgeVersion = 0xD0;

// Shown when the chip-information read fails.
const char* FailedVersionText(int chipType);
bool HasChipInfoSignature(const std::uint8_t* block);

// What the version step needs besides the 16-byte block.
struct VersionExtras {
  // The chips whose last field is stored inverted (VersionNeedsBitProbe):
  // ProbeChipBit506A answered true (bit 0 of the last field flips).
  bool bit506AProbe = false;
  // Bridges behind a storage controller: the block read through the
  // controller, null when that read failed.
  const std::uint8_t* controllerInfo = nullptr;
};

// The version step asks ProbeChipBit506A for this chip's last field.
bool VersionNeedsBitProbe(int chipType);

// The version text of a chip-information block of which the device
// transferred `transferred` bytes; bytes past that count read as 0 (the
// buffer starts cleared). The block must carry the signature.
std::string FormatVersion(int chipType, const std::uint8_t* info16, std::uint32_t transferred,
                          const VersionExtras& extras);

struct VersionDisplay {
  std::string text;             // for FwVerLableEdit (possibly empty)
  const char* status = nullptr; // for StatusEdit, null for none
  bool needsReleaseCheck = false;  // text is a real version: IsReleaseFirmware decides
};
VersionDisplay DecideVersionDisplay(int chipType, bool readOk, const std::uint8_t* info16,
                                    std::uint32_t transferred, const VersionExtras& extras);

}  // namespace identify
