// The procedures' diagnostic lines ("NVRAM O.K."): printed on standard
// output, or handed to whoever listens (the console, which shows them in
// their place and keeps them in its support log).
#pragma once

#include <functional>
#include <string_view>

namespace program {

// Hands line (without its line break) to the listener, or where there is
// none prints it with one on standard output.
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
