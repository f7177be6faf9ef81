#include "procedure_scenarios.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <stdexcept>

#include "block_fixture.h"
#include "disk_fixture.h"
#include "host/host.h"
#include "scsi/ata_commands.h"
#include "scsi/flash_commands.h"
#include "sim/controller_route.h"
#include "sim/parallel_flash.h"
#include "sim/test_images.h"
#include "texts.h"

namespace testing_support {

namespace {

using program::Procedure;

const sim::EnclosureProfile& ProfileOf(const Scenario& s) { return *sim::FindProfile(s.profile); }

// Attaches the scenario's profile, changed by the state's edit if it has one.
std::shared_ptr<sim::BridgeChip> AttachScenario(const Scenario& s, sim::Machine& m,
                                                const ScenarioState& st,
                                                sim::AttachOptions options = {}) {
  sim::EnclosureProfile profile = ProfileOf(s);
  if (st.edit) st.edit(profile, options);
  return sim::AttachProfile(m, profile, options);
}

// A read-back that differs: one byte at 0x1001 (past every kept record)
// that will not program, or that reads wrong after an erase.
sim::FlashFault DifferingByte(const Scenario& s) {
  sim::FlashFault f;
  f.kind = s.mode == RunMode::Program ? sim::FlashFault::Kind::BitsDoNotProgram
                                      : sim::FlashFault::Kind::WrongReadData;
  f.mask = s.mode == RunMode::Program ? 0xFF : 0x01;
  f.address = 0x1001;
  f.length = 1;
  return f;
}
void SerialSpoil(const Scenario& s, sim::EnclosureProfile&, sim::AttachOptions& o) {
  o.flashFaults = {DifferingByte(s)};
}
void RomSpoil(const Scenario& s, sim::EnclosureProfile& p, sim::AttachOptions& o) {
  (p.parallelPart.has_value() ? o.flashFaults : o.behindFlashFaults) = {DifferingByte(s)};
}
// The first byte of the area's sixth sector reads inverted.
void DiskSpoil(const Scenario& s, sim::EnclosureProfile& p, sim::AttachOptions&) {
  p.disk.corruptReadLba = static_cast<std::int64_t>(s.start + 5);
}

Bytes Cells(const sim::FlashArray& cells, std::size_t address, std::size_t n) {
  Bytes out(n);
  cells.Read(address, out.data(), n);
  return out;
}

// --- the standard serial-flash update: the record at 0x8000 ----------------

void StandardImage(const Scenario& s, ScenarioState& st) {
  st.image = Pattern(s.imageSize, 0x3C, 13, 9);
  // A good run leaves the image padded with zeros to whole 8 KB blocks.
  st.wanted = st.image;
  st.wanted.resize(std::max<std::size_t>(0x8000, (s.imageSize + 0x1FFF) / 0x2000 * 0x2000), 0x00);
}
std::shared_ptr<sim::BridgeChip> StandardBuild(const Scenario& s, sim::Machine& m,
                                               ScenarioState& st) {
  auto chip = AttachScenario(s, m, st);
  sim::FlashArray& cells = chip->serialFlash()->cells();
  st.old = Pattern(cells.size(), 0x11, 13, 9);
  cells.Load(0, st.old.data(), st.old.size());
  st.kept = Pattern(512, 0xA5, 13, 9);
  cells.Load(0x8000, st.kept.data(), st.kept.size());
  if (s.pageSize != 0) (void)device::SetFlashPageSize(chip->path().c_str(), s.pageSize, 2);
  return chip;
}
void StandardWindow(const Scenario& s, sim::BridgeChip&, FakeRunWindow& w) {
  w.facts_.chipType = ProfileOf(s).chipType;
  w.facts_.flashTypeCode = s.flashKind;
}
bool StandardInPlace(const Scenario& s, sim::BridgeChip& chip, const ScenarioState& st) {
  const sim::FlashArray& cells = chip.serialFlash()->cells();
  if (s.mode == RunMode::EraseOnly) return FlashHolds(chip, 0, Bytes(cells.size(), 0xFF));
  if (s.mode == RunMode::BackupOnly) {
    const Bytes saved = ReadFile(st.backupFile);  // the flash, byte for byte
    return saved.size() == cells.size() && FlashHolds(chip, 0, saved);
  }
  return FlashHolds(chip, 0, st.wanted);
}
bool StandardKept(const Scenario& s, sim::BridgeChip& chip, const ScenarioState& st) {
  return !s.keepsNvram || FlashHolds(chip, 0x8000, st.kept);
}

// --- the block-command and IEEE 1394 updates: an NVRAM area in the flash ---

void BlockImage(const Scenario& s, ScenarioState& st) { st.image = Pattern(s.imageSize, 9); }
std::shared_ptr<sim::BridgeChip> BlockBuild(const Scenario& s, sim::Machine& m, ScenarioState& st) {
  auto chip = AttachScenario(s, m, st);
  const sim::FlashArray& cells = chip->serialFlash()->cells();
  st.kept = Cells(cells, s.nvram, s.nvramLength);
  st.before = Cells(cells, 0, s.extent);
  return chip;
}
void BlockWindow(const Scenario& s, sim::BridgeChip& chip, FakeRunWindow& w) {
  const sim::EnclosureProfile& profile = ProfileOf(s);
  w.facts_.chipType = profile.identifiedType;
  w.facts_.flashTypeCode = profile.bridge.flashTypeCode;
  w.facts_.flashSizeKb = static_cast<std::int32_t>(chip.serialFlash()->cells().size() / 1024);
  w.geometry_ = EraseGeometryForKind(profile.bridge.flashTypeCode);
  w.options_.nvramChecked = false;  // keep the NVRAM
}
bool BlockInPlace(const Scenario& s, sim::BridgeChip& chip, const ScenarioState& st) {
  if (s.mode == RunMode::EraseOnly) {
    Bytes blank(s.extent, 0xFF);
    std::copy(st.kept.begin(), st.kept.end(), blank.begin() + s.nvram);
    return FlashHolds(chip, 0, blank);
  }
  if (s.mode == RunMode::BackupOnly) return ReadFile(st.backupFile) == st.before;
  // The kept NVRAM and the bank checksum are the procedure's own bytes.
  const Bytes flash = Cells(chip.serialFlash()->cells(), 0, s.imageSize);
  Bytes expected = st.image;
  for (std::uint32_t i = 0; i < s.nvramLength && s.nvram + i < s.imageSize; ++i)
    expected[s.nvram + i] = st.kept[i];
  if (ProfileOf(s).chipType == 12)
    expected[0xBFFE] = flash[0xBFFE], expected[0xBFFF] = flash[0xBFFF];
  return flash == expected;
}
bool BlockKept(const Scenario& s, sim::BridgeChip& chip, const ScenarioState& st) {
  return s.nvramLength == 0 || FlashHolds(chip, s.nvram, st.kept);
}
// A run that may have erased the NVRAM area puts it back, or says that the
// write-back failed.
std::string BlockAfterRun(const Scenario& s, sim::BridgeChip& chip, const ScenarioState& st,
                          const FakeRunWindow& w) {
  if (!FlashHolds(chip, s.nvram, st.kept) && w.StatusText() != "Write NVRAM back command fail!")
    return "NVRAM area lost without a failed write-back";
  return "";
}

// --- the disk-hosted updates: the HDD bank and the disk area ----------------

std::uint32_t BankEnd(const Scenario& s) { return ProfileOf(s).chipType == 16 ? 0x8000 : 0xC000; }
bool HddBank(const Scenario& s) { return s.procedure == Procedure::HddHostedFirmware; }

void DiskImage(const Scenario& s, ScenarioState& st) {
  const bool bank = HddBank(s);
  st.image = DiskPattern(bank ? 0x10000 : 0x18000, 0x3C);
  st.old = DiskPattern(0x20000, 0x77);
  // What the area must hold after a good run: the bank with its stamp (the
  // NVRAM part is not written), or the image with the area tag naming the
  // disk's sector count.
  st.wanted = st.image;
  if (bank) {
    sim::PutHddBankStamp(st.wanted, BankEnd(s));
    st.wanted.resize(BankEnd(s));
  } else {
    sim::PutAreaTag(st.wanted.data(), static_cast<std::uint32_t>(ProfileOf(s).disk.sectors));
    st.wanted.resize(0x20000, 0x00);
  }
  const std::size_t area = bank ? BankEnd(s) : 0x10000;
  if (s.mode == RunMode::EraseOnly) st.wanted.assign(area, 0x00);
  if (s.mode == RunMode::BackupOnly) st.wanted.assign(st.old.begin(), st.old.begin() + area);
}
std::shared_ptr<sim::BridgeChip> DiskBuild(const Scenario& s, sim::Machine& m, ScenarioState& st) {
  auto chip = AttachScenario(s, m, st);
  chip->disk()->WriteSectors(s.start, st.old.data(),
                             st.old.size() / ProfileOf(s).disk.logicalSectorSize);
  return chip;
}
void DiskWindow(const Scenario& s, sim::BridgeChip&, FakeRunWindow& w) {
  w.facts_.chipType = ProfileOf(s).chipType;
}
bool AreaHolds(sim::BridgeChip& chip, std::uint64_t lba, const Bytes& bytes) {
  const std::uint32_t x = chip.disk()->config().logicalSectorSize;
  Bytes out((bytes.size() + x - 1) / x * x);
  chip.disk()->ReadSectors(lba, out.data(), out.size() / x);
  return std::equal(bytes.begin(), bytes.end(), out.begin());
}
bool DiskInPlace(const Scenario& s, sim::BridgeChip& chip, const ScenarioState& st) {
  if (s.mode == RunMode::BackupOnly) return ReadFile(st.backupFile) == st.wanted;
  return AreaHolds(chip, s.start, st.wanted);
}
// The bank area's NVRAM part, never written with "Include 4K NVRAM" off.
bool HddKept(const Scenario& s, sim::BridgeChip& chip, const ScenarioState& st) {
  const Bytes nvram(st.old.begin() + BankEnd(s), st.old.begin() + 0x10000);
  return AreaHolds(chip, s.start + BankEnd(s) / chip.disk()->config().logicalSectorSize, nvram);
}

// --- the internal ROM and the bridge behind a controller --------------------

// The flash the procedure works on: the parallel ROM, or the serial flash of
// the bridge behind the controller.
sim::FlashArray& RomCells(sim::BridgeChip& chip) {
  if (chip.parallelFlash() != nullptr) return chip.parallelFlash()->cells();
  return chip.controllerRoute()->flash()->cells();
}
bool RomHolds(sim::BridgeChip& chip, std::size_t address, const Bytes& bytes) {
  const sim::FlashArray& cells = RomCells(chip);
  return address + bytes.size() <= cells.size() && Cells(cells, address, bytes.size()) == bytes;
}
void RomImage(const Scenario& s, ScenarioState& st) {
  const sim::EnclosureProfile& profile = ProfileOf(s);
  const bool rom = profile.parallelPart.has_value();
  sim::ImageLayout layout;
  layout.size = s.imageSize;
  layout.nvramArea = true;
  st.image = s.signedImage ? sim::MakeMatchingImage({profile.chipType, 0}, layout)
                           : Pattern(s.imageSize, 0x4B, 29, 10);
  st.old = Pattern(rom ? 0x10000 : 0x20000, 0x17, 29, 10);
  st.kept.assign(st.old.begin(), st.old.begin() + 4096);
  // The ROM takes 64 KB with 0xFF past the image; the bridge takes whole
  // 8 KB chunks, zeros past the image, with its own first 4 KB when kept.
  st.wanted = st.image;
  if (rom) {
    st.wanted.resize(0x10000, 0xFF);
  } else {
    st.wanted.resize((st.image.size() + 0x1FFF) / 0x2000 * 0x2000, 0x00);
    if (s.keepsNvram) std::copy(st.kept.begin(), st.kept.end(), st.wanted.begin());
  }
}
std::shared_ptr<sim::BridgeChip> RomBuild(const Scenario& s, sim::Machine& m, ScenarioState& st) {
  auto chip = AttachScenario(s, m, st);
  sim::FlashArray& cells = RomCells(*chip);
  cells.Load(0, st.old.data(), std::min(st.old.size(), cells.size()));
  // What identification tells the controller about the TXR847's MXIC part.
  if (ProfileOf(s).chipType == 13) (void)device::AtaSetFlashPageSize(chip->path().c_str(), 32);
  return chip;
}
void RomWindow(const Scenario& s, sim::BridgeChip& chip, FakeRunWindow& w) {
  w.facts_.chipType = ProfileOf(s).chipType;
  w.facts_.flashSizeKb = static_cast<std::int32_t>(RomCells(chip).size() / 1024);
  w.options_.a1ChipChecked = s.a1Chip;
  w.options_.flashTypeIndex = s.flashKind;
  w.options_.nvramChecked = !s.keepsNvram;
}
bool RomInPlace(const Scenario& s, sim::BridgeChip& chip, const ScenarioState& st) {
  if (s.mode == RunMode::EraseOnly) return RomHolds(chip, 0, Bytes(RomCells(chip).size(), 0xFF));
  if (s.mode == RunMode::BackupOnly) {
    const Bytes saved = ReadFile(st.backupFile);
    return !saved.empty() && RomHolds(chip, 0, saved);
  }
  return RomHolds(chip, 0, st.wanted);
}
bool RomKept(const Scenario& s, sim::BridgeChip& chip, const ScenarioState& st) {
  return !s.keepsNvram || RomHolds(chip, 0, st.kept);
}

// --- the 16 KB-page updates: the NVRAM-preserving one and the SST one -------

bool Sst(const Scenario& s) { return s.procedure == Procedure::SstSerialFlash; }

void PageImage(const Scenario& s, ScenarioState& st) {
  st.image.resize(s.imageSize);
  for (std::size_t i = 0; i < s.imageSize; ++i)
    st.image[i] = static_cast<std::uint8_t>(i * 29 + 0x5B);
}
std::shared_ptr<sim::BridgeChip> PageBuild(const Scenario& s, sim::Machine& m, ScenarioState& st) {
  sim::AttachOptions options;
  options.powerUpProtection = !s.unprotected;
  auto chip = AttachScenario(s, m, st, options);
  st.kept = Cells(chip->serialFlash()->cells(), 0, 0x1000);
  return chip;
}
void PageWindow(const Scenario& s, sim::BridgeChip&, FakeRunWindow& w) {
  w.facts_.chipType = ProfileOf(s).chipType;
  w.facts_.flashTypeCode = s.flashKind;
  w.facts_.sstJedecFlag = s.flashKind == 2 ? 1 : 0;
  w.facts_.flashSizeKb = 64;
  if (s.mode != RunMode::BackupOnly) w.options_.backupFile.clear();
}
bool PageInPlace(const Scenario& s, sim::BridgeChip& chip, const ScenarioState& st) {
  if (s.mode == RunMode::EraseOnly) return FlashHolds(chip, 0x1000, Bytes(0xF000, 0xFF));
  if (s.mode == RunMode::BackupOnly) {
    // The NVRAM update leaves its kept 4 KB out of the backup.
    const std::size_t skip = Sst(s) ? 0 : 0x1000;
    const Bytes saved = ReadFile(st.backupFile);
    return saved.size() == 0x10000 - skip &&
           FlashHolds(chip, static_cast<std::uint32_t>(skip), saved);
  }
  // Unsigned images: the NVRAM update puts the image behind the kept NVRAM.
  return FlashHolds(chip, Sst(s) ? 0 : 0x1000, st.image);
}
bool PageKept(const Scenario& s, sim::BridgeChip& chip, const ScenarioState& st) {
  return Sst(s) || FlashHolds(chip, 0, st.kept);
}

std::vector<std::string> PlusAutoReset() {
  std::vector<std::string> boxes = kPowerCycleBoxes;
  boxes.push_back(program::kAutoReset);
  return boxes;
}

// clang-format off
const std::vector<ProcedureLayout>& Layouts() {
  static const std::vector<ProcedureLayout> layouts = {
      {Procedure::StandardSerialFlash, StandardImage, StandardBuild, StandardWindow, StandardInPlace,
       StandardKept, nullptr, kPowerCycleBoxes, SerialSpoil, {"Compare Fail!!\r\n\r\n", "Data not 0xff !!"}},
      {Procedure::BlockCommandFlash, BlockImage, BlockBuild, BlockWindow, BlockInPlace, BlockKept,
       BlockAfterRun, PlusAutoReset(), SerialSpoil, {"Write NVRAM back command fail!", "Data not 0xff !!"}},
      {Procedure::Ieee1394BridgeFlash, BlockImage, BlockBuild, BlockWindow, BlockInPlace, BlockKept,
       BlockAfterRun, PlusAutoReset(), SerialSpoil, {"Data compare fail !!", "Data not 0xff !!"}},
      {Procedure::HddHostedFirmware, DiskImage, DiskBuild, DiskWindow, DiskInPlace, HddKept, nullptr,
       {program::kAutoReset}, DiskSpoil, {"Compare Data in HDD FAIL!!", "Compare Data in HDD FAIL!!"}},
      {Procedure::DiskAreaFirmware, DiskImage, DiskBuild, DiskWindow, DiskInPlace, nullptr, nullptr,
       kPowerCycleBoxes, DiskSpoil, {"Compare Data in HDD FAIL!!", "Compare data in HDD fail!!"}},
      {Procedure::InternalRomParallelFlash, RomImage, RomBuild, RomWindow, RomInPlace, RomKept, nullptr,
       kPowerCycleBoxes, RomSpoil, {"Compare Fail!!", "Not Erase correctly!"}},
      {Procedure::BridgeBehindController, RomImage, RomBuild, RomWindow, RomInPlace, RomKept, nullptr,
       kPowerCycleBoxes, RomSpoil, {"Data compare fail", "Data not 0xff !!"}},
      {Procedure::NvramPage16K, PageImage, PageBuild, PageWindow, PageInPlace, PageKept, nullptr,
       kPowerCycleBoxes, SerialSpoil, {"Compare NVRAM Fail!!", "Data not 0xff !!"}},
      {Procedure::SstSerialFlash, PageImage, PageBuild, PageWindow, PageInPlace, PageKept, nullptr,
       kPowerCycleBoxes, SerialSpoil, {"Data compare fail !!", "Data not 0xff !!"}},
  };
  return layouts;
}
// clang-format on

constexpr RunMode P = RunMode::Program, E = RunMode::EraseOnly, B = RunMode::BackupOnly;

}  // namespace

const ProcedureLayout* LayoutOf(program::Procedure procedure) {
  for (const ProcedureLayout& l : Layouts())
    if (l.procedure == procedure) return &l;
  return nullptr;
}

// clang-format off
const std::vector<Scenario>& ScenarioRows() {
  static const std::vector<Scenario> rows = {
      // The standard update's image sizes take its different erase and NVRAM
      // paths; a 64 KB first erase unit takes the record with it.
      {.name = "StandardUnder32KiB", .procedure = Procedure::StandardSerialFlash, .mode = P, .profile = "txr843-usb", .imageSize = 0x6000, .flashKind = 1, .keepsNvram = true, .readBackFails = "Compare NVRAM Fail!!"},
      {.name = "StandardUnder32KiBSmallUnits", .procedure = Procedure::StandardSerialFlash, .mode = P, .profile = "tx40775-pmc", .imageSize = 0x2345, .flashKind = 1, .keepsNvram = true},
      {.name = "StandardBetween32And64KiB", .procedure = Procedure::StandardSerialFlash, .mode = P, .profile = "tx40775-pmc", .imageSize = 0x9000, .flashKind = 1},
      {.name = "StandardOver64KiB", .procedure = Procedure::StandardSerialFlash, .mode = P, .profile = "tx40779-e", .imageSize = 0x18000, .flashKind = 5, .pageSize = 32},
      {.name = "StandardEraseOnly", .procedure = Procedure::StandardSerialFlash, .mode = E, .profile = "tx40775-pmc", .imageSize = 0x2000, .flashKind = 1},
      {.name = "StandardBackupOnly", .procedure = Procedure::StandardSerialFlash, .mode = B, .profile = "tx40775-pmc", .imageSize = 0x2000, .flashKind = 1},
      {.name = "BlockTxv929Program", .procedure = Procedure::BlockCommandFlash, .mode = P, .profile = "txv929", .imageSize = 0x10000, .nvram = 0xC000, .nvramLength = 0x1000, .extent = 0x20000},
      {.name = "BlockTxr845Program", .procedure = Procedure::BlockCommandFlash, .mode = P, .profile = "txr845", .imageSize = 0x6000, .nvram = 0, .nvramLength = 0x1000, .extent = 0x10000},
      {.name = "BlockTxv929EraseOnly", .procedure = Procedure::BlockCommandFlash, .mode = E, .profile = "txv929", .imageSize = 1, .nvram = 0xC000, .nvramLength = 0x1000, .extent = 0x20000},
      {.name = "BlockTxr846EraseOnly", .procedure = Procedure::BlockCommandFlash, .mode = E, .profile = "txr846", .imageSize = 1, .nvram = 0, .nvramLength = 0x1000, .extent = 0x10000},
      {.name = "BlockTxv929Backup", .procedure = Procedure::BlockCommandFlash, .mode = B, .profile = "txv929", .imageSize = 1, .extent = 0xC000},
      {.name = "Ieee1394Program", .procedure = Procedure::Ieee1394BridgeFlash, .mode = P, .profile = "txr843-1394", .imageSize = 0x8000, .nvram = 0x8000, .nvramLength = 0x400, .extent = 0x10000},
      {.name = "Ieee1394EraseOnly", .procedure = Procedure::Ieee1394BridgeFlash, .mode = E, .profile = "txr843-1394", .imageSize = 1, .nvram = 0x8000, .nvramLength = 0x400, .extent = 0x10000},
      {.name = "Ieee1394Backup", .procedure = Procedure::Ieee1394BridgeFlash, .mode = B, .profile = "txr843-1394", .imageSize = 1, .extent = 0x10000},
      // Disk-hosted starts: 2 MB below the last whole MB of the disk for the
      // bank; the sector count rounded down to 256, less 256, for the area.
      {.name = "HddProgram", .procedure = Procedure::HddHostedFirmware, .mode = P, .profile = "txv929-hdd", .start = 0x3A385000},
      {.name = "HddProgram4K", .procedure = Procedure::HddHostedFirmware, .mode = P, .profile = "txv927", .start = 0x1D1C0F00},
      {.name = "HddEraseOnly", .procedure = Procedure::HddHostedFirmware, .mode = E, .profile = "txv929-hdd", .start = 0x3A385000},
      {.name = "HddBackupOnly", .procedure = Procedure::HddHostedFirmware, .mode = B, .profile = "txv929-hdd", .start = 0x3A385000},
      {.name = "AreaProgram", .procedure = Procedure::DiskAreaFirmware, .mode = P, .profile = "txr649", .start = 0x3A385F00},
      {.name = "AreaProgram4K", .procedure = Procedure::DiskAreaFirmware, .mode = P, .profile = "txr649-4k", .start = 0xE8E0C00},
      {.name = "AreaEraseOnly", .procedure = Procedure::DiskAreaFirmware, .mode = E, .profile = "txr649", .start = 0x3A385F00},
      {.name = "AreaBackupOnly", .procedure = Procedure::DiskAreaFirmware, .mode = B, .profile = "txr649", .start = 0x3A385F00},
      {.name = "RomProgram", .procedure = Procedure::InternalRomParallelFlash, .mode = P, .profile = "tx40776-pmc", .imageSize = 0x8000, .flashKind = 1},
      {.name = "RomProgramA1", .procedure = Procedure::InternalRomParallelFlash, .mode = P, .profile = "tx40776-sst-a1", .imageSize = 0x10000, .flashKind = 2, .a1Chip = true},
      {.name = "RomEraseOnly", .procedure = Procedure::InternalRomParallelFlash, .mode = E, .profile = "tx40776-atmel"},
      {.name = "RomBackupOnly", .procedure = Procedure::InternalRomParallelFlash, .mode = B, .profile = "tx40776-atmel"},
      {.name = "BridgeKeepsNvram", .procedure = Procedure::BridgeBehindController, .mode = P, .profile = "txv929-txr847", .imageSize = 0x5000, .keepsNvram = true, .readBackFails = "Write back NVRAM fail!!"},
      {.name = "BridgeWholeImage", .procedure = Procedure::BridgeBehindController, .mode = P, .profile = "txv929-txr842", .imageSize = 0x4000, .signedImage = true},
      {.name = "BridgeEraseOnly", .procedure = Procedure::BridgeBehindController, .mode = E, .profile = "txv929-txr842"},
      {.name = "BridgeBackupOnly", .procedure = Procedure::BridgeBehindController, .mode = B, .profile = "txv929-txr847"},
      {.name = "Page16KProgram", .procedure = Procedure::NvramPage16K, .mode = P, .profile = "txr842", .imageSize = 0x9000, .flashKind = 5},
      {.name = "Page16KEraseOnly", .procedure = Procedure::NvramPage16K, .mode = E, .profile = "txr842", .imageSize = 0x9000, .flashKind = 5},
      {.name = "Page16KBackupOnly", .procedure = Procedure::NvramPage16K, .mode = B, .profile = "txr842", .imageSize = 0x9000, .flashKind = 5},
      // The SST programming run sends about 8 300 commands per page (AAI).
      {.name = "SstProgram", .procedure = Procedure::SstSerialFlash, .mode = P, .profile = "txr847-sst", .imageSize = 0x2000, .flashKind = 2, .sampled = true},
      // A part an earlier tool left unprotected: the chip types that clear
      // no protection before they erase.
      {.name = "SstEraseOnly", .procedure = Procedure::SstSerialFlash, .mode = E, .profile = "txv961-l5-sst", .imageSize = 0x2000, .flashKind = 2, .unprotected = true},
      {.name = "SstBackupOnly", .procedure = Procedure::SstSerialFlash, .mode = B, .profile = "txr847-sst", .imageSize = 0x2000, .flashKind = 2},
  };
  return rows;
}
// clang-format on

std::vector<Scenario> RowsWhere(bool (*keep)(const Scenario&)) {
  std::vector<Scenario> rows;
  std::copy_if(ScenarioRows().begin(), ScenarioRows().end(), std::back_inserter(rows), keep);
  return rows;
}

std::string ScenarioGaps() {
  std::string gaps;
  for (const program::ProcedureRow& row : program::ProcedureTable()) {
    // The refusal row sends nothing; run_refusal_test holds it to that.
    if (!program::ProcedureBuilt(row.procedure) || row.procedure == Procedure::RefusedImageTooLarge)
      continue;
    if (LayoutOf(row.procedure) == nullptr) gaps += std::string(row.name) + ": no layout\n";
    for (RunMode mode : {P, E, B}) {
      const bool has = std::any_of(
          ScenarioRows().begin(), ScenarioRows().end(),
          [&](const Scenario& s) { return s.procedure == row.procedure && s.mode == mode; });
      if (!has)
        gaps += std::string(row.name) + ": no scenario for mode " +
                std::to_string(static_cast<int>(mode)) + "\n";
    }
  }
  return gaps;
}

SeenRun RunScenario(const Scenario& s, const std::shared_ptr<ScenarioState>& state) {
  sim::Machine machine;
  const host::ScopedHost scope(machine);
  const FaultMatrixSetup setup = MatrixSetupOf(s, state);
  const std::shared_ptr<sim::BridgeChip> chip = setup.build(machine);
  return setup.run(machine, *chip);
}

std::shared_ptr<ScenarioState> StateOf(const Scenario& s, const ScratchFolder& folder) {
  auto state = std::make_shared<ScenarioState>();
  LayoutOf(s.procedure)->image(s, *state);
  state->imageFile = folder.Write("image.bin", state->image);
  state->backupFile = folder.Path("backup.bin");
  return state;
}

FaultMatrixSetup MatrixSetupOf(const Scenario& s, const std::shared_ptr<ScenarioState>& state) {
  const ProcedureLayout* layout = LayoutOf(s.procedure);
  FaultMatrixSetup setup;
  setup.build = [=](sim::Machine& machine) {
    std::remove(state->backupFile.c_str());  // only this run's backup counts
    return layout->build(s, machine, *state);
  };
  setup.run = [=](sim::Machine&, sim::BridgeChip& chip) {
    FakeRunWindow window;
    window.options_.imageFile = state->imageFile;
    SetRunMode(window, s.mode, state->backupFile);
    layout->window(s, chip, window);
    const int result = program::RunVerb(s.procedure, window, chip.path().c_str());
    if (layout->afterRun != nullptr) {
      const std::string problem = layout->afterRun(s, chip, *state, window);
      if (!problem.empty()) throw std::runtime_error(problem);
    }
    return SeenRunOf(window, result == program::kProcedureSucceeded);
  };
  setup.imageInPlace = [=](sim::BridgeChip& chip) { return layout->inPlace(s, chip, *state); };
  if (layout->kept != nullptr)
    setup.nvramKept = [=](sim::BridgeChip& chip) { return layout->kept(s, chip, *state); };
  setup.successBoxes = layout->successBoxes;
  return setup;
}

}  // namespace testing_support
