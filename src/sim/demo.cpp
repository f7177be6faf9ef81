#include "sim/demo.h"

#include <cstdlib>
#include <filesystem>
#include <string>
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
      {"txr649", 7, {{'M', 1}}},                 // firmware in an area of the disk
      {"txv929-hdd", 8, {{'N', 1}}},             // controller keeping its bank on the disk
      {"txr847-sst", 9, {{'O', 1}}},             // SST serial flash
      {"txv929-bank0-damaged", 10, {{'P', 1}}}, // two banks, the first damaged: repaired
      {"txr842", 0, {{'J', 0}}, true},           // serial flash, seen as a CD-ROM unit
  };
  return rows;
}

// Chips that keep their firmware on the disk: the disk-area bridges and the
// controllers that can keep their bank there.
constexpr int kChipTx40769 = 5;
constexpr int kChipTxv929 = 12;
constexpr int kChipTxv927 = 16;
constexpr int kChipTxr649 = 18;

// Where a controller's bank on the disk ends: its stamp sits in the four
// bytes below.
std::uint32_t HddBankEnd(int chipType) { return chipType == kChipTxv927 ? 0x8000 : 0xC000; }

bool KeepsDiskArea(const EnclosureProfile& p) {
  return p.chipType == kChipTxr649 || p.chipType == kChipTx40769;
}
bool KeepsHddBank(const EnclosureProfile& p) {
  return (p.chipType == kChipTxv929 || p.chipType == kChipTxv927) &&
         p.bridge.flashTypeCode == 0;
}

// The area reference the disk-area queries give for a profile: its tag, or
// for an unsigned area the last LBA, one more when parameter byte 17 is 1.
std::uint32_t AreaReference(const EnclosureProfile& profile) {
  if (profile.diskAreaTag && *profile.diskAreaTag != 0) return *profile.diskAreaTag;
  const auto last = static_cast<std::uint32_t>(profile.disk.sectors - 1);
  return profile.bridge.parameters[17] == 0x01 ? last + 1 : last;
}

// An image as the chip's disk area holds it after the update, so that a
// read-back equals the file: the area tag of disk-area chips, the bank stamp
// of controllers keeping their bank on the disk.
Image DiskHostedImage(const EnclosureProfile& profile) {
  const bool diskArea = KeepsDiskArea(profile);
  const bool hddBank = KeepsHddBank(profile);
  Image image = MakeMatchingImage({profile.identifiedType, profile.subCode});
  if (diskArea && image.empty()) {
    image.resize(0x10000);  // no image check accepts one: plain code, loaded by hand
    FillCode(image, profile.chipType);
  }
  if (diskArea) PutAreaTag(image.data(), AreaReference(profile));
  if (hddBank) PutHddBankStamp(image, HddBankEnd(profile.chipType));
  if (diskArea || hddBank) PutChecksum(image);
  return image;
}

}  // namespace

bool BusyTimesFromEnvironment(BusyTimes& which) {
  const char* value = std::getenv(kSimBusyVariable);
  const std::string text = value == nullptr ? "" : value;
  which = text == "max" ? BusyTimes::Maximum : BusyTimes::Typical;
  return text.empty() || text == "typical" || text == "max";
}

void AttachDemoEnclosures(Machine& machine, BusyTimes busyTimes) {
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
    options.busyTimes = busyTimes;
    AttachProfile(machine, *profile, options);
  }
}

std::vector<std::string> WriteDemoImages(const std::string& folder) {
  std::vector<std::string> written;
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  auto write = [&](const std::string& name, ChipCode chip) {
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
    if (profile->disk.sectors != 0 && (KeepsDiskArea(*profile) || KeepsHddBank(*profile))) {
      const Image image = DiskHostedImage(*profile);
      const std::string path = (std::filesystem::path(folder) / (profile->name + ".bin")).string();
      if (WriteImageFile(path, image)) written.push_back(path);
      continue;
    }
    write(profile->name, {profile->identifiedType, profile->subCode});
    if (behind) {
      write(profile->name + "-" + profile->behind->bridge,
            {profile->behind->companionType, profile->subCode});
    }
  }
  return written;
}

}  // namespace sim
