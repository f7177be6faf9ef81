// The built-in enclosure profiles: one emulated bridge per row, described as
// data, each answering the identification commands so that the host classifies
// it to the chip type code and sub-code the row names. docs/enclosure-profiles.md
// lists them.
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

// A bridge that sits behind a storage controller (the controller answers ATA
// pass-through for it). Selecting the companion entry of the front device
// gives companionType.
struct BehindBridge {
  std::string bridge;              // "TXR847" or "TXR842"
  std::uint8_t companionType = 0;  // 13, 14 or 15
  // The controller's information block as its ATA read returns it: F4 E7,
  // bytes 6-7 the product identifier of the bridge behind it, version bytes.
  std::array<std::uint8_t, 16> controllerInfo{};
  std::string flashPart;  // the behind bridge's serial flash
  int flashTypeCode = 0;  // byte 0 of the flash type block
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
  std::optional<BehindBridge> behind;
  bool damagedBank1 = false;  // the second firmware bank fails its check
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
  std::uint8_t protection = 0;  // protection bits the serial flash starts with
  bool asCdrom = false;         // attach as a CD-ROM unit whatever the profile says
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

// The storage-controller model plugs in here: for a profile with a bridge
// behind a controller, AttachProfile hands the front chip, the behind bridge's
// description and its flash to the hook, which adds the controller's ATA
// commands to the front chip's command table. Without a hook such a profile
// attaches the front chip alone.
using StorageControllerHook = std::function<void(BridgeChip& front, const BehindBridge& behind,
                                                 std::shared_ptr<SerialFlash> behindFlash)>;
void SetStorageControllerHook(StorageControllerHook hook);
bool HasStorageControllerHook();

// Called for every profile AttachProfile builds, before the chip is attached:
// lets other models add what sits behind any bridge (a disk holding the
// firmware area, for example) keyed on the profile's chip type.
using ProfileAttachHook = std::function<void(BridgeChip& chip, const EnclosureProfile& profile)>;
void SetProfileAttachHook(ProfileAttachHook hook);

}  // namespace sim
