// A C runtime file that is closed on every way out of the scope that opened it.
#pragma once

#include <cstdio>
#include <memory>

namespace host {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

inline File OpenFile(const char* name, const char* mode) { return File(std::fopen(name, mode)); }

}  // namespace host
