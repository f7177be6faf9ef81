// The console program on a pseudo-terminal: its progress line and the
// question an erase-only run asks.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "console/console.h"
#include "run_window_fixture.h"
#include "sim/demo.h"

namespace {

struct Ended {
  int status = -1;
  std::string terminal;  // all the program wrote to the terminal
};

// Runs the console with standard input, output and error on a terminal 60
// columns wide (output to a pipe instead when outToPipe); typed is what the
// user types.
Ended OnTerminal(const std::vector<std::string>& args, const std::string& typed = "") {
  Ended ended;
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return ended;
  const std::string slave = ::ptsname(master);
  const pid_t child = ::fork();
  if (child == 0) {
    ::setsid();
    const int tty = ::open(slave.c_str(), O_RDWR);
    termios mode{};
    ::tcgetattr(tty, &mode);
    mode.c_oflag &= ~static_cast<tcflag_t>(OPOST);  // the bytes as written
    mode.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(tty, TCSANOW, &mode);
    winsize size{};
    size.ws_col = 60;
    ::ioctl(tty, TIOCSWINSZ, &size);
    for (int fd : {0, 1, 2}) ::dup2(tty, fd);
    std::vector<char*> argv = {const_cast<char*>(TX_CONSOLE_PROGRAM)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  if (!typed.empty()) (void)::write(master, typed.data(), typed.size());
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) break;  // EIO once the program has closed the terminal
    ended.terminal.append(buffer, static_cast<std::size_t>(n));
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(master);
  ended.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return ended;
}

class ConsoleTerminalTest : public testing_support::RunWindowFixture {};

// Drawn in place within one row: bar, share (only growing, never 100 %),
// rate and time left; the lines that are done are printed whole, never
// glued to it; --quiet draws none.
TEST_F(ConsoleTerminalTest, ProgressLineWithBarRateAndTimeLeft) {
  const std::string image = WriteFile("pty", sim::MakeMatchingImage({10, 2}));
  static const std::regex live("\r([^\r\x1b]*)\x1b\\[K");
  static const std::regex share(R"(^\[[#-]{20}\] +([0-9]+)%  ([0-9]+|--) KB/s  [0-9:-]+ left )");
  const struct {
    const char* quiet;
    bool drawn;
  } rows[] = {{"--simulate", true}, {"--quiet", false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.quiet);
    const Ended e = OnTerminal({"--simulate", row.quiet, "--run", "9", "--image", image});
    ASSERT_EQ(app::kExitSuccess, e.status) << e.terminal;
    int draws = 0;
    long last = -1;
    for (auto it = std::sregex_iterator(e.terminal.begin(), e.terminal.end(), live);
         it != std::sregex_iterator(); ++it) {
      const std::string drawn = (*it)[1];
      EXPECT_LT(drawn.size(), 60u) << drawn;
      std::smatch m;
      if (!std::regex_search(drawn, m, share)) continue;
      ++draws;
      EXPECT_GE(std::stol(m[1]), last);
      EXPECT_LE(std::stol(m[1]), 99);
      last = std::stol(m[1]);
    }
    EXPECT_EQ(row.drawn, draws > 0) << e.terminal;
    // With the redrawn parts taken out, each line is whole.
    const std::string plain = std::regex_replace(e.terminal, live, "");
    EXPECT_EQ(std::string::npos, plain.find_first_of("\r\x1b")) << plain;
    EXPECT_NE(std::string::npos, plain.find("\nresult: success (")) << plain;
    EXPECT_EQ(!row.drawn, plain.find("status: ") == std::string::npos) << plain;
  }
}

// An erase-only run on a terminal asks first and erases only on "y"; --yes
// answers for it.
TEST_F(ConsoleTerminalTest, EraseOnlyAsksFirst) {
  const std::string question = "Erase the whole flash of entry 0 (";
  const struct {
    std::vector<std::string> extra;
    std::string typed;
    int status;
    bool asked;
  } rows[] = {
      {{}, "y\n", app::kExitSuccess, true},
      {{}, "n\n", app::kExitRefused, true},
      {{}, "\n", app::kExitRefused, true},
      {{"--yes"}, "", app::kExitSuccess, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.typed + (row.extra.empty() ? "" : row.extra[0]));
    std::vector<std::string> args = {"--simulate", "--run", "0", "--rd", "--erase-only"};
    args.insert(args.end(), row.extra.begin(), row.extra.end());
    const Ended e = OnTerminal(args, row.typed);
    EXPECT_EQ(row.status, e.status) << e.terminal;
    EXPECT_EQ(row.asked, e.terminal.find(question) != std::string::npos) << e.terminal;
    EXPECT_EQ(row.status == app::kExitSuccess,
              e.terminal.find("Please Turn-Off the Power") != std::string::npos)
        << e.terminal;
  }
}

}  // namespace
#endif
