// The console's --inspect: what the image checks make of a file, for every
// chip type, without a device. Text, or one JSON document.
#pragma once

#include <cstdio>
#include <string>

namespace app {

// Prints the inspection of fileName to out; a file that cannot be inspected
// is reported on err (text) or in the document (json). Returns the exit
// status: 0 inspected, 1 not.
int RunInspect(const std::string& fileName, bool json, std::FILE* out, std::FILE* err);

}  // namespace app
