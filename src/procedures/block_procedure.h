// The flash procedure of the chips that take the block commands: types 8, 9,
// 11 (where Run routes it here), 12 and 16 with the firmware in the serial
// flash. It keeps the 4 KB NVRAM area unless "Include 4K NVRAM" is checked,
// stamps the bank checksum on types 12 and 16, programs both banks of a
// two-bank chip, and retries a failed write with other erase modes.
#pragma once

#include <cstdint>

#include "engine/procedure_verbs.h"
#include "engine/run_window.h"

namespace program {

// The erase-only run.
bool EraseOnlyKeepNvram(RunWindow& window, const char* path);
// Erases flash 0 .. length - 1 sector by sector by programming 0xFF.
bool EraseByProgrammingFF(RunWindow& window, const char* path, std::uint32_t length);
// The programming run.
int ProgramAndVerifyImage(RunWindow& window, const char* path);

}  // namespace program
