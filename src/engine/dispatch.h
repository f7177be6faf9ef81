// Run: which procedure a chip gets, by the chip type, the flash kind, the
// bus and a few options. The procedures themselves are in procedures.h.
#pragma once

#include <functional>

#include "scsi/device_record.h"
#include "engine/procedure_table.h"
#include "engine/run_window.h"

namespace program {

struct DispatchChecks {
  std::function<bool()> imageFitsFlash;  // asked only for chip type 10 programming runs
  std::function<bool()> chipMode505E;    // asked only for chip type 11
};

Procedure SelectProcedure(const ChipState& facts, const RunOptions& options, device::BusKind bus,
                          const DispatchChecks& checks);

}  // namespace program
