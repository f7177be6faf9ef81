// What the image checks make of a file with no device at hand: for every chip
// type and sub-code whether they accept it and which step decided, its
// length, checksum, marker blocks and the NVRAM area it may start with. The
// console's --inspect prints it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "chips/names.h"
#include "identify/image_checks.h"

namespace identify {

// Why a file cannot be inspected; each is also a file Run's loader refuses.
enum class ImageFileProblem {
  None,
  Missing,
  Inaccessible,  // exists, but cannot be opened or looked at
  Folder,
  Pipe,
  Device,
  NotRegular,
  Empty,
  TooLong,  // above kLongestInspected
  ReadFailed,
  NoMemory,
};

// Longer files are refused outright: no length above 32 bits is an image.
inline constexpr std::uint64_t kLongestInspected = 4ull << 30;

// A block at one of the offsets where the checks look for a marker, listed
// when it starts with 0x55 0xAA or with the 0xE9 0xAC 0x67 layout marker.
struct MarkerBlock {
  std::uint32_t offset = 0;
  const char* kind = "";  // "bridge", "maker", "layout" or "55 AA"
  std::vector<std::uint8_t> bytes;  // up to 10, fewer at the file's end
  std::string text;                 // bytes 4..7, ending at a zero byte
};

enum class Acceptance { Refused, EverySubCode, SomeSubCodes };

struct ChipVerdict {
  int chipType = 0;
  Acceptance acceptance = Acceptance::Refused;
  std::vector<int> subCodes;  // SomeSubCodes: those that accept, ascending
  MatchDetail decision;       // the step that decided (the same for every sub-code)
  std::optional<std::uint32_t> nvramMarker;  // where ImageCarriesNvram finds its marker
};

struct ImageInspection {
  std::string fileName;
  std::uint64_t length = 0;
  ChecksumDetail checksum;  // TooLong when the file is longer than the check sums
  std::vector<MarkerBlock> markers;
  std::vector<ChipVerdict> chips;  // chip types 1..kMaxChipType, in order
};

ImageFileProblem InspectImageFile(const std::string& fileName, ImageInspection& inspection);
// The reason in words ("is a folder"), to follow the file's name.
const char* ImageFileProblemText(ImageFileProblem problem);

}  // namespace identify
