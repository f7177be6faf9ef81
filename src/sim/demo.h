// The enclosures the demo window and the console's --simulate attach.
#pragma once

#include "sim/machine.h"

namespace sim {

// Builds a machine with an internal system disk and a few emulated enclosures.
void AttachDemoEnclosures(Machine& machine);

}  // namespace sim
