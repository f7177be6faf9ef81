#include "host/interrupts.h"

#ifdef _WIN32
#include <windows.h>

#include <atomic>
#else
#include <signal.h>

#include <cerrno>
#include <ctime>
#include <initializer_list>
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

sigset_t Held() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&set, s);
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
  const sigset_t set = Held();
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

InterruptHold::~InterruptHold() {
  const int received = End();
  if (received != 0) raise(received);
}

const char* InterruptName(int interrupt) {
  switch (interrupt) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    case SIGQUIT: return "SIGQUIT";
    default: return "a signal";
  }
}

void IgnoreBrokenPipes() { signal(SIGPIPE, SIG_IGN); }

#endif

}  // namespace host
