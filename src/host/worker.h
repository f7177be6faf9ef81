// Worker processes: a piece of work run in a child process of its own, which
// reports to the parent through a pipe. The child starts as a copy of the
// parent (its device runs, signal state and window included), so a device
// run the parent began goes on in the child under the same lock. Linux only:
// elsewhere WorkersAvailable() is false and callers work in turn.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace host {

bool WorkersAvailable();

class Worker {
 public:
  // Runs work in a child process with the write end of the pipe as its
  // argument; standard output also goes to the pipe, a line at a time. The
  // child ends when work returns, without the parent's exit handlers. Null
  // when no child could be started.
  static std::unique_ptr<Worker> Start(const std::function<void(std::FILE* toParent)>& work);
  ~Worker();  // closes the pipe and waits for the child
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Appends what the child wrote so far; false once it closed the pipe.
  bool Read(std::string& into);
  int fd() const { return fd_; }

 private:
  Worker(int pid, int fd) : pid_(pid), fd_(fd) {}
  int pid_;
  int fd_;
};

// Waits until one of the workers has something to read or ended, at most
// milliseconds (real time).
void WaitForWorkers(const std::vector<Worker*>& workers, std::uint32_t milliseconds);

}  // namespace host
