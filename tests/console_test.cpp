// The console front end on the simulated machine: its arguments, the listing,
// and runs whose exit status must say how they ended.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <tuple>
#include <filesystem>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <vector>
#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <nlohmann/json.hpp>

#include "console/console.h"
#include "console/json.h"
#include "window/version.h"
#include "host/interrupts.h"
#include "sim/demo.h"
#include "run_window_fixture.h"

namespace {

using app::ConsoleOptions;
using app::ParseConsoleArgs;

TEST(ConsoleArgsTest, RunGroupsCarryTheirOwnOptions) {
  ConsoleOptions o;
  std::string error;
  ASSERT_TRUE(ParseConsoleArgs({"--simulate", "--run", "0", "--image", "fw.bin", "--run", "2",
                                "--rd", "--backup-only", "--backup-file", "b.bin", "--nvram",
                                "off", "--size", "1MB"},
                               o, error))
      << error;
  EXPECT_TRUE(o.simulate);
  EXPECT_FALSE(o.list);
  ASSERT_EQ(2u, o.runs.size());
  EXPECT_EQ(0, o.runs[0].entry);
  EXPECT_EQ("fw.bin", o.runs[0].image);
  EXPECT_FALSE(o.runs[0].rd);
  EXPECT_FALSE(o.runs[0].nvram.has_value());
  EXPECT_EQ(2, o.runs[1].entry);
  EXPECT_TRUE(o.runs[1].rd);
  EXPECT_TRUE(o.runs[1].backupOnly);
  EXPECT_EQ("b.bin", o.runs[1].backupFile);
  EXPECT_EQ(false, o.runs[1].nvram.value());
  EXPECT_EQ("1MB", o.runs[1].fwSize);
  EXPECT_EQ("", o.runs[1].image);

  ASSERT_TRUE(ParseConsoleArgs({"--help"}, o, error));
  EXPECT_TRUE(o.help);
  ASSERT_TRUE(ParseConsoleArgs({}, o, error));
  EXPECT_TRUE(o.runs.empty());
}

TEST(ConsoleArgsTest, RefusesWhatTheWindowCannotExpress) {
  const std::vector<std::vector<std::string>> bad = {
      {"--frobnicate"},
      {"--image", "fw.bin"},                          // no --run before it
      {"--run"},                                      // missing entry
      {"--run", "x"},                                 // not a number
      {"--run", "-1"},
      {"--run", "0", "--erase-only"},                 // panel box without "RD Version"
      {"--run", "0", "--backup-file", "b.bin"},
      {"--run", "0", "--rd", "--size", "2MB"},        // not an item of the box
      {"--run", "0", "--rd", "--nvram", "maybe"},
      {"--run", "0", "--rd", "--erase-only", "--backup-only"},
      {"--run", "0", "--image", ""},
      {"--run", "0", "--image", "fw.bin", "--program-anyway"},  // Run would never ask
      {"--device"},
      {"--device", ""},
      {"--expect-chip", "TX40775"},                   // no run to guard
      {"--device", "/dev/sdb", "--expect-chip", " "},
      {"--inspect", "fw.bin", "--run", "0"},          // inspecting sends nothing
      {"--inspect", "fw.bin", "--log", "log.txt"},
      {"--log"},
  };
  for (const auto& args : bad) {
    ConsoleOptions o;
    std::string error;
    EXPECT_FALSE(ParseConsoleArgs(args, o, error)) << args[0];
    EXPECT_FALSE(error.empty());
  }
  const std::string usage = app::ConsoleUsage();
  for (const char* option : {"--simulate", "--list", "--run", "--image", "--rd", "--erase-only",
                             "--backup-only", "--backup-file", "--nvram", "--size", "--program-anyway",
                             "--device", "--expect-chip", "--inspect", "--log",
                             "Exit status"})
    EXPECT_NE(std::string::npos, usage.find(option)) << option;
}

// Values joined or following, short flags alone or together, "--" ending the
// options; every mistake told in words that name the option.
TEST(ConsoleArgsTest, OptionSyntax) {
  const struct {
    std::vector<std::string> args;
    const char* error;  // null: accepted
  } rows[] = {
      {{"--run=0", "--image=fw.bin", "--rd", "--nvram=off"}, nullptr},
      {{"--run", "0", "--image", "fw.bin", "--rd", "--nvram", "off"}, nullptr},
      {{"-q", "-v", "-y", "-V", "-h"}, nullptr},
      {{"-qvy", "--run", "0", "--image", "fw.bin", "--"}, nullptr},
      {{"--imag", "fw.bin"}, "--imag is an unknown option; did you mean --image?"},
      {{"--verbos"}, "did you mean --verbose?"},
      {{"-x"}, "-x is an unknown option"},
      {{"--rd=on"}, "--rd takes no value"},
      {{"--run"}, "--run needs a value (N)"},
      {{"fw.bin"}, "unexpected argument \"fw.bin\""},
      {{"--", "fw.bin"}, "unexpected argument \"fw.bin\" after --"},
      {{"--run=0", "--erase-only"}, "--erase-only needs --rd before it"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args[0]);
    ConsoleOptions o;
    std::string error;
    EXPECT_EQ(row.error == nullptr, ParseConsoleArgs(row.args, o, error)) << error;
    if (row.error != nullptr) {
      EXPECT_NE(std::string::npos, error.find(row.error)) << error;
    } else if (row.args[0] == "--run=0" || row.args[1] == "--run") {
      ASSERT_EQ(1u, o.runs.size());
      EXPECT_EQ(0, o.runs[0].entry);
      EXPECT_EQ("fw.bin", o.runs[0].image);
    }
  }
  ConsoleOptions o;
  std::string error;
  ASSERT_TRUE(ParseConsoleArgs({"-qvy", "-V", "-h"}, o, error));
  EXPECT_TRUE(o.quiet && o.verbose && o.yes && o.version && o.help);
}

std::set<std::string> OptionsIn(const std::string& text) {
  static const std::regex option("--[a-z][a-z0-9-]*");
  std::set<std::string> found;
  for (std::sregex_iterator i(text.begin(), text.end(), option), end; i != end; ++i)
    found.insert(i->str());
  return found;
}

std::string Without(const std::set<std::string>& all, const std::set<std::string>& known) {
  std::string missing;
  for (const std::string& option : all)
    if (known.count(option) == 0) missing += " " + option;
  return missing;
}

// The manual page is written by hand: an option added, renamed or dropped on
// one side only fails here by name.
TEST(ConsoleManualTest, NamesEveryOptionOfHelpAndNoOther) {
#ifdef _WIN32
  const std::string path = std::string("Z:") + TX_CONSOLE_MANUAL;
#else
  const std::string path = TX_CONSOLE_MANUAL;
#endif
  std::ifstream in(path, std::ios::binary);
  ASSERT_TRUE(in) << path;
  std::string page{std::istreambuf_iterator<char>(in), {}};
  // roff writes a hyphen as \-.
  for (std::size_t at = page.find("\\-"); at != std::string::npos; at = page.find("\\-", at))
    page.replace(at, 2, "-");
  const std::set<std::string> help = OptionsIn(app::ConsoleUsage());
  const std::set<std::string> manual = OptionsIn(page);
  EXPECT_EQ("", Without(help, manual)) << "--help lists them, " << path << " does not";
  EXPECT_EQ("", Without(manual, help)) << path << " names them, --help does not";
  for (const std::string& option : help) {
    ConsoleOptions o;
    std::string error;
    ParseConsoleArgs({option}, o, error);
    EXPECT_EQ(std::string::npos, error.find("unknown option")) << error;
  }
  // The table's short names, and every exit class under EXIT STATUS.
  for (const std::string& name : app::ConsoleOptionNames()) {
    EXPECT_TRUE(page.find(name + " ") != std::string::npos ||
                page.find(name + "\n") != std::string::npos)
        << name;
    EXPECT_NE(std::string::npos, app::ConsoleUsage().find(name)) << name;
  }
  const std::size_t exits = page.find(".SH EXIT STATUS");
  ASSERT_NE(std::string::npos, exits);
  for (const app::ExitClassRow& row : app::ExitClasses()) {
    const std::string number = row.cls == app::ExitClass::Interrupted
                                   ? "128+N"
                                   : std::to_string(static_cast<int>(row.cls));
    EXPECT_NE(std::string::npos, page.find(".BR " + number + " \" " + row.name + "\"\n", exits))
        << row.name;
  }
  EXPECT_NE(std::string::npos, page.substr(0, page.find('\n')).find(TX_UTILITY_VERSION))
      << "the page's header names another version than the window's caption";
}

TEST(ConsoleOutcomeTest, PowerCycleNoticesAreTheSuccessfulEndings) {
  EXPECT_TRUE(program::IsPowerCycleNotice("Please Turn-Off the Power and Turn-On Again !"));
  EXPECT_TRUE(program::IsPowerCycleNotice("Please Turn-Off the Power and Turn-On Again!"));
  EXPECT_TRUE(program::IsPowerCycleNotice("TXV929 Auto reset, Please wait device re-attached!"));
  EXPECT_FALSE(program::IsPowerCycleNotice("Default backup firmware as OldFalsh.bak!"));
}

TEST(ConsoleTextTest, DeviceTextsCannotForgeALineAndChipNamesMatchAsShown) {
  const std::pair<std::string, std::string> texts[] = {
      {"/media/usb", "/media/usb"},
      {"/media/a\nentry 1: forged", "/media/a\\012entry 1: forged"},
      {"tab\there\r", "tab\\011here\\015"},
      {"\\\\?\\usbstor \x7f", "\\\\?\\usbstor \\177"},
      {"M\xFCller", "M\xFCller"},  // bytes of a code page stay as they are
  };
  for (const auto& [text, printed] : texts) EXPECT_EQ(printed, app::PrintableText(text));

  const std::tuple<const char*, const char*, bool> names[] = {
      {"TX40775 Series", "TX40775", true},   {"TX40775 Series", "tx40775 series", true},
      {"TXR845/846 Series", "TXR845/846", true}, {"TX40775", "TX40775", true},
      {"TX40775 Series", "TX4077", false},   {"TX40775 Series", "Series", false},
      {"TX40776 Series", "TX40775", false},  {"", "TX40775", false},
  };
  for (const auto& [shown, wanted, matches] : names)
    EXPECT_EQ(matches, app::ChipNameMatches(shown, wanted)) << shown << " / " << wanted;
}

class ConsoleTest : public testing_support::RunWindowFixture {
 protected:
  void SetUp() override {
    RunWindowFixture::SetUp();
    outName_ = TempName("console-out");
  }

