// The console's support log and its progress line, on the simulated machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>
#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#endif

#include "console/progress.h"
#include "run_window_fixture.h"
#include "sim/demo.h"

namespace {

struct LoggedCommand {
  std::string device;
  bool in = false;
  std::uint32_t length = 0;
  std::string cdb;
  std::string result;  // "ok" or "failed error=N"
  unsigned status = 0;
  std::uint32_t moved = 0;
};

struct Log {
  std::map<std::string, std::string> devices;  // "d1" -> path
  std::vector<LoggedCommand> commands;
  std::vector<std::string> lines;  // every line after the time stamp
};

Log ParseLog(const std::string& text) {
  static const std::regex command(
      R"(^ *[0-9.]+ (d[0-9]+) (in|out) +len=([0-9]+) cdb=\[([0-9A-F ]*)\] )"
      R"((ok|failed error=[0-9]+) )"
      R"(status=([0-9A-F]{2}) sense=\[[0-9A-F ]*\] moved=([0-9]+) time=[0-9.]+ms$)");
  static const std::regex device(R"(^ *[0-9.]+ device (d[0-9]+) (.*)$)");
  static const std::regex stamped(R"(^ *[0-9.]+ (.*)$)");
  Log log;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    std::smatch m;
    if (std::regex_match(line, m, command)) {
      log.commands.push_back({m[1], m[2] == "in", static_cast<std::uint32_t>(std::stoul(m[3])),
                              m[4], m[5], static_cast<unsigned>(std::stoul(m[6], nullptr, 16)),
                              static_cast<std::uint32_t>(std::stoul(m[7]))});
    } else if (std::regex_match(line, m, device)) {
      log.devices[m[1]] = m[2];
    }
    if (std::regex_match(line, m, stamped)) log.lines.push_back(m[1]);
  }
  return log;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char b[4];
  for (std::uint8_t byte : bytes) {
    std::snprintf(b, sizeof b, text.empty() ? "%02X" : " %02X", byte);
    text += b;
  }
  return text;
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class ConsoleLogTest : public testing_support::RunWindowFixture {
 protected:
  std::string ReadText(const std::string& file) {
    const std::vector<std::uint8_t> bytes = testing_support::ReadFile(file);
    return {bytes.begin(), bytes.end()};
  }
};

// A short run, as it ends well or with the device refusing a command: the log
// holds each command block the enclosure received, in order and as received,
// and the same run without a log sends the same bytes.
TEST_F(ConsoleLogTest, LogHoldsEveryCommandAsTheEnclosureReceivedIt) {
  const std::string image = WriteFile("log", sim::MakeMatchingImage({1, 1}));
  const struct {
    const char* what;
    std::optional<sim::CommandFault::Kind> fault;
    const char* status;
    const char* result;
  } rows[] = {
      {"success", std::nullopt, "status: Programming Success!!",
       "result: success (standard serial flash)"},
      {"check condition", sim::CommandFault::Kind::CheckCondition, "status: Programming Fail!!",
       "result: failed (standard serial flash)"},
      {"platform error", sim::CommandFault::Kind::PlatformError, "status: Programming Fail!!",
       "result: failed (standard serial flash)"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<std::vector<sim::TranscriptEntry>> sent;
    for (const bool logged : {true, false}) {
      sim::Machine m;
      host::ScopedHost scope(m);
      m.recordDataOut = true;
      sim::AttachOptions options;
      options.volumes = {{'E', 1}};
      sim::AttachProfile(m, *sim::FindProfile("tx40775-pmc"), options);
      if (row.fault) {
        sim::CommandFault fault;  // the second program command
        fault.kind = *row.fault;
        fault.pattern = sim::CdbPattern("FF 04 11 00 20 00");
        m.AddFault(fault);
      }
      const std::string logFile = TempName("support-log");
      std::vector<std::string> args = {"--run", "0", "--image", image};
      if (logged) args.insert(args.begin(), {"--log", logFile});
      Console(args);
      sent.push_back(m.transcript());
      if (!logged) continue;

      const Log log = ParseLog(ReadText(logFile));
      ASSERT_EQ(m.transcript().size(), log.commands.size());
      for (std::size_t i = 0; i < log.commands.size(); ++i) {
        const sim::TranscriptEntry& e = m.transcript()[i];
        const LoggedCommand& c = log.commands[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(e.path, sim::LowerPath(log.devices.at(c.device)));
        EXPECT_EQ(e.request.dataIn != 0, c.in);
        EXPECT_EQ(e.request.dataTransferLength, c.length);
        EXPECT_EQ(Hex(e.cdb), c.cdb);
        EXPECT_EQ(e.outcome == sim::Outcome::PlatformError ? "failed error=1117" : "ok",
                  c.result);
        EXPECT_EQ(e.outcome == sim::Outcome::CheckCondition ? 2u : 0u, c.status);
        EXPECT_EQ(e.transferred, c.moved);
      }
      EXPECT_TRUE(Has(log.lines, row.status));
      EXPECT_TRUE(Has(log.lines, row.result));
      EXPECT_EQ(row.fault.has_value(),
                !Has(log.lines, "box [Message] Please Turn-Off the Power and Turn-On Again !"));
    }
    ASSERT_EQ(sent[0].size(), sent[1].size());
    for (std::size_t i = 0; i < sent[0].size(); ++i) {
      EXPECT_EQ(sent[0][i].cdb, sent[1][i].cdb) << i;
      EXPECT_EQ(sent[0][i].request.dataTransferLength, sent[1][i].request.dataTransferLength);
      EXPECT_EQ(sent[0][i].dataOut, sent[1][i].dataOut) << i;
    }
  }
}

// A log that would take the place of the run's own file, or cannot be made:
// refused before anything is sent.
TEST_F(ConsoleLogTest, LogThatCannotBeWrittenSafelyStopsBeforeAnyCommand) {
  Attach("tx40775-pmc", 1);
  const sim::Image bytes = sim::MakeMatchingImage({1, 1});
  const std::string image = WriteFile("log-image", bytes);
  const std::string backup = WriteFile("log-backup", {1, 2, 3});
  const std::vector<std::vector<std::string>> rows = {
      {"--log", image, "--run", "0", "--image", image},
      {"--log", backup, "--run", "0", "--rd", "--backup-only", "--backup-file", backup},
      {"--log", TempName("no-such-folder") + "/log.txt", "--run", "0", "--image", image},
  };
  for (const auto& args : rows) {
    SCOPED_TRACE(args[1]);
    EXPECT_EQ(app::kExitUsage, Console(args));
    EXPECT_TRUE(machine.transcript().empty());
  }
  EXPECT_EQ(bytes, testing_support::ReadFile(image));
  EXPECT_EQ(3u, testing_support::ReadFile(backup).size());
}

// The share of a run's bytes the progress line counts towards: for every
// procedure of the demo set and each kind of run, the estimate the log
// states is within a quarter of what the run moved.
TEST_F(ConsoleLogTest, ProgressEstimateFitsWhatEachProcedureMoves) {
  const std::string folder = TempName("progress-images");
  const std::vector<std::string> images = sim::WriteDemoImages(folder);
  const auto imageOf = [&](const std::string& stem) {
    for (const std::string& i : images)
      if (i.find(stem + ".bin") != std::string::npos) return i;
    return std::string();
  };
  const struct {
    const char* entry;
    const char* image;  // stem of the demo image
  } entries[] = {{"0", "tx40775-pmc"},   {"1", "txr843-1394"},          {"2", "tx40776-atmel"},
                 {"3", "txv929-txr847"}, {"4", "txv929-txr847-TXR847"}, {"5", "tx40769"},
                 {"8", "txv929-hdd"},    {"9", "txr847-sst"},           {"11", "txr842"}};
  for (const auto& e : entries) {
    // A fresh set each time: an erase changes what the others list.
    sim::Machine demo;
    host::ScopedHost scope(demo);
    sim::AttachDemoEnclosures(demo);
    for (const char* mode : {"program", "--backup-only", "--erase-only"}) {
      SCOPED_TRACE(std::string(e.entry) + " " + mode);
      const std::string logFile = TempName("progress-log");
      std::vector<std::string> args = {"--log", logFile, "--run", e.entry};
      if (std::string(mode) == "program") {
        const std::string file = imageOf(e.image);
        ASSERT_FALSE(file.empty()) << e.image;
        args.insert(args.end(), {"--image", file});
      } else {
        args.insert(args.end(), {"--rd", mode});
        if (std::string(mode) == "--backup-only")
          args.insert(args.end(), {"--backup-file", TempName("progress-backup")});
      }
      ASSERT_EQ(app::kExitSuccess, Console(args)) << output;
      const std::string text = ReadText(logFile);
      const std::size_t run = text.find(" run: ");
      const std::size_t about = text.find(", about ", run);
      ASSERT_NE(std::string::npos, about);
      const double expected = std::stod(text.substr(about + 8));
      double moved = 0;
      for (const LoggedCommand& c : ParseLog(text.substr(run)).commands)
        moved += static_cast<double>(app::ProgressUnits(c.moved));
      EXPECT_GT(moved, 0.0);
      EXPECT_GE(expected, moved * 0.8);
      EXPECT_LE(expected, moved * 1.25);
    }
  }
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}

#ifndef _WIN32
// A log whose disk is full loses its lines, never the run.
TEST_F(ConsoleLogTest, FullDiskUnderTheLogLeavesTheRunAlone) {
  auto chip = Attach("tx40775-pmc", 1);
  const sim::Image image = sim::MakeMatchingImage({1, 1});
  const std::string file = WriteFile("log-full", image);
  // No device is taken for a log: a file-size limit fills the disk instead.
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 4096;
  const auto previous = ::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &small);
  const int status = Console({"--log", TempName("log-full"), "--run", "0", "--image", file});
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, previous);
  // The run succeeds; the exit status says that its log is incomplete.
  EXPECT_EQ(app::kExitOutputIncomplete, status);
  std::vector<std::uint8_t> flash(image.size());
  chip->serialFlash()->cells().Read(0, flash.data(), flash.size());
  EXPECT_EQ(image, flash);
}

#endif

}  // namespace
