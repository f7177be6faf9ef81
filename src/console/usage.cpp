// The usage text (--help), from the table the parser reads.
#include <string>
#include <vector>

#include "console/console.h"
#include "console/option_table.h"

namespace app {

namespace {

// Text wrapped to the usage's width, each line after the first indented.
std::string Wrapped(const std::string& text, std::size_t column, std::size_t width) {
  std::string out;
  std::size_t lineLength = column;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(at, end - at);
    if (lineLength > column && lineLength + 1 + word.size() > width) {
      out.push_back('\n');
      out.append(column, ' ');
      lineLength = column;
    } else if (lineLength > column) {
      out += ' ';
      ++lineLength;
    }
    out += word;
    lineLength += word.size();
    at = end + 1;
  }
  return out + "\n";
}

// "  -q, --quiet" or "      --image=FILE", padded to the help column.
std::string OptionLines(const OptionRow& row) {
  constexpr std::size_t kColumn = 26;
  std::string head = "      --";
  if (row.letter != 0) {
    head[2] = '-';
    head[3] = row.letter;
    head[4] = ',';
  }
  head.append(row.name);
  if (row.value != nullptr) head.append("=").append(row.value);
  head += head.size() + 2 <= kColumn ? std::string(kColumn - head.size(), ' ')
                                     : "\n" + std::string(kColumn, ' ');
  return head + Wrapped(row.help, kColumn, 79);
}

}  // namespace

std::string ConsoleUsage() {
  std::string text =
      "usage: tx4077x-console [--simulate] [--list] [--wait] [--json] [-q|-v] [--yes]\n"
      "                       [{--run N | --device PATH} [run options]]...\n"
      "       tx4077x-console --wait --repeat [--record FILE] --run N [run options]\n"
      "       tx4077x-console --inspect FILE [--json]\n"
      "       tx4077x-console --help | --version\n\n" +
      Wrapped("The main window without a screen. With no --run it lists the enclosures as the "
              "window shows them after selecting each entry: entry, device path, chip name, "
              "drive letters or mount points, firmware version and flash type. Each --run "
              "selects entry N, sets the window's controls from its options and presses Run, "
              "printing every status line and every message box as [caption] text. Several "
              "--run groups run in order on the same window; the first that fails ends it. "
              "An option's value follows it (--image fw.bin) or joins it (--image=fw.bin); "
              "-- ends the options.",
              0, 79) +
      "\n";
  bool runOptions = false;
  for (const OptionRow& row : OptionTable()) {
    if (row.where >= Where::InRun && !runOptions) {
      text += "\nRun options (they belong to the --run or --device before them):\n";
      runOptions = true;
    }
    text += OptionLines(row);
  }
  text += '\n';
  text += Wrapped("On a terminal a run shows its progress on standard error: a bar, the "
                   "share of the bytes it is expected to move, the rate and the time "
                   "left. Not on a pipe or a file, nor with --json or --quiet. An "
                   "erase-only run asks \"Erase the whole flash of entry N (chip, "
                   "version)? [y/N]\" on a terminal; --yes answers it, and without a "
                   "terminal it is refused unless --yes is given.",
                   0, 79);
  text += '\n';
  text += Wrapped("A run holds its device from the entry's selection to its end. A "
                   "signal (Ctrl+C, SIGTERM, SIGHUP and every other that would end the "
                   "console; on Windows also closing the console) that comes before the "
                   "run's first erase ends the run there with nothing written; after it, "
                   "the run is finished first. Then the console says so and stops. "
                   "Output that cannot be written (a closed pipe, a full disk) never stops "
                   "a run. Errors go to standard error.",
                   0, 79);
  text += "\nExit status:\n";
  for (const ExitClassRow& row : ExitClasses()) {
    const std::string number = row.cls == ExitClass::Interrupted
                                   ? "128+N"
                                   : std::to_string(static_cast<int>(row.cls));
    text += "  " + number + std::string(7 - number.size(), ' ') +
            Wrapped(std::string(row.name) + ": " + row.meaning, 9, 79);
  }
  return text;
}

std::vector<std::string> ConsoleOptionNames() {
  std::vector<std::string> names;
  for (const OptionRow& row : OptionTable()) {
    names.push_back(std::string("--") + row.name);
    if (row.letter != 0) names.push_back(std::string("-") + row.letter);
  }
  return names;
}

}  // namespace app
