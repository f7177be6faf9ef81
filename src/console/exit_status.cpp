#include "console/exit_status.h"

#include <array>

namespace app {

namespace {

constexpr std::array<ExitClassRow, 8> kRows = {{
    {ExitClass::Success, "success",
     "every run succeeded (programming and erase-only runs ended with the power-cycle notice, "
     "backup-only runs with \"Read flash and backup success!\"); a listing: every device could "
     "be opened"},
    {ExitClass::Failed, "failed",
     "a run failed with the device as it was: nothing that changes the flash or disk was sent "
     "(a backup that could not be read or written, a step that failed before the first erase)"},
    {ExitClass::Usage, "usage",
     "bad option or argument, a control the window does not offer for the entry, or an output "
     "file (backup, sidecar, log, record) that is a link, pipe, device or folder, that cannot "
     "be created, or that names the image or another output"},
    {ExitClass::Refused, "refused",
     "refused before any command: the image (Run disabled, unreadable, answered No), its size, "
     "a chip with no update, not the chip --expect-chip names, an erase not confirmed, a "
     "backup --restore refuses (its sidecar or bytes do not fit), a file --inspect cannot read"},
    {ExitClass::Unavailable, "unavailable",
     "the device: no such entry or path, in use by another program, replaced, or not open to "
     "this user; a listing that leaves out a device it could not open"},
    {ExitClass::Attention, "attention",
     "a run failed after commands that change the flash or disk were sent: it may hold neither "
     "the old firmware nor the new. Keep the enclosure attached and powered and run the update "
     "again"},
    {ExitClass::OutputIncomplete, "outputIncomplete",
     "every run succeeded, but the log or the standard output could not be written whole (a "
     "full disk, a file-size limit)"},
    {ExitClass::Interrupted, "interrupted",
     "signal N (2 for Ctrl+C) came during a run: before its first erase it ended the run with "
     "nothing written, after it the run was finished first"},
}};

}  // namespace

const char* const kAttentionAdvice =
    "attention: the flash may now hold neither the old firmware nor the new. Keep the enclosure "
    "attached and powered, and run the update again (or program a backup back with --restore "
    "FILE); turned off now it may not start again.";

std::span<const ExitClassRow> ExitClasses() { return kRows; }

const char* ExitClassName(ExitClass cls) {
  for (const ExitClassRow& row : kRows)
    if (row.cls == cls) return row.name;
  return "failed";
}

ExitClass ExitClassOf(int status) {
  if (status >= kExitInterruptedBase) return ExitClass::Interrupted;
  for (const ExitClassRow& row : kRows)
    if (static_cast<int>(row.cls) == status) return row.cls;
  return ExitClass::Failed;
}

ExitClass Worse(ExitClass a, ExitClass b) {
  if (a == ExitClass::Attention || b == ExitClass::Attention) return ExitClass::Attention;
  return a == ExitClass::Success ? b : a;
}

}  // namespace app
