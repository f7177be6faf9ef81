// The update for bridge chips whose serial flash starts with a 4 KB NVRAM
// (0x0000..0x0FFF, the chip's own settings) followed by the firmware code:
// the NVRAM is kept and put in front of the image unless the image brings its
// own and "Include 4K NVRAM" asks for it; 32 KB erase units, 16 KB pages.
// Its verbs stand with the other procedures' in procedure_verbs.h.
#pragma once

#include <cstdint>

#include "engine/procedure_verbs.h"
#include "engine/run_window.h"
