// The flash procedure of chip type 7 attached over IEEE 1394: 256 bytes per
// command, programming with the erase flag at the two erase points 0 and
// 0x8000, and the chip's 1 KB NVRAM at 0x8000 kept by the erase-only run.
#pragma once

#include <cstdint>

#include "engine/procedure_verbs.h"
#include "engine/run_window.h"

namespace program {

// The erase-only run: true when the flash reads blank and the NVRAM is back.
bool Erase1394KeepNvram(RunWindow& window, const char* path);
// kProcedureSucceeded only after the flash compared equal to the image.
int Program1394Image(RunWindow& window, const char* path);
bool Write1394Range(RunWindow& window, const char* path, std::uint32_t address,
                    const std::uint8_t* source, std::uint32_t length);

}  // namespace program
