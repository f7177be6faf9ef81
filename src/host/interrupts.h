// Requests from outside to end the process, held while a run changes a
// device: SIGINT, SIGTERM, SIGHUP and SIGQUIT on POSIX systems; Ctrl+C,
// Ctrl+Break and the close, logoff and shutdown events of a Windows console.
// A request that comes meanwhile waits until the hold ends, which says what
// came; the run itself is never cut short by one.
#pragma once

namespace host {

class InterruptHold {
 public:
  InterruptHold();
  // As End(); a request that came and was not taken with End() then takes
  // its usual course (the process ends).
  ~InterruptHold();
  InterruptHold(const InterruptHold&) = delete;
  InterruptHold& operator=(const InterruptHold&) = delete;

  // Stops holding and takes the request that came meanwhile, so that it no
  // longer ends the process: its signal number (Windows: 2 for Ctrl+C, 21
  // for Ctrl+Break, 1 for the console's close, logoff or shutdown), 0 when
  // none came. A request the process ignores (nohup) does not count.
  int End();

 private:
  bool holding_ = false;
};

// What End() returned, as the user would name it ("SIGTERM", "Ctrl+C").
const char* InterruptName(int interrupt);

#ifdef _WIN32
// What the console's event handler does with an event: false (the process
// ends) unless a hold is on; held, Ctrl+C and Ctrl+Break are recorded, and a
// close, logoff or shutdown is recorded and answered only when the hold ends.
bool TakeConsoleEvent(unsigned long event);
#endif

// A write to a pipe nobody reads fails with an error instead of ending the
// process (SIGPIPE ignored); nothing to do on Windows.
void IgnoreBrokenPipes();

}  // namespace host
