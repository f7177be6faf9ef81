// The procedure table: one row per flash procedure, with the name the
// console prints and its verbs (program, erase-only, backup-only). One
// driver picks the verb from the run's mode; a new procedure fills in its
// row's verbs; the dispatch rules (dispatch.h) choose the row.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "engine/run_window.h"

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

// What a procedure returns.
inline constexpr int kProcedureFailed = 0;
inline constexpr int kProcedureSucceeded = 1;
// Returned only by the refusal row: nothing was sent and Run stays disabled.
inline constexpr int kProcedureRefused = -1;
// The code of a verb that did, or did not do, what it was for.
constexpr int VerbResult(bool succeeded) {
  return succeeded ? kProcedureSucceeded : kProcedureFailed;
}

// A verb of a procedure: runs on the window's thread against the device at
// path and returns one of the codes above.
using ProcedureVerb = int (*)(RunWindow& window, const char* path);

// What a run does.
enum class RunMode { Program, EraseOnly, BackupOnly };

// Where a row reads its mode: most follow "RD Version"; the internal-ROM
// chips act on the erase-only and backup boxes whether or not the panel that
// holds them is shown.
enum class ModeSource { RdVersion, BoxesAlone };

// The box that ends a programming or erase-only run that did its work
// (none: nullptr); a backup and a failure end without one.
using ClosingNotice = const char* (*)(RunMode mode, const ChipState& facts);

struct ProcedureRow {
  Procedure procedure;
  const char* name;          // for the console's result line
  ProcedureVerb program;     // nullptr: not built yet, running it does nothing
  ProcedureVerb eraseOnly;
  ProcedureVerb backupOnly;
  ModeSource modes = ModeSource::RdVersion;
  ClosingNotice notice = nullptr;
};

RunMode ModeOf(const ProcedureRow& row, const RunWindow& window);
// The one mode split: runs the row's verb for the window's mode, nothing
// checked before it, and shows the row's closing notice after a success.
int RunVerb(Procedure procedure, RunWindow& window, const char* path);

// Every row, in the order of the Procedure enum.
std::span<const ProcedureRow> ProcedureTable();
const ProcedureRow& RowOf(Procedure procedure);

// How the last press of Run ended; the window keeps it.
enum class RunOutcome {
  NothingRan,  // no procedure for the chip, or its procedure is not built yet
  Succeeded,
  Failed,
  Refused,     // refused before any command (by the image size check Run stays disabled)
  CalledOff,   // a request to stop came before its first change: nothing was written
};

RunOutcome OutcomeOf(int procedureResult);

// The facts (device::kFact*) a run of procedure on the window's chip rests
// on: those the dispatch rules branched on for its chip type and those the
// procedure itself reads.
std::uint32_t FactsNeeded(Procedure procedure, const RunWindow& window);
// The status text of a run refused for the missing facts (not 0).
const char* MissingFactText(std::uint32_t missing);

// Runs the procedure's verb and says how it ended. A run whose facts were
// not all read is refused first: its status text, a failure, nothing sent.
RunOutcome RunProcedure(Procedure procedure, RunWindow& window, const char* path);

// True for the boxes that end a successful programming or erase-only run
// (power-cycle or reset notices); never shown after a failure.
bool IsPowerCycleNotice(const std::string& text);

const char* ProcedureName(Procedure procedure);
// True when running the procedure does something.
bool ProcedureBuilt(Procedure procedure);
// The file a backup-only run of the procedure writes when the backup file
// name is empty (the case differs between procedures).
const char* DefaultBackupFileOf(Procedure procedure);

}  // namespace program
