// The disk-hosted firmware procedures on an emulated enclosure: a profile
// (possibly changed by the test) attached with its disk, a recording window,
// image files in a temporary folder, and what the disk commands did.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "scratch_dir.h"
#include "fake_run_window.h"
#include "program/settings.h"
#include "sim/bridge_chip.h"
#include "sim/profiles.h"
#include "sim_fixture.h"

namespace testing_support {

inline std::vector<std::uint8_t> DiskPattern(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>((i * 13 + seed) ^ (i >> 9));
  return v;
}

class DiskFixture : public ::testing::Test, public SimFixtureBase {
 protected:
  void SetUp() override {
    saved_ = program::Transfer();
    program::Transfer() = program::TransferSettings{};
    dir_ = testing_support::NewScratchDir("tx-disk");
  }
  void TearDown() override {
    program::Transfer() = saved_;
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // Attaches a copy of the profile, after edit changed it.
  template <typename Edit>
  void AttachEdited(const std::string& name, Edit edit) {
    const sim::EnclosureProfile* found = sim::FindProfile(name);
    ASSERT_NE(nullptr, found) << name;
    sim::EnclosureProfile profile = *found;
    edit(profile);
    if (chip) machine.Detach(path);
    chip = sim::AttachProfile(machine, profile);
    path = chip->path();
    window.facts_.chipType = profile.chipType;
    window.facts_.flashTypeCode = 0;
  }
  void Attach(const std::string& name) {
    AttachEdited(name, [](sim::EnclosureProfile&) {});
  }

  std::string WriteImage(const std::vector<std::uint8_t>& bytes) {
    const std::string file = (dir_ / "image.bin").string();
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    window.options_.imageFile = file;
    return file;
  }
  std::string FileIn(const std::string& name) const { return (dir_ / name).string(); }
  static std::vector<std::uint8_t> ReadFile(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  // bytes of the disk from lba on.
  std::vector<std::uint8_t> Disk(std::uint64_t lba, std::size_t bytes) const {
    const std::uint32_t x = chip->disk()->config().logicalSectorSize;
    std::vector<std::uint8_t> out((bytes + x - 1) / x * x);
    chip->disk()->ReadSectors(lba, out.data(), out.size() / x);
    out.resize(bytes);
    return out;
  }
  void FillDisk(std::uint64_t lba, const std::vector<std::uint8_t>& bytes) {
    chip->disk()->WriteSectors(lba, bytes.data(),
                               bytes.size() / chip->disk()->config().logicalSectorSize);
  }

  int Count(const std::string& command) const {
    int n = 0;
    for (const auto& t : machine.transcript()) n += t.command == command ? 1 : 0;
    return n;
  }
  int DiskWrites() const { return Count("AtaWriteDma48") + Count("WriteDisk16"); }

  // LBA and sector count of each write command, in order.
  struct Transfer {
    std::uint64_t lba;
    std::uint64_t sectors;
    std::uint32_t bytes;
  };
  std::vector<Transfer> Writes() const { return Transfers("AtaWriteDma48", "WriteDisk16"); }
  std::vector<Transfer> Reads() const { return Transfers("AtaReadDma48", "ReadDisk16"); }
  std::vector<Transfer> Transfers(const char* ata, const char* scsi) const {
    std::vector<Transfer> out;
    for (const auto& t : machine.transcript()) {
      const auto& c = t.cdb;
      if (t.command == ata) {
        const std::uint64_t lba = static_cast<std::uint64_t>(c[11]) << 40 |
                                  static_cast<std::uint64_t>(c[9]) << 32 |
                                  static_cast<std::uint64_t>(c[7]) << 24 | c[12] << 16 |
                                  c[10] << 8 | c[8];
        out.push_back({lba, static_cast<std::uint64_t>(c[5] << 8 | c[6]),
                       t.request.dataTransferLength});
      } else if (t.command == scsi) {
        std::uint64_t lba = 0;
        for (int i = 2; i < 10; ++i) lba = lba << 8 | c[i];
        std::uint64_t n = 0;
        for (int i = 10; i < 14; ++i) n = n << 8 | c[i];
        out.push_back({lba, n, t.request.dataTransferLength});
      }
    }
    return out;
  }

  FakeRunWindow window;
  std::shared_ptr<sim::BridgeChip> chip;
  std::string path;

 private:
  program::TransferSettings saved_;
  std::filesystem::path dir_;
};

}  // namespace testing_support
