#include "host/worker.h"

#ifdef __linux__
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace host {

#ifdef __linux__

bool WorkersAvailable() { return true; }

std::unique_ptr<Worker> Worker::Start(const std::function<void(std::FILE* toParent)>& work) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return nullptr;
  // Nothing buffered may be written twice, once by each process.
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    close(ends[0]);
    close(ends[1]);
    return nullptr;
  }
  if (pid == 0) {
    close(ends[0]);
    dup2(ends[1], STDOUT_FILENO);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::FILE* toParent = fdopen(ends[1], "w");
    if (toParent != nullptr) {
      std::setvbuf(toParent, nullptr, _IOLBF, 0);
      work(toParent);
      std::fflush(nullptr);
    }
    _exit(toParent != nullptr ? 0 : 1);
  }
  close(ends[1]);
  // The parent reads what has come and goes on: its end never blocks.
  fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_NONBLOCK);
  return std::unique_ptr<Worker>(new Worker(pid, ends[0]));
}

Worker::~Worker() {
  close(fd_);
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

bool Worker::Read(std::string& into) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd_, buffer, sizeof buffer);
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
  for (const Worker* w : workers) fds.push_back({w->fd(), POLLIN, 0});
  poll(fds.data(), fds.size(), static_cast<int>(milliseconds));
}

#else

bool WorkersAvailable() { return false; }
std::unique_ptr<Worker> Worker::Start(const std::function<void(std::FILE*)>&) { return nullptr; }
Worker::~Worker() = default;
bool Worker::Read(std::string&) { return false; }
void WaitForWorkers(const std::vector<Worker*>&, std::uint32_t) {}

#endif

}  // namespace host
