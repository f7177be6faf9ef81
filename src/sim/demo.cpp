#include "sim/demo.h"

#include <filesystem>
#include <system_error>

#include "sim/profiles.h"
#include "sim/test_images.h"

namespace sim {

namespace {

struct DemoEnclosure {
  const char* profile;
  std::uint32_t disk;
  std::vector<Volume> volumes;
  bool cdrom = false;
};

const std::vector<DemoEnclosure>& DemoEnclosures() {
  static const std::vector<DemoEnclosure> rows = {
      {"tx40775-pmc", 1, {{'E', 1}, {'F', 2}}},  // serial flash
      {"txr843-1394", 2, {{'G', 1}}},            // serial flash over IEEE 1394
      {"tx40776-atmel", 3, {{'H', 1}}},          // parallel flash
      {"txv929-txr847", 4, {{'I', 1}}},          // controller, a TXR847 behind it
      {"tx40769", 5, {{'K', 1}}},                // parameter block
      {"tx40778-legacy", 6, {{'L', 1}}},         // not updatable
      {"txr842", 0, {{'J', 0}}, true},           // serial flash, seen as a CD-ROM unit
  };
  return rows;
}

}  // namespace

void AttachDemoEnclosures(Machine& machine) {
  machine.AddSystemDisk(
      "\\\\?\\ide#diskst3500418as#5&1b2c3d4e&0&0.0.0#"
      "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
  machine.AddNetworkDrive('Z');
  for (const DemoEnclosure& e : DemoEnclosures()) {
    const EnclosureProfile* profile = FindProfile(e.profile);
    if (profile == nullptr) continue;
    AttachOptions options;
    options.diskNumber = e.disk;
    options.volumes = e.volumes;
    options.asCdrom = e.cdrom;
    AttachProfile(machine, *profile, options);
  }
}

std::vector<std::string> WriteDemoImages(const std::string& folder) {
  std::vector<std::string> written;
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  auto write = [&](const std::string& name, identify::ChipIdentity chip) {
    const Image image = MakeMatchingImage(chip);
    if (image.empty()) return;
    const std::string path = (std::filesystem::path(folder) / (name + ".bin")).string();
    if (WriteImageFile(path, image)) written.push_back(path);
  };
  for (const DemoEnclosure& e : DemoEnclosures()) {
    const EnclosureProfile* profile = FindProfile(e.profile);
    if (profile == nullptr) continue;
    // The device's own entry, then the companion entry of a bridge behind it.
    const bool behind = profile->behind.has_value();
    write(profile->name, {profile->identifiedType, profile->subCode});
    if (behind) {
      write(profile->name + "-" + profile->behind->bridge,
            {profile->behind->companionType, profile->subCode});
    }
  }
  return written;
}

}  // namespace sim
