#include "scsi/disk_commands.h"
#include "scsi/change_gate.h"

#include "scsi/chip_commands.h"
#include "chips/chip_types.h"

#include <cstring>
#include <memory>
#include <new>

#include "scsi/passthrough.h"

namespace device {

namespace {

constexpr int kCdb12 = 12;
constexpr int kCdb16 = 16;

Result In(const char* path, const std::uint8_t* cdb, int cdbLength, void* buffer,
       std::int32_t length, std::int32_t* moved = nullptr) {
  std::int32_t ignored = 0;
  return ScsiPassThroughIn(path, cdb, cdbLength, buffer, length, moved ? moved : &ignored);
}

Result Out(const char* path, const std::uint8_t* cdb, int cdbLength, void* data,
        std::uint32_t length, std::int32_t* moved = nullptr) {
  std::int32_t ignored = 0;
  return ScsiPassThroughOut(path, cdb, cdbLength, data, length, moved ? moved : &ignored);
}

void PutBe32(std::uint8_t* at, std::uint32_t value) {
  at[0] = static_cast<std::uint8_t>(value >> 24);
  at[1] = static_cast<std::uint8_t>(value >> 16);
  at[2] = static_cast<std::uint8_t>(value >> 8);
  at[3] = static_cast<std::uint8_t>(value);
}

std::uint32_t Be32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) << 24 | static_cast<std::uint32_t>(at[1]) << 16 |
         static_cast<std::uint32_t>(at[2]) << 8 | at[3];
}

std::uint16_t Word(const std::uint8_t* identify, int word) {
  return static_cast<std::uint16_t>(identify[2 * word] | identify[2 * word + 1] << 8);
}

// READ(16) / WRITE(16): 64-bit LBA and 32-bit sector count, big-endian.
void BuildDisk16(std::uint8_t* cdb, std::uint8_t opcode, std::uint32_t lbaLow,
                 std::uint32_t lbaHigh, std::uint32_t sectors) {
  cdb[0] = opcode;
  PutBe32(cdb + 2, lbaHigh);
  PutBe32(cdb + 6, lbaLow);
  PutBe32(cdb + 10, sectors);
}

// READ / WRITE DMA EXT through ATA PASS-THROUGH(16): each LBA register pair
// holds the "previous" (high) byte first, then the current one.
void BuildDma48(std::uint8_t* cdb, std::uint8_t protocol, std::uint8_t flags,
                std::uint8_t command, std::uint32_t lbaLow, std::uint32_t lbaHigh,
                std::uint32_t sectors) {
  cdb[0] = 0x85;
  cdb[1] = protocol;
  cdb[2] = flags;
  cdb[5] = static_cast<std::uint8_t>(sectors >> 8);
  cdb[6] = static_cast<std::uint8_t>(sectors);
  cdb[7] = static_cast<std::uint8_t>(lbaLow >> 24);
  cdb[8] = static_cast<std::uint8_t>(lbaLow);
  cdb[9] = static_cast<std::uint8_t>(lbaHigh);
  cdb[10] = static_cast<std::uint8_t>(lbaLow >> 8);
  cdb[11] = static_cast<std::uint8_t>(lbaHigh >> 8);
  cdb[12] = static_cast<std::uint8_t>(lbaLow >> 16);
  cdb[13] = 0x60;
  cdb[14] = command;
}

// A 16-byte sector command in (dataIn) or out, its block filled by build for
// length / sectorSize sectors. A sector size of 0 sends nothing and fails.
template <typename Build>
Result SectorCommand(bool dataIn, const char* path, void* buffer, std::uint32_t length,
                  std::uint32_t sectorSize, std::int32_t* moved, Build build) {
  if (moved != nullptr) *moved = 0;
  if (sectorSize == 0) return Result::Failed();
  std::uint8_t cdb[kCdb16] = {};
  build(cdb, length / sectorSize);
  if (dataIn) return In(path, cdb, kCdb16, buffer, static_cast<std::int32_t>(length), moved);
  return Out(path, cdb, kCdb16, buffer, length, moved);
}

}  // namespace

Result ReadCapacity16(const char* path, void* buffer, std::int32_t length) {
  std::uint8_t cdb[kCdb16] = {0x9E, 0x10};
  cdb[13] = static_cast<std::uint8_t>(length);
  return In(path, cdb, kCdb16, buffer, length);
}

Result ReadDisk16(const char* path, void* buffer, std::uint32_t lbaLow, std::uint32_t lbaHigh,
               std::uint32_t length, std::uint32_t sectorSize, std::int32_t* moved) {
  return SectorCommand(true, path, buffer, length, sectorSize, moved,
                       [&](std::uint8_t* cdb, std::uint32_t sectors) {
                         BuildDisk16(cdb, 0x88, lbaLow, lbaHigh, sectors);
                       });
}

Result WriteDisk16(const char* path, void* buffer, std::uint32_t lbaLow, std::uint32_t lbaHigh,
                std::uint32_t length, std::uint32_t sectorSize, std::int32_t* moved) {
  if (!MayChange()) return Result::Failed();
  return SectorCommand(false, path, buffer, length, sectorSize, moved,
                       [&](std::uint8_t* cdb, std::uint32_t sectors) {
                         BuildDisk16(cdb, 0x8A, lbaLow, lbaHigh, sectors);
                       });
}

