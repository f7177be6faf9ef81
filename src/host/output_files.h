// The files the console writes (backups, the log, the record and whatever it
// writes later): one rule says which names they may take, and the opens
// never follow a link at the last component nor wait for a reader.
#pragma once

#include <string>
#include <vector>

#include "host/stdio_file.h"

namespace host {

// What stands at a name, the last component not followed.
enum class NameKind { Free, Regular, Link, Pipe, Device, Folder, Other };
NameKind KindAtName(const char* name);

// One file the invocation will write: its name as given, and what it is
// for, as the reason names it ("log file", "record", "backup file").
// "{n}" in a name stands for any enclosure number (a station's backups).
struct OutputName {
  std::string name;
  std::string what;
  // Names of one group (not 0) are alternatives of which one is written,
  // such as a procedure's two default backup names: they are not held
  // against each other (on a file system that ignores case they are one).
  int alternatives = 0;
};

// "" when every output may be written; otherwise one line saying why not:
// an output that is a symbolic link (dangling ones too), a pipe, a device or
// a folder, or that is one of the images or another output (the same
// resolved path, or the same file by another name such as a hard link).
std::string CheckOutputNames(const std::vector<OutputName>& outputs,
                             const std::vector<std::string>& images);

// Opens an output for writing, creating it with kNewFileMode under the
// user's umask: emptied, or (append) kept and written at its end. Null
// when the name is not a regular file, is a link, or cannot be opened; a
// pipe without a reader answers at once.
enum class OutputMode { Replace, Append };
File OpenOutputFile(const char* name, OutputMode mode);

// Appends one line (text without its line break) to a file opened with
// OutputMode::Append, in one write, and flushes it to the disk. A last line
// an earlier process left torn (a full disk, a crash) is closed first, so
// every line stays whole. False when the line could not be written whole.
bool AppendRecordLine(std::FILE* file, const std::string& line);

}  // namespace host
