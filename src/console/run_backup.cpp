#include "console/runs.h"

#include <string>

#include "chips/display_rules.h"
#include "console/text.h"
#include "engine/dispatch.h"
#include "engine/settings.h"
#include "host/stdio_file.h"
#include "console/listing.h"

namespace app {

namespace {

// The file a backup-only run writes: the name given, or the procedure's
// default name.
std::string BackupTarget(MainWindow& w, const RunRecord& r) {
  if (!r.backupFile.empty()) return r.backupFile;
  const device::DeviceRecord* record = RecordOf(w, r.entry);
  const RunOffer offer =
      record != nullptr ? OfferOf(w, *record, RunMode::BackupOnly) : RunOffer{};
  return offer.procedure ? program::DefaultBackupFileOf(*offer.procedure)
                         : program::kDefaultBackupFile;
}

}  // namespace

std::uint64_t FlashBytesOf(const MainWindow& w) {
  return w.flashSizeMeasured ? std::uint64_t{1024} * w.chip.flashSizeKb
                             : std::uint64_t{w.transferSettings.flashSize};
}

BackupFacts FactsOf(MainWindow& w, int entry, RunMode mode) {
  BackupFacts f;
  f.chipName = TrimRight(w.ChipLabelEdit.text());
  f.chipType = w.chip.chipType;
  f.chipSubCode = w.chip.chipSubCode;
  f.firmwareVersion = TrimRight(w.FwVerLableEdit.text());
  f.flashPart = identify::DisplayGroupOf(w.chip.chipType) == identify::DisplayGroup::ParallelFlash
                    ? TrimRight(w.FlashTypeList.text())
                    : TrimRight(w.SFlashTypeLable.text());
  f.flashBytes = FlashBytesOf(w);
  const device::DeviceRecord* record = RecordOf(w, entry);
  if (record != nullptr) {
    const RunOffer offer = OfferOf(w, *record, mode);
    if (offer.procedure) f.procedure = program::ProcedureName(*offer.procedure);
  }
  return f;
}

bool KeepEarlierBackup(Session& s, RunRecord& r) {
  const std::string target = BackupTarget(s.w, r);
  const std::string kept = KeptBackupName(target);
  if (kept == target) return true;
  if (!Offered(s.w.BackupFileEdit, "the backup file name", r.problem)) return false;
  s.w.BackupFileEdit.SetText(kept);
  s.view.ProcessMessages();
  r.backupFile = kept;
  Say(s, target + " exists and is kept: the backup goes to " + kept);
  return true;
}

void NameTheBackup(Session& s, RunRecord& r) {
  const std::string written = BackupTarget(s.w, r);
  r.backupFile = written;
  BackupFacts facts = FactsOf(s.w, r.entry, r.mode);
  std::uint64_t length = 0;
  if (const host::File f = host::OpenRegularFile(written.c_str());
      f && host::FileLength(f.get(), length) && length < facts.flashBytes)
    facts.skipped = facts.flashBytes - length;
  std::string problem;
  if (!WriteSidecar(written, facts, s.toolVersion, problem)) {
    r.end = RunEnd::Failed;
    r.problem = problem;
    r.exitClass = ExitClass::Failed;
    Say(s, "backup written to " + written + ", but " + problem);
    Complain(s, problem);
    return;
  }
  Say(s, "backup written to " + written + " (sidecar " + SidecarName(written) + ")");
}

}  // namespace app
