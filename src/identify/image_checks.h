// The checks that a firmware image file belongs to the identified chip: chip
// marker and revision at the family's offsets, size against the flash, the
// NVRAM-area layout and the optional 8-bit checksum with its end marker.
// Every check opens the file (a regular file only: a folder, pipe or device
// counts as a file that cannot be opened), reads what it needs and closes it;
// bytes past the end of a short file never match.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "identify/catalogue.h"

namespace identify {

inline constexpr const char* kOpenFirmwareFileError = "Open Firmware File Error!!";

// A check's answer. openFailed: the file could not be opened, and the caller
// shows kOpenFirmwareFileError (caption "Error") before acting on the refusal.
struct CheckResult {
  bool accepted = false;
  bool openFailed = false;
  explicit operator bool() const { return accepted; }
};

// Marker and revision of the image match the chip (type and sub-code).
CheckResult CheckImageMatchesChip(const std::string& fileName, ChipIdentity chip);
// False for the chips no image can match (0, 18, codes above 24, a TXR843
// of an unknown revision): the window never enables Run to program them.
bool ChipTakesImages(ChipIdentity chip);
// The file is no longer than flashSizeKb kilobytes.
CheckResult CheckImageFitsFlash(const std::string& fileName, std::uint32_t flashSizeKb);
// Length of an open file in bytes (64 bits on every platform), its position
// kept; -1 when it cannot be told.
std::int64_t GetFileLength(std::FILE* file);
// The image starts with a 4 KB NVRAM area (chip marker at 0x1000), or carries
// the 0x80 layout of chip types 10 and 13. Silent false when it cannot be opened.
bool ImageCarriesNvram(const std::string& fileName, int chipType);
// The stored 8-bit sum (at 0x7FFF, or 0xFFFF in a 64 KB image) matches.
// Images with an NVRAM area pass without a sum. Silent false on open failure.
bool VerifyImageChecksum(const std::string& fileName, ChipIdentity chip);

// The 8 bytes that close the summed part of images with an end marker.
inline constexpr std::uint8_t kEndMarker[8] = {'E', 'N', 'D', 'S', 'T', 'R', 0x55, 0xAA};
// Length of the prefix ending with the first complete end marker inside the
// first `limit` bytes (and inside the image); `limit` when there is none.
std::size_t FindEndMarker(const std::uint8_t* image, std::size_t imageLength, std::size_t limit);

}  // namespace identify