  // Runs the console with the given arguments; output kept in output.
  int Console(const std::vector<std::string>& args) {
    ConsoleOptions options;
    std::string error;
    EXPECT_TRUE(ParseConsoleArgs(args, options, error)) << error;
    std::FILE* out = std::fopen(outName_.c_str(), "wb");
    std::FILE* err = std::fopen((outName_ + ".err").c_str(), "wb");
    EXPECT_NE(nullptr, out);
    options.yes = true;  // the question has its own test, on a terminal
    const int status = app::RunConsole(host::Current(), options, out, err, nullptr);
    std::fclose(out);
    std::fclose(err);
    std::ifstream in(outName_, std::ios::binary);
    output.assign(std::istreambuf_iterator<char>(in), {});
    std::ifstream errIn(outName_ + ".err", std::ios::binary);
    errors.assign(std::istreambuf_iterator<char>(errIn), {});
    return status;
  }
  bool Printed(const std::string& text) const { return output.find(text) != std::string::npos; }
  bool Complained(const std::string& text) const {
    return errors.find(text) != std::string::npos;
  }

  std::string output;
  std::string errors;

 private:
  std::string outName_;
};

TEST_F(ConsoleTest, ListsEveryEntryWithWhatTheWindowShows) {
  Attach("tx40775-pmc", 1);
  Attach("tx40777", 2);
  EXPECT_EQ(app::kExitSuccess, Console({"--list"}));
  EXPECT_TRUE(Printed("entry 0: <<USB>> Tavrion TX40775")) << output;
  EXPECT_TRUE(Printed("entry 1: <<USB>> Tavrion TX40777")) << output;
  EXPECT_TRUE(Printed("  chip:    ")) << output;
  EXPECT_TRUE(Printed("  drives:  ")) << output;
  EXPECT_TRUE(Printed("  version: ")) << output;
  EXPECT_TRUE(Printed("  flash:   ")) << output;
}

TEST_F(ConsoleTest, NoDeviceIsListedAsTheWindowSaysIt) {
  EXPECT_EQ(app::kExitSuccess, Console({}));
  EXPECT_EQ("No available device!!!\n", output);
  EXPECT_EQ(app::kExitUnavailable, Console({"--run", "0"}));
  EXPECT_TRUE(Complained("there is no entry 0 (0 listed)")) << errors;
}

TEST_F(ConsoleTest, SuccessfulUpdatePrintsItsProgressAndExitsZero) {
  auto chip = Attach("tx40775-pmc", 1);
  const std::vector<std::uint8_t> image = sim::MakeMatchingImage({1, 1});
  const std::string file = WriteFile("console", image);
  EXPECT_EQ(app::kExitSuccess, Console({"--run", "0", "--image", file}));
  EXPECT_TRUE(Printed("status: ....\nstatus: Programming Success!!\n")) << output;
  EXPECT_TRUE(Printed("[Message] Please Turn-Off the Power and Turn-On Again !\n")) << output;
  EXPECT_TRUE(Printed("result: success (standard serial flash)")) << output;
  std::vector<std::uint8_t> flash(image.size());
  chip->serialFlash()->cells().Read(0, flash.data(), flash.size());
  EXPECT_EQ(image, flash);

  // The same window's backup-only run reads it back into a file.
  const std::string backup = TempName("readback");
  EXPECT_EQ(app::kExitSuccess, Console({"--run", "0", "--image", file, "--run", "0", "--rd",
                                        "--backup-only", "--backup-file", backup}));
  EXPECT_TRUE(Printed("status: Read flash and backup success!")) << output;
  std::ifstream in(backup, std::ios::binary);
  const std::vector<std::uint8_t> saved{std::istreambuf_iterator<char>(in), {}};
  ASSERT_EQ(0x10000u, saved.size());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), saved.begin()));
}

