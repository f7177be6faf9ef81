// Fuzzes every answer the platform gives the utility: the input is one byte
// of driver options and then the tape of host answers (tape_host.h).
#include <cstddef>
#include <cstdint>

#include "host/host.h"
#include "tape_host.h"
#include "window_drive.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::DriveImages();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  fuzzing::TapeHost tape(data + 1, size - 1);
  host::ScopedHost scope(tape);
  fuzzing::DriveWindow(data[0]);
  return 0;
}
