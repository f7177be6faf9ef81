// The built-in enclosure profiles: one emulated enclosure per row, described
// as data: the bridge chip with its flash, answering the identification
// commands so that the host classifies it to the chip type code and sub-code
// the row names; on storage controllers their ATA route and the bridge behind
// them; the disk. docs/enclosure-profiles.md lists them.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/bridge_chip.h"
#include "sim/machine.h"

namespace sim {

// A bridge that sits behind a storage controller; the controller's ATA route
// reaches its serial flash. Selecting the companion entry of the front device
// gives companionType.
struct BehindBridge {
  std::string bridge;              // "TXR847" or "TXR842"
  std::uint8_t companionType = 0;  // 13, 14 or 15
  std::string flashPart;           // the behind bridge's serial flash
  int flashTypeCode = 0;           // byte 0 of the flash type block
};

struct EnclosureProfile {
  std::string name;
  std::uint8_t chipType = 0;        // the code the row stands for
  std::int8_t subCode = 0;          // the sub-code identification gives
  std::uint8_t identifiedType = 0;  // what identification of the device path yields
  std::string answers;              // what sets the code, for the documentation
  bool sbp2 = false;                // attached over IEEE 1394
  bool cdrom = false;               // attached as a CD-ROM unit
  BridgeConfig bridge;
  std::string flashPart;  // serial part of the flash catalogue; "" none
  std::optional<ParallelPartKind> parallelPart;
  // Storage controllers (codes 11, 12, 16 and the companions 13, 14, 15):
  // the information block the ATA route answers with (F4 E7; bytes 6-7 the
  // product identifier of the bridge behind it, else the controller's own).
  std::optional<std::array<std::uint8_t, 16>> controllerInfo;
  std::optional<BehindBridge> behind;
  // The disk behind the chip; sectors 0 means none.
  DiskConfig disk;
  // The area tag the disk-area queries read in the first sector past the
  // reported end (bytes 151-154, between 0x55 and 0xAA); none: blank.
  std::optional<std::uint32_t> diskAreaTag;
  bool damagedBank1 = false;  // the second firmware bank fails its check
  bool damagedBank0 = false;  // the first bank's checksum is wrong
  // The first bank is whole but names another chip (its checksum is right).
  std::string bank0ChipNumber;
};

const std::vector<EnclosureProfile>& EnclosureProfiles();
const EnclosureProfile* FindProfile(const std::string& name);

// Factory contents of a profile's flash: a firmware image with the markers
// and bank checksums the host's version and bank checks look for.
std::vector<std::uint8_t> FactoryFirmware(const EnclosureProfile& profile, std::size_t size);

struct AttachOptions {
  std::string serial;  // "" = the profile name
  std::uint32_t diskNumber = 1;
  std::vector<Volume> volumes;
  std::vector<FlashFault> flashFaults;
  std::vector<DisappearFault> disappear;
  // Protection bits the serial flash starts with; unset: the part's own
  // power-up state (FlashPart::powerUpProtection: the SST parts come up with
  // their block protection set, as the real chips do), or none when
  // powerUpProtection is cleared (a part an earlier tool left unprotected).
  std::optional<std::uint8_t> protection;
  bool powerUpProtection = true;
  // The same for the flash of the bridge behind a storage controller.
  std::vector<FlashFault> behindFlashFaults;
  std::optional<std::uint8_t> behindProtection;
  bool asCdrom = false;  // attach as a CD-ROM unit whatever the profile says
  // The busy times of the serial flash parts (the bridge's and the one behind
  // a controller): typical, or the data sheets' maximum.
  BusyTimes busyTimes = BusyTimes::Typical;
};

// Builds the profile's chip with its flash (not attached).
std::shared_ptr<BridgeChip> MakeBridge(const EnclosureProfile& profile,
                                       const AttachOptions& options = {});
// The device-interface path the profile attaches at.
std::string ProfilePath(const EnclosureProfile& profile, const std::string& serial,
                        bool asCdrom = false);
// Builds the chip, attaches it to the machine and returns it.
std::shared_ptr<BridgeChip> AttachProfile(Machine& machine, const EnclosureProfile& profile,
                                          const AttachOptions& options = {});

// The flash of the bridge behind a storage controller, with its factory
// contents, protection and faults; null when the profile has none.
std::shared_ptr<SerialFlash> MakeBehindFlash(const EnclosureProfile& profile,
                                             const AttachOptions& options = {});

// The storage-controller model: for every profile with a controller
// information block AttachProfile hands the front chip, the profile and the
// behind bridge's flash (null when nothing sits behind the controller) to the
// hook. The built-in model, InstallStorageController, is always active; a test
// may replace it, and SetStorageControllerHook(nullptr) restores it.
using StorageControllerHook = std::function<void(BridgeChip& front, const EnclosureProfile& profile,
                                                 std::shared_ptr<SerialFlash> behindFlash)>;
void SetStorageControllerHook(StorageControllerHook hook);
// Adds the controller's ATA route (information block; with a flash, the
// bridge-behind flash route) to the front chip.
void InstallStorageController(BridgeChip& front, const EnclosureProfile& profile,
                              std::shared_ptr<SerialFlash> behindFlash);

// Called for every profile AttachProfile builds, after its controller and disk
// and before the chip is attached: lets other models add to any bridge, keyed
// on the profile's chip type.
using ProfileAttachHook = std::function<void(BridgeChip& chip, const EnclosureProfile& profile)>;
void SetProfileAttachHook(ProfileAttachHook hook);

}  // namespace sim
