// The utility's name and version as the window's caption shows them. Plain
// macros, so that the Windows resource script can read them as well.
#pragma once

#define TX_UTILITY_NAME "TX4077x FW Update Utility"
#define TX_UTILITY_VERSION "v1.19.01"