// A run named by the enclosure's path, guarded by the chip it must hold, and
// refused (nothing written) where the device cannot be held.
TEST_F(ConsoleTest, RunsByDevicePathAndExpectedChip) {
  Attach("tx40777", 1);
  auto chip = Attach("tx40775-pmc", 2);
  const std::string path = chip->path();
  std::string upper = path;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string file = WriteFile("by-path", sim::MakeMatchingImage({1, 1}));
  struct Row {
    std::vector<std::string> args;
    bool heldElsewhere;
    int status;
    const char* says;
  };
  // Refusals first, while the flash holds its factory firmware.
  const Row rows[] = {
      {{"--device", path, "--expect-chip", "TX40777", "--image", file}, false,
       app::kExitRefused, "entry 1 holds a TX40775 Series, not TX40777: Run was not pressed"},
      {{"--device", path + "x", "--image", file}, false, app::kExitUnavailable,
       "there is no enclosure at "},
      {{"--device", path, "--image", file}, true, app::kExitUnavailable,
       ": in use by another program (device in use); nothing was sent"},
      {{"--device", upper, "--expect-chip", "tx40775", "--image", file}, false,
       app::kExitSuccess, "entry 1: "},
  };
  std::vector<std::uint8_t> factory(0x10000);
  chip->serialFlash()->cells().Read(0, factory.data(), factory.size());
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args[1] + " " + row.args[2]);
    machine.HoldOpenElsewhere(path, row.heldElsewhere);
    EXPECT_EQ(row.status, Console(row.args)) << output;
    EXPECT_TRUE(Printed(row.says) || Complained(row.says)) << output << errors;
    std::vector<std::uint8_t> flash(factory.size());
    chip->serialFlash()->cells().Read(0, flash.data(), flash.size());
    EXPECT_EQ(row.status != app::kExitSuccess, flash == factory);
  }
}

#ifndef _WIN32
// Sends itself a signal at the at-th command of a run, counted from where
// the run holds its device, and notes where its first erase or write went.
class SignalledMachine : public sim::Machine {
 public:
  bool BeginRun(const char* path, std::uint32_t& lastError) override {
    if (runStart < 0) runStart = sent;
    return Machine::BeginRun(path, lastError);
  }
  bool PassThrough(host::Handle handle, host::PassThroughRequest& request,
                   std::uint32_t& lastError) override {
    ++sent;
    if (runStart >= 0 && sent - runStart == at) raise(signal);
    const bool ok = Machine::PassThrough(handle, request, lastError);
    const std::string& name = transcript().back().command;
    if (firstChange < 0 && (name.rfind("Erase", 0) == 0 || name.rfind("WriteFlash", 0) == 0))
      firstChange = sent - runStart;
    return ok;
  }
  int at = 0;
  int signal = SIGTERM;
  int sent = 0;
  int runStart = -1;
  int firstChange = -1;
};

// A signal before the run's first erase (at any identification command of
// the selection, or the procedure's own reads) calls the run off with nothing
// written; from the first erase on the run ends as it would have (the image
// in flash, "success"). Either way the console then stops with 128 + N. Every
// signal a run holds is sent on both sides of the first erase.
TEST_F(ConsoleTest, ASignalEndsARunBeforeItsFirstEraseAndWaitsForItAfter) {
  const std::vector<std::uint8_t> image = sim::MakeMatchingImage({1, 1});
  const std::string file = WriteFile("signal", image);
  const std::vector<std::string> args = {"--run", "0", "--image", file};
  const auto attach = [](sim::Machine& m) {
    return sim::AttachProfile(m, *sim::FindProfile("tx40775-pmc"), {});
  };
  int runCommands = 0;
  int firstErase = 0;
  std::vector<std::uint8_t> factory(image.size());
  {
    SignalledMachine clean;
    attach(clean)->serialFlash()->cells().Read(0, factory.data(), factory.size());
    host::ScopedHost scope(clean);
    ASSERT_EQ(app::kExitSuccess, Console(args)) << output;
    runCommands = clean.sent - clean.runStart;
    firstErase = clean.firstChange;
  }
  ASSERT_GT(firstErase, 8);
  ASSERT_GT(runCommands, firstErase + 8);
  const std::vector<int> signals = host::HeldSignals();
  const int count = static_cast<int>(signals.size());
  ASSERT_GE(count, 13);
  // Every command before the first erase; then, from the erase itself (the
  // signal comes while it is under way), one sample per signal.
  std::vector<int> positions;
  for (int at = 1; at < firstErase; ++at) positions.push_back(at);
  for (int i = 0; i < count; ++i)
    positions.push_back(firstErase + i * (runCommands - firstErase) / (count - 1));
  for (std::size_t k = 0; k < positions.size(); ++k) {
    SignalledMachine m;
    m.at = positions[k];
    m.signal = signals[k % signals.size()];
    const bool before = m.at < firstErase;
    SCOPED_TRACE(testing::Message() << host::InterruptName(m.signal) << " (" << m.signal
                                    << ") at command " << m.at << " of " << runCommands);
    auto chip = attach(m);
    host::ScopedHost scope(m);
    EXPECT_EQ(app::kExitInterruptedBase + m.signal, Console(args)) << output;
    EXPECT_TRUE(Printed(before ? "result: interrupted before anything was written"
                               : "result: success (standard serial flash)\ninterrupted: "))
        << output;
    EXPECT_EQ(before ? -1 : firstErase, m.firstChange);
    std::vector<std::uint8_t> flash(image.size());
    chip->serialFlash()->cells().Read(0, flash.data(), flash.size());
    EXPECT_EQ(before ? factory : image, flash);
  }
}
#endif

#ifndef _WIN32
// Ctrl+Z (SIGTSTP) during a run stops the console only once the run has
// ended: when it stops, the log already holds the run's result. Continued, it
// exits as the run ended. In a child of its own process group, as a job is.
TEST_F(ConsoleTest, AStopSignalWaitsForTheRunsEnd) {
  const std::string file = WriteFile("stopped", sim::MakeMatchingImage({1, 1}));
  const std::string log = TempName("stopped-log");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setpgid(0, 0);
    SignalledMachine m;
    m.at = 5;
    m.signal = SIGTSTP;
    sim::AttachProfile(m, *sim::FindProfile("tx40775-pmc"), {});
    host::ScopedHost scope(m);
    _exit(Console({"--log", log, "--run", "0", "--image", file}));
  }
  int wstatus = 0;
  ASSERT_EQ(child, waitpid(child, &wstatus, WUNTRACED));
  EXPECT_TRUE(WIFSTOPPED(wstatus));
  std::ifstream in(log, std::ios::binary);
  const std::string logged{std::istreambuf_iterator<char>(in), {}};
  EXPECT_NE(std::string::npos, logged.find("result: success (standard serial flash)")) << logged;
  kill(child, SIGCONT);
  ASSERT_EQ(child, waitpid(child, &wstatus, 0));
  ASSERT_TRUE(WIFEXITED(wstatus));
  EXPECT_EQ(app::kExitSuccess, WEXITSTATUS(wstatus));
}

