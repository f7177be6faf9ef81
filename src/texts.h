// The system's texts in one place, letter for letter as users and their
// scripts know them (their spelling included). Every layer includes this
// header, which includes nothing; each section keeps the namespace its callers
// already use. Each group says where its texts are shown.
#pragma once

namespace identify {

// Box after a refresh whose chip information read failed (caption "Error",
// error icon).
inline constexpr const char* kChipInfoFailText = "Get chip information fail !";

// Boxes of the image check: a file that does not fit the selected chip, and
// the reminder of "Check CheckSum".
inline constexpr const char* kImageMismatchText = "The firmware file seems not match this chip!";
inline constexpr const char* kChecksumNoticeText = "Please check the firmware file with checksum!";
// Box (caption "Error") when the image check cannot open the file.
inline constexpr const char* kOpenFirmwareFileError = "Open Firmware File Error!!";

// Status line after a refresh: a chip no procedure updates, a device that is
// not one of the maker's chips.
inline constexpr const char* kNotSupportedStatus = "The chip not support Firmware Update!";
inline constexpr const char* kNotChipStatus = "Not Tavrion Chip!!";
// Firmware version field of a chip that runs from its internal code.
inline constexpr const char* kInternalCodeText = "Internal code";

}  // namespace identify

namespace program {

// Message boxes: the closing notices and the refusals shown in a box.
inline constexpr const char* kPowerCycle = "Please Turn-Off the Power and Turn-On Again!";
inline constexpr const char* kPowerCycleSpaced = "Please Turn-Off the Power and Turn-On Again !";
inline constexpr const char* kAutoReset = "TXV929 Auto reset, Please wait device re-attached!";
inline constexpr const char* kImageTooLarge =
    "The firmware file size is bigger than the flash size!";
inline constexpr const char* kDefaultBackupNotice = "Default backup firmware as OldFalsh.bak!";

// Box captions.
inline constexpr const char* kCaptionMessage = "Message";
inline constexpr const char* kCaptionError = "Error";

// Progress in the status line; dots are appended per block.
inline constexpr const char* kProgressErase = "Erase...";
inline constexpr const char* kProgressErasing = "Erasing";
inline constexpr const char* kProgressErasingDots = "Erasing...";
inline constexpr const char* kProgressReadFlash = "ReadFlash...";
inline constexpr const char* kProgressProgramming = "Programming";
inline constexpr const char* kProgressProgrammingDots = "Programming....";
inline constexpr const char* kProgressReadBack = "Read back....";
inline constexpr const char* kProgressCompare = "Compare....";
inline constexpr const char* kProgressBackup = "Backup ...";
inline constexpr const char* kStartEraseOnly = "Start Erase only!";

// Status texts: outcomes, failures and refusals.
inline constexpr const char* kProgrammingSuccess = "Programming Success!!";
inline constexpr const char* kProgrammingCompareSuccess = "Programming & Compare Success!!";
inline constexpr const char* kProgrammingFail = "Programming Fail!!";
inline constexpr const char* kEraseAllSuccess = "Erase flash all success!";
inline constexpr const char* kEraseAllRomSuccess = "Erase All success!!";
inline constexpr const char* kEraseHddSuccess = "Erase all data in HDD success!!";
inline constexpr const char* kBackupSuccess = "Read flash and backup success!";
inline constexpr const char* kBankRecoverySuccess = "FW Recovery successful!!";
inline constexpr const char* kBankRecoveryFail = "FW Recovery Fail!!";
inline constexpr const char* kBridgeAllSuccess = "Flash operations all success!";
inline constexpr const char* kAllocateReadBufferError = "Allocate read buffer Error!!";
inline constexpr const char* kAllocateWriteBufferError = "Allocate write buffer Error!!";
inline constexpr const char* kAllocateBuffersError = "Allocate buffers Error!!";
inline constexpr const char* kAllocateBufferFail = "Allocate buffer fail!";
inline constexpr const char* kOpenFileError = "Open File Error!!";
inline constexpr const char* kOpenNewRomFileError = "Open New ROM File Error!!";
inline constexpr const char* kBackupFileError = "Open Backup File Error!!";
inline constexpr const char* kWriteBinFileFail = "Write Bin File fail!";
inline constexpr const char* kReadRomSaveFail = "Read ROM Suceess, but save to file fail!!";
inline constexpr const char* kImageTooSmallForNvram =
    "The firmware file is too small to keep the NVRAM!";
inline constexpr const char* kImageNotOneOrTwoBanks =
    "The firmware file is neither one bank nor two, nothing erased!!";
inline constexpr const char* kEraseCommandFail = "Erase command fail!!";
inline constexpr const char* kEraseFlashCommandFail = "Erase flash command fail!";
inline constexpr const char* kPreEraseFail = "Error pre-erase command!!";
inline constexpr const char* kEraseStatusFail = "Erase command ok,status fail!!";
inline constexpr const char* kEraseOk = "Erase command ok!!";
inline constexpr const char* kNotReadyAfterErase = "Not ready after Erase flash success";
inline constexpr const char* kNotReadyAfterEraseCommand = "Not ready after Erase flash cmd success";
inline constexpr const char* kDataNotBlank = "Data not 0xff !!";
inline constexpr const char* kNotErased = "Not Erase correctly!";
inline constexpr const char* kReadBackErasedError = "Read Back Erased Flash Error!!";
inline constexpr const char* kEraseReadBackFail = "Read Back after Erase fail!!";
inline constexpr const char* kEraseReadBackFailLower = "Read back after erase fail!!";
inline constexpr const char* kReadCommandFail = "Read command fail!";
inline constexpr const char* kWriteCommandFail = "Write command fail!";
inline constexpr const char* kReadFail = "Read Fail!!";
inline constexpr const char* kReadRomFail = "Read ROM fail!!";
inline constexpr const char* kReadBackToBackupError = "Read Back to Backup Error!!";
inline constexpr const char* kCompareFail = "Compare Fail!!";
inline constexpr const char* kDataCompareFail = "Data compare fail !!";
inline constexpr const char* kBridgeCompareFail = "Data compare fail";
inline constexpr const char* kBridgeEraseCommandFail = "Issuse Errase Command fail!";
inline constexpr const char* kBridgeReadCommandFail = "Issuse Read Command fail!";
inline constexpr const char* kBridgeWriteCommandFail = "Issuse Write Command fail!";
inline constexpr const char* kNvramReadFail = "Backup NVRAM command fail!";
inline constexpr const char* kNvramWriteBackFail = "Write NVRAM back command fail!";
inline constexpr const char* kNvramCompareFail = "Compare NVRAM Fail!!";
inline constexpr const char* kWriteBackNvramFail = "Write back NVRAM fail!!";
inline constexpr const char* kAtmelWriteEnableFail = "Enable ATMEL flash write enable fail!!";
inline constexpr const char* kAmicNotSupported = "Not Support this AMIC Flash Type!!";
inline constexpr const char* kInternalRomSwitchFail = "Can't switch to internal ROM";
inline constexpr const char* kHddWrite16Fail = "Write Data SCSI16 To HDD FAIL!!";
inline constexpr const char* kHddRead16Fail = "Read Data SCSI16 From HDD FAIL!!";
inline constexpr const char* kHddCompare16Fail = "Compare Data in HDD FAIL!!";
inline constexpr const char* kHddWriteFail = "Write Data To HDD FAIL!!";
inline constexpr const char* kHddReadFail = "Read Data From HDD FAIL!!";
inline constexpr const char* kHddCompareFail = "Compare data in HDD fail!!";
inline constexpr const char* kAreaRefused =
    "Firmware area not at the end of the disk, nothing written!!";
inline constexpr const char* kAreaUnsettled = "Firmware area queries disagree, nothing written!!";
inline constexpr const char* kChipIdentityUnread =
    "Chip identification incomplete, nothing erased!!";
inline constexpr const char* kFlashPartUnread = "Flash type unknown, nothing erased!!";
inline constexpr const char* kFlashSizeUnread = "Flash size unknown, nothing erased!!";
inline constexpr const char* kBridgeVersionUnread = "Bridge version unknown, nothing written!!";
// A request to stop (a signal, Ctrl+C) came before the run's first change.
inline constexpr const char* kInterruptedBeforeWriting = "interrupted before anything was written";

// Debug traces.
inline constexpr const char* kTraceNotReady = "0.1 Device initial not ready!!";

// Backup file names used when BackupFileEdit is empty (and named in the
// notice kDefaultBackupNotice or its like).
inline constexpr const char* kDefaultBackupFile = "oldflash.bak";
inline constexpr const char* kDefaultBackupFileCapitalF = "oldFlash.bak";

}  // namespace program

