// Writes the starting corpora of the fuzz targets into <folder>/<target>/:
// images from the project's image maker, and for the device replies the tape
// of each enclosure profile's conversation with the window (tape_host.h).
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "host/host.h"
#include "identify/catalogue.h"
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
  fs::create_directories(images);
  fs::create_directories(replies);
  bool ok = true;

  for (int type = 1; type <= identify::kMaxChipType; ++type) {
    for (std::int8_t sub = 1; sub <= 2; ++sub) {
      const identify::ChipIdentity chip{static_cast<std::uint8_t>(type), sub};
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