// Under a file-size limit (ulimit -f) the log and the output fail part-way:
// the run still finishes with the image in flash, and the exit status says
// that the account is incomplete. Each row runs in a child, as the limit and
// the signal disposition are the process's.
TEST_F(ConsoleTest, AFileSizeLimitOnTheOutputsNeverEndsARun) {
  auto chip = Attach("tx40775-pmc", 1);
  const std::vector<std::uint8_t> image = sim::MakeMatchingImage({1, 1});
  const std::string file = WriteFile("limited", image);
  const std::vector<std::vector<std::string>> rows = {
      {"--log", TempName("limited-log"), "--run", "0", "--image", file},  // the log and stdout
      {"--run", "0", "--image", file},                                     // stdout alone
  };
  for (const auto& args : rows) {
    SCOPED_TRACE(args.front());
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      host::IgnoreBrokenPipes();  // as the console's main does
      const rlimit limit{200, 200};
      setrlimit(RLIMIT_FSIZE, &limit);
      const int status = Console(args);
      std::vector<std::uint8_t> flash(image.size());
      chip->serialFlash()->cells().Read(0, flash.data(), flash.size());
      _exit(status | (flash == image ? 0 : 0x40));
    }
    int wstatus = 0;
    ASSERT_EQ(child, waitpid(child, &wstatus, 0));
    ASSERT_TRUE(WIFEXITED(wstatus)) << "ended by signal " << WTERMSIG(wstatus);
    EXPECT_EQ(app::kExitOutputIncomplete, WEXITSTATUS(wstatus));  // and the flash holds the image
  }
}
#endif

// A run that failed after the flash was written needs attention, and says
// what to do; one whose image cannot be read is refused, nothing sent.
TEST_F(ConsoleTest, FailingRunsSayWhatIsLeft) {
  Attach("tx40775-pmc", 1);
  const std::string file = WriteFile("console", sim::MakeMatchingImage({1, 1}));
  sim::CommandFault fault;  // the second program command fails
  fault.pattern = sim::CdbPattern("FF 04 11 00 20 00");
  machine.AddFault(fault);
  EXPECT_EQ(app::kExitAttention, Console({"--run", "0", "--image", file}));
  EXPECT_TRUE(Printed("status: .\nstatus: Programming Fail!!\n")) << output;
  EXPECT_TRUE(Printed("result: failed (standard serial flash)\nattention: ")) << output;
  EXPECT_TRUE(Complained("attention: the flash may now hold neither")) << errors;
  EXPECT_FALSE(Printed("[Message]")) << output;

  // A file the window cannot open leaves Run disabled, and the runs stop there.
  machine.ClearFaults();
  const std::string missing = TempName("missing");
  EXPECT_EQ(app::kExitRefused,
            Console({"--run", "0", "--image", missing, "--run", "0", "--rd", "--backup-only"}));
  EXPECT_TRUE(Printed("[Error] Open Firmware File Error!!\n")) << output;
  EXPECT_TRUE(Complained("cannot read the firmware file " + missing + ": No such file"))
      << errors;
  EXPECT_TRUE(Printed("result: Run is disabled")) << output;
  EXPECT_FALSE(Printed("Backup")) << output;
}

TEST_F(ConsoleTest, ChipsWithoutAProcedureAndDisabledRunAreNotSuccesses) {
  // A TX40769 whose bridge version is below 208: the table runs nothing.
  Attach("tx40769-old", 1);
  const std::string file = WriteFile("t769", sim::MakeMatchingImage({5, 0}));
  EXPECT_EQ(app::kExitRefused, Console({"--run", "0", "--image", file}));
  EXPECT_TRUE(Printed("result: nothing ran (none)")) << output;

  // Without an image Run stays disabled, and the console cannot press it.
  Attach("tx40775-pmc", 2);
  EXPECT_EQ(app::kExitRefused, Console({"--run", "1"}));
  EXPECT_TRUE(Printed("result: Run is disabled")) << output;
}

// The size check of chip type 10 refuses an image that matches the chip but
// not its flash: nothing is sent to the flash and the exit status says so.
TEST_F(ConsoleTest, ImageRefusedForItsSizeIsNotASuccess) {
  Attach("txr847-mxic32", 1);
  sim::Image image = sim::MakeMatchingImage({10, 1});
  ASSERT_FALSE(image.empty());
  image.resize(128 * 1024 + 1, 0xFF);
  const std::string file = WriteFile("t847-big", image);
  EXPECT_EQ(app::kExitRefused, Console({"--run", "0", "--image", file}));
  EXPECT_TRUE(Printed("[Message] The firmware file size is bigger than the flash size!\n"))
      << output;
  EXPECT_TRUE(Printed("result: refused, Run stays disabled")) << output;
  EXPECT_EQ(0, Count("EraseFlashChip") + Count("EraseFlashSector") + Count("WriteFlash"));
}

// Another chip's image: typed in, Run stays disabled; chosen with "Load File",
// Run asks and the console answers Yes only with --program-anyway.
TEST_F(ConsoleTest, AnotherChipsImageIsWrittenOnlyWithProgramAnyway) {
  auto chip = Attach("tx40775-pmc", 1);
  const std::vector<std::uint8_t> foreign = sim::MakeMatchingImage({6, 1});
  const std::string file = WriteFile("foreign", foreign);
  std::vector<std::uint8_t> flash(foreign.size());
  chip->serialFlash()->cells().Read(0, flash.data(), flash.size());
  const std::vector<std::uint8_t> before = flash;
  const struct {
    std::vector<std::string> args;
    int status;
    const char* printed;
    bool written;
  } rows[] = {
      {{"--image", file}, app::kExitRefused, "result: Run is disabled", false},
      {{"--load", file}, app::kExitRefused,
       "[Message] The firmware file seems not match this chip! Program it anyway? -> No\n"
       "result: refused, the image does not match this chip",
       false},
      {{"--load", file, "--program-anyway"}, app::kExitSuccess,
       "[Message] The firmware file seems not match this chip! Program it anyway? -> Yes\n",
       true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args.back());
    machine.ClearTranscript();
    std::vector<std::string> args = {"--run", "0"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    EXPECT_EQ(row.status, Console(args));
    EXPECT_TRUE(Printed(row.printed)) << output;
    chip->serialFlash()->cells().Read(0, flash.data(), flash.size());
    EXPECT_EQ(row.written ? foreign : before, flash);
    if (!row.written) {
      EXPECT_EQ(0, Count("EraseFlashChip") + Count("EraseFlashSector") + Count("WriteFlash"));
    }
  }
}

TEST_F(ConsoleTest, ControlsTheWindowHidesAreRefused) {
  Attach("tx40775-pmc", 1);
  // The firmware size box shows only for some chips with erase or backup checked.
  EXPECT_EQ(app::kExitUsage, Console({"--run", "0", "--rd", "--size", "1MB"}));
  EXPECT_TRUE(Complained("does not offer the firmware size")) << errors;
}

// The console is a view of the same window: the same run on two identical
// machines ends the same way, status line, boxes and flash alike.
TEST_F(ConsoleTest, ConsoleAndWindowGiveTheSameOutcome) {
  auto consoleChip = Attach("tx40775-pmc", 1);
  const std::string file = WriteFile("same", sim::MakeMatchingImage({1, 1}));
  const std::string backup = TempName("same-backup");
  ASSERT_EQ(app::kExitSuccess, Console({"--run", "0", "--image", file, "--run", "0", "--rd",
                                        "--backup-only", "--backup-file", backup}));
  std::vector<std::uint8_t> consoleFlash(0x10000);
  consoleChip->serialFlash()->cells().Read(0, consoleFlash.data(), consoleFlash.size());

  sim::Machine other;
  host::ScopedHost scope(other);
  sim::AttachOptions attach;
  attach.volumes = {{'E', 1}};
  auto windowChip = sim::AttachProfile(other, *sim::FindProfile("tx40775-pmc"), attach);
  app::HeadlessView view;
  auto w = app::StartMainWindow(view);
  w->DeviceList.UserSelect(0);
  w->FwFilenameEdit.SetText(file);
  w->UpdateBtn.Click();
  const std::string afterProgramming = w->StatusEdit.text();
  w->RdCheckBox.SetChecked(true);
  w->BackupFWCheckBox.SetChecked(true);
  w->BackupFileEdit.SetText(backup + ".window");
  w->UpdateBtn.Click();
  std::remove((backup + ".window").c_str());
  std::vector<std::uint8_t> windowFlash(0x10000);
  windowChip->serialFlash()->cells().Read(0, windowFlash.data(), windowFlash.size());

  EXPECT_EQ(consoleFlash, windowFlash);
  EXPECT_TRUE(Printed("status: " + afterProgramming + "\n")) << output;
  EXPECT_TRUE(Printed("status: " + w->StatusEdit.text() + "\n")) << output;
  for (const auto& m : view.messages)
    EXPECT_TRUE(Printed("[" + m.caption + "] " + m.text + "\n")) << m.text;
}

// ---- The JSON document ------------------------------------------------------

using Json = nlohmann::json;

// Window texts are bytes: valid UTF-8 stays as it is, every other byte is the
// character of its number.
TEST(ConsoleJsonTextTest, BytesBecomeUtf8WithoutLoss) {
  const struct {
    std::string bytes, utf8;
  } rows[] = {
      {"Open File Error!!\r\n", "Open File Error!!\r\n"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},                      // UTF-8 kept
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},            // four bytes kept
      {"M\xFCller", "M\xC3\xBCller"},                      // ANSI byte
      {"\xC0\x80", "\xC3\x80\xC2\x80"},                    // overlong form
      {"\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xC2\x80"},        // surrogate
      {"\xF4\x90\x80\x80", "\xC3\xB4\xC2\x90\xC2\x80\xC2\x80"},  // above U+10FFFF
      {"\xE2\x82", "\xC3\xA2\xC2\x82"},                    // cut short at the end
      {"\xE2\x82" "A", "\xC3\xA2\xC2\x82" "A"},            // cut short by a letter
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& row : rows) EXPECT_EQ(row.utf8, app::JsonText(row.bytes)) << row.bytes;
}

