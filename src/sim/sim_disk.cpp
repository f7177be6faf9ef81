#include "sim/sim_disk.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

std::uint64_t Be(const std::uint8_t* cdb, int from, int count) {
  std::uint64_t v = 0;
  for (int i = 0; i < count; ++i) v = v << 8 | cdb[from + i];
  return v;
}

void PutWord(std::uint8_t* id, int word, std::uint16_t value) {
  id[2 * word] = static_cast<std::uint8_t>(value);
  id[2 * word + 1] = static_cast<std::uint8_t>(value >> 8);
}

// ATA strings hold two characters per word, the first in the high byte.
void PutAtaString(std::uint8_t* id, int firstWord, int words, const std::string& text) {
  for (int i = 0; i < words * 2; ++i) {
    const char c = i < static_cast<int>(text.size()) ? text[static_cast<std::size_t>(i)] : ' ';
    id[2 * firstWord + (i ^ 1)] = static_cast<std::uint8_t>(c);
  }
}

bool IsAtaPassThrough12(const Exchange& e, std::uint8_t command) {
  return e.cdbLength >= 12 && e.at(0) == 0xA1 && e.at(9) == command;
}

bool IsAtaPassThrough16(const Exchange& e, std::uint8_t command) {
  return e.cdbLength >= 16 && e.at(0) == 0x85 && e.at(14) == command;
}

}  // namespace

SimDisk::SimDisk(DiskConfig config) : config_(std::move(config)) {}

void SimDisk::Install(CommandTable& table) {
  if (config_.answersAta) {
    table.Add("AtaIdentify", [](const Exchange& e) { return IsAtaPassThrough12(e, 0xEC); },
              [this](Exchange& e) { Identify(e); });
    const auto dma = [this](Exchange& e, bool read) {
      // Protocol byte: DMA (10 << 1) for reads, UDMA out (11 << 1) for writes,
      // with the 48-bit extend bit.
      const std::uint8_t protocol = read ? 0x15 : 0x17;
      if (config_.sectors == 0 || e.at(1) != protocol || e.dataIn != read) return e.Reject();
      const std::uint64_t lba =
          static_cast<std::uint64_t>(e.at(11)) << 40 | static_cast<std::uint64_t>(e.at(9)) << 32 |
          static_cast<std::uint64_t>(e.at(7)) << 24 | static_cast<std::uint64_t>(e.at(12)) << 16 |
          static_cast<std::uint64_t>(e.at(10)) << 8 | e.at(8);
      std::uint64_t count = static_cast<std::uint64_t>(e.at(5)) << 8 | e.at(6);
      if (count == 0) count = 0x10000;  // a zero count means 65536 in the 48-bit set
      Transfer(e, lba, count, addressableSectors(), read);
    };
    table.Add("AtaReadDma48", [](const Exchange& e) { return IsAtaPassThrough16(e, 0x25); },
              [dma](Exchange& e) { dma(e, true); });
    table.Add("AtaWriteDma48", [](const Exchange& e) { return IsAtaPassThrough16(e, 0x35); },
              [dma](Exchange& e) { dma(e, false); });
  }
  if (config_.answersScsi) {
    table.Add("ReadCapacity16", CdbPattern("9E 10"), [this](Exchange& e) { ReadCapacity(e); });
    // READ / WRITE (16) and (10): where the block holds the LBA and the count.
    struct Layout {
      int cdbLength, lbaBytes, countAt, countBytes;
    };
    const auto rw = [this](Exchange& e, Layout at, bool read) {
      if (config_.sectors == 0 || e.cdbLength < at.cdbLength || e.dataIn != read) return e.Reject();
      Transfer(e, Be(e.cdb, 2, at.lbaBytes), Be(e.cdb, at.countAt, at.countBytes), scsiSectors(),
               read);
    };
    static constexpr Layout k16{16, 8, 10, 4};
    static constexpr Layout k10{10, 4, 7, 2};
    table.Add("ReadDisk16", CdbPattern("88"), [rw](Exchange& e) { rw(e, k16, true); });
    table.Add("WriteDisk16", CdbPattern("8A"), [rw](Exchange& e) { rw(e, k16, false); });
    table.Add("ReadCapacity10", CdbPattern("25"), [this](Exchange& e) { ReadCapacity10(e); });
    table.Add("ReadDisk10", CdbPattern("28"), [rw](Exchange& e) { rw(e, k10, true); });
    table.Add("WriteDisk10", CdbPattern("2A"), [rw](Exchange& e) { rw(e, k10, false); });
    table.Add("ModeSense6", CdbPattern("1A"), [this](Exchange& e) { ModeSense(e, false); });
    table.Add("ModeSense10", CdbPattern("5A"), [this](Exchange& e) { ModeSense(e, true); });
    // Writes go straight to the sectors: there is no cache to flush.
    table.Add("SynchronizeCache10", CdbPattern("35"), [this](Exchange& e) {
      if (config_.sectors == 0 || e.length != 0) return e.Reject();
      e.transferred = 0;
    });
  }
}

