// The Linux host's two smallest pieces: the clock and the trace.
#include "host/linux_host.h"

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace host {

void LinuxClock::Sleep(std::uint32_t milliseconds) {
  timespec wait{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

void LinuxTrace::DebugOutput(const char* text) {
  if (std::getenv("TX4077X_DEBUG") != nullptr && notes_ != nullptr) std::fputs(text, notes_);
}

}  // namespace host
