// The update for serial flashes that need the raw programming path (SST
// parts with auto-address-increment programming): 32 KB erase units and
// 16 KB pages like the NVRAM-preserving update, but the image is written byte
// for byte from flash address 0 and no NVRAM is kept.
#pragma once

#include "program/run_window.h"

namespace program {

// The procedure's verbs: kProcedureSucceeded only after a verified update,
// erase or backup.
int ProgramSstSerialFlash(RunWindow& window, const char* path);
int EraseSstSerialFlash(RunWindow& window, const char* path);
int BackupSstSerialFlash(RunWindow& window, const char* path);

}  // namespace program
