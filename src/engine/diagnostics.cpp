#include "engine/diagnostics.h"

#include <cstdio>
#include <utility>

namespace program {

namespace {
std::function<void(std::string_view)>& Listener() {
  static std::function<void(std::string_view)> listener;
  return listener;
}
}  // namespace

void DiagnosticLine(std::string_view line) {
  if (Listener()) {
    Listener()(line);
    return;
  }
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
}

DiagnosticListener::DiagnosticListener(std::function<void(std::string_view)> listener)
    : previous_(std::exchange(Listener(), std::move(listener))) {}

DiagnosticListener::~DiagnosticListener() { Listener() = std::move(previous_); }

}  // namespace program
