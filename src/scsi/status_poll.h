// The one status-poll loop: read a status byte, then re-read it at a fixed
// interval until it shows what the caller waits for or the bound is reached.
// Each wait keeps its own bounds and decides from the re-read count.
#pragma once

#include <cstdint>
#include <functional>

namespace device {

struct PollBounds {
  int reReadLimit;          // re-reads before the poll gives up
  std::uint32_t intervalMs; // pause before each re-read
  // When the first read fails the poll stops at once (-1); otherwise the
  // status keeps its starting value and the poll goes on.
  bool stopOnFailedFirstRead = false;
};

// read: fills the byte and says whether the device answered; a failed read
// leaves the byte as it was, so a starting value that is "not done" keeps an
// unreachable device from passing. Returns the re-read count at which done()
// held (0 when the first read showed it), or -1 when it never did.
int PollStatus(const std::function<bool(std::uint8_t* status)>& read, std::uint8_t start,
               const std::function<bool(std::uint8_t status)>& done, const PollBounds& bounds);

}  // namespace device