TEST(ConsoleJsonTextTest, QuotesControlsAndBytesSurviveTheDocument) {
  app::ConsoleReport report;
  app::RunRecord& run = report.runs.emplace_back();
  run.image = "C:\\fw \"new\"\t\xE9.bin";
  run.events.push_back({true, "Read Fail!!\r\n", "Err\"or"});
  report.exitStatus = 1;
  const std::string text = app::ConsoleJson(report);
  EXPECT_TRUE(std::all_of(text.begin(), text.end(),
                          [](char c) { return static_cast<unsigned char>(c) < 0x80; }));
  const Json doc = Json::parse(text);
  EXPECT_EQ(app::kJsonFormatVersion, doc.at("formatVersion"));
  EXPECT_EQ(0u, text.find("{\n  \"formatVersion\": 1,")) << text;  // first, for a reader
  EXPECT_EQ("C:\\fw \"new\"\t\xC3\xA9.bin", doc.at("runs")[0].at("image"));
  EXPECT_EQ("Read Fail!!\r\n", doc.at("runs")[0].at("events")[0].at("text"));
  EXPECT_EQ("Err\"or", doc.at("runs")[0].at("events")[0].at("caption"));
  EXPECT_FALSE(doc.contains("entries"));  // not listed
}

class ConsoleJsonTest : public ConsoleTest {
 protected:
  Json ConsoleDoc(std::vector<std::string> args, int expectedStatus) {
    args.insert(args.begin(), "--json");
    EXPECT_EQ(expectedStatus, Console(args)) << output;
    Json doc = Json::parse(output, nullptr, false);
    EXPECT_FALSE(doc.is_discarded()) << output;
    if (!doc.is_discarded()) {
      EXPECT_EQ(expectedStatus, doc.at("exitStatus"));
    }
    return doc;
  }
};

// What the table names, where a procedure is chosen; offered follows from
// whether that procedure is built yet.
void ExpectOffer(const Json& offer, const char* procedure, const char* what) {
  SCOPED_TRACE(what);
  if (procedure == nullptr) {
    EXPECT_EQ(Json(nullptr), offer.at("procedure"));
    EXPECT_EQ(false, offer.at("offered"));
    return;
  }
  EXPECT_EQ(procedure, offer.at("procedure"));
  bool built = false;
  for (const program::ProcedureRow& row : program::ProcedureTable())
    if (offer.at("procedure") == row.name) built = program::ProcedureBuilt(row.procedure);
  EXPECT_EQ(built, offer.at("offered"));
}

