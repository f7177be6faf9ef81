// Which command blocks may change what an enclosure stores (its flash or the
// firmware area of its disk): erases, writes and the raw serial-flash
// commands that program or erase. A run that failed before sending any of
// them left the device as it was; one that sent some may have left it
// neither old nor new. Reads, status polls, mode and set-up commands do not
// count.
#pragma once

#include <cstdint>

namespace device {

bool MayChangeStoredData(const std::uint8_t* cdb, int cdbLength);

}  // namespace device
