#include "sim/variant.h"

#include <stdexcept>

#include "sim/flash_parts.h"

namespace sim {

namespace {

// A test that asks for contents the part cannot hold has a mistake in it:
// loading part of them silently would hide it.
void LoadInto(FlashArray& cells, std::uint32_t address, const std::vector<std::uint8_t>& bytes,
              const char* what) {
  if (address > cells.size() || bytes.size() > cells.size() - address)
    throw std::invalid_argument(std::string("variant ") + what + " does not fit the flash");
  cells.Load(address, bytes.data(), bytes.size());
}

}  // namespace

EnclosureProfile VariantProfile(const Variant& variant) {
  const EnclosureProfile* base = nullptr;
  if (!variant.profile.empty()) {
    base = FindProfile(variant.profile);
  } else {
    for (const EnclosureProfile& p : EnclosureProfiles())
      if (p.chipType == variant.chipType) {
        base = &p;
        break;
      }
  }
  if (base == nullptr)
    throw std::invalid_argument("variant: no profile \"" + variant.profile + "\" / chip type " +
                                std::to_string(variant.chipType));
  EnclosureProfile profile = *base;
  if (!variant.flashPart.empty()) {
    const FlashPart* part = FindFlashPart(variant.flashPart);
    if (part == nullptr) throw std::invalid_argument("variant: no flash part " + variant.flashPart);
    // A chip that reported its old part's kind reports the new part's; one
    // that answers something else (0, or nothing) keeps its answer.
    const FlashPart* old = FindFlashPart(profile.flashPart);
    if (old != nullptr && profile.bridge.flashTypeCode == old->maker)
      profile.bridge.flashTypeCode = part->maker;
    profile.flashPart = variant.flashPart;
  }
  if (variant.diskSectors) profile.disk.sectors = *variant.diskSectors;
  if (variant.diskAreaTag) profile.diskAreaTag = variant.diskAreaTag;
  return profile;
}

std::shared_ptr<BridgeChip> AttachVariant(Machine& machine, const Variant& variant) {
  const EnclosureProfile profile = VariantProfile(variant);
  std::shared_ptr<BridgeChip> chip = AttachProfile(machine, profile, variant.options);
  const bool contents = variant.bank0 || variant.bank1 || variant.nvram;
  FlashArray* cells = chip->serialFlash() != nullptr     ? &chip->serialFlash()->cells()
                      : chip->parallelFlash() != nullptr ? &chip->parallelFlash()->cells()
                                                         : nullptr;
  if (contents && cells == nullptr) {
    machine.Detach(chip->path());
    throw std::invalid_argument("variant: contents given for a chip without flash");
  }
  try {
    if (variant.bank0) LoadInto(*cells, 0, *variant.bank0, "bank 0");
    if (variant.bank1) LoadInto(*cells, kBank1Address, *variant.bank1, "bank 1");
    if (variant.nvram) LoadInto(*cells, variant.nvramAddress, *variant.nvram, "NVRAM");
  } catch (...) {
    machine.Detach(chip->path());
    throw;
  }
  return chip;
}

}  // namespace sim
