// A fresh folder for one test's files. ctest runs tests in parallel processes
// whose fixtures can sit at the same address (the sanitizer's heap is laid out
// the same in every process), so a name taken from `this` let one test's
// TearDown remove another's files. The name here takes the process id and is
// created only if no one holds it yet.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace testing_support {

inline std::filesystem::path NewScratchDir(const std::string& prefix) {
#ifdef _WIN32
  const long pid = _getpid();
#else
  const long pid = static_cast<long>(::getpid());
#endif
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int n = 0;; ++n) {
    std::filesystem::path dir = base / (prefix + "-" + std::to_string(pid) + "-" + std::to_string(n));
    std::error_code ec;
    if (std::filesystem::create_directory(dir, ec)) return dir;  // false: it was there already
    if (ec) throw std::filesystem::filesystem_error("no scratch folder", dir, ec);
  }
}

}  // namespace testing_support
