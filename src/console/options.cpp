// The console's options: one table drives the parser and the usage text
// (and a test holds the manual page to it). A new option is one row.
#include <algorithm>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "console/console.h"
#include "console/option_table.h"

namespace app {

namespace {

bool OnOff(Parse& p, const std::string& v, std::optional<bool>& out) {
  if (v != "on" && v != "off") return p.Fail("takes on or off");
  out = v == "on";
  return true;
}

// An option that names one file, given once.
bool OneFile(Parse& p, const std::string& v, std::string& out) {
  if (v.empty() || !out.empty()) return p.Fail("takes one file name");
  out = v;
  return true;
}

bool NotBlank(Parse& p, const std::string& v, const char* needs, std::string& out) {
  if (v.find_first_not_of(' ') == std::string::npos) return p.Fail(std::string("needs ") + needs);
  out = v;
  return true;
}

bool EntryNumber(Parse& p, const std::string& v) {
  ConsoleRun run;
  if (v.empty() || v.size() > 3 || !std::all_of(v.begin(), v.end(), [](char c) {
        return c >= '0' && c <= '9';
      }))
    return p.Fail("needs an entry number, not \"" + v + "\"");
  run.entry = std::atoi(v.c_str());
  p.o.runs.push_back(run);
  return true;
}

bool DevicePath(Parse& p, const std::string& v) {
  if (v.empty()) return p.Fail("needs a device path");
  ConsoleRun run;
  run.device = v;
  p.o.runs.push_back(run);
  return true;
}

bool FwSize(Parse& p, const std::string& v) {
  static const char* const sizes[] = {"32KB", "64KB", "128KB", "256KB", "512KB", "1MB"};
  if (std::find(std::begin(sizes), std::end(sizes), v) == std::end(sizes))
    return p.Fail("takes 32KB, 64KB, 128KB, 256KB, 512KB or 1MB");
  p.run().fwSize = v;
  return true;
}

bool FlashType(Parse& p, const std::string& v) {
  if (v != "0" && v != "1" && v != "2") return p.Fail("takes 0, 1 or 2");
  p.run().flashType = v[0] - '0';
  return true;
}

using V = const std::string&;

const OptionRow kOptions[] = {
    {"simulate", 0, nullptr, Where::Global,
     "use the built-in simulated enclosures, not real devices",
     [](Parse& p, V) { return p.o.simulate = true; }},
    {"list", 0, nullptr, Where::Global, "list the entries even when runs are given",
     [](Parse& p, V) { return p.o.list = true; }},
    {"wait", 0, nullptr, Where::Global,
     "wait until an enclosure the window recognises is attached (looking again every 2 s), "
     "then list or run on it",
     [](Parse& p, V) { return p.o.wait = true; }},
    {"json", 0, nullptr, Where::Global,
     "write one JSON document instead: the listing with what Run would do per entry, each "
     "run's result with its status lines and boxes, and the exit class; see the README",
     [](Parse& p, V) { return p.o.json = true; }},
    {"quiet", 'q', nullptr, Where::Global,
     "no progress line and no status lines: only entries, boxes, results and errors",
     [](Parse& p, V) { return p.o.quiet = true; }},
    {"verbose", 'v', nullptr, Where::Global,
     "more detail: every command block as it is sent, and how it ended, on standard error",
     [](Parse& p, V) { return p.o.verbose = true; }},
    {"yes", 'y', nullptr, Where::Global,
     "answer Yes to the question an erase-only run asks (needed without a terminal)",
     [](Parse& p, V) { return p.o.yes = true; }},
    {"repeat", 0, nullptr, Where::Global,
     "with --wait: a production station. Each enclosure attached gets the one --run (N counts "
     "the entries of that enclosure: 0 its own, 1 a companion entry); then the station waits "
     "for it to be removed and for the next. One whose chip or image does not match is "
     "skipped, never written. A signal between enclosures (or after the one under way) ends "
     "it with a summary. \"{n}\" in --backup-file is the enclosure's number",
     [](Parse& p, V) { return p.o.repeat = true; }},
    {"record", 0, "FILE", Where::Global,
     "append one JSON line per enclosure to FILE, and the summary at the end",
     [](Parse& p, V v) { return OneFile(p, v, p.o.recordFile); }},
    {"log", 0, "FILE", Where::Global,
     "write a support log to FILE: every command block as sent and how it ended, every "
     "status line and box, one line each, flushed as written; see the README",
     [](Parse& p, V v) { return OneFile(p, v, p.o.logFile); }},
    {"inspect", 0, "FILE", Where::Global,
     "no device: for every chip type and sub-code, whether the image checks accept FILE and "
     "which step decided; its length, checksum, marker blocks and NVRAM area",
     [](Parse& p, V v) { return OneFile(p, v, p.o.inspect); }},
    {"help", 'h', nullptr, Where::Global, "show this text",
     [](Parse& p, V) { return p.o.help = true; }},
    {"version", 'V', nullptr, Where::Global,
     "show the utility's version and the commit it was built from",
     [](Parse& p, V) { return p.o.version = true; }},
    {"run", 0, "N", Where::StartsRun,
     "select entry N, set the options that follow and press Run", EntryNumber},
    {"repair", 0, "N", Where::StartsRun,
     "select entry N so that a damaged firmware bank the listing reported is repaired; Run is "
     "not pressed",
     [](Parse& p, V v) { return EntryNumber(p, v) && (p.run().repairOnly = true); }},
    {"device", 0, "PATH", Where::StartsRun,
     "like --run, for the entry of the enclosure at PATH: the path the JSON listing gives, "
     "or on Linux its /dev/sdX, /dev/srN or /dev/sgN node (or a link to one). Entry numbers "
     "can change when enclosures come and go; a path cannot name another enclosure",
     DevicePath},
    {"expect-chip", 0, "NAME", Where::InRun,
     "press Run only when the entry's chip is NAME (as the chip line shows it, \" Series\" "
     "optional, any case)",
     [](Parse& p, V v) { return NotBlank(p, v, "a chip name", p.run().expectChip); }},
    {"image", 0, "FILE", Where::InRun,
     "the firmware file (\"Firmware File\"); left as it is when not given",
     [](Parse& p, V v) { return v.empty() ? p.Fail("needs a file name") : (p.run().image = v, true); }},
    {"load", 0, "FILE", Where::InRun,
     "choose the firmware file with \"Load File\": Run stays enabled even when the image "
     "check refuses the file",
     [](Parse& p, V v) {
       if (v.empty()) return p.Fail("needs a file name");
       p.run().image = v;
       return p.run().load = true;
     }},
    {"restore", 0, "FILE", Where::InRun,
     "program FILE, a backup this console wrote, back into the enclosure: only when its "
     "sidecar FILE.json names the entry's chip, flash part and size, nothing was left out, and "
     "FILE still has the SHA-256 it names (else refused, nothing sent)",
     [](Parse& p, V v) {
       if (v.empty()) return p.Fail("needs a file name");
       p.run().image = v;
       p.run().load = true;
       return p.run().restore = true;
     }},
    {"flash-type", 0, "N", Where::InRun,
     "the parallel flash part (\"Flash Type \" list): 0 ATMEL, 1 PMC, 2 SST, where the window "
     "shows it",
     FlashType},
    {"program-anyway", 0, nullptr, Where::InRun,
     "answer Yes when Run asks whether to program an image the chip check refused (a file "
     "given with --load); without it the answer is No: nothing is sent and the run is refused",
     [](Parse& p, V) { return p.run().programAnyway = true; }},
    {"rd", 0, nullptr, Where::InRun,
     "check \"RD Version\" (the engineering panel); needed by the options below. Its boxes "
     "are left unchecked unless given, and the backup file name empty",
     [](Parse& p, V) { return p.run().rd = true; }},
    {"erase-only", 0, nullptr, Where::InPanel,
     "check \"Erase All Flash Only \"; on a terminal the run asks first, elsewhere it needs "
     "--yes",
     [](Parse& p, V) { return p.run().eraseOnly = true; }},
    {"backup-only", 0, nullptr, Where::InPanel, "check \"Backup Old Firmware Only\"",
     [](Parse& p, V) { return p.run().backupOnly = true; }},
    {"backup-file", 0, "FILE", Where::InPanel,
     "the backup file name (empty: oldflash.bak, or oldFlash.bak for block, disk-area and HDD "
     "updates, in the current folder, after the window's notice). An existing file is kept: "
     "the backup goes to NAME.1.EXT (the next free number), and the console says which; a "
     "sidecar NAME.json beside it describes it for --restore",
     [](Parse& p, V v) { return p.run().backupFile = v, true; }},
    {"nvram", 0, "on|off", Where::InPanel,
     "set \"Include 4K NVRAM\" where the window shows it",
     [](Parse& p, V v) { return OnOff(p, v, p.run().nvram); }},
    {"size", 0, "SIZE", Where::InPanel,
     "the firmware size box: 32KB, 64KB, 128KB, 256KB, 512KB or 1MB, where the window shows it",
     FwSize},
    {"a1-chip", 0, "on|off", Where::InPanel, "set \"A1 Chip\" where the window shows it",
     [](Parse& p, V v) { return OnOff(p, v, p.run().a1Chip); }},
};

const OptionRow* FindLong(const std::string& name) {
  for (const OptionRow& row : kOptions)
    if (name == row.name) return &row;
  return nullptr;
}

const OptionRow* FindLetter(char letter) {
  for (const OptionRow& row : kOptions)
    if (row.letter != 0 && row.letter == letter) return &row;
  return nullptr;
}

std::size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The known long option nearest to what was typed.
std::string Nearest(const std::string& typed) {
  const OptionRow* best = &kOptions[0];
  std::size_t bestDistance = EditDistance(typed, best->name);
  for (const OptionRow& row : kOptions) {
    const std::size_t d = EditDistance(typed, row.name);
    if (d < bestDistance) best = &row, bestDistance = d;
  }
  return std::string("--") + best->name;
}

// Applies one option with its value, checking where it stands.
bool Apply(Parse& p, const OptionRow& row, const std::string& value) {
  if (row.where >= Where::InRun && p.o.runs.empty()) return p.Fail("belongs to a --run");
  if (row.where == Where::InPanel && !p.run().rd) return p.Fail("needs --rd before it");
  return row.apply(p, value);
}

// One argument (and the value it takes from the next, if any); i moves past
// what was used.
bool ParseOne(Parse& p, const std::vector<std::string>& args, std::size_t& i) {
  const std::string& arg = args[i];
  if (arg.size() > 1 && arg[0] == '-' && arg[1] != '-') {
    // Short flags, several in one argument allowed ("-qv").
    for (std::size_t k = 1; k < arg.size(); ++k) {
      const OptionRow* row = FindLetter(arg[k]);
      p.name = std::string("-") + arg[k];
      if (row == nullptr) return p.Fail("is an unknown option");
      if (!Apply(p, *row, "")) return false;
    }
    return true;
  }
  if (arg.rfind("--", 0) != 0) {
    p.error = "unexpected argument \"" + arg + "\" (options start with --)";
    return false;
  }
  const std::size_t equals = arg.find('=');
  const std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
  p.name = "--" + name;
  const OptionRow* row = FindLong(name);
  if (row == nullptr) return p.Fail("is an unknown option; did you mean " + Nearest(name) + "?");
  if (row->value == nullptr) {
    if (equals != std::string::npos) return p.Fail("takes no value");
    return Apply(p, *row, "");
  }
  if (equals != std::string::npos) return Apply(p, *row, arg.substr(equals + 1));
  if (i + 1 >= args.size()) return p.Fail("needs a value (" + std::string(row->value) + ")");
  return Apply(p, *row, args[++i]);
}

// What the options together must hold.
bool CheckTogether(const ConsoleOptions& o, std::string& error) {
  if (!o.inspect.empty() && (!o.runs.empty() || o.list || o.wait || !o.logFile.empty())) {
    error = "--inspect sends nothing: it goes without --run, --list, --wait and --log";
    return false;
  }
  if (o.repeat) {
    // The station runs one template on each enclosure it meets.
    if (!o.wait || o.runs.size() != 1 || !o.runs.front().device.empty() || o.list || o.json) {
      error = "--repeat takes --wait and one --run N (entry N of each enclosure), "
              "without --device, --list and --json";
      return false;
    }
    // Some chips' image checks take any image: only the chip's name keeps a
    // station from writing one chip's image into another.
    const ConsoleRun& run = o.runs.front();
    if (!run.eraseOnly && !run.backupOnly && run.expectChip.empty()) {
      error = "a station that programs needs --expect-chip (some chips' image checks "
              "accept any image)";
      return false;
    }
  } else if (!o.recordFile.empty()) {
    error = "--record belongs to a station (--wait --repeat)";
    return false;
  }
  for (const ConsoleRun& run : o.runs) {
    if (run.eraseOnly && run.backupOnly) {
      error = "--erase-only and --backup-only exclude each other (the window unchecks one)";
      return false;
    }
    // A typed-in file the chip check refuses leaves Run disabled: Run can
    // only ask about a file chosen with "Load File".
    if (run.restore && (run.eraseOnly || run.backupOnly)) {
      error = "--restore programs a backup: it goes without --erase-only and --backup-only";
      return false;
    }
    if (run.programAnyway && !run.load) {
      error = "--program-anyway answers for a file given with --load";
      return false;
    }
  }
  return true;
}

}  // namespace

std::span<const OptionRow> OptionTable() { return kOptions; }

bool ParseConsoleArgs(const std::vector<std::string>& args, ConsoleOptions& options,
                      std::string& error) {
  options = ConsoleOptions{};
  options.arguments = args;
  Parse p{options, "", ""};
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--") {
      // The console takes no operands.
      if (i + 1 < args.size()) {
        error = "unexpected argument \"" + args[i + 1] + "\" after --";
        return false;
      }
      break;
    }
    if (!ParseOne(p, args, i)) {
      error = p.error;
      return false;
    }
  }
  return CheckTogether(options, error);
}

}  // namespace app
