// The update of a bridge chip that sits behind a storage controller (chip
// types 13, 14 and 15): its serial flash is reached through the controller's
// ATA pass-through flash commands. The bridge keeps its own first 4 KB
// (its NVRAM) unless the image brings its own and "Include 4K NVRAM" is
// checked.
#pragma once

#include <cstdint>

#include "engine/procedure_table.h"
#include "engine/procedure_verbs.h"
#include "engine/run_window.h"

namespace program {

inline constexpr std::int32_t kBridgeNvramSize = 4096;
// Code 7: the read-back differs from what was programmed.
inline constexpr int kBridgeCompareFailed = 7;

// The status text of a range-operation result code (0 and codes past 7 read
// as success).
const char* BridgeCodeText(int code);

// Returns kProcedureSucceeded only after a verified update, erase or backup.

}  // namespace program
