// What stands at a backup file's name: an earlier backup and a symbolic link
// are replaced whole, a pipe, a device, a folder and the image file itself
// are refused before the flash is read, and a disk that fills up leaves the
// earlier backup as it was. Nothing partial is ever left beside the name.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "procedure_fixture.h"
#include "engine/procedure_table.h"
#include "procedures/standard_serial.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#endif

namespace {

namespace fs = std::filesystem;
using testing_support::RunMode;

enum class At { EarlierBackup, Fifo, Device, Folder, Symlink, FullDisk, ImageFile };

struct Target {
  const char* name;
  At at;
  bool saved;
};

void PrintTo(const Target& t, std::ostream* os) { *os << t.name; }

class BackupTargetTest : public testing_support::ProcedureFixture,
                         public ::testing::WithParamInterface<Target> {};

std::set<std::string> Names(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

TEST_P(BackupTargetTest, IsReplacedWholeOrRefusedBeforeTheFlashIsRead) {
  const Target t = GetParam();
  AttachNamed("tx40775-pmc");
  const std::vector<std::uint8_t> earlier = testing_support::Pattern(100, 0x31);
  std::string name = FileIn("old.bak");
  const std::string victim = scratch.Write("victim.bin", earlier);
  // clang-format off
  switch (t.at) {
    case At::EarlierBackup: scratch.Write("old.bak", earlier); break;
    case At::Folder: fs::create_directory(name); break;
    case At::ImageFile: name = WriteImage(earlier); break;
#ifdef _WIN32
    case At::Device: name = "NUL"; break;
    default: GTEST_SKIP() << "no such file kind here";
#else
    case At::Device: name = "/dev/null"; break;
    case At::Fifo: ASSERT_EQ(0, ::mkfifo(name.c_str(), 0600)); break;
    case At::Symlink: fs::create_symlink(victim, name); break;
    case At::FullDisk: scratch.Write("old.bak", earlier); break;
#endif
  }
  // clang-format on
  const std::set<std::string> before = Names(scratch.dir());
  testing_support::SetRunMode(window, RunMode::BackupOnly, name);
#ifndef _WIN32
  // A file system with room for 4 KB: the 64 KB backup cannot be written.
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 4096;
  ::signal(SIGXFSZ, SIG_IGN);
  if (t.at == At::FullDisk) ::setrlimit(RLIMIT_FSIZE, &small);
#endif
  const int result = program::RunVerb(program::Procedure::StandardSerialFlash, window, path.c_str());
#ifndef _WIN32
  ::setrlimit(RLIMIT_FSIZE, &saved);
#endif

  EXPECT_EQ(t.saved ? 1 : 0, result);
  EXPECT_EQ(t.saved ? "Read flash and backup success!" : "Open Backup File Error!!",
            window.StatusText());
  EXPECT_EQ(before, Names(scratch.dir()));  // no file left beside the name
  EXPECT_EQ(earlier, ReadFile(victim));     // a link is replaced, never followed
  if (t.saved) {
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(name)));
    EXPECT_EQ(Flash(0, 0x10000), ReadFile(name));
  } else if (t.at == At::FullDisk || t.at == At::ImageFile) {
    EXPECT_EQ(earlier, ReadFile(name));
  }
  // Refused names cost no flash read; a full disk shows only once written.
  EXPECT_EQ(t.saved || t.at == At::FullDisk ? 2 : 0, Count("ReadFlash"));
}

// A process killed between writing and renaming leaves its partial file;
// the next backup to the same name clears it.
class BackupPartialTest : public testing_support::ProcedureFixture {};

TEST_F(BackupPartialTest, AKilledBackupsPartialFileGoesWithTheNextBackup) {
  AttachNamed("tx40775-pmc");
  const std::string partial = scratch.Write(".old.bak.tx4077x-partial", {1, 2, 3});
  testing_support::SetRunMode(window, RunMode::BackupOnly, FileIn("old.bak"));
  EXPECT_EQ(1, program::RunVerb(program::Procedure::StandardSerialFlash, window, path.c_str()));
  EXPECT_EQ(Flash(0, 0x10000), ReadFile(FileIn("old.bak")));
  EXPECT_FALSE(fs::exists(partial));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(WhatStandsThere, BackupTargetTest, ::testing::Values(
    Target{"EarlierBackup", At::EarlierBackup, true}, Target{"Symlink", At::Symlink, true},
    Target{"Fifo", At::Fifo, false}, Target{"Device", At::Device, false},
    Target{"Folder", At::Folder, false}, Target{"ImageFile", At::ImageFile, false},
    Target{"FullDisk", At::FullDisk, false}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
