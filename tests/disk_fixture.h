// The disk-hosted firmware procedures on an emulated enclosure: a profile
// (possibly changed by the test) attached with its disk, a recording window,
// image files in a temporary folder, and what the disk commands did.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "procedure_fixture.h"

namespace testing_support {

inline std::vector<std::uint8_t> DiskPattern(std::size_t n, std::uint8_t seed) {
  return Pattern(n, seed, 13, 9);
}

class DiskFixture : public ProcedureFixture {
 protected:
  DiskFixture() : ProcedureFixture("tx-disk") {}

  // Attaches a copy of the profile, after edit changed it.
  template <typename Edit>
  void AttachEdited(const std::string& name, Edit edit) {
    const sim::EnclosureProfile* found = sim::FindProfile(name);
    ASSERT_NE(nullptr, found) << name;
    sim::EnclosureProfile profile = *found;
    edit(profile);
    AttachProfile(profile);
    window.facts_.flashTypeCode = 0;
  }
  void Attach(const std::string& name) {
    AttachEdited(name, [](sim::EnclosureProfile&) {});
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
};

}  // namespace testing_support
