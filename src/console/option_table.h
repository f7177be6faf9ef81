// The table of the console's options, which drives both the parser
// (options.cpp) and the usage text (usage.cpp).
#pragma once

#include <span>
#include <string>

#include "console/console.h"

namespace app {

// Where an option may stand: anywhere, starting a run group, inside one, or
// inside one that checked "RD Version" (the engineering panel's boxes).
enum class Where { Global, StartsRun, InRun, InPanel };

struct Parse {
  ConsoleOptions& o;
  std::string name;  // as the user wrote it, for messages
  std::string error;
  ConsoleRun& run() { return o.runs.back(); }
  bool Fail(std::string text) {
    error = name + " " + std::move(text);
    return false;
  }
};

struct OptionRow {
  const char* name;   // long name, without the dashes
  char letter;        // short form, 0 for none
  const char* value;  // the value's name in the usage text; null for a flag
  Where where;
  const char* help;   // one paragraph, wrapped by the usage text
  bool (*apply)(Parse& p, const std::string& value);
};

// Every option, in the order the usage text lists them.
std::span<const OptionRow> OptionTable();

}  // namespace app
