// Run: which procedure a chip gets, by the chip type, the flash kind and a
// few options.
#pragma once

#include <functional>

#include "program/run_window.h"

namespace program {

enum class Procedure {
  None,                    // nothing runs for this chip
  RefusedImageTooLarge,    // the image does not fit the chip's flash; Run stays off
  DiskAreaFirmware,
  HddHostedFirmware,
  SstSerialFlash,
  NvramPage16K,
  BlockCommandFlash,
  Ieee1394BridgeFlash,
  StandardSerialFlash,
  InternalRomParallelFlash,
  BridgeBehindController,
};

struct DispatchChecks {
  std::function<bool()> imageFitsFlash;  // asked only for chip type 10 programming runs
  std::function<bool()> chipMode505E;    // asked only for chip type 11
};

Procedure SelectProcedure(const ChipFacts& facts, const RunOptions& options, const char* path,
                          const DispatchChecks& checks);

// Runs the chosen procedure. Returns false when Run must stay disabled.
bool RunProcedure(Procedure procedure, RunWindow& window, const char* path);

const char* ProcedureName(Procedure procedure);

}  // namespace program
