// Requests from outside to end or stop the process, held while a run may
// change a device: on POSIX systems every signal whose default action ends
// the process (HUP, INT, QUIT, TERM, USR1, USR2, ALRM, VTALRM, PROF, XCPU,
// IO, PWR, the real-time ones) and the stop signals TSTP, TTIN and TTOU;
// Ctrl+C, Ctrl+Break and the close, logoff and shutdown events of a Windows
// console. A request that comes meanwhile waits until the hold ends, which
// says what came (a stop signal then stops the process); the run itself is
// never cut short by one.
#pragma once

#include <vector>

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
  // A request came since the hold began (it waits until End takes it).
  bool Pending() const;

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

// A write to a pipe nobody reads, or past the file-size limit, fails with an
// error instead of ending the process (SIGPIPE and SIGXFSZ ignored); nothing
// to do on Windows.
void IgnoreBrokenPipes();

#ifndef _WIN32
// The signals a hold takes as a request to end (for tests and the manual).
std::vector<int> HeldSignals();
#endif

}  // namespace host
