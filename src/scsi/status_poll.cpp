#include "scsi/status_poll.h"

#include "host/host.h"

namespace device {

int PollStatus(const std::function<bool(std::uint8_t* status)>& read, std::uint8_t start,
               const std::function<bool(std::uint8_t status)>& done, const PollBounds& bounds) {
  std::uint8_t status = start;
  if (!read(&status) && bounds.stopOnFailedFirstRead) return -1;
  int reReads = 0;
  while (!done(status)) {
    if (reReads == bounds.reReadLimit) return -1;
    host::Current().Sleep(bounds.intervalMs);
    ++reReads;
    (void)read(&status);  // a failed re-read leaves the status as it was
  }
  return reReads;
}

}  // namespace device
