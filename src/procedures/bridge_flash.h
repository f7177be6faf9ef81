// The update of a bridge chip that sits behind a storage controller (chip
// types 13, 14 and 15): its serial flash is reached through the controller's
// ATA pass-through flash commands. The bridge keeps its own first 4 KB
// (its NVRAM) unless the image brings its own and "Include 4K NVRAM" is
// checked.
#pragma once

#include <cstdint>

#include "scsi/ata_commands.h"
#include "engine/procedure_table.h"
#include "engine/procedure_verbs.h"
#include "engine/run_window.h"

namespace program {

inline constexpr std::int32_t kBridgeNvramSize = 4096;
// The status text of a range-operation result (kAtaRangeOk reads as success).
const char* BridgeCodeText(device::AtaRangeResult code);

// Returns kProcedureSucceeded only after a verified update, erase or backup.

}  // namespace program
