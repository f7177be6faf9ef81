#include "console/listing.h"

#include <cstring>
#include <string>
#include <vector>

#include "chips/display_rules.h"
#include "console/console.h"
#include "console/text.h"
#include "engine/dispatch.h"
#include "host/host.h"
#include "identify/run_enabling.h"
#include "scsi/chip_commands.h"
#include "scsi/discovery.h"
#include "window/control_enabling.h"
#include "window/window_run.h"

namespace app {

namespace {

// A damaged firmware bank the listing found and left alone (banks counted
// from 1, as users count them).
std::string DamagedBankText(int bank, std::size_t entry) {
  return "bank " + std::to_string(bank + 1) + " damaged; `--run " + std::to_string(entry) +
         "` repairs it";
}

const char* BusText(device::BusKind bus) {
  return bus == device::BusKind::Usb        ? "USB"
         : bus == device::BusKind::Ieee1394 ? "IEEE 1394"
                                            : "other";
}

// An entry for the JSON document, selected already.
void DescribeEntry(MainWindow& w, host::Discovery& discovery, int index, ListedEntry& e) {
  e.index = index;
  e.text = TrimRight(w.DeviceList.items()[static_cast<std::size_t>(index)]);
  e.chipName = TrimRight(w.ChipLabelEdit.text());
  e.chipType = w.chip.chipType;
  e.chipSubCode = w.chip.chipSubCode;
  e.firmwareVersion = TrimRight(w.FwVerLableEdit.text());
  e.status = w.StatusEdit.text();
  switch (identify::DisplayGroupOf(w.chip.chipType)) {
    case identify::DisplayGroup::SerialFlash:
    case identify::DisplayGroup::BridgeBehindController:
      e.flashKind = "serial";
      e.flashMaker = TrimRight(w.SFlashTypeLable.text());
      if (w.flashSizeMeasured) e.flashSizeKb = w.chip.flashSizeKb;
      break;
    case identify::DisplayGroup::ParallelFlash:
      e.flashKind = "parallel";  // the part is the one picked in the list
      e.flashMaker = TrimRight(w.FlashTypeList.text());
      break;
    case identify::DisplayGroup::ParameterBlock:
    case identify::DisplayGroup::Unsupported:
      break;
  }
  if (w.bridgeVersionRead) e.bridgeVersion = w.chip.bridgeVersion;
  if (w.damagedBank >= 0) e.damagedBank = w.damagedBank + 1;
  const device::DeviceRecord* record = RecordOf(w, index);
  if (record == nullptr) return;
  e.bus = record->bus;
  e.path = RecordPath(*record);
  e.diskSequence = discovery.DiskSequence(e.path.c_str());
  for (std::size_t i = 0; i < sizeof record->driveLetters && record->driveLetters[i] != 0; ++i)
    e.drives.emplace_back(1, record->driveLetters[i]);
  e.program = OfferOf(w, *record, RunMode::Program);
  e.eraseOnly = OfferOf(w, *record, RunMode::EraseOnly);
  e.backupOnly = OfferOf(w, *record, RunMode::BackupOnly);
}

// One entry of the running text, selected already.
void PrintEntry(std::FILE* out, MainWindow& w, std::size_t i) {
  std::fprintf(out, "entry %zu: %s\n", i, Shown(TrimRight(w.DeviceList.items()[i])).c_str());
  std::fprintf(out, "  path:    %s\n", Shown(RecordPath(w.devices[i])).c_str());
  std::fprintf(out, "  chip:    %s\n", Shown(TrimRight(w.ChipLabelEdit.text())).c_str());
  const device::BusKind bus = w.devices[i].bus;
  std::fprintf(out, "  bus:     %s\n", BusText(bus));
  // Where the platform names volumes by mount point, those replace the
  // letters (which it has none of).
  std::vector<std::string> mounts;
  if (device::GetMountPoints(w.devices[i].path, mounts)) {
    std::string joined;
    for (const std::string& m : mounts) joined += (joined.empty() ? "" : ", ") + PrintableText(m);
    std::fprintf(out, "  mounts:  %s\n", joined.empty() ? "-" : joined.c_str());
  } else {
    std::fprintf(out, "  drives:  %s\n", Shown(TrimRight(w.DiskLetterLable.text())).c_str());
  }
  std::fprintf(out, "  version: %s\n", Shown(TrimRight(w.FwVerLableEdit.text())).c_str());
  std::fprintf(out, "  flash:   %s\n", Shown(TrimRight(w.SFlashTypeLable.text())).c_str());
  if (w.damagedBank >= 0)
    std::fprintf(out, "  repair:  %s\n", DamagedBankText(w.damagedBank, i).c_str());
}

}  // namespace

RunOffer OfferOf(MainWindow& w, const device::DeviceRecord& record, RunMode mode) {
  identify::RunInputs in = RunInputsOf(w);
  bool allowed = false;
  if (mode == RunMode::Program) {
    allowed = in.deviceCount != 0 && in.deviceListEnabled && identify::ChipTakesImages(in.chip);
  } else {
    in.fileName.clear();
    in.eraseOnlyChecked = mode == RunMode::EraseOnly;
    in.backupChecked = mode == RunMode::BackupOnly;
    allowed = identify::RunAfterOptionClick(in).run == identify::RunEffect::Enable;
  }
  if (!allowed) return {};
  const WindowRun run(w);
  program::RunOptions options = run.options();
  options.rdMode = mode != RunMode::Program;
  options.eraseOnlyChecked = mode == RunMode::EraseOnly;
  options.backupOnlyChecked = mode == RunMode::BackupOnly;
  program::DispatchChecks checks;
  checks.imageFitsFlash = [] { return true; };
  const std::string path = record.path;
  checks.chipMode505E = [&path] { return device::CheckChipMode505E(path.c_str()) == 1; };
  const program::Procedure procedure =
      program::SelectProcedure(run.facts(), options, record.bus, checks);
  return {program::ProcedureBuilt(procedure), procedure};
}

void ListEntries(Session& s) {
  MainWindow& w = s.w;
  s.report.listed = true;
  if (s.human != nullptr) {
    for (const host::UnreachableDevice& u : s.report.unreachable)
      std::fprintf(s.human, "not listed: %s\n", PrintableText(u.text).c_str());
  }
  if (!w.DeviceList.enabled()) {
    s.report.listNotice = w.DeviceList.text();
    if (s.human != nullptr) std::fprintf(s.human, "%s\n", Shown(w.DeviceList.text()).c_str());
    // Where the system listed no interface at all, say so rather than show
    // an empty list that looks like no enclosure.
    const std::string why = s.platform.discovery().DiscoveryNote();
    if (s.human != nullptr && !why.empty())
      std::fprintf(s.human, "%s; name the enclosure's drive with --device (\\\\.\\X: for X:).\n",
                   PrintableText(why).c_str());
    return;
  }
  const std::size_t count = w.DeviceList.items().size();
  for (std::size_t i = 0; i < count && i < std::size(w.devices); ++i) {
    if (s.human == nullptr) {
      ListedEntry& e = s.report.entries.emplace_back();
      s.view.RecordInto(&e.events);
      w.DeviceList.UserSelect(static_cast<int>(i));
      s.view.ProcessMessages();
      DescribeEntry(w, s.platform.discovery(), static_cast<int>(i), e);
      continue;
    }
    w.DeviceList.UserSelect(static_cast<int>(i));
    s.view.ProcessMessages();
    s.view.EndLine();
    PrintEntry(s.human, w, i);
  }
  if (s.human != nullptr) std::fflush(s.human);
}

void LogEnclosures(ConsoleLog& log, const MainWindow& w) {
  if (!w.DeviceList.enabled()) {
    log.HeaderLine("enclosures: none (" + w.DeviceList.text() + ")");
    return;
  }
  for (int k = 0; k < EntryCount(w); ++k) {
    const device::BusKind bus = w.devices[k].bus;
    log.HeaderLine("enclosure " + std::to_string(k) + ": " +
                   TrimRight(w.DeviceList.items()[static_cast<std::size_t>(k)]) + ", " +
                   BusText(bus) + ", path " + RecordPath(w.devices[k]));
  }
}

}  // namespace app
