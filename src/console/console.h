// The console front end: one more view of the main window model. It lists
// the enclosures as the window shows them and presses Run on a chosen entry
// with the window's own options, printing every status line and message box
// as they happen. It drives only controls the window offers at that moment,
// so it can do nothing the window cannot.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "console/exit_status.h"
#include "host/host.h"
#include "window/main_window.h"

namespace app {

// One press of Run with the options set before it.
struct ConsoleRun {
  int entry = -1;          // DeviceList entry, or
  std::string device;      // the entry of the enclosure at this device path
  std::string expectChip;  // the chip name the entry must show; "" checks none
  std::string image;       // FwFilenameEdit; "" leaves it as it is
  bool load = false;       // the image is chosen with "Load File", not typed in
  bool rd = false;         // "RD Version"
  bool eraseOnly = false;  // "Erase All Flash Only "
  bool backupOnly = false; // "Backup Old Firmware Only"
  std::string backupFile;  // BackupFileEdit
  std::optional<bool> nvram;  // "Include 4K NVRAM"; unset leaves the box as it is
  std::string fwSize;         // FwSizeCheck item ("32KB" .. "1MB"); "" leaves it
  int flashType = -1;         // FlashTypeList item (0..2); -1 leaves it
  std::optional<bool> a1Chip; // "A1 Chip"; unset leaves the box as it is
  // Answers Yes when Run asks whether to program an image the chip check
  // refused (a file chosen with "Load File"); without it the answer is No.
  bool programAnyway = false;
  // --restore: image is a backup this console wrote, programmed back (as
  // with --load and --program-anyway) only when its sidecar matches.
  bool restore = false;
  // --repair N: select the entry (repairing a damaged firmware bank) only.
  bool repairOnly = false;
};

struct ConsoleOptions {
  bool help = false;
  bool version = false;
  bool simulate = false;
  bool list = false;             // also list when runs are given
  bool wait = false;             // wait for a recognised enclosure first
  bool json = false;             // one JSON document instead of the running text
  std::vector<ConsoleRun> runs;  // in order, on the same window
  bool repeat = false;           // with --wait: a station, one enclosure after another
  std::string recordFile;        // the station's record, one JSON line per enclosure
  std::string inspect;           // an image file to inspect instead, no device needed
  std::string logFile;           // the support log; "" for none
  bool yes = false;              // answers Yes to the erase-only question
  bool quiet = false;            // no progress line, no status lines: results and errors
  bool verbose = false;          // every command block as sent, on standard error
  std::vector<std::string> arguments;  // as given, for the log's header
  // The program's version and commit (the log's header and the JSON
  // document); set by the program, not by the arguments.
  std::string toolVersion;
  std::string toolCommit;
  // The station updates one enclosure after the other, in this process,
  // even where worker processes could update them at once.
  bool stationInTurn = false;
  // The program the station starts as its worker for an enclosure ("": this
  // program's own file); none: its workers are copies of this process where
  // the platform has those, else it works in turn.
  std::optional<std::string> workerProgram;
  // In such a worker: the enclosure it updates and its number at the station.
  std::string workerPath;
  int workerNumber = 0;
};


// Every option, from the one table the parser reads (GNU style, on
// standard output for --help), with the exit statuses.
std::string ConsoleUsage();
// Every option's names ("--quiet", "-q"), from the same table.
std::vector<std::string> ConsoleOptionNames();
// A device's text for a line of the running text: control characters as
// \ooo escapes (as mountinfo writes them), so no text can end a line or
// forge one. Backslashes stay: device paths on Windows are full of them.
std::string PrintableText(const std::string& text);
// Whether the chip name a window shows ("TX40775 Series") is the one a user
// named: the same letters in any case, " Series" optional.
bool ChipNameMatches(const std::string& shown, const std::string& wanted);
// False with a message in error when the arguments are not understood.
bool ParseConsoleArgs(const std::vector<std::string>& args, ConsoleOptions& options,
                      std::string& error);

// Runs the console on the current host: lists the entries (when asked or no
// run is given), then each run in order; stops at the first that does not
// succeed. Output goes to out, flushed as it comes (progress dots included);
// with options.json it is one JSON document written at the end. When out is
// a terminal, a run also shows its progress on a line redrawn in place.
// With options.logFile every command block, status line and box also goes
// to that file; a log that cannot be created ends it before anything is sent.
// The console's own errors (a run it could not press, the reason a file
// could not be used) go to err.
// An erase-only run asks on answers when it is a terminal (null: none).
int RunConsole(host::Host& platform, const ConsoleOptions& options, std::FILE* out,
               std::FILE* err = stderr, std::FILE* answers = stdin);

}  // namespace app
