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

#include "app/main_window.h"

namespace app {

// One press of Run with the options set before it.
struct ConsoleRun {
  int entry = -1;          // DeviceList entry
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
};

struct ConsoleOptions {
  bool help = false;
  bool version = false;
  bool simulate = false;
  bool list = false;             // also list when runs are given
  bool wait = false;             // wait for a recognised enclosure first
  bool json = false;             // one JSON document instead of the running text
  std::vector<ConsoleRun> runs;  // in order, on the same window
};

// Exit statuses, from the outcome the window kept of the run
// (MainWindow::lastOutcome).
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitRunFailed = 1;  // a run failed, ran nothing, or Run was disabled
inline constexpr int kExitUsage = 2;      // bad arguments, or a control the window does not offer

std::string ConsoleUsage();
// False with a message in error when the arguments are not understood.
bool ParseConsoleArgs(const std::vector<std::string>& args, ConsoleOptions& options,
                      std::string& error);

// Runs the console on the current host: lists the entries (when asked or no
// run is given), then each run in order; stops at the first that does not
// succeed. Output goes to out, flushed as it comes (progress dots included);
// with options.json it is one JSON document written at the end.
int RunConsole(const ConsoleOptions& options, std::FILE* out);

}  // namespace app
