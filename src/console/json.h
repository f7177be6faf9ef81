// The console's machine-readable output: what a console session saw, as plain
// records, and the one JSON document written from them (field names in the
// README; kFormatVersion changes when a field changes meaning or goes away).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "console/exit_status.h"
#include "scsi/device_record.h"
#include "host/host.h"
#include "identify/image_checks.h"
#include "engine/procedure_table.h"

namespace app {

inline constexpr int kJsonFormatVersion = 1;

// A status line (progress dots continue it) or a message box.
struct ConsoleEvent {
  bool box = false;
  std::string text;     // as the window holds it, line breaks included
  std::string caption;  // boxes only
};

// What Run would do for one kind of run on an entry: offered when the window
// would let Run be pressed for it and the procedure it would call is built.
struct RunOffer {
  bool offered = false;
  std::optional<program::Procedure> procedure;  // unset when the window does not allow it
};

struct ListedEntry {
  int index = 0;
  std::string text;  // the DeviceList item
  std::string chipName;
  int chipType = 0;
  int chipSubCode = 0;
  device::BusKind bus = device::BusKind::Other;
  std::string path;
  std::optional<std::uint64_t> diskSequence;  // where the platform numbers disks
  std::vector<std::string> drives;
  std::string firmwareVersion;                // "" when none is shown
  std::string status;                         // the status line after selecting it
  std::string flashMaker;                     // "" when none is shown
  const char* flashKind = nullptr;            // "serial", "parallel" or none
  std::optional<int> flashSizeKb;             // when identification read it
  std::optional<int> bridgeVersion;           // when identification read it
  std::optional<int> damagedBank;  // a firmware bank (1 or 2) found damaged, left for a run
  RunOffer program, eraseOnly, backupOnly;
  std::vector<ConsoleEvent> events;           // shown while selecting the entry
};

enum class RunMode { Program, EraseOnly, BackupOnly };
// "program", "eraseOnly" or "backupOnly", as the document writes it.
const char* RunModeName(RunMode mode);

// How a --run ended: the first four (and Interrupted) after Run was pressed, the others when
// the console could not press it (Unreachable: the device could not be held
// for the run; WrongChip: not the chip --expect-chip names; NotConfirmed: an
// erase-only run the user did not confirm).
enum class RunEnd {
  Succeeded,
  Failed,
  RanNothing,
  Refused,
  RunDisabled,
  NotOffered,
  NoSuchEntry,
  Unreachable,
  WrongChip,
  Interrupted,  // a request to stop came before anything was written: Run was
                // not pressed, or its run was called off before its first change
  Repaired,     // --repair: the selection repaired a damaged firmware bank
  NotConfirmed,  // an erase-only run the user did not confirm
};

struct RunRecord {
  int entry = -1;
  std::string device;  // --device, as given
  std::string entryText;
  RunMode mode = RunMode::Program;
  std::string image;       // FwFilenameEdit when Run was pressed
  std::string backupFile;  // BackupFileEdit, for backup-only runs
  std::optional<program::Procedure> procedure;  // set once Run was pressed
  RunEnd end = RunEnd::RanNothing;
  std::string problem;  // the console's reason when it could not press Run
  std::vector<ConsoleEvent> events;
  double wallSeconds = 0;
  std::string chip;             // as the chip line showed it when Run was pressed
  std::string firmwareVersion;  // likewise; "" when none was shown
  // The image check's answer for a programming run's image, and the chip
  // type whose rule gave it; unset when no image was checked.
  std::optional<identify::MatchDetail> imageCheck;
  int imageRuleChip = 0;
  // Command blocks Run sent, and those among them that may change what the
  // device stores: they tell a device left as it was from one that needs
  // attention.
  int commands = 0;
  int changingCommands = 0;
  ExitClass exitClass = ExitClass::Failed;
};

// One enclosure a production station (--repeat) met: a line of its record.
struct StationRecord {
  int number = 0;        // in the order the station met them, from 1
  std::string started;   // local time, "2025-01-31T09:15:02"
  std::string path;
  std::string entryText;
  std::string chip;
  std::string versionBefore, versionAfter;  // "" when none was read
  const char* outcome = "skipped";          // "updated", "failed" or "skipped"
  RunEnd end = RunEnd::RanNothing;
  std::optional<program::Procedure> procedure;
  std::string problem;  // why it was not updated, in the console's or the window's words
  std::string backupFile;
  double seconds = 0;
};

struct StationSummary {
  int updated = 0, failed = 0, skipped = 0;
  std::string endedBy;  // the signal that ended it, "" when something else did
};

// Each one JSON line (no line break), ASCII as the document is.
std::string StationRecordJson(const StationRecord& record);
// What an updated enclosure reports once its run is over, for the line
// written at the run's end: {"settled": K, "versionAfter": ...}.
std::string StationVersionAfterJson(const StationRecord& record);
std::string StationSummaryJson(const StationSummary& summary);
// A line StationRecordJson wrote, read back (a station's worker sends it);
// false when it is not one.
bool StationRecordFromJson(const std::string& line, StationRecord& record);

struct ConsoleReport {
  bool listed = false;
  std::string listNotice;  // the DeviceList text when it has no entries
  std::vector<ListedEntry> entries;
  std::vector<RunRecord> runs;
  std::vector<ConsoleEvent> otherEvents;  // at start-up and exit
  // Devices the listing misses because they could not be opened.
  std::vector<host::UnreachableDevice> unreachable;
  std::string interrupted;  // what came during a run, "" when nothing
  int exitStatus = 0;
  std::string toolVersion, toolCommit;  // "" when not known
};

// The document, ASCII only (every other character as a \u escape), with a
// line break at the end.
std::string ConsoleJson(const ConsoleReport& report);

// Texts in the window are bytes in the system's code page, not necessarily
// UTF-8: valid UTF-8 sequences are kept, and every other byte stands for the
// character of the same number (U+0080..U+00FF, as ISO 8859-1 would read it).
std::string JsonText(std::string_view bytes);

}  // namespace app
