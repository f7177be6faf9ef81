#include "host/host.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

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

bool DeviceIo::NamesDevice(const std::string& recordPath, const std::string& given) {
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

RunScope::RunScope(DeviceIo& io, std::string path)
    : io_(io), path_(std::move(path)), held_(io_.BeginRun(path_.c_str(), lastError_)) {}

RunScope::~RunScope() {
  if (held_) io_.EndRun(path_.c_str());
}

ScopedHost::ScopedHost(Host& host) : previous_(g_current) { g_current = &host; }
ScopedHost::~ScopedHost() { g_current = previous_; }

}  // namespace host
