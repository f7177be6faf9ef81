// What the two 16 KB-page updates share: the image read whole before any
// command, 32 KB erase units each checked blank in two halves, and 16 KB
// pages each read back and compared. The procedures differ in what a page
// holds and how it is programmed; they pass that in.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/run_window.h"

namespace program {

inline constexpr std::uint32_t kPage16K = 0x4000;
inline constexpr std::uint32_t kEraseUnit32K = 0x8000;
inline constexpr std::uint32_t kNvramArea = 0x1000;  // flash 0x0000..0x0FFF

// The image as the procedure writes it.
struct PagedImage {
  std::vector<std::uint8_t> bytes;
  std::uint32_t extent = 0;  // flash bytes the procedure erases and writes, from 0
};

// Reads the whole image file. Refuses, with "Open File Error!!" and before
// any device command, a file that cannot be opened or read whole, an empty
// one, and one whose extent (its length raised to 16 KB, plus `shift`,
// rounded up to 16 KB) would not fit `flashBytes`: past the end the
// addresses would wrap onto the start of the flash.
bool LoadPagedImage(RunWindow& window, const std::string& fileName, std::uint32_t shift,
                    std::uint64_t flashBytes, PagedImage& image);

// The flash size a procedure may write: what identification read, else the
// flash size setting.
std::uint64_t FlashCapacity(const RunWindow& window);

inline std::uint32_t EraseUnitCount(std::uint32_t extent) {
  return extent / kEraseUnit32K + (extent % kEraseUnit32K != 0 ? 1 : 0);
}

// Shows "Erasing", then erases the units at 0, 32 KB, ... one by one, a dot
// each, and checks each reads 0xFF in two 16 KB halves. beforeFirstErase runs
// just before the first erase command is sent. Status texts on failure.
bool EraseUnitsBlankChecked(RunWindow& window, const char* path, std::uint32_t units,
                            const std::function<void()>& beforeFirstErase = {});

// Programs `length` bytes at `address` through the caller's writer, reads
// them back and compares. Status texts on failure.
using PageWriter =
    std::function<bool(std::uint32_t address, const std::uint8_t* data, std::uint32_t length)>;
bool ProgramAndVerify(RunWindow& window, const char* path, const PageWriter& write,
                      std::uint32_t address, const std::uint8_t* data, std::uint32_t length,
                      const std::function<void()>& afterWrite = {});

// The backup-only run: chip type 10 reads its whole chip flash block by
// block, the others the flash size setting in one read. skip: 0, or 4096 to
// leave the NVRAM out.
bool BackupPagedFlash(RunWindow& window, const char* path, std::uint32_t skip);

// The engine's program command, waiting for the flash first.
bool EngineWrite(const char* path, std::uint32_t address, const std::uint8_t* data,
                 std::uint32_t length);

}  // namespace program
