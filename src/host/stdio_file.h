// A C runtime file that is closed on every way out of the scope that opened it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

namespace host {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

inline File OpenFile(const char* name, const char* mode) { return File(std::fopen(name, mode)); }

// Opens a file for reading ("rb") only when it is a regular file: a folder,
// a pipe or a device is no image, and opening a pipe for reading would wait
// for a writer. Null otherwise.
File OpenRegularFile(const char* name);

// What a name is on the file system, for saying why a file cannot be used.
enum class FileKind { Missing, Inaccessible, Regular, Folder, Pipe, Device, Other };
FileKind KindOfFile(const char* name);

// The length of an open file in 64 bits (the C runtime's long is 32 bits on
// Windows), leaving the position at the start. False when it cannot be told.
bool FileLength(std::FILE* file, std::uint64_t& length);

// For a document that nothing else may write into: a stream on the process's
// standard output, after which stdout (printf, puts and the like) writes to
// standard error. Null, with nothing changed, when it cannot be done.
File TakeStandardOutput();

// The stream writes to a terminal (a console window on Windows), and how
// many columns that has (80 when it cannot be told).
bool IsTerminal(std::FILE* file);
int TerminalColumns(std::FILE* file);

// Whether a backup may be written under a name: a free name, a regular file
// or a symbolic link (the link is replaced, never followed) may; a folder, a
// pipe, a device, a name that cannot be looked at, or the file named image
// itself (under any of its names) may not.
enum class BackupTarget { Usable, NotAFile, IsTheImage };
BackupTarget CheckBackupTarget(const char* target, const char* image);

// The files the tool creates get the user's umask on this mode: never
// writable by everyone, whatever the umask.
inline constexpr unsigned kNewFileMode = 0664;

// Writes length bytes to a new file in target's folder (".NAME" plus
// kPartialSuffix; one left by a killed process is removed first), flushes it
// to the disk and renames it over target, so that target holds either its
// old contents or all of data. False when any step failed; target is then as
// it was and the new file is gone.
inline constexpr const char* kPartialSuffix = ".tx4077x-partial";
bool ReplaceFileWith(const char* target, const std::uint8_t* data, std::size_t length);

// The position of an open file, and moving to one, in 64 bits.
bool FilePosition(std::FILE* file, std::uint64_t& position);
bool SetFilePosition(std::FILE* file, std::uint64_t position);

}  // namespace host
