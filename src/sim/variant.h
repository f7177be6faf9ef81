// Enclosure variants built in a test from data: a profile of the catalogue
// with the parts a test cares about replaced, for example
//   sim::AttachVariant(machine, {.chipType = 12, .flashPart = "...",
//                                .nvram = record, .bank0 = image, .diskSectors = 1 << 20});
// Contents are loaded after the profile's factory firmware, so what is not
// given stays as the profile has it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/profiles.h"

namespace sim {

// Every member has an initializer, so a designated initializer may leave any out.
struct Variant {
  std::string profile{};  // the base profile by name; "" = the first row of chipType
  int chipType = -1;    // used when profile is ""
  std::string flashPart{};  // the serial flash part; "" = the profile's
  // Flash contents: bank 0 from address 0, bank 1 from 0x10000, the NVRAM
  // record at nvramAddress (loaded last).
  std::optional<std::vector<std::uint8_t>> bank0{};
  std::optional<std::vector<std::uint8_t>> bank1{};
  std::optional<std::vector<std::uint8_t>> nvram{};
  std::uint32_t nvramAddress = 0x8000;
  std::optional<std::uint64_t> diskSectors{};  // 0 = no disk
  std::optional<std::uint32_t> diskAreaTag{};
  AttachOptions options{};
};

inline constexpr std::uint32_t kBank1Address = 0x10000;

// The profile a variant stands for. Throws std::invalid_argument when the base
// profile or the flash part does not exist.
EnclosureProfile VariantProfile(const Variant& variant);
// Builds the variant, attaches it and returns its chip. Throws
// std::invalid_argument as VariantProfile does, and when given contents do
// not fit the flash.
std::shared_ptr<BridgeChip> AttachVariant(Machine& machine, const Variant& variant);

}  // namespace sim
