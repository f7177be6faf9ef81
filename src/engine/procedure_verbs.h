// The verbs every procedure unit defines, in the order of the procedure
// table (procedure_table.cpp), which names them in its rows: program,
// erase-only, backup-only. Each returns kProcedureSucceeded only when the run
// did what it was for (the flash or disk area verified, erased or backed up);
// the driver then shows the row's closing notice.
#pragma once

#include "engine/run_window.h"

namespace program {

// disk_area_firmware.cpp
int ProgramDiskAreaFirmware(RunWindow& window, const char* path);
int EraseDiskAreaFirmware(RunWindow& window, const char* path);
int BackupDiskAreaFirmware(RunWindow& window, const char* path);
// hdd_firmware.cpp
int ProgramHddFirmware(RunWindow& window, const char* path);
int EraseHddFirmware(RunWindow& window, const char* path);
int BackupHddFirmware(RunWindow& window, const char* path);
// sst_serial.cpp
int ProgramSstSerialFlash(RunWindow& window, const char* path);
int EraseSstSerialFlash(RunWindow& window, const char* path);
int BackupSstSerialFlash(RunWindow& window, const char* path);
// nvram_page16k.cpp
int ProgramNvramPage16K(RunWindow& window, const char* path);
int EraseNvramPage16K(RunWindow& window, const char* path);
int BackupNvramPage16K(RunWindow& window, const char* path);
// block_procedure.cpp
int ProgramBlockFlash(RunWindow& window, const char* path);
int EraseBlockFlash(RunWindow& window, const char* path);
int BackupBlockFlash(RunWindow& window, const char* path);
// ieee1394_procedure.cpp
int ProgramIeee1394Flash(RunWindow& window, const char* path);
int EraseIeee1394Flash(RunWindow& window, const char* path);
int BackupIeee1394Flash(RunWindow& window, const char* path);
// standard_serial.cpp
int ProgramStandardSerialFlash(RunWindow& window, const char* path);
int EraseStandardSerialFlash(RunWindow& window, const char* path);
int BackupStandardSerialFlash(RunWindow& window, const char* path);
// internal_rom.cpp
int ProgramInternalRomFlash(RunWindow& window, const char* path);
int EraseInternalRomFlash(RunWindow& window, const char* path);
int BackupInternalRomFlash(RunWindow& window, const char* path);
// bridge_flash.cpp
int ProgramBridgeFlash(RunWindow& window, const char* path);
int EraseBridgeFlash(RunWindow& window, const char* path);
int BackupBridgeFlash(RunWindow& window, const char* path);

}  // namespace program
