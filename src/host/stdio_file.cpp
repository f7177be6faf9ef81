#include "host/stdio_file.h"

#include <sys/types.h>

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

}  // namespace host
