// Writes the starting corpora of the fuzz targets into <folder>/<target>/:
// images from the project's image maker, and for the device replies the tape
// of each enclosure profile's conversation with the window (tape_host.h).
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "host/host.h"
#include "chips/names.h"
#include "sim/demo.h"
#include "sim/machine.h"
#include "sim/profiles.h"
#include "sim/test_images.h"
#include "tape_host.h"
#include "window_drive.h"

namespace {

namespace fs = std::filesystem;

bool Write(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  std::FILE* f = std::fopen(path.string().c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

// Trees for the Linux host (format in linux_sysfs_fuzz.cpp), after the ones
// its unit tests lay out: each bus's ancestry, partitions, a CD-ROM unit, the
// kernel's naming order, mount points with escapes and the system volume.
constexpr const char* kUsbIf = "pci0000:00/0000:00:1d.0/usb1/1-1/1-1:1.0";

std::vector<std::pair<std::string, std::string>> SysfsSeeds() {
  const std::string usb = std::string("usbif ") + kUsbIf + "\n";
  const std::string lun = std::string(kUsbIf) + "/host2/target2:0:0/2:0:0:";
  return {
      {"usb-storage",
       usb + "driver " + kUsbIf + " usb-storage\n" + "disk sdb 8:16 " + lun + "0\n" +
           "part sdb sdb1 8:17\npart sdb sdb2 8:18\n" + "disk sr0 11:0 " + lun + "1\n" +
           "mount 22 1 8:17 / /media/My\\040Disk rw - vfat /dev/sdb1 rw\n"
           "mount 23 1 8:18 / /mnt/b rw - ext4 /dev/sdb2 rw\n"
           "mount 30 1 11:0 / /media/cdrom ro - iso9660 /dev/sr0 ro\n"},
      {"uas-system-volume",
       usb + "driver " + kUsbIf + " uas\n" + "disk sdb 8:16 " + lun + "0\n" +
           "part sdb sdb1 8:17\npart sdb sdb2 8:18\n"
           "mount 1 0 8:18 / / rw - ext4 /dev/sdb2 rw\n"
           "mount 24 1 8:18 /home /home rw - ext4 /dev/sdb2 rw\n"
           "mount 25 1 8:17 / /boot/efi rw - vfat /dev/sdb1 rw\n"
           "mount 26 1 8:17 / /boot/efi rw - vfat /dev/sdb1 rw\n"},
      {"sbp2-ahci-order",
       "driver pci0000:00/0000:00:1e.0/fw1/fw1.0 firewire_sbp2\n"
       "disk sdb 8:16 pci0000:00/0000:00:1e.0/fw1/fw1.0/host3/target3:0:0/3:0:0:0\n"
       "driver pci0000:00/0000:00:1f.2 ahci\n"
       "disk sdaa 65:160 pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0\n"
       "plain loop0 7:0 virtual/block/loop0\n"
       "plain sdc 8:32 virtual/block/sdc\n"
       "mount 28 1 8:33 / /mnt/c rw - vfat /dev/sdc1 rw\n"
       "mount 29 1 65:160 / /mnt/tab\\011and\\134slash rw - vfat /dev/sdaa rw\n"},
      {"odd-numbers-and-lines",
       usb + "driver " + kUsbIf + " usb-storage\n" + "disk sdb 8:16x " + lun + "0\n" +
           "disk sdc 8 " + lun + "1\n" + "disk sdd 4104:16 " + lun + "2\n" +
           "disk sde 8:64 " + lun + "3\n" + "part sde sde1 8:65\n"
           "mount garbage\n"
           "mount 31 1 8:65 /\n"
           "mount 32 1 8:65 / /mnt/e\\04 rw - vfat /dev/sde1 rw\n"
           "mount 33 1 8:65x / /mnt/x rw\n"},
  };
}

// Larger tapes make slow inputs; whole-flash conversations of big parts are
// left to the fuzzer to reach.
constexpr std::size_t kMaxTape = 256 * 1024;

bool Record(const fs::path& path, sim::Machine& machine, std::uint8_t options) {
  fuzzing::RecordingHost recorder(machine);
  {
    host::ScopedHost scope(recorder);
    fuzzing::DriveWindow(options);
  }
  if (recorder.out.tape.size() > kMaxTape) return true;
  std::vector<std::uint8_t> seed{options};
  seed.insert(seed.end(), recorder.out.tape.begin(), recorder.out.tape.end());
  return Write(path, seed);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: tx_fuzz_seeds FOLDER\n");
    return 2;
  }
  const fs::path root = argv[1];
  const fs::path images = root / "image_checks";
  const fs::path replies = root / "device_replies";
  const fs::path trees = root / "linux_sysfs";
  fs::create_directories(images);
  fs::create_directories(replies);
  fs::create_directories(trees);
  bool ok = true;
  for (const auto& [name, text] : SysfsSeeds())
    ok = Write(trees / name, std::vector<std::uint8_t>(text.begin(), text.end())) && ok;

  for (int type = 1; type <= identify::kMaxChipType; ++type) {
    for (std::int8_t sub = 1; sub <= 2; ++sub) {
      const sim::ChipCode chip{static_cast<std::uint8_t>(type), sub};
      const std::string stem = "t" + std::to_string(type) + "s" + std::to_string(sub);
      sim::ImageLayout nvram;
      nvram.nvramArea = true;
      const std::pair<const char*, sim::Image> made[] = {
          {"", sim::MakeMatchingImage(chip)},
          {"nvram", sim::MakeMatchingImage(chip, nvram)},
          {"refused", sim::MakeRefusedImage(chip)}};
      for (const auto& [kind, image] : made)
        if (!image.empty()) ok = Write(images / (stem + kind), image) && ok;
    }
  }

  for (const sim::EnclosureProfile& profile : sim::EnclosureProfiles()) {
    const auto image = static_cast<std::uint8_t>((profile.chipType + 31) % 32);
    for (std::uint8_t options : {image, static_cast<std::uint8_t>(image | 0x80)}) {
      sim::Machine machine;
      sim::AttachOptions attach;
      attach.volumes = {sim::Volume{'E', 1}};
      sim::AttachProfile(machine, profile, attach);
      const std::string name = profile.name + (options & 0x80 ? "-backup" : "");
      ok = Record(replies / name, machine, options) && ok;
    }
  }
  sim::Machine demo;
  sim::AttachDemoEnclosures(demo);
  ok = Record(replies / "demo", demo, 0) && ok;

  if (!ok) std::fprintf(stderr, "tx_fuzz_seeds: could not write the seeds in %s\n", argv[1]);
  return ok ? 0 : 1;
}
