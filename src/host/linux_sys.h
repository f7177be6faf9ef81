// The few system calls the Linux host makes on device nodes, behind a seam so
// tests can answer them without a kernel. Each returns what libc returns; on
// failure errno holds the cause.
#pragma once

#include <sys/stat.h>

namespace host {

class LinuxSys {
 public:
  virtual ~LinuxSys() = default;
  virtual int Open(const char* path, int flags) = 0;
  virtual int Fstat(int fd, struct stat* st) = 0;
  virtual int Ioctl(int fd, unsigned long request, void* arg) = 0;
  virtual int Flock(int fd, int operation) = 0;
  virtual int Close(int fd) = 0;
};

// The kernel's own calls.
LinuxSys& RealLinuxSys();

}  // namespace host