TEST_F(ConsoleJsonTest, ListsTheSimulatedSetPerFamily) {
  sim::AttachDemoEnclosures(machine);
  const Json doc = ConsoleDoc({"--simulate"}, app::kExitSuccess);
  ASSERT_TRUE(doc.contains("entries"));
  const Json& entries = doc.at("entries");
  ASSERT_GE(entries.size(), 8u);

  // Every entry carries every field with its type.
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Json& e = entries[i];
    SCOPED_TRACE(e.dump());
    EXPECT_EQ(i, e.at("index"));
    EXPECT_TRUE(e.at("text").is_string());
    EXPECT_TRUE(e.at("chip").at("name").is_string());
    EXPECT_TRUE(e.at("chip").at("type").is_number_integer());
    EXPECT_TRUE(e.at("chip").at("subCode").is_number_integer());
    const std::string bus = e.at("bus");
    EXPECT_TRUE(bus == "USB" || bus == "IEEE 1394" || bus == "other");
    EXPECT_FALSE(e.at("path").get<std::string>().empty());
    EXPECT_TRUE(e.at("drives").is_array());
    for (const char* key : {"firmwareVersion", "status"})
      EXPECT_TRUE(e.at(key).is_string() || e.at(key).is_null()) << key;
    EXPECT_TRUE(e.at("flash").at("maker").is_string() || e.at("flash").at("maker").is_null());
    EXPECT_TRUE(e.at("flash").at("kind").is_null() || e.at("flash").at("kind") == "serial" ||
                e.at("flash").at("kind") == "parallel");
    EXPECT_TRUE(e.at("flash").at("sizeKb").is_number_integer() ||
                e.at("flash").at("sizeKb").is_null());
    EXPECT_TRUE(e.at("bridgeVersion").is_number_integer() || e.at("bridgeVersion").is_null());
    for (const char* mode : {"program", "eraseOnly", "backupOnly"}) {
      EXPECT_TRUE(e.at("offers").at(mode).at("offered").is_boolean()) << mode;
      // Only a procedure the window would reach can be offered.
      if (e.at("offers").at(mode).at("offered") == true) {
        EXPECT_TRUE(e.at("offers").at(mode).at("procedure").is_string()) << mode;
      }
    }
    EXPECT_TRUE(e.at("events").is_array());
  }

  // One entry of each family of the set, by its entry text. The size and the
  // bridge version are given only where this selection read them, never left
  // over from the entry before (the TXR842 follows one whose size was read).
  const struct {
    const char* text;
    const char* chip;
    int type, subCode;
    const char* bus;
    std::vector<std::string> drives;
    const char* version;
    const char* maker;  // null: none shown
    const char* kind;
    int sizeKb;         // 0: not read
    int bridgeVersion;  // 0: not read
    const char* status;
    const char* program;
    const char* eraseOnly;
    const char* backupOnly;
  } families[] = {
      {"<<USB>> Tavrion TX40775 Disk", "TX40775 Series", 1, 1, "USB", {"E", "F"}, "2.05.01", "PMC",
       "serial", 0, 0, nullptr, "standard serial flash", "standard serial flash",
       "standard serial flash"},
      {"<<1394>> Tavrion TXR843 1394", "TXR843 Series", 7, 2, "IEEE 1394", {"G"}, "1.07.02",
       "WINBOND", "serial", 0, 0, nullptr, "IEEE 1394 bridge flash", "IEEE 1394 bridge flash",
       "IEEE 1394 bridge flash"},
      {"<<USB>> Tavrion TX40776 Disk", "TX40776 Series", 2, 0, "USB", {"H"}, "2.01.00",
       "ATMELAT 49BV512", "parallel", 0, 0, nullptr, "internal-ROM parallel flash",
       "internal-ROM parallel flash", "internal-ROM parallel flash"},
      {"<<USB>> Tavrion TXV929 Disk", "TXV929 Series", 12, 0, "USB", {"I"}, "01.02.03.04",
       "WINBOND", "serial", 128, 0, nullptr, "block-command flash", "block-command flash",
       "block-command flash"},
      {"<<847>> Tavrion TXV929 Disk", "TXV929/847 Series", 13, 0, "USB", {"I"}, "03.04.05.06.07",
       "MXIC", "serial", 64, 0, nullptr, "bridge behind controller", "bridge behind controller",
       "bridge behind controller"},
      {"<<USB>> Tavrion TX40769 Disk", "TX40769 Series", 5, 0, "USB", {"K"}, "2.02.00", nullptr,
       nullptr, 0, 212, nullptr, "disk-area firmware", "disk-area firmware",
       "disk-area firmware"},
      // Recognised by its status word only: no image rule keeps Run off for
      // programming, and no procedure takes it.
      {"<<USB>> Tavrion TX40778 Disk", "TX40778", 21, 0, "USB", {"L"}, nullptr, nullptr, nullptr,
       0, 0, "Not Tavrion Chip!!", "none", "none", "none"},
      {"<<USB>> Tavrion TXR842 Disk", "TXR842 Series", 6, 1, "USB", {"J"}, "1.03.02", "MXIC",
       "serial", 0, 0, nullptr, "NVRAM-preserving 16 KB pages", "NVRAM-preserving 16 KB pages",
       "NVRAM-preserving 16 KB pages"},
  };
  for (const auto& f : families) {
    SCOPED_TRACE(f.text);
    const auto found = std::find_if(entries.begin(), entries.end(),
                                    [&](const Json& e) { return e.at("text") == f.text; });
    ASSERT_NE(entries.end(), found);
    const Json& e = *found;
    EXPECT_EQ(f.chip, e.at("chip").at("name"));
    EXPECT_EQ(f.type, e.at("chip").at("type"));
    EXPECT_EQ(f.subCode, e.at("chip").at("subCode"));
    EXPECT_EQ(f.bus, e.at("bus"));
    EXPECT_EQ(f.drives, e.at("drives").get<std::vector<std::string>>());
    EXPECT_EQ(f.version ? Json(f.version) : Json(nullptr), e.at("firmwareVersion"));
    EXPECT_EQ(f.maker ? Json(f.maker) : Json(nullptr), e.at("flash").at("maker"));
    EXPECT_EQ(f.kind ? Json(f.kind) : Json(nullptr), e.at("flash").at("kind"));
    EXPECT_EQ(f.sizeKb ? Json(f.sizeKb) : Json(nullptr), e.at("flash").at("sizeKb"));
    EXPECT_EQ(f.bridgeVersion ? Json(f.bridgeVersion) : Json(nullptr), e.at("bridgeVersion"));
    EXPECT_EQ(f.status ? Json(f.status) : Json(nullptr), e.at("status"));
    ExpectOffer(e.at("offers").at("program"), f.program, "program");
    ExpectOffer(e.at("offers").at("eraseOnly"), f.eraseOnly, "eraseOnly");
    ExpectOffer(e.at("offers").at("backupOnly"), f.backupOnly, "backupOnly");
  }
  EXPECT_EQ(Json(nullptr), doc.at("listNotice"));
  EXPECT_TRUE(doc.at("runs").empty());
}

TEST_F(ConsoleJsonTest, NoDeviceIsANoticeAndNoEntries) {
  const Json doc = ConsoleDoc({}, app::kExitSuccess);
  EXPECT_TRUE(doc.at("entries").empty());
  EXPECT_EQ("No available device!!!", doc.at("listNotice"));
  const Json missing = ConsoleDoc({"--run", "0"}, app::kExitUnavailable);
  EXPECT_FALSE(missing.contains("entries"));
  EXPECT_EQ("noSuchEntry", missing.at("runs")[0].at("outcome"));
  EXPECT_EQ("there is no entry 0 (0 listed)", missing.at("runs")[0].at("problem"));
  EXPECT_EQ(Json(nullptr), missing.at("runs")[0].at("procedure"));
}

Json Events(std::initializer_list<std::pair<const char*, const char*>> items) {
  Json list = Json::array();
  for (const auto& [caption, text] : items) {
    if (caption == nullptr)
      list.push_back({{"type", "status"}, {"text", text}});
    else
      list.push_back({{"type", "box"}, {"caption", caption}, {"text", text}});
  }
  return list;
}

TEST_F(ConsoleJsonTest, SuccessfulRunsInOrderWithTheirEvents) {
  Attach("tx40775-pmc", 1);
  const std::string file = WriteFile("json-ok", sim::MakeMatchingImage({1, 1}));
  const std::string backup = TempName("json-backup");
  const Json doc = ConsoleDoc({"--list", "--run", "0", "--image", file, "--run", "0", "--rd",
                               "--backup-only", "--backup-file", backup},
                              app::kExitSuccess);
  EXPECT_EQ(1u, doc.at("entries").size());
  ASSERT_EQ(2u, doc.at("runs").size());
  const Json& program = doc.at("runs")[0];
  EXPECT_EQ(0, program.at("entry"));
  EXPECT_EQ("<<USB>> Tavrion TX40775 Disk", program.at("entryText"));
  EXPECT_EQ("program", program.at("mode"));
  EXPECT_EQ(file, program.at("image"));
  EXPECT_EQ(Json(nullptr), program.at("backupFile"));
  EXPECT_EQ("standard serial flash", program.at("procedure"));
  EXPECT_EQ("succeeded", program.at("outcome"));
  EXPECT_EQ(Json(nullptr), program.at("problem"));
  EXPECT_EQ(Events({{nullptr, "...."},
                    {nullptr, "Programming Success!!"},
                    {"Message", "Please Turn-Off the Power and Turn-On Again !"}}),
            program.at("events"));
  EXPECT_GE(program.at("wallSeconds").get<double>(), 0.0);

  const Json& read = doc.at("runs")[1];
  EXPECT_EQ("backupOnly", read.at("mode"));
  EXPECT_EQ(Json(nullptr), read.at("image"));
  EXPECT_EQ(backup, read.at("backupFile"));
  EXPECT_EQ("succeeded", read.at("outcome"));
  EXPECT_EQ("Read flash and backup success!", read.at("events").back().at("text"));
}

