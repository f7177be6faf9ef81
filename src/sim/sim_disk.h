// An emulated disk behind an enclosure: sparse sectors (only written sectors
// are stored, the rest read as zeros) answering IDENTIFY DEVICE and the 48-bit
// DMA sector commands through ATA pass-through, and READ CAPACITY(10/16),
// READ/WRITE(10/16), MODE SENSE(6/10) and SYNCHRONIZE CACHE(10): what a
// kernel's disk driver needs to use it. Any enclosure model can put one
// behind itself.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/sim_device.h"

namespace sim {

struct DiskConfig {
  std::uint64_t sectors = 0;              // capacity IDENTIFY reports; 0 = no disk
  // Capacity READ CAPACITY(16) reports and READ/WRITE(16) reach; 0 = sectors.
  std::uint64_t scsiSectors = 0;
  std::uint32_t logicalSectorSize = 512;  // 512 or 4096
  // Sectors past the reported capacity that only ATA pass-through reaches (the
  // area a bridge keeps for itself).
  std::uint64_t hiddenSectors = 0;
  std::uint16_t word106 = 0;  // IDENTIFY word 106; 0 = what the sector size implies
  std::string model = "TAVRION SIMULATED DISK";
  bool answersAta = true;   // IDENTIFY and DMA EXT through ATA pass-through
  bool answersScsi = true;  // the SCSI block commands above
  // Fault: reads covering this sector return it with its first byte inverted.
  std::int64_t corruptReadLba = -1;
};

class SimDisk {
 public:
  explicit SimDisk(DiskConfig config);

  // Adds the disk's commands to an enclosure's table.
  void Install(CommandTable& table);

  const DiskConfig& config() const { return config_; }
  std::uint64_t scsiSectors() const {
    return config_.scsiSectors != 0 ? config_.scsiSectors : config_.sectors;
  }
  // What ATA pass-through reaches: the reported capacity and the hidden tail.
  std::uint64_t addressableSectors() const {
    const std::uint64_t ata = config_.sectors + config_.hiddenSectors;
    return ata > scsiSectors() ? ata : scsiSectors();
  }
  // Direct sector access for tests and profiles (count sectors of the
  // configured size; out of range sectors are ignored / read as zeros).
  void WriteSectors(std::uint64_t lba, const std::uint8_t* data, std::uint64_t count);
  void ReadSectors(std::uint64_t lba, std::uint8_t* out, std::uint64_t count) const;
  std::size_t storedSectors() const { return sectors_.size(); }
  std::array<std::uint8_t, 512> IdentifyData() const;

 private:
  void Identify(Exchange& e) const;
  void ReadCapacity(Exchange& e) const;
  void ReadCapacity10(Exchange& e) const;
  void ModeSense(Exchange& e, bool ten) const;
  void Transfer(Exchange& e, std::uint64_t lba, std::uint64_t count, std::uint64_t limit,
                bool toHost);

  DiskConfig config_;
  std::map<std::uint64_t, std::vector<std::uint8_t>> sectors_;
};

}  // namespace sim
