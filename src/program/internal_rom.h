// The update of the bridges that keep their firmware in a 64 KB parallel
// flash behind the chip's internal ROM (chip types 2 and 24). The part is
// chosen in the flash type list; its index travels with the pre-erase and
// program commands, which send that part's unlock sequence.
#pragma once

#include <cstdint>

#include "program/procedures.h"
#include "program/run_window.h"

namespace program {

inline constexpr std::uint32_t kRomSize = 0x10000;
// True once the ROM reports ready; false when it is still busy after the
// slowest part's chip erase and a margin on the host's clock
// (device::RomReadyLimitMs), or at once when a status read goes unanswered.
bool WaitRomReady(const char* path);

// The procedure's verbs: kProcedureSucceeded only after a verified update,
// erase or backup. The part is the one chosen in the flash type list.
int ProgramInternalRomFlash(RunWindow& window, const char* path);
int EraseInternalRomFlash(RunWindow& window, const char* path);
int BackupInternalRomFlash(RunWindow& window, const char* path);

}  // namespace program
