// Reads a whole firmware image file into memory before a procedure sends its
// first command, so that a file that cannot be read, is empty or is longer
// than what the procedure writes is refused while the flash is untouched.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace program {

// Status texts for the two refusals that have no text of their own.
inline constexpr const char* kImageEmptyStatus = "The firmware file is empty!";
inline constexpr const char* kImageTooLongStatus =
    "The firmware file size is bigger than the flash size!";

enum class ImageLoad { Ok, OpenFailed, ReadFailed, Empty, TooLong, NoMemory };

struct LoadedImage {
  ImageLoad result = ImageLoad::OpenFailed;
  std::vector<std::uint8_t> bytes;  // the whole file when result is Ok
};

// maxLength: the most bytes the procedure can write.
LoadedImage LoadImageFile(const std::string& fileName, std::uint64_t maxLength);

}  // namespace program
