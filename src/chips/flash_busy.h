// How long a flash part may stay busy after a chip erase, from the data
// sheets of the parts identification can name or the flash type list offers,
// and the waits that poll until the part is ready within that bound. A part ready sooner ends the
// wait sooner; the bound only decides when a part that never comes back is
// given up.
#pragma once

#include <cstdint>

#include "host/host.h"

namespace device {

// The longest a chip erase may keep the part busy, in ms: the data sheet
// maximum of the part the kind and size name, plus a quarter. A size that is
// not known (0) or a part the table does not name gets the largest bound of
// its kind, and an unknown kind the largest of all, never less than 3 s per
// 64 KB of the size.
std::uint32_t ChipEraseLimitMs(std::int32_t flashTypeCode, std::int32_t sizeKb);

// Polls the flash status every 10 ms while the busy bit is set, until limitMs
// have passed on the run's clock. True when the part showed ready; a device
// that cannot be reached never does.
bool WaitFlashReadyWithin(host::Clock& clock, const char* path, std::uint32_t limitMs);

// The longest the parallel flash of the internal-ROM bridges may stay busy:
// the chip erase of the slowest part the flash type list offers, plus a
// quarter. A byte program is far shorter.
std::uint32_t RomReadyLimitMs();

// Reads the ROM status every 10 ms until it shows ready or limitMs have
// passed on the run's clock. A status read that goes unanswered ends the
// wait at once: a chip that stopped answering is not ready.
bool WaitRomReadyWithin(host::Clock& clock, const char* path, std::uint32_t limitMs);

}  // namespace device
