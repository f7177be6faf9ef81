// A run: the entry it names, the window's controls set as a user would set
// them, Run pressed, and its result; backup-only runs also keep an earlier
// backup and write the sidecar beside the new one.
#pragma once

#include <cstdint>
#include <string>

#include "console/backup.h"
#include "console/console.h"
#include "console/json.h"
#include "console/session.h"
#include "scsi/device_record.h"
#include "window/headless_view.h"
#include "window/main_window.h"

namespace app {

// Presses Run once as run says, on the window the session drives; the exit
// status of the run (its record is the last of s.report.runs).
int PressRun(Session& s, const ConsoleRun& run);

// --- run_setup.cpp: before Run is pressed ------------------------------------

// The console may only use a control that the window shows and enables now;
// otherwise problem says which it is.
bool Offered(const Control& control, const char* what, std::string& problem);
// Sets the controls the way a user would, in an order the window allows:
// the entry, the panel boxes that must go off, the image, the boxes that
// must go on, then "RD Version" as asked.
bool SetUpRun(MainWindow& w, HeadlessView& view, const ConsoleRun& run, std::string& problem);
// The chip an entry's device holds, as the window would name it on
// selection; identification only reads.
std::string ChipOfEntry(const device::DeviceRecord& record);
// An erase-only run asks first on a terminal; --yes answers it, and without a
// terminal nothing else can.
bool ConfirmErase(Session& s, const RunRecord& r);

// --- run_backup.cpp: backup-only runs ----------------------------------------

// The flash size the run works with: the one measured, or the setting.
std::uint64_t FlashBytesOf(const MainWindow& w);
// The enclosure as a backup's sidecar describes it.
BackupFacts FactsOf(MainWindow& w, int entry, RunMode mode);
// An earlier backup at the name is kept: the run writes a numbered name
// instead (typed into the backup file box). False when the box is not
// offered.
bool KeepEarlierBackup(Session& s, RunRecord& r);
// After a backup-only run: the file it wrote, and its sidecar. A backup
// without its sidecar cannot be restored: that fails the run (the enclosure
// was only read).
void NameTheBackup(Session& s, RunRecord& r);

}  // namespace app
