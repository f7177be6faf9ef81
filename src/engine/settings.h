// The values the option controls set and the procedures read. The window
// owns one of each for its life (the console's window too) and hands them to
// its runs; they are never saved.
#pragma once

#include <cstdint>

namespace program {

struct TransferSettings {
  std::uint32_t flashSize = 0x10000;  // bytes; the backup and erase-only size
  std::uint32_t blockSize = 0x2000;   // bytes moved per read, program or erase step
};

struct EraseGeometry {
  std::uint32_t eraseBlockSize = 0x8000;
  std::uint32_t eraseSectorSize = 0x1000;
  std::uint32_t erasedBlockCount = 0;
  std::uint32_t erasedSectorCount = 0;
};

}  // namespace program