namespace app {

// Caption of the boxes that carry no caption of their own.
inline constexpr char kApplicationTitle[] = "Tavrion TX4077x Firmware Update Utility";
// The file-open dialog's type list.
inline constexpr char kOpenDialogFilter[] =
    "Binary File (*.bin)|*.bin|All Files (*.*)|*.*|TXF Files (*.txf)|*.txf";
// The device list's only row when the refresh finds no disk or CD-ROM unit.
inline constexpr char kNoAvailableDevice[] = "No available device!!!";
// Box when more than one file is dropped on the window.
inline constexpr char kDropOneFileOnly[] = "Please Drag and Drop One File Only!";
// Status line: Run pressed for a chip that no procedure updates (the
// dispatch's last rule).
inline constexpr char kNoUpdateForChip[] = "No firmware update exists for this chip; nothing was sent.";
// Yes/No box when Run is pressed with an image the image check refused for
// the chip.
inline constexpr char kProgramAnywayQuestion[] =
    "The firmware file seems not match this chip! Program it anyway?";
// Status line: Run could not hold the selected device, because another
// program's run has it or it is no longer the device the refresh listed.
// Nothing was sent.
inline constexpr char kDeviceInUseText[] = "The device is in use by another program!";
inline constexpr char kDeviceChangedText[] = "The device has changed, please Refresh!";

}  // namespace app