// One row per exit class a run can end in: the status, and the class by name
// in the document and the run, follow from what was sent.
TEST_F(ConsoleJsonTest, FailedRefusedAndUnpressedRuns) {
  Attach("tx40775-pmc", 1);
  Attach("txr847-mxic32", 2);
  const std::string good = WriteFile("json-fail", sim::MakeMatchingImage({1, 1}));
  sim::Image big = sim::MakeMatchingImage({10, 1});
  big.resize(128 * 1024 + 1, 0xFF);
  const std::string tooBig = WriteFile("json-big", big);
  // A name with quotes and a byte that is no UTF-8; it is never created.
  const std::string odd = TempName("json-odd") + " \"odd\" \xE9";
  const std::string foreign = WriteFile("json-foreign", sim::MakeMatchingImage({6, 1}));

  const std::string backup = TempName("json-backup");
  const struct {
    std::vector<std::string> args;
    const char* fault;  // the first command of this kind fails
    int status;
    const char* exitClass;
    const char* outcome;
    const char* procedure;  // null: Run was not pressed
    Json events;
  } rows[] = {
      // The second program command fails: the flash was erased.
      {{"--run", "0", "--image", good}, "FF 04 11 00 20 00", app::kExitAttention, "attention",
       "failed", "standard serial flash",
       Events({{nullptr, "."}, {nullptr, "Programming Fail!!"}})},
      // A backup whose read fails sent nothing that writes.
      {{"--run", "0", "--rd", "--backup-only", "--backup-file", backup}, "FF 04 10",
       app::kExitRunFailed, "failed", "failed", "standard serial flash", nullptr},
      {{"--run", "1", "--image", tooBig}, nullptr, app::kExitRefused, "refused", "refused",
       "image too large",
       Events({{"Message", "The firmware file size is bigger than the flash size!"}})},
      {{"--run", "0", "--image", odd}, nullptr, app::kExitRefused, "refused", "runDisabled",
       nullptr, Events({{"Error", "Open Firmware File Error!!"}})},
      {{"--run", "0", "--rd", "--size", "1MB"}, nullptr, app::kExitUsage, "usage", "notOffered",
       nullptr, Json::array()},
      {{"--run", "7", "--image", good}, nullptr, app::kExitUnavailable, "unavailable",
       "noSuchEntry", nullptr, Json::array()},
      // Another chip's image chosen with "Load File": Run asks, the answer is No.
      {{"--run", "0", "--load", foreign}, nullptr, app::kExitRefused, "refused", "refused", "none",
       Events({{"Message", "The firmware file seems not match this chip!"},
               {"Message", "The firmware file seems not match this chip! Program it anyway?"}})},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args[1] + " " + row.args.back());
    machine.ClearFaults();
    if (row.fault != nullptr) {
      sim::CommandFault fault;
      fault.pattern = sim::CdbPattern(row.fault);
      machine.AddFault(fault);
    }
    const Json doc = ConsoleDoc(row.args, row.status);
    EXPECT_EQ(row.exitClass, doc.at("exitClass"));
    ASSERT_EQ(1u, doc.at("runs").size());
    const Json& run = doc.at("runs")[0];
    EXPECT_EQ(row.exitClass, run.at("exitClass"));
    EXPECT_EQ(row.outcome, run.at("outcome"));
    EXPECT_EQ(row.procedure ? Json(row.procedure) : Json(nullptr), run.at("procedure"));
    if (!row.events.is_null()) {
      EXPECT_EQ(row.events, run.at("events"));
    }
    EXPECT_EQ(row.procedure == nullptr, run.at("problem").is_string());
  }
  // The name comes back as written, its lone byte as the character of its number.
  machine.ClearFaults();
  const Json doc = ConsoleDoc({"--run", "0", "--image", odd}, app::kExitRefused);
  std::string expected = odd;
  expected.replace(expected.find('\xE9'), 1, "\xC3\xA9");
  EXPECT_EQ(expected, doc.at("runs")[0].at("image"));
}

#ifndef _WIN32
// As a script drives it: list, pick the entry by its chip type, write an image
// for that chip, update it and read it back, each step a process of its own.
// Standard output must hold the document alone; the procedures' diagnostic
// lines go to standard error.
class ConsoleProgramTest : public testing_support::RunWindowFixture {
 protected:
  int RunProgram(const std::string& args, Json& doc) {
    const std::string out = TempName("console-stdout");
    const std::string err = TempName("console-stderr");
    const std::string command = std::string("'") + TX_CONSOLE_PROGRAM + "' --simulate --json " +
                                args + " >'" + out + "' 2>'" + err + "'";
    const int status = std::system(command.c_str());
    std::ifstream in(out, std::ios::binary);
    doc = Json::parse(in, nullptr, false);
    std::ifstream errIn(err, std::ios::binary);
    stderrText.assign(std::istreambuf_iterator<char>(errIn), {});
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string stderrText;
};

std::string Output(const std::string& command) {
  std::string text;
  if (std::FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[256];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    pclose(pipe);
  }
  return text;
}

// --version names the caption's version, the CMake project's version and the
// commit the sources are at.
TEST(ConsoleVersionTest, NamesTheCaptionVersionAndTheSourcesCommit) {
  std::string printed = Output(std::string("'") + TX_CONSOLE_PROGRAM + "' --version");
  std::ifstream lists(std::string(TX_SOURCE_DIR) + "/CMakeLists.txt");
  const std::string cmake{std::istreambuf_iterator<char>(lists), std::istreambuf_iterator<char>()};
  std::smatch project;
  ASSERT_TRUE(std::regex_search(cmake, project,
                                std::regex("\nproject\\(tx4077x_fwtool VERSION ([0-9.]+)")));
  const std::string line = "version " + project[1].str() + "\n";
  const std::size_t at = printed.find('\n') + 1;
  ASSERT_EQ(line, printed.substr(at, line.size())) << printed;
  printed.erase(at, line.size());
  const std::string head = Output(std::string("cd '") + TX_SOURCE_DIR +
                                  "' && [ \"$(git rev-parse --show-toplevel 2>/dev/null)\" = "
                                  "\"$(pwd -P)\" ] && git rev-parse --short=12 HEAD");
  if (head.empty()) {  // sources without git: the archive's commit, or unknown
    EXPECT_TRUE(std::regex_match(printed, std::regex(TX_UTILITY_NAME " " TX_UTILITY_VERSION
                                                     "\ncommit ([0-9a-f]{12}|unknown)\n")))
        << printed;
  } else {
    EXPECT_TRUE(std::regex_match(printed, std::regex(TX_UTILITY_NAME " " TX_UTILITY_VERSION
                                                     "\ncommit " + head.substr(0, 12) +
                                                     "(-dirty)?\n")))
        << printed << "HEAD " << head;
  }
}

// A reader that goes away after the first byte (| head -c 1): the console
// goes on writing into the closed pipe and finishes the update; it exits 0,
// or 6 (output incomplete) when a write came after the reader had gone.
TEST_F(ConsoleProgramTest, AClosedPipeDoesNotEndARun) {
  const std::string file = WriteFile("pipe", sim::MakeMatchingImage({1, 1}));
  const std::string status = TempName("pipe-status");
  const std::string command = std::string("('") + TX_CONSOLE_PROGRAM +
                              "' --simulate --run 0 --image '" + file + "'; echo $? >'" +
                              status + "') | head -c 1 >/dev/null";
  ASSERT_EQ(0, std::system(command.c_str()));
  std::ifstream in(status);
  std::string code;
  std::getline(in, code);
  EXPECT_TRUE(code == "0" || code == std::to_string(app::kExitOutputIncomplete)) << code;
}

TEST_F(ConsoleProgramTest, ScriptedUpdateOfAnEntryChosenByChipType) {
  Json listing;
  ASSERT_EQ(app::kExitSuccess, RunProgram("", listing));
  ASSERT_FALSE(listing.is_discarded());
  const Json* chosen = nullptr;
  for (const Json& e : listing.at("entries"))
    if (e.at("chip").at("type") == 1 && e.at("offers").at("program").at("offered") == true)
      chosen = &e;
  ASSERT_NE(nullptr, chosen) << listing.dump(2);
  const std::string entry = std::to_string(chosen->at("index").get<int>());
  const sim::Image image = sim::MakeMatchingImage(
      {static_cast<std::uint8_t>(chosen->at("chip").at("type").get<int>()),
       static_cast<std::int8_t>(chosen->at("chip").at("subCode").get<int>())});
  const std::string file = WriteFile("script", image);
  const std::string backup = TempName("script-readback");

  Json result;
  ASSERT_EQ(app::kExitSuccess,
            RunProgram("--run " + entry + " --image '" + file + "' --run " + entry +
                           " --rd --backup-only --backup-file '" + backup + "'",
                       result));
  ASSERT_FALSE(result.is_discarded());
  ASSERT_EQ(2u, result.at("runs").size());
  EXPECT_EQ("succeeded", result.at("runs")[0].at("outcome"));
  EXPECT_EQ("succeeded", result.at("runs")[1].at("outcome"));
  EXPECT_NE(std::string::npos, stderrText.find("NVRAM O.K.")) << stderrText;
  std::ifstream in(backup, std::ios::binary);
  const std::vector<std::uint8_t> saved{std::istreambuf_iterator<char>(in), {}};
  ASSERT_GE(saved.size(), image.size());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), saved.begin()));
}
#endif

}  // namespace

