// A C runtime file that is closed on every way out of the scope that opened it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

namespace host {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

inline File OpenFile(const char* name, const char* mode) { return File(std::fopen(name, mode)); }

// The length of an open file in 64 bits (the C runtime's long is 32 bits on
// Windows), leaving the position at the start. False when it cannot be told.
bool FileLength(std::FILE* file, std::uint64_t& length);

}  // namespace host
