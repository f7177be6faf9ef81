#include "host/linux_sys.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace host {

namespace {

class KernelSys : public LinuxSys {
 public:
  int Open(const char* path, int flags) override { return ::open(path, flags); }
  int Fstat(int fd, struct stat* st) override { return ::fstat(fd, st); }
  int Ioctl(int fd, unsigned long request, void* arg) override {
    return ::ioctl(fd, request, arg);
  }
  int Flock(int fd, int operation) override { return ::flock(fd, operation); }
  int Close(int fd) override { return ::close(fd); }
};

}  // namespace

LinuxSys& RealLinuxSys() {
  static KernelSys sys;
  return sys;
}

}  // namespace host
