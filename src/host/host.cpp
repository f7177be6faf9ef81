#include "host/host.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace host {
namespace {
Host* g_current = nullptr;
}

Host& Require(Host* host) {
  if (host == nullptr) {
    std::fputs("no host installed\n", stderr);
    std::abort();
  }
  return *host;
}

Host& Current() { return Require(g_current); }

void SetCurrent(Host* host) { g_current = host; }

Host* Installed() { return g_current; }

bool Discovery::NamesDevice(const std::string& recordPath, const std::string& given) {
  // Device-interface paths are compared as the platform compares them:
  // without regard to case.
  if (recordPath.size() != given.size()) return false;
  for (std::size_t i = 0; i < given.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(recordPath[i])) !=
        std::tolower(static_cast<unsigned char>(given[i])))
      return false;
  }
  return !given.empty();
}

std::uint64_t Clock::MonotonicMs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

RunScope::RunScope(RunLocks& locks, std::string path)
    : locks_(locks), path_(std::move(path)), held_(locks_.BeginRun(path_.c_str(), lastError_)) {}

RunScope::~RunScope() {
  if (held_) locks_.EndRun(path_.c_str());
}

ScopedHost::ScopedHost(Host& host) : previous_(g_current) { g_current = &host; }
ScopedHost::~ScopedHost() { g_current = previous_; }

}  // namespace host
