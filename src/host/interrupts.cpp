#include "host/interrupts.h"

#ifdef _WIN32
#include <windows.h>

#include <atomic>
#else
#include <signal.h>

#include <cerrno>
#include <ctime>
#include <initializer_list>
#include <vector>
#endif

namespace host {

#ifdef _WIN32

namespace {

constexpr int kCtrlC = 2;
constexpr int kCtrlBreak = 21;
constexpr int kConsoleClosed = 1;

std::atomic<bool> g_holding{false};
std::atomic<int> g_received{0};
HANDLE g_holdEnded = nullptr;  // manual reset, set while nothing is held

BOOL WINAPI OnConsoleEvent(DWORD event) { return TakeConsoleEvent(event) ? TRUE : FALSE; }

}  // namespace

// Runs on a thread the system starts for the event.
bool TakeConsoleEvent(unsigned long event) {
  if (!g_holding) return false;  // the usual course: the process ends
  const int code = event == CTRL_C_EVENT ? kCtrlC
                   : event == CTRL_BREAK_EVENT ? kCtrlBreak
                                               : kConsoleClosed;
  int none = 0;
  g_received.compare_exchange_strong(none, code);
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return true;
  // Close, logoff and shutdown end the process once this returns: not before
  // the run has ended (as far as the system waits for it).
  WaitForSingleObject(g_holdEnded, INFINITE);
  return true;
}

InterruptHold::InterruptHold() {
  if (g_holdEnded == nullptr) {
    g_holdEnded = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  }
  if (g_holdEnded != nullptr) ResetEvent(g_holdEnded);
  g_received = 0;
  g_holding = true;
  holding_ = true;
}

int InterruptHold::End() {
  if (!holding_) return 0;
  holding_ = false;
  g_holding = false;
  const int received = g_received.exchange(0);
  if (g_holdEnded != nullptr) SetEvent(g_holdEnded);
  return received;
}

bool InterruptHold::Pending() const { return holding_ && g_received != 0; }

InterruptHold::~InterruptHold() {
  if (End() != 0) ExitProcess(0xC000013Au);  // as the console's own handler ends it
}

const char* InterruptName(int interrupt) {
  switch (interrupt) {
    case kCtrlC: return "Ctrl+C";
    case kCtrlBreak: return "Ctrl+Break";
    case kConsoleClosed: return "the console's close";
    default: return "an interrupt";
  }
}

void IgnoreBrokenPipes() {}

#else

namespace {

sigset_t g_previous;

// Every signal whose default action ends the process and that comes from
// outside (the faults a process raises on itself, SEGV and the like, cannot
// wait). SIGPIPE and SIGXFSZ are ignored for good (see IgnoreBrokenPipes).
constexpr int kEnding[] = {
  SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU,
#ifdef SIGIO
  SIGIO,
#endif
#ifdef SIGPWR
  SIGPWR,
#endif
#ifdef SIGSTKFLT
  SIGSTKFLT,
#endif
};
// The stop signals: held too, and let through (the process stops) only once
// the hold ends; never taken as a request to end.
constexpr int kStopping[] = {SIGTSTP, SIGTTIN, SIGTTOU};

sigset_t Ending() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : kEnding) sigaddset(&set, s);
#ifdef SIGRTMIN
  for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) sigaddset(&set, s);
#endif
  return set;
}

sigset_t Held() {
  sigset_t set = Ending();
  for (int s : kStopping) sigaddset(&set, s);
  return set;
}

bool Ignored(int signal) {
  struct sigaction action {};
  return sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN;
}

}  // namespace

InterruptHold::InterruptHold() {
  // Blocked, a signal stays pending: nothing runs inside the run, and the
  // blocking calls of a command are not cut short.
  const sigset_t set = Held();
  holding_ = sigprocmask(SIG_BLOCK, &set, &g_previous) == 0;
}

int InterruptHold::End() {
  if (!holding_) return 0;
  holding_ = false;
  // Only the ending signals are taken; a stop signal stays pending and stops
  // the process once the mask is put back.
  const sigset_t set = Ending();
  int received = 0;
  const timespec now{0, 0};
  for (;;) {
    const int signal = sigtimedwait(&set, nullptr, &now);
    if (signal < 0 && errno == EINTR) continue;
    if (signal <= 0) break;
    if (received == 0 && !Ignored(signal)) received = signal;
  }
  sigprocmask(SIG_SETMASK, &g_previous, nullptr);
  return received;
}

bool InterruptHold::Pending() const {
  if (!holding_) return false;
  sigset_t pending;
  if (sigpending(&pending) != 0) return false;
  const sigset_t ending = Ending();
  for (int s = 1; s < NSIG; ++s)
    if (sigismember(&ending, s) == 1 && sigismember(&pending, s) == 1 && !Ignored(s)) return true;
  return false;
}

InterruptHold::~InterruptHold() {
  const int received = End();
  if (received != 0) raise(received);
}

const char* InterruptName(int interrupt) {
  static const struct {
    int signal;
    const char* name;
  } kNames[] = {
    {SIGHUP, "SIGHUP"},       {SIGINT, "SIGINT"},       {SIGQUIT, "SIGQUIT"},
    {SIGTERM, "SIGTERM"},     {SIGUSR1, "SIGUSR1"},     {SIGUSR2, "SIGUSR2"},
    {SIGALRM, "SIGALRM"},     {SIGVTALRM, "SIGVTALRM"}, {SIGPROF, "SIGPROF"},
    {SIGXCPU, "SIGXCPU"},
#ifdef SIGIO
    {SIGIO, "SIGIO"},
#endif
#ifdef SIGPWR
    {SIGPWR, "SIGPWR"},
#endif
#ifdef SIGSTKFLT
    {SIGSTKFLT, "SIGSTKFLT"},
#endif
  };
  for (const auto& n : kNames)
    if (n.signal == interrupt) return n.name;
#ifdef SIGRTMIN
  if (interrupt >= SIGRTMIN && interrupt <= SIGRTMAX) return "a real-time signal";
#endif
  return "a signal";
}

std::vector<int> HeldSignals() {
  std::vector<int> held;
  const sigset_t set = Ending();
  for (int s = 1; s < NSIG; ++s)
    if (sigismember(&set, s) == 1) held.push_back(s);
  return held;
}

// A file-size limit makes a write fail with EFBIG, like a full disk, instead
// of ending the process.
void IgnoreBrokenPipes() {
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

#endif

}  // namespace host
