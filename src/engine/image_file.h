// Loading an image file for a procedure: the whole file or nothing, refused
// before the procedure sends its first command.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/run_window.h"

namespace program {

struct ImageRules {
  std::uint64_t maxLength;    // a longer file is refused
  const char* openFailText;   // the procedure's text for a file it cannot use
  const char* allocFailText;  // the procedure's text for a buffer it cannot get
  const char* tooLargeText = kImageTooLarge;  // for a file longer than maxLength
};

// Reads the file named fileName whole into image (image.size() is then the
// file's length). A file that cannot be opened or is no regular file, is
// empty or cannot be read whole is refused with openFailText as the status;
// one longer than rules.maxLength with tooLargeText; no buffer, allocFailText. Nothing is sent
// to the device. A file the window's checks read (options().checkedImage)
// must still be those bytes, else it is refused the same way.
bool LoadImageFile(RunWindow& window, const std::string& fileName, const ImageRules& rules,
                   std::vector<std::uint8_t>& image);

// Whether the image starts with its own NVRAM area (identify's
// ImageCarriesNvram), judged on the bytes the window's checks read when they
// read this file: the run then programs those bytes or refuses the file.
bool ImageCarriesNvram(const RunOptions& options, int chipType);

// An open image as the loader sees it; the real one is a C runtime file.
struct ImageSource {
  std::function<bool(std::uint64_t& length)> length;
  // Reads up to n bytes, returns how many; fewer than n is a failure.
  std::function<std::size_t(std::uint8_t* into, std::size_t n)> read;
};
bool LoadImage(RunWindow& window, const ImageSource& source, const ImageRules& rules,
               std::vector<std::uint8_t>& image);

}  // namespace program
