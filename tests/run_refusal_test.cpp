// Runs that must stop before they change anything: an image that cannot be
// read whole, is empty, or is longer than the flash (or than what the
// procedure writes), and a read nothing later checks that a second read
// contradicts. Every procedure ends with its text and no box, and the
// enclosure and the backup file are as they were; an unusable image is
// refused before the first command.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "block_fixture.h"
#include "fault_matrix.h"
#include "procedure_fixture.h"
#include "engine/bank_recovery.h"
#include "engine/image_file.h"
#include "engine/procedure_table.h"
#include "procedures/standard_serial.h"
#include "sim/controller_route.h"
#include "sim/test_images.h"

namespace {

using program::Procedure;
using testing_support::RunMode;

// What stands where the window's image file points.
enum class ImageFile { Written, Missing, Folder, Empty, Beyond4GiB };

struct Stop {
  const char* name;
  const char* profile;
  Procedure procedure;  // None: the bank repair
  RunMode mode;
  std::size_t image;  // bytes of the image file; 0: one more than the flash holds
  const char* status;
  const char* flipRead = "";  // the read answered with a flipped bit ("": none)
  std::uint32_t flipLength = 0;
  int flipNth = 1;
  std::int32_t sizeKb = -1;  // the flash size identification read; -1: the flash's, 0: unread
  ImageFile file = ImageFile::Written;
  bool nvramIncluded = false;        // "Include 4K NVRAM" checked
  bool sendsNothing = false;         // refused before the first command
  const char* failRead = "";         // commands matching this pattern fail ("": none)
  int failNth = 1;                   // from this match on
  bool failShort = false;            // they move 256 bytes instead of failing
  const char* backupFile = nullptr;  // the backup target; null: one in the scratch folder
  std::uint32_t flashSize = 0;       // the flash size setting; 0: the default
};

// The row with one more field set.
template <typename T>
constexpr Stop With(Stop s, T Stop::*field, T value) {
  s.*field = value;
  return s;
}
// The row refused before the first command.
constexpr Stop Quiet(Stop s) { return With(s, &Stop::sendsNothing, true); }

// sizeKb for a flash identification read as 0 KB.
constexpr std::int32_t kSizeZero = -2;

void PrintTo(const Stop& s, std::ostream* os) { *os << s.name; }

class RunRefusalTest : public testing_support::ParamFilesTest<Stop> {
 protected:
  // One run of the row on its own machine; the flipped read when asked.
  int Run(sim::Machine& machine, const std::vector<sim::CommandFault>& faults,
          std::vector<std::uint8_t>* before) {
    const Stop& s = GetParam();
    const host::ScopedHost scope(machine);
    const sim::EnclosureProfile& profile = *sim::FindProfile(s.profile);
    chip = sim::AttachProfile(machine, profile);
    machine.ClearTranscript();
    if (before != nullptr) *before = testing_support::EnclosureSnapshot(*chip);
    for (const sim::CommandFault& f : faults) machine.AddFault(f);
    window = {};
    window.facts_.chipType = profile.chipType;
    window.facts_.flashTypeCode = profile.bridge.flashTypeCode;
    const sim::SerialFlash* flash = chip->serialFlash();
    if (flash == nullptr && chip->controllerRoute() != nullptr)
      flash = chip->controllerRoute()->flash();
    const auto flashKb = static_cast<std::int32_t>(flash ? flash->cells().size() / 1024 : 0);
    if (!PlaceImage(s, flashKb)) return -1;
    window.facts_.chipSubCode = profile.subCode;
    window.facts_.flashSizeKb = s.sizeKb == -1 ? flashKb : std::max(s.sizeKb, 0);
    window.facts_.unreadFacts = s.sizeKb == 0 ? device::kFactFlashSize : 0;
    window.geometry_ = testing_support::EraseGeometryForKind(profile.bridge.flashTypeCode);
    window.options_.imageFile = file_;
    window.options_.nvramChecked = s.nvramIncluded;
    testing_support::SetRunMode(window, s.mode, s.backupFile ? s.backupFile : backup_);
    if (s.flashSize != 0) window.transfer_.flashSize = s.flashSize;
    if (s.procedure != Procedure::None)
      return program::RunProcedure(s.procedure, window, chip->path().c_str()) ==
             program::RunOutcome::Succeeded;
    std::uint32_t checked = 0;
    return program::RecoverFirmwareBanks(window, chip->path().c_str(), profile.chipType, checked);
  }
  bool PlaceImage(const Stop& s, std::int32_t flashKb) {
    std::filesystem::remove_all(file_);
    switch (s.file) {
      case ImageFile::Missing:
        return true;
      case ImageFile::Folder:
        return std::filesystem::create_directories(file_);
      case ImageFile::Empty:
        return sim::WriteImageFile(file_, {});
      case ImageFile::Beyond4GiB: {
        // A sparse file whose length needs more than 32 bits; where the
        // folder takes none, the longest image the reader takes, plus one.
        if (!sim::WriteImageFile(file_, {0x5C})) return false;
        std::error_code ec;
        std::filesystem::resize_file(file_, (std::uint64_t{1} << 32) + 256, ec);
        return !ec || sim::WriteImageFile(
                          file_, testing_support::Pattern(program::kLargestImage + 1, 0x5C));
      }
      case ImageFile::Written:
        break;
    }
    const std::size_t image = s.image != 0 ? s.image : std::size_t{1024} * flashKb + 1;
    return sim::WriteImageFile(file_, testing_support::Pattern(image, 0x5C));
  }
  testing_support::FakeRunWindow window;
  std::shared_ptr<sim::BridgeChip> chip;
};

TEST_P(RunRefusalTest, StopsWithItsTextAndChangesNothing) {
  const Stop& s = GetParam();
#ifdef _WIN32
  if (s.backupFile != nullptr && std::string_view(s.backupFile).starts_with("/dev/"))
    GTEST_SKIP() << "needs a device that refuses writes";
#endif
  std::vector<sim::CommandFault> faults;
  if (*s.failRead != '\0') {
    sim::CommandFault fail;
    fail.kind = s.failShort ? sim::CommandFault::Kind::ShortTransfer
                            : sim::CommandFault::Kind::CheckCondition;
    fail.pattern = sim::CdbPattern(s.failRead);
    fail.occurrence = s.failNth;
    fail.shortLength = 0x100;
    faults.push_back(fail);
  }
  if (*s.flipRead != '\0') {
    // The flipped read's place in a clean run, which must succeed.
    sim::Machine clean;
    clean.SetTranscriptLimit(sim::kFullTranscript);
    ASSERT_EQ(1, Run(clean, {}, nullptr)) << window.StatusText();
    sim::CommandFault flip;
    flip.kind = sim::CommandFault::Kind::FlipBit;
    flip.occurrence = 0;
    int nth = 0;
    const std::vector<sim::TranscriptEntry>& sent = clean.transcript();
    for (std::size_t i = 0; i < sent.size() && flip.occurrence == 0; ++i)
      if (sent[i].command == s.flipRead && sent[i].request.dataTransferLength == s.flipLength &&
          ++nth == s.flipNth)
        flip.occurrence = static_cast<int>(i + 1);
    ASSERT_NE(0, flip.occurrence) << "no such read";
    faults.push_back(flip);
    std::filesystem::remove(backup_);
  }
  sim::Machine machine;
  std::vector<std::uint8_t> before;
  EXPECT_EQ(0, Run(machine, faults, &before));
  EXPECT_EQ(s.status, window.StatusText());
  EXPECT_TRUE(window.messages.empty());
  if (s.sendsNothing) {
    EXPECT_TRUE(machine.transcript().empty());
  }
  EXPECT_FALSE(std::filesystem::exists(backup_));
  EXPECT_TRUE(testing_support::EnclosureSnapshot(*chip) == before);
}

const char* const kTooLarge = program::kImageTooLarge;
constexpr auto kProgram = RunMode::Program;

// clang-format off
INSTANTIATE_TEST_SUITE_P(ImagesLongerThanTheFlash, RunRefusalTest, ::testing::Values(
    // The TX40775's identification reads no size: the run asks the flash.
    Stop{"Standard2MiB", "tx40775-pmc", Procedure::StandardSerialFlash, kProgram, 0x200000,
         kTooLarge, "", 0, 1, 0},
    Quiet({"Page16K", "txr842", Procedure::NvramPage16K, kProgram, 0, kTooLarge}),
    Quiet({"Sst", "txr847-sst", Procedure::SstSerialFlash, kProgram, 0, kTooLarge}),
    Quiet({"BlockOneBank", "txv929", Procedure::BlockCommandFlash, kProgram, 0x10001, kTooLarge,
           "", 0, 1, 64}),
    Quiet({"BlockBetweenBanks", "txv929", Procedure::BlockCommandFlash, kProgram, 0x18000,
           "The firmware file is neither one bank nor two, nothing erased!!"}),
    Quiet({"Ieee1394", "txr843-1394", Procedure::Ieee1394BridgeFlash, kProgram, 0x10001,
           kTooLarge}),
    Quiet({"InternalRom", "tx40776-atmel", Procedure::InternalRomParallelFlash, kProgram, 0x10001,
           kTooLarge}),
    Quiet({"BehindController", "txv929-txr847", Procedure::BridgeBehindController, kProgram, 0,
           kTooLarge}),
    Quiet({"HddHosted", "txv929-hdd", Procedure::HddHostedFirmware, kProgram, 0x10001, kTooLarge}),
    Quiet({"DiskArea", "txr649", Procedure::DiskAreaFirmware, kProgram, (16u << 20) + 1,
           kTooLarge})),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// An image the run cannot use as it stands.
constexpr Stop Unusable(const char* name, const char* profile, Procedure procedure, ImageFile file,
                        const char* status = program::kOpenFileError, std::size_t image = 0,
                        bool nvramIncluded = false) {
  Stop s{name, profile, procedure, kProgram, image, status};
  s.file = file;
  s.nvramIncluded = nvramIncluded;
  s.sendsNothing = true;
  return s;
}
constexpr auto kMissing = ImageFile::Missing;
constexpr auto kEmpty = ImageFile::Empty;
constexpr auto kSized = ImageFile::Written;

INSTANTIATE_TEST_SUITE_P(
    UnusableImages, RunRefusalTest,
    ::testing::Values(
        Unusable("StandardMissing", "tx40775-pmc", Procedure::StandardSerialFlash, kMissing),
        Unusable("StandardEmpty", "tx40775-pmc", Procedure::StandardSerialFlash, kEmpty),
        Unusable("StandardBeyond4GiB", "tx40775-pmc", Procedure::StandardSerialFlash,
                 ImageFile::Beyond4GiB, kTooLarge),
        Unusable("Page16KMissing", "txr842", Procedure::NvramPage16K, kMissing),
        Unusable("Page16KFolder", "txr842", Procedure::NvramPage16K, ImageFile::Folder),
        Unusable("Page16KEmpty", "txr842", Procedure::NvramPage16K, kEmpty),
        // 60 KB without an NVRAM area moves up by 4 KB: 64 KB + 4 KB would wrap onto 0.
        Unusable("Page16KShiftedPastTheFlash", "txr842", Procedure::NvramPage16K, kSized, kTooLarge,
                 0xF001),
        Unusable("SstEmpty", "txr847-sst", Procedure::SstSerialFlash, kEmpty),
        With(Unusable("SstLongerThanTheReportedFlash", "txr847-sst", Procedure::SstSerialFlash,
                      kSized, kTooLarge, 0x10001),
             &Stop::sizeKb, 64),
        Unusable("BlockEmpty", "txv929", Procedure::BlockCommandFlash, kEmpty),
        Unusable("BlockTooSmallToKeepTheNvram", "txr845", Procedure::BlockCommandFlash, kSized,
                 "The firmware file is too small to keep the NVRAM!", 4096),
        Unusable("BlockOneBankChip", "txr845", Procedure::BlockCommandFlash, kSized, kTooLarge,
                 0x10001, true),
        Unusable("BlockTwoBanks", "txv929", Procedure::BlockCommandFlash, kSized, kTooLarge,
                 0x20001, true),
        Unusable("Ieee1394Empty", "txr843-1394", Procedure::Ieee1394BridgeFlash, kEmpty),
        Unusable("BehindControllerMissing", "txv929-txr847", Procedure::BridgeBehindController,
                 kMissing),
        Unusable("BehindControllerEmpty", "txv929-txr847", Procedure::BridgeBehindController,
                 kEmpty),
        Unusable("HddHostedEmpty", "txv929-hdd", Procedure::HddHostedFirmware, kEmpty),
        Unusable("DiskAreaMissing", "txr649", Procedure::DiskAreaFirmware, kMissing),
        Unusable("DiskAreaEmpty", "txr649", Procedure::DiskAreaFirmware, kEmpty),
        Unusable("InternalRomMissing", "tx40776-atmel", Procedure::InternalRomParallelFlash,
                 kMissing, "Open New ROM File Error!!"),
        Unusable("InternalRomEmpty", "tx40776-atmel", Procedure::InternalRomParallelFlash, kEmpty,
                 "Open New ROM File Error!!")),
    [](const auto& info) { return std::string(info.param.name); });

// A backup-only run whose read fails, or whose file cannot be written.
Stop Backup(const char* name, const char* profile, Procedure procedure, const char* status,
            const char* failRead, int failNth = 1, bool failShort = false) {
  Stop s{name, profile, procedure, RunMode::BackupOnly, 1, status};
  s.failRead = failRead;
  s.failNth = failNth;
  s.failShort = failShort;
  return s;
}
Stop Unwritable(const char* name, const char* profile, Procedure procedure, const char* status,
                const char* target = "/dev/full") {
  Stop s = Backup(name, profile, procedure, status, "");
  s.backupFile = target;
  return s;
}
const char* const kBackupReadError = "Read Back to Backup Error!!";
const char* const kBackupOpenError = "Open Backup File Error!!";

INSTANTIATE_TEST_SUITE_P(
    FailedBackups, RunRefusalTest,
    ::testing::Values(
        Backup("StandardShortRead", "tx40775-pmc", Procedure::StandardSerialFlash, kBackupReadError,
               "FF 04 10", 1, true),
        // The NVRAM area included: no copy of it is read first.
        With(Backup("SstShortBlockRead", "txr847-sst", Procedure::SstSerialFlash, kBackupReadError,
                    "FF 04 10", 1, true),
             &Stop::nvramIncluded, true),
        Backup("BlockFailedRead", "txr845", Procedure::BlockCommandFlash, kBackupReadError,
               "DF ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? FA", 3),
        Backup("Ieee1394FailedRead", "txr843-1394", Procedure::Ieee1394BridgeFlash,
               kBackupReadError, "DF ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? FA", 3),
        Quiet(With(Backup("BehindControllerUnknownSize", "txv929-txr847",
                          Procedure::BridgeBehindController, kBackupReadError, ""),
                   &Stop::sizeKb, kSizeZero)),
        Backup("HddHostedFailedRead", "txv929-hdd", Procedure::HddHostedFirmware, kBackupReadError,
               "85 15"),
        With(Backup("DiskAreaFailedReadPast64K", "txr649", Procedure::DiskAreaFirmware,
                    kBackupReadError, "85 15 0B 00 00 01 00"),
             &Stop::flashSize, std::uint32_t{0x20000}),
        Backup("InternalRomFailedRead", "tx40776-atmel", Procedure::InternalRomParallelFlash,
               "Read ROM fail!!", "FF 04 03"),
        Unwritable("StandardUnwritable", "tx40775-pmc", Procedure::StandardSerialFlash,
                   kBackupOpenError),
        Unwritable("Page16KUnwritable", "txr842", Procedure::NvramPage16K, kBackupOpenError),
        Unwritable("SstUnwritable", "txr847-sst", Procedure::SstSerialFlash, kBackupOpenError),
        Unwritable("BlockUnwritable", "txr845", Procedure::BlockCommandFlash, kBackupOpenError),
        Unwritable("Ieee1394Unwritable", "txr843-1394", Procedure::Ieee1394BridgeFlash,
                   kBackupOpenError),
        Unwritable("BehindControllerUnwritable", "txv929-txr847", Procedure::BridgeBehindController,
                   kBackupOpenError),
        Unwritable("HddHostedUnwritable", "txv929-hdd", Procedure::HddHostedFirmware,
                   kBackupOpenError),
        Unwritable("DiskAreaUnwritable", "txr649", Procedure::DiskAreaFirmware, kBackupOpenError),
        Unwritable("InternalRomUnwritable", "tx40776-atmel", Procedure::InternalRomParallelFlash,
                   "Read ROM Suceess, but save to file fail!!", "/nonexistent-folder/rom.bak")),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    ReadsThatDisagree, RunRefusalTest,
    ::testing::Values(
        Stop{"StandardRecord", "tx40775-pmc", Procedure::StandardSerialFlash, kProgram, 0x4000,
             "Backup NVRAM command fail!", "ReadFlash", 512},
        Stop{"Page16KRecord", "txr842", Procedure::NvramPage16K, kProgram, 0x4000,
             "Backup NVRAM command fail!", "ReadFlash", 0x1000},
        Stop{"BlockRecord", "txv929", Procedure::BlockCommandFlash, kProgram, 0x10000,
             "Backup NVRAM command fail!", "ReadFlashBlock", 0x1000},
        Stop{"BridgeRecord", "txv929-txr842", Procedure::BridgeBehindController, kProgram, 0x4000,
             "Backup NVRAM command fail!", "AtaReadFlash", 0x1000},
        Stop{"Ieee1394Record", "txr843-1394", Procedure::Ieee1394BridgeFlash, RunMode::EraseOnly, 1,
             "Backup NVRAM command fail!", "ReadFlashBlock", 0x100},
        // The sound bank's last 8 KB, outside its checksum.
        Stop{"BankCopy", "txv929-bank0-damaged", Procedure::None, kProgram, 1, "", "ReadFlashBlock",
             0x2000, 16},
        Stop{"Backup", "tx40775-pmc", Procedure::StandardSerialFlash, RunMode::BackupOnly, 1,
             "Read Back to Backup Error!!", "ReadFlash", 0x10000},
        Stop{"BlockBackup", "txv929", Procedure::BlockCommandFlash, RunMode::BackupOnly, 1,
             "Read Back to Backup Error!!", "ReadFlashBlock", 0x2000},
        Stop{"RomBackup", "tx40776-atmel", Procedure::InternalRomParallelFlash, RunMode::BackupOnly,
             1, "Read ROM fail!!", "ReadRom", 0x10000}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
