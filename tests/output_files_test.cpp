// The files the console writes: every name an output may not take refused
// before anything is sent, the record's lines whole after a torn one, and a
// killed backup's partial file cleared by the next backup.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "host/output_files.h"
#include "run_window_fixture.h"
#include "scratch_dir.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

namespace fs = std::filesystem;

enum class Output { Backup, Log, Record };
enum class At {
  Symlink, DanglingSymlink, Fifo, Device, Folder, Image, HardLinkToOther, OtherByName
};

struct Case {
  Output output;
  At at;
};

std::string Name(const Case& c) {
  const char* outputs[] = {"Backup", "Log", "Record"};
  const char* ats[] = {"Symlink", "DanglingSymlink", "Fifo", "Device",
                       "Folder",  "Image",           "HardLinkToOther", "OtherByName"};
  return std::string(outputs[static_cast<int>(c.output)]) + "_" + ats[static_cast<int>(c.at)];
}

class OutputNameTest : public testing_support::RunWindowFixture,
                       public ::testing::WithParamInterface<Case> {
 protected:
  void SetUp() override { dir = testing_support::NewScratchDir("tx-outputs"); }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir, ec);
    RunWindowFixture::TearDown();
  }
  std::string In(const std::string& name) const { return (dir / name).string(); }
  fs::path dir;
};

TEST_P(OutputNameTest, IsRefusedBeforeAnythingIsSent) {
  const Case c = GetParam();
  Attach("tx40775-pmc");
  const std::string image = In("fw.bin");
  const std::string victim = In("victim");
  const std::string other = In("other");
  for (const std::string& f : {image, victim, other}) std::ofstream(f, std::ios::binary) << "kept";
  std::string target = In("target");
  // clang-format off
  switch (c.at) {
    case At::Folder: fs::create_directory(target); break;
    case At::Image: target = image; break;
    case At::HardLinkToOther: fs::create_hard_link(other, target); break;
    case At::OtherByName: fs::create_directory(In("sub")); target = In("sub/../other"); break;
#ifdef _WIN32
    case At::Device: target = "NUL"; break;
    default: GTEST_SKIP() << "no such file kind here";
#else
    case At::Symlink: fs::create_symlink(victim, target); break;
    case At::DanglingSymlink: fs::create_symlink(In("nowhere"), target); break;
    case At::Fifo: ASSERT_EQ(0, ::mkfifo(target.c_str(), 0600)); break;  // never a reader
    case At::Device: target = "/dev/null"; break;
#endif
  }
  // clang-format on
  const std::vector<std::string> run = {"--run", "0", "--image", image, "--rd", "--backup-only"};
  std::vector<std::string> args;
  switch (c.output) {
    case Output::Backup: args = {"--log", other}; break;
    case Output::Log: args = {"--log", target}; break;
    case Output::Record: args = {"--wait", "--repeat", "--record", target}; break;
  }
  args.insert(args.end(), run.begin(), run.end());
  args.push_back("--backup-file");
  args.push_back(c.output == Output::Backup ? target : other);
  EXPECT_EQ(app::kExitUsage, Console(args)) << output;
  EXPECT_TRUE(machine.transcript().empty());
  for (const std::string& f : {image, victim, other}) {
    std::ifstream in(f, std::ios::binary);
    EXPECT_EQ("kept", std::string(std::istreambuf_iterator<char>(in), {})) << f;
  }
  EXPECT_FALSE(fs::exists(In("nowhere")));
}

std::vector<Case> AllCases() {
  std::vector<Case> cases;
  for (Output o : {Output::Backup, Output::Log, Output::Record})
    for (int a = 0; a <= static_cast<int>(At::OtherByName); ++a)
      cases.push_back({o, static_cast<At>(a)});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryKindAtEveryOutput, OutputNameTest, ::testing::ValuesIn(AllCases()),
                         [](const auto& info) { return Name(info.param); });

// A station's numbered backups are outputs too: a record or log that one of
// them would be is refused.
TEST(OutputNamesTest, NumberedNamesAndOneLineReasons) {
  const std::string reason =
      host::CheckOutputNames({{"s-{n}.bak", "backup file"}, {"s-12.bak", "record"}}, {"fw.bin"});
  EXPECT_EQ("the record s-12.bak is also the backup file s-{n}.bak: one file cannot be both",
            reason);
  EXPECT_EQ("", host::CheckOutputNames({{"s-{n}.bak", "backup file"}, {"s-x.bak", "record"},
                                        {"log", "log file"}},
                                       {"fw.bin"}));
}

class RecordFileTest : public testing_support::RunWindowFixture {};

TEST_F(RecordFileTest, ATornLineIsClosedAndEveryNewLineParses) {
  const fs::path dir = testing_support::NewScratchDir("tx-record");
  const std::string name = (dir / "station.jsonl").string();
  std::ofstream(name, std::ios::binary) << "{\"enclosure\":1}\n{\"enclosure\":2,\"out";
#ifndef _WIN32
  const mode_t old = ::umask(0);  // even so, nobody else may write to a new record
  host::File fresh = host::OpenOutputFile((dir / "new.jsonl").string().c_str(),
                                          host::OutputMode::Append);
  ::umask(old);
  struct stat st {};
  ASSERT_TRUE(fresh);
  ASSERT_EQ(0, ::stat((dir / "new.jsonl").string().c_str(), &st));
  EXPECT_EQ(0u, st.st_mode & S_IWOTH);
#endif
  {
    host::File record = host::OpenOutputFile(name.c_str(), host::OutputMode::Append);
    ASSERT_TRUE(record);
    EXPECT_TRUE(host::AppendRecordLine(record.get(), R"({"enclosure":3})"));
    EXPECT_TRUE(host::AppendRecordLine(record.get(), R"({"enclosure":4})"));
  }
  std::ifstream in(name, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ("{\"enclosure\":2,\"out", lines[1]);  // the torn line, alone on its line
  for (std::size_t i : {0u, 2u, 3u}) EXPECT_TRUE(nlohmann::json::accept(lines[i])) << lines[i];
  std::error_code ec;
  fs::remove_all(dir, ec);
}

}  // namespace
