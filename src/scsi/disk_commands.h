// Commands to the disk behind an enclosure (standard SCSI and ATA
// pass-through sector commands) and the queries that locate the firmware
// area some chips keep on that disk.
#pragma once

#include <cstdint>

#include "scsi/command_result.h"

namespace device {

inline constexpr std::uint32_t kDefaultSectorSize = 512;
inline constexpr std::uint32_t kIdentifyLength = 512;
inline constexpr std::uint32_t kNoAreaTag = 257;  // area reference when the tag is 0

// --- single commands (1 success, 0 failure) --------------------------------
Result ReadCapacity16(const char* path, void* buffer, std::int32_t length);
// The sector count in the block is length / sectorSize; a sector size of 0
// sends nothing and fails. moved, when given, receives the bytes the device
// actually transferred: a transfer can succeed short.
Result ReadDisk16(const char* path, void* buffer, std::uint32_t lbaLow, std::uint32_t lbaHigh,
               std::uint32_t length, std::uint32_t sectorSize,
               std::int32_t* moved = nullptr);
Result WriteDisk16(const char* path, void* buffer, std::uint32_t lbaLow, std::uint32_t lbaHigh,
                std::uint32_t length, std::uint32_t sectorSize,
               std::int32_t* moved = nullptr);
Result AtaIdentify(const char* path, void* buffer);
Result AtaReadDma48(const char* path, void* buffer, std::uint32_t lbaLow, std::uint32_t lbaHigh,
                 std::uint32_t length, std::uint32_t sectorSize,
               std::int32_t* moved = nullptr);
Result AtaWriteDma48(const char* path, void* buffer, std::uint32_t lbaLow, std::uint32_t lbaHigh,
                  std::uint32_t length, std::uint32_t sectorSize,
               std::int32_t* moved = nullptr);

// --- derived queries -------------------------------------------------------
// Last logical block address from READ CAPACITY(16); 0 on failure.
std::uint64_t GetLastLba(const char* path);
// Sector count from 512 bytes of IDENTIFY DEVICE data: words 60-61, or words
// 100-103 when 60-61 hold the 28-bit ceiling 0x0FFFFFFF.
std::uint64_t IdentifyCapacity(const std::uint8_t* identify);
std::uint64_t GetDiskCapacity(const char* path);
// Bytes per logical sector; 512 when IDENTIFY fails or does not say otherwise.
std::uint32_t GetLogicalSectorSize(const char* path);
bool CheckHddAreaSignature(const char* path, int chipType);
bool CheckParamByte17(const char* path);
// The reference LBA of the disk-hosted firmware area. sectorSize is not used:
// the size is read from the disk again.
std::uint32_t GetHddFirmwareLba(const char* path, std::uint32_t sectorSize, int chipType);

}  // namespace device
