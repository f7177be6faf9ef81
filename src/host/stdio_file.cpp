#include "host/stdio_file.h"

#include <sys/types.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace host {

bool FileLength(std::FILE* file, std::uint64_t& length) {
#ifdef _WIN32
  if (_fseeki64(file, 0, SEEK_END) != 0) return false;
  const long long end = _ftelli64(file);
  const bool rewound = _fseeki64(file, 0, SEEK_SET) == 0;
#else
  if (fseeko(file, 0, SEEK_END) != 0) return false;
  const off_t end = ftello(file);
  const bool rewound = fseeko(file, 0, SEEK_SET) == 0;
#endif
  if (end < 0 || !rewound) return false;
  length = static_cast<std::uint64_t>(end);
  return true;
}

File TakeStandardOutput() {
  std::fflush(stdout);
#ifdef _WIN32
  const int document = _dup(_fileno(stdout));
  if (document < 0) return nullptr;
  if (_dup2(_fileno(stderr), _fileno(stdout)) != 0) {
    _close(document);
    return nullptr;
  }
  File stream(_fdopen(document, "wb"));
  if (!stream) _close(document);
#else
  const int document = dup(fileno(stdout));
  if (document < 0) return nullptr;
  if (dup2(fileno(stderr), fileno(stdout)) < 0) {
    close(document);
    return nullptr;
  }
  File stream(fdopen(document, "wb"));
  if (!stream) close(document);
#endif
  return stream;
}

}  // namespace host