std::array<std::uint8_t, 512> SimDisk::IdentifyData() const {
  std::array<std::uint8_t, 512> id{};
  std::uint8_t* p = id.data();
  PutWord(p, 0, 0x0040);  // fixed device
  PutAtaString(p, 10, 10, "SIM0000001");
  PutAtaString(p, 23, 4, "1.0");
  PutAtaString(p, 27, 20, config_.model);
  PutWord(p, 49, 0x0300);  // LBA and DMA
  const std::uint64_t n = config_.sectors;
  const auto lba28 = static_cast<std::uint32_t>(std::min<std::uint64_t>(n, 0x0FFFFFFF));
  PutWord(p, 60, static_cast<std::uint16_t>(lba28));
  PutWord(p, 61, static_cast<std::uint16_t>(lba28 >> 16));
  PutWord(p, 83, 0x4400);  // 48-bit address feature set
  PutWord(p, 86, 0x0400);
  for (int w = 0; w < 4; ++w) PutWord(p, 100 + w, static_cast<std::uint16_t>(n >> (16 * w)));
  std::uint16_t w106 = config_.word106;
  if (w106 == 0) w106 = config_.logicalSectorSize > 512 ? 0x5000 : 0x4000;
  PutWord(p, 106, w106);
  const std::uint32_t words = config_.logicalSectorSize / 2;
  PutWord(p, 117, static_cast<std::uint16_t>(words));
  PutWord(p, 118, static_cast<std::uint16_t>(words >> 16));
  return id;
}

void SimDisk::Identify(Exchange& e) const {
  if (config_.sectors == 0 || !e.dataIn || e.at(1) != 0x08) return e.Reject();
  const std::array<std::uint8_t, 512> id = IdentifyData();
  const std::uint32_t n = std::min<std::uint32_t>(e.length, 512);
  if (e.data != nullptr) std::memcpy(e.data, id.data(), n);
  e.transferred = n;
}

void SimDisk::ReadCapacity(Exchange& e) const {
  if (config_.sectors == 0 || !e.dataIn || e.cdbLength < 16) return e.Reject();
  std::uint8_t answer[32] = {};
  const std::uint64_t last = scsiSectors() - 1;
  for (int i = 0; i < 8; ++i) answer[i] = static_cast<std::uint8_t>(last >> (56 - 8 * i));
  for (int i = 0; i < 4; ++i)
    answer[8 + i] = static_cast<std::uint8_t>(config_.logicalSectorSize >> (24 - 8 * i));
  const auto allocation = static_cast<std::uint32_t>(Be(e.cdb, 10, 4));
  const std::uint32_t n = std::min({allocation, e.length, 32u});
  if (e.data != nullptr) std::memcpy(e.data, answer, n);
  e.transferred = n;
}

// Past 32 bits the last LBA reads 0xFFFFFFFF, telling the host to ask
// READ CAPACITY(16).
void SimDisk::ReadCapacity10(Exchange& e) const {
  if (config_.sectors == 0 || !e.dataIn || e.cdbLength < 10) return e.Reject();
  const std::uint64_t last = std::min<std::uint64_t>(scsiSectors() - 1, 0xFFFFFFFFu);
  std::uint8_t answer[8] = {};
  for (int i = 0; i < 4; ++i) {
    answer[i] = static_cast<std::uint8_t>(last >> (24 - 8 * i));
    answer[4 + i] = static_cast<std::uint8_t>(config_.logicalSectorSize >> (24 - 8 * i));
  }
  const std::uint32_t n = std::min<std::uint32_t>(e.length, 8);
  if (e.data != nullptr) std::memcpy(e.data, answer, n);
  e.transferred = n;
}

// The mode parameter header alone: not write-protected, no block descriptor
// and no mode pages, so a driver falls back to its defaults (no write cache).
void SimDisk::ModeSense(Exchange& e, bool ten) const {
  if (config_.sectors == 0 || !e.dataIn) return e.Reject();
  const std::uint8_t header6[4] = {3, 0, 0, 0};
  const std::uint8_t header10[8] = {0, 6, 0, 0, 0, 0, 0, 0};
  const std::uint32_t allocation =
      ten ? static_cast<std::uint32_t>(Be(e.cdb, 7, 2)) : e.at(4);
  const std::uint32_t n = std::min<std::uint32_t>({e.length, allocation, ten ? 8u : 4u});
  if (e.data != nullptr) std::memcpy(e.data, ten ? header10 : header6, n);
  e.transferred = n;
}

// A request for more than the host's buffer holds, or for sectors past limit,
// is refused the way a disk refuses a bad LBA; a larger buffer than the count
// needs is a short transfer.
void SimDisk::Transfer(Exchange& e, std::uint64_t lba, std::uint64_t count, std::uint64_t limit,
                       bool toHost) {
  const std::uint64_t size = config_.logicalSectorSize;
  if (lba > limit || count > limit - lba || count * size > e.length ||
      (count > 0 && e.data == nullptr))
    return e.Reject();
  if (toHost) {
    ReadSectors(lba, e.data, count);
    if (config_.corruptReadLba >= 0) {
      const auto bad = static_cast<std::uint64_t>(config_.corruptReadLba);
      if (bad >= lba && bad < lba + count) e.data[(bad - lba) * size] ^= 0xFF;
    }
  } else {
    WriteSectors(lba, e.data, count);
  }
  e.transferred = static_cast<std::uint32_t>(count * size);
}

void SimDisk::WriteSectors(std::uint64_t lba, const std::uint8_t* data, std::uint64_t count) {
  const std::size_t size = config_.logicalSectorSize;
  for (std::uint64_t i = 0; i < count && lba + i < addressableSectors(); ++i) {
    const std::uint8_t* src = data + i * size;
    if (std::all_of(src, src + size, [](std::uint8_t b) { return b == 0; })) {
      sectors_.erase(lba + i);  // zeros are what an unwritten sector reads
    } else {
      sectors_[lba + i].assign(src, src + size);
    }
  }
}

void SimDisk::ReadSectors(std::uint64_t lba, std::uint8_t* out, std::uint64_t count) const {
  const std::size_t size = config_.logicalSectorSize;
  for (std::uint64_t i = 0; i < count; ++i) {
    auto it = sectors_.find(lba + i);
    if (it == sectors_.end()) {
      std::memset(out + i * size, 0, size);
    } else {
      std::memcpy(out + i * size, it->second.data(), size);
    }
  }
}

}  // namespace sim
