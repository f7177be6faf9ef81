// The update for serial flashes that need the raw programming path (SST
// parts with auto-address-increment programming): 32 KB erase units and
// 16 KB pages like the NVRAM-preserving update, but the image is written byte
// for byte from flash address 0 and no NVRAM is kept.
// Its verbs stand with the other procedures' in procedure_verbs.h.
#pragma once

#include "engine/procedure_verbs.h"
#include "engine/run_window.h"
