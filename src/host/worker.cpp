#include "host/worker.h"

#ifdef __linux__
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#elif defined(_WIN32)
#include <windows.h>

#include <algorithm>
#endif

namespace host {

#ifdef __linux__

namespace {

// A child process whose standard output is a pipe to this one. The child
// runs child(writeEnd), which must not return; the parent gets the child's
// pid, or -1, and the pipe's read end, which never blocks: the parent reads
// what has come and goes on.
pid_t ForkWithPipe(const std::function<void(int writeEnd)>& child, int& readEnd) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return -1;
  // Nothing buffered may be written twice, once by each process.
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(ends[0]);
    dup2(ends[1], STDOUT_FILENO);
    child(ends[1]);
    _exit(127);
  }
  close(ends[1]);
  if (pid < 0) {
    close(ends[0]);
    return -1;
  }
  fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_NONBLOCK);
  readEnd = ends[0];
  return pid;
}

}  // namespace

bool WorkersAvailable() { return true; }
bool ProgramWorkersAvailable() { return true; }

std::unique_ptr<Worker> Worker::StartProgram(const std::string& program,
                                             const std::vector<std::string>& arguments) {
  std::string file = program;
  if (file.empty()) {
    char own[4096];
    const ssize_t n = readlink("/proc/self/exe", own, sizeof own - 1);
    if (n <= 0) return nullptr;
    file.assign(own, static_cast<std::size_t>(n));
  }
  std::vector<std::string> args = arguments;
  std::vector<char*> argv = {file.data()};
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int readEnd = -1;
  const pid_t pid = ForkWithPipe([&](int) { execv(file.c_str(), argv.data()); }, readEnd);
  if (pid < 0) return nullptr;
  return std::unique_ptr<Worker>(new Worker(pid, readEnd));
}

std::unique_ptr<Worker> Worker::Start(const std::function<void(std::FILE* toParent)>& work) {
  int readEnd = -1;
  const pid_t pid = ForkWithPipe(
      [&](int writeEnd) {
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
        std::FILE* toParent = fdopen(writeEnd, "w");
        if (toParent != nullptr) {
          std::setvbuf(toParent, nullptr, _IOLBF, 0);
          work(toParent);
          std::fflush(nullptr);
        }
        _exit(toParent != nullptr ? 0 : 1);
      },
      readEnd);
  if (pid < 0) return nullptr;
  return std::unique_ptr<Worker>(new Worker(pid, readEnd));
}

Worker::~Worker() {
  close(static_cast<int>(pipe_));
  while (waitpid(static_cast<pid_t>(process_), nullptr, 0) < 0 && errno == EINTR) {
  }
}

bool Worker::Read(std::string& into) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(static_cast<int>(pipe_), buffer, sizeof buffer);
    if (n > 0) {
      into.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

void WaitForWorkers(const std::vector<Worker*>& workers, std::uint32_t milliseconds) {
  std::vector<pollfd> fds;
  for (const Worker* w : workers) fds.push_back({static_cast<int>(w->pipe_), POLLIN, 0});
  poll(fds.data(), fds.size(), static_cast<int>(milliseconds));
}

#elif defined(_WIN32)

namespace {

// One argument as the C runtime reads a command line back: quoted when it
// holds a blank or a quote, backslashes doubled before a quote.
std::wstring Quoted(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
    return argument;
  std::wstring quoted = L"\"";
  for (auto it = argument.begin();; ++it) {
    std::size_t slashes = 0;
    for (; it != argument.end() && *it == L'\\'; ++it) ++slashes;
    if (it == argument.end()) {
      quoted.append(slashes * 2, L'\\');
      break;
    }
    quoted.append(*it == L'"' ? slashes * 2 + 1 : slashes, L'\\');
    quoted.push_back(*it);
  }
  quoted.push_back(L'"');
  return quoted;
}

// The arguments came in the ANSI code page (main's argv): back the same way.
std::wstring Wide(const std::string& text) {
  const int length = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), length, wide.data(), n);
  return wide;
}

std::wstring OwnProgram() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return L"";
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    if (path.size() >= 32768) return L"";
    path.resize(path.size() * 2);  // cut short: a longer path
  }
}

