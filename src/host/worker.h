// Worker processes: a piece of work run in a child process of its own, which
// reports to the parent through a pipe, a line at a time.
// - Linux: the child starts as a copy of the parent (its device runs, signal
//   state and window included), so a device run the parent began goes on in
//   the child under the same lock (Worker::Start).
// - Windows: a process cannot be copied; the child is this program started
//   again with arguments that name its work (Worker::StartProgram, also on
//   Linux). It rebuilds what it needs from them and takes its device's lock
//   itself: the parent never holds it meanwhile.
// Where neither is to be had, callers work in turn.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace host {

// Worker::Start can start a copy of this process.
bool WorkersAvailable();
// Worker::StartProgram can start a program.
bool ProgramWorkersAvailable();

class Worker {
 public:
  // Runs work in a child process with the write end of the pipe as its
  // argument; standard output also goes to the pipe, a line at a time. The
  // child ends when work returns, without the parent's exit handlers. Null
  // when no child could be started.
  static std::unique_ptr<Worker> Start(const std::function<void(std::FILE* toParent)>& work);
  // Starts program ("": this program's own executable file) with
  // arguments; its standard output is the pipe, its standard error and input
  // are this process's. Null when it could not be started.
  static std::unique_ptr<Worker> StartProgram(const std::string& program,
                                              const std::vector<std::string>& arguments);
  ~Worker();  // closes the pipe and waits for the child
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Appends what the child wrote so far; false once it closed the pipe.
  bool Read(std::string& into);

 private:
  friend void WaitForWorkers(const std::vector<Worker*>& workers, std::uint32_t milliseconds);
  // A process id and a file descriptor (Linux), or a process handle and a
  // pipe handle (Windows).
  Worker(std::intptr_t process, std::intptr_t pipe) : process_(process), pipe_(pipe) {}
  std::intptr_t process_;
  std::intptr_t pipe_;
};

// Waits until one of the workers has something to read or ended, at most
// milliseconds (real time).
void WaitForWorkers(const std::vector<Worker*>& workers, std::uint32_t milliseconds);

}  // namespace host
