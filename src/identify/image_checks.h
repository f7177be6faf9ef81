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
#include <optional>
#include <string>

#include "chips/names.h"
#include "texts.h"

namespace identify {

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

// ---- The same checks on an image in memory, saying what decided ----------

// Where the families keep their marker blocks.
inline constexpr std::uint32_t kLayoutMarkerOffset = 0x80;     // chip types 10, 13
inline constexpr std::uint32_t kNvramMarkerOffset = 0x1000;    // behind a 4 KB NVRAM area
using device::kMakerMarkerOffset;
using device::kTail927MarkerOffset;
using device::kTail929MarkerOffset;
// The match check reads nothing beyond this many bytes of a file.
inline constexpr std::uint32_t kMatchedPrefix = kTail929MarkerOffset + 10;
// The NVRAM area an image may start with.
inline constexpr std::uint32_t kNvramAreaLength = 0x1000;
// The checksum check sums images of these lengths only.
inline constexpr std::size_t kShortestSummedImage = 0x8000;
inline constexpr std::size_t kLargestSummedImage = 0x1000000;

// An image's bytes: the whole file, or for the match check at least its
// first kMatchedPrefix bytes.
struct ImageBytes {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
};

// The step of the match check that gave its answer.
enum class MatchStep {
  FamilyMarker,  // no 0x55 0xAA where chip types 12, 16, 17 and 19 keep their marker
  LayoutMarker,  // no 0xE9 0xAC 0x67 at 0x80 (chip types 10 and 13)
  ChipNumber,    // a bridge marker naming another chip number
  Rule,          // the chip type's rule on the marker text (ImageRuleText)
};

struct MatchDetail {
  bool accepted = false;
  MatchStep decidedBy = MatchStep::Rule;
  std::uint32_t offset = 0;  // the block whose text decided
  std::string text;          // its bytes 4..7 as the check read them
  // Accepted by a rule any image may pass (no marker of this chip was asked
  // for): it may be another chip's image.
  bool generic = false;
};

// CheckImageMatchesChip on bytes in memory, with the step that decided.
MatchDetail ExplainImageMatch(ImageBytes image, ChipIdentity chip);
// The same on a file; refused (the rule step, at 0) when it cannot be opened.
MatchDetail ExplainImageFileMatch(const std::string& fileName, ChipIdentity chip);
// An image's text as printable ASCII in quotes, other bytes as \xNN.
std::string QuotedImageText(const std::string& text);
// The last step's rule for a chip type, in words.
std::string ImageRuleText(int chipType);
// Where the marker sits that makes ImageCarriesNvram true (kNvramMarkerOffset,
// or kLayoutMarkerOffset for chip types 10 and 13); none when it is false.
std::optional<std::uint32_t> NvramMarkerOffset(ImageBytes image, int chipType);

enum class ChecksumState { Matches, Differs, TooShort, TooLong, NoEndMarker };

struct ChecksumDetail {
  ChecksumState state = ChecksumState::TooShort;
  std::size_t storedAt = 0;      // the byte holding the sum
  std::uint8_t stored = 0;
  std::uint8_t computed = 0;
  std::size_t summedLength = 0;  // bytes 0 .. summedLength - 1 are summed
  std::optional<std::size_t> endMarkerLimit;  // set when the sum ends at an end marker
};

// The sum VerifyImageChecksum computes, on the whole image in memory (the
// NVRAM-area pass aside).
ChecksumDetail ExplainChecksum(ImageBytes image);

}  // namespace identify