// A standard handle of this process as the child may inherit it: a copy
// made inheritable (the original need not be); the original where no copy
// can be had.
HANDLE InheritableCopy(DWORD which, bool& copied) {
  const HANDLE handle = GetStdHandle(which);
  HANDLE copy = nullptr;
  copied = handle != nullptr && handle != INVALID_HANDLE_VALUE &&
           DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE,
                           DUPLICATE_SAME_ACCESS);
  return copied ? copy : handle;
}

HANDLE AsHandle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

}  // namespace

bool WorkersAvailable() { return false; }
bool ProgramWorkersAvailable() { return true; }
std::unique_ptr<Worker> Worker::Start(const std::function<void(std::FILE*)>&) { return nullptr; }

std::unique_ptr<Worker> Worker::StartProgram(const std::string& file,
                                             const std::vector<std::string>& arguments) {
  const std::wstring program = file.empty() ? OwnProgram() : Wide(file);
  if (program.empty()) return nullptr;
  std::wstring line = Quoted(program);
  for (const std::string& a : arguments) line += L" " + Quoted(Wide(a));
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return nullptr;
  // Only the child's end is inherited: with a copy of the parent's end, a
  // later child would keep the pipe from ever reading as closed.
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  bool inputCopied = false;
  bool errorCopied = false;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = InheritableCopy(STD_INPUT_HANDLE, inputCopied);
  startup.hStdOutput = writeEnd;
  startup.hStdError = InheritableCopy(STD_ERROR_HANDLE, errorCopied);
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, nullptr, &startup, &process);
  CloseHandle(writeEnd);
  if (inputCopied) CloseHandle(startup.hStdInput);
  if (errorCopied) CloseHandle(startup.hStdError);
  if (!started) {
    CloseHandle(readEnd);
    return nullptr;
  }
  CloseHandle(process.hThread);
  return std::unique_ptr<Worker>(new Worker(reinterpret_cast<std::intptr_t>(process.hProcess),
                                            reinterpret_cast<std::intptr_t>(readEnd)));
}

Worker::~Worker() {
  CloseHandle(AsHandle(pipe_));
  WaitForSingleObject(AsHandle(process_), INFINITE);
  CloseHandle(AsHandle(process_));
}

bool Worker::Read(std::string& into) {
  char buffer[4096];
  for (;;) {
    // Anonymous pipes cannot be read without blocking: read what is there.
    DWORD available = 0;
    if (!PeekNamedPipe(AsHandle(pipe_), nullptr, 0, nullptr, &available, nullptr))
      return false;  // the child's end is closed and all of it read
    if (available == 0) return true;
    DWORD n = 0;
    const DWORD want = std::min<DWORD>(available, sizeof buffer);
    if (!ReadFile(AsHandle(pipe_), buffer, want, &n, nullptr)) return false;
    into.append(buffer, n);
  }
}

void WaitForWorkers(const std::vector<Worker*>& workers, std::uint32_t milliseconds) {
  // A pipe cannot be waited on: look at each in short steps, waking early
  // when a child ends.
  constexpr DWORD kStepMs = 10;
  std::vector<HANDLE> processes;
  for (const Worker* w : workers)
    if (processes.size() < MAXIMUM_WAIT_OBJECTS) processes.push_back(AsHandle(w->process_));
  const ULONGLONG end = GetTickCount64() + milliseconds;
  for (;;) {
    for (const Worker* w : workers) {
      DWORD available = 0;
      if (!PeekNamedPipe(AsHandle(w->pipe_), nullptr, 0, nullptr, &available, nullptr) ||
          available > 0)
        return;
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= end) return;
    const DWORD step = static_cast<DWORD>(std::min<ULONGLONG>(kStepMs, end - now));
    if (processes.empty()) {
      Sleep(step);
    } else if (WaitForMultipleObjects(static_cast<DWORD>(processes.size()), processes.data(),
                                      FALSE, step) != WAIT_TIMEOUT) {
      return;
    }
  }
}

#else

bool WorkersAvailable() { return false; }
bool ProgramWorkersAvailable() { return false; }
std::unique_ptr<Worker> Worker::Start(const std::function<void(std::FILE*)>&) { return nullptr; }
std::unique_ptr<Worker> Worker::StartProgram(const std::string&,
                                             const std::vector<std::string>&) {
  return nullptr;
}
Worker::~Worker() = default;
bool Worker::Read(std::string&) { return false; }
void WaitForWorkers(const std::vector<Worker*>&, std::uint32_t) {}

#endif

}  // namespace host
