// The Linux host put together from its pieces, and its two smallest: the
// clock and the trace.
#include "host/linux_host.h"

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace host {

LinuxHost::LinuxHost(LinuxSys& sys, std::string root, std::FILE* notes)
    : trace_(notes),
      nodes_(sys, root, trace_),
      locks_(nodes_),
      passThrough_(nodes_, locks_, notes),
      discovery_(nodes_),
      volumes_(std::move(root)) {}

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
