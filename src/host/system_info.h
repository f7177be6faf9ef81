// The operating system the tool runs on, for a support log's header.
#pragma once

#include <string>

namespace host {

// "Linux 6.1.0-18-amd64 #1 SMP ... x86_64" (uname), "Windows 10.0 build 19045"
// (the version Windows reports, not the one an application manifest sees),
// or what the platform tells, never empty.
std::string SystemDescription();

}  // namespace host
