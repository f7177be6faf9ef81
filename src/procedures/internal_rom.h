// The update of the bridges that keep their firmware in a 64 KB parallel
// flash behind the chip's internal ROM (chip types 2 and 24). The part is
// chosen in the flash type list; its index travels with the pre-erase and
// program commands, which send that part's unlock sequence.
#pragma once

#include <cstdint>

#include "engine/procedure_table.h"
#include "engine/procedure_verbs.h"
#include "engine/run_window.h"

namespace program {

inline constexpr std::uint32_t kRomSize = 0x10000;
// True once the ROM reports ready; false when it is still busy after the
// slowest part's chip erase and a margin on the host's clock
// (device::RomReadyLimitMs), or at once when a status read goes unanswered.
bool WaitRomReady(RunWindow& window, const char* path);

}  // namespace program
