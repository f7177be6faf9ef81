// The procedures' diagnostic lines ("NVRAM O.K."): printed on standard
// output, and handed to whoever listens (the console's support log).
#pragma once

#include <functional>
#include <string_view>

namespace program {

// Prints line (with its line break) to standard output and hands it to the
// listener, if any.
void DiagnosticLine(std::string_view line);

// Sets the listener until the scope ends (one at a time; single thread).
class DiagnosticListener {
 public:
  explicit DiagnosticListener(std::function<void(std::string_view)> listener);
  ~DiagnosticListener();
  DiagnosticListener(const DiagnosticListener&) = delete;
  DiagnosticListener& operator=(const DiagnosticListener&) = delete;

 private:
  std::function<void(std::string_view)> previous_;
};

}  // namespace program