Result AtaIdentify(const char* path, void* buffer) {
  const std::uint8_t cdb[kCdb12] = {0xA1, 0x08, 0x0B, 0, 0, 0, 0, 0, 0x40, 0xEC};
  return In(path, cdb, kCdb12, buffer, static_cast<std::int32_t>(kIdentifyLength));
}

Result AtaReadDma48(const char* path, void* buffer, std::uint32_t lbaLow, std::uint32_t lbaHigh,
                 std::uint32_t length, std::uint32_t sectorSize, std::int32_t* moved) {
  return SectorCommand(true, path, buffer, length, sectorSize, moved,
                       [&](std::uint8_t* cdb, std::uint32_t sectors) {
                         BuildDma48(cdb, 0x15, 0x0B, 0x25, lbaLow, lbaHigh, sectors);
                       });
}

Result AtaWriteDma48(const char* path, void* buffer, std::uint32_t lbaLow, std::uint32_t lbaHigh,
                  std::uint32_t length, std::uint32_t sectorSize, std::int32_t* moved) {
  if (!MayChange()) return Result::Failed();
  return SectorCommand(false, path, buffer, length, sectorSize, moved,
                       [&](std::uint8_t* cdb, std::uint32_t sectors) {
                         BuildDma48(cdb, 0x17, 0x03, 0x35, lbaLow, lbaHigh, sectors);
                       });
}

std::uint64_t GetLastLba(const char* path) {
  std::uint8_t data[16] = {};
  if (ReadCapacity16(path, data, 16).failed()) return 0;
  return static_cast<std::uint64_t>(Be32(data)) << 32 | Be32(data + 4);
}

std::uint64_t IdentifyCapacity(const std::uint8_t* identify) {
  const std::uint32_t v = static_cast<std::uint32_t>(Word(identify, 60)) |
                          static_cast<std::uint32_t>(Word(identify, 61)) << 16;
  if (v != 0x0FFFFFFF) return v;
  std::uint64_t c = 0;
  for (int w = 103; w >= 100; --w) c = c << 16 | Word(identify, w);
  return c;
}

std::uint64_t GetDiskCapacity(const char* path) {
  std::uint8_t identify[kIdentifyLength] = {};
  if (AtaIdentify(path, identify).failed()) return 0;
  return IdentifyCapacity(identify);
}

std::uint32_t GetLogicalSectorSize(const char* path) {
  std::uint8_t identify[kIdentifyLength] = {};
  if (AtaIdentify(path, identify).failed()) return kDefaultSectorSize;
  const std::uint16_t w106 = Word(identify, 106);
  if (w106 != 0x5000 && w106 != 0x6000) return kDefaultSectorSize;
  const std::uint32_t words = static_cast<std::uint32_t>(Word(identify, 117)) |
                              static_cast<std::uint32_t>(Word(identify, 118)) << 16;
  // A disk that claims a long sector but gives no length would make every
  // caller divide by zero; treat it as the ordinary size.
  const std::uint32_t bytes = words * 2;
  return bytes != 0 ? bytes : kDefaultSectorSize;
}

bool CheckHddAreaSignature(const char* path, int chipType) {
  if (IsBankChip(chipType)) return false;
  if (AsChipType(chipType) == ChipType::Tx40779E) {
    std::uint8_t block[18] = {};
    return ReadChipParameters(path, block, sizeof block) != 0 && block[16] == 0x01;
  }
  std::uint8_t marker[4] = {};
  ReadChipMemory(path, marker, 0xC000, sizeof marker);  // a failed read leaves zeros
  return marker[0] == 0x55 && marker[1] == 0xAA;
}

bool CheckParamByte17(const char* path) {
  std::uint8_t block[18] = {};
  return ReadChipParameters(path, block, sizeof block) != 0 && block[17] == 0x01;
}

std::uint32_t GetHddFirmwareLba(const char* path, std::uint32_t /*sectorSize*/, int chipType) {
  const auto last = static_cast<std::uint32_t>(GetLastLba(path));
  const bool plus = CheckParamByte17(path);
  const std::uint64_t capacity = GetDiskCapacity(path);
  const auto cl = static_cast<std::uint32_t>(capacity);
  const auto ch = static_cast<std::uint32_t>(capacity >> 32);
  const std::uint32_t x = GetLogicalSectorSize(path);
  const bool signedArea = CheckHddAreaSignature(path, chipType);

  std::uint32_t fallback = ch != 0 ? cl - 1 : last;
  if (plus) ++fallback;
  if (!signedArea) return fallback;

  const std::uint64_t bytes = 4ull * x;
  if (bytes > 0xFFFFFFFFull) return fallback;
  std::unique_ptr<std::uint8_t[]> data(new (std::nothrow) std::uint8_t[bytes]());
  if (!data) return fallback;
  if (AtaReadDma48(path, data.get(), cl, ch, static_cast<std::uint32_t>(bytes), x).failed())
    return fallback;
  // The area tag: 0x55 at byte 150, the reference big-endian in 151..154.
  const std::uint32_t tag = bytes >= 155 ? Be32(data.get() + 151) : 0;
  if (tag != 0) return tag;
  return ch != 0 ? (cl & 0xFF) : kNoAreaTag;
}

}  // namespace device
