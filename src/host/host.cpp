#include "host/host.h"

#include <cstdlib>
#include <cstdio>

namespace host {
namespace {
Host* g_current = nullptr;
}

Host& Current() {
  if (g_current == nullptr) {
    // A command sent before start-up chose a platform is a programming error.
    std::fputs("no host installed\n", stderr);
    std::abort();
  }
  return *g_current;
}

void SetCurrent(Host* host) { g_current = host; }

Host* Installed() { return g_current; }

ScopedHost::ScopedHost(Host& host) : previous_(g_current) { g_current = &host; }
ScopedHost::~ScopedHost() { g_current = previous_; }

}  // namespace host
