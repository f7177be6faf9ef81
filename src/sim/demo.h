// The enclosures the demo window and the console's --simulate attach, and
// firmware images for them, so that "Load File" and dropping a file can be
// tried without hardware.
#pragma once

#include <string>
#include <vector>

#include "sim/flash_parts.h"
#include "sim/machine.h"

namespace sim {

// Builds a machine with an internal system disk and emulated enclosures of
// each display family: serial-flash bridges (USB, IEEE 1394 and one seen as a
// CD-ROM unit), a parallel-flash bridge, a parameter-block chip, a storage
// controller with a bridge behind it, and a chip the utility cannot update.
// Their flash parts take the busy times asked for.
void AttachDemoEnclosures(Machine& machine, BusyTimes busyTimes = BusyTimes::Typical);

// The busy times the environment variable TX4077X_SIM_BUSY names for a
// simulated machine: "typical" (also when unset or empty) or "max", the data
// sheets' maxima. False for any other value; `which` is then typical.
inline constexpr const char* kSimBusyVariable = "TX4077X_SIM_BUSY";
bool BusyTimesFromEnvironment(BusyTimes& which);

// Writes, into folder (created when missing), one image per device list
// entry of the demo enclosures that the image checks accept for that entry's
// chip; entries whose chip takes no image get none. Chips keeping their
// firmware on the disk get the image as their area holds it after an update
// (with the area tag or bank stamp), also the chip no image check accepts,
// for "Load File". Returns the paths written.
std::vector<std::string> WriteDemoImages(const std::string& folder);

}  // namespace sim