namespace {

// The demo's two enclosures that keep their firmware on the disk: the console
// programs each (the disk-area chip's file through "Load File" and Yes to
// Run's question, no image check accepting one) and a backup-only run reads back what the file holds.
TEST_F(ConsoleTest, DemoDiskHostedEnclosuresAreProgrammedAndReadBack) {
  sim::AttachDemoEnclosures(machine);
  const std::string folder = TempName("demo-images");
  const std::vector<std::string> images = sim::WriteDemoImages(folder);
  struct Row {
    const char* entry;
    const char* image;  // stem of the demo image
    const char* how;
    const char* procedure;
  } rows[] = {
      {"7", "txr649", "--load", "disk-area firmware"},
      {"8", "txv929-hdd", "--image", "HDD-hosted firmware"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.image);
    std::string file;
    for (const std::string& i : images)
      if (i.find(std::string(r.image) + ".bin") != std::string::npos) file = i;
    ASSERT_FALSE(file.empty());
    const std::string backup = TempName(std::string(r.image) + "-readback");
    std::vector<std::string> args = {"--run", r.entry, r.how, file};
    if (std::string(r.how) == "--load") args.push_back("--program-anyway");
    for (const char* a : {"--run", r.entry, "--rd", "--backup-only", "--backup-file"})
      args.push_back(a);
    args.push_back(backup);
    EXPECT_EQ(app::kExitSuccess, Console(args))
        << output;
    EXPECT_TRUE(Printed(std::string("result: success (") + r.procedure + ")")) << output;
    std::ifstream in(file, std::ios::binary);
    const std::vector<std::uint8_t> image{std::istreambuf_iterator<char>(in), {}};
    std::ifstream back(backup, std::ios::binary);
    const std::vector<std::uint8_t> saved{std::istreambuf_iterator<char>(back), {}};
    ASSERT_FALSE(saved.empty());
    ASSERT_LE(saved.size(), image.size());
    EXPECT_TRUE(std::equal(saved.begin(), saved.end(), image.begin()));
  }
  std::error_code error;
  std::filesystem::remove_all(folder, error);
}

}  // namespace

namespace {

// A machine whose enclosure is plugged in during the console's wait and
// whose notification of it is lost: the first wait only starts listening,
// the third attaches it, none tells of a change.
class LateArrival : public sim::Machine {
 public:
  bool WaitForDeviceChange(std::uint32_t milliseconds) override {
    ++waits;
    longest = std::max(longest, milliseconds);
    if (waits == 3) {
      sim::AttachOptions options;
      options.diskNumber = 1;
      sim::AttachProfile(*this, *sim::FindProfile("tx40775-pmc"), options);
    }
    return false;
  }
  int waits = 0;
  std::uint32_t longest = 0;
};

}  // namespace

TEST_F(ConsoleTest, WaitsForAnEnclosureThenListsIt) {
  LateArrival late;
  host::ScopedHost scope(late);
  EXPECT_EQ(app::kExitSuccess, Console({"--wait"}));
  EXPECT_EQ(3, late.waits);
  EXPECT_EQ(2000u, late.longest);  // it looks again every 2 s
  const std::size_t waiting = output.find("Waiting for an enclosure...");
  const std::size_t listed = output.find("entry 0: <<USB>> Tavrion TX40775");
  ASSERT_NE(std::string::npos, waiting) << output;
  ASSERT_NE(std::string::npos, listed) << output;
  EXPECT_LT(waiting, listed);
  EXPECT_EQ(std::string::npos, output.find("No available device!!!")) << output;
}

// The demo set's TXR842 (chip type 6) and SST TXR847 (chip type 10): each
// programmed with a generated image and read back by a backup-only run.
TEST_F(ConsoleTest, DemoPageUpdatesReadBackTheirImages) {
  sim::AttachDemoEnclosures(machine);
  struct Case {
    const char* entry;
    sim::ChipCode chip;
    const char* procedure;
  } cases[] = {{"11", {6, 1}, "NVRAM-preserving 16 KB pages"}, {"9", {10, 2}, "SST serial flash"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.procedure);
    const std::vector<std::uint8_t> image = sim::MakeMatchingImage(c.chip);
    const std::string file = WriteFile("page16k", image);
    const std::string backup = TempName("page16k-back");
    // Without "Include 4K NVRAM" the backup leaves the chip's NVRAM out, as
    // the update put it in front of the image.
    EXPECT_EQ(app::kExitSuccess,
              Console({"--run", c.entry, "--image", file, "--run", c.entry, "--rd",
                       "--backup-only", "--nvram", "off", "--backup-file", backup}))
        << output;
    EXPECT_TRUE(Printed(std::string("result: success (") + c.procedure + ")")) << output;
    std::ifstream in(backup, std::ios::binary);
    const std::vector<std::uint8_t> saved{std::istreambuf_iterator<char>(in), {}};
    ASSERT_GE(saved.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), saved.begin()));
  }
}
