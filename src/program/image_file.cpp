#include "program/image_file.h"

#include <cstdio>
#include <new>

#include "host/stdio_file.h"

namespace program {

LoadedImage LoadImageFile(const std::string& fileName, std::uint64_t maxLength) {
  LoadedImage out;
  host::File file = host::OpenFile(fileName.c_str(), "rb");
  if (!file) {
    out.result = ImageLoad::OpenFailed;
    return out;
  }
  // The length is found by reading, so a file longer than the limit is told
  // apart without trusting a seek on it.
  constexpr std::size_t kPiece = 0x2000;
  std::uint8_t piece[kPiece];
  for (;;) {
    const std::size_t got = std::fread(piece, 1, kPiece, file.get());
    if (got > 0) {
      if (out.bytes.size() + got > maxLength) {
        out.result = ImageLoad::TooLong;
        out.bytes.clear();
        return out;
      }
      try {
        out.bytes.insert(out.bytes.end(), piece, piece + got);
      } catch (const std::bad_alloc&) {
        out.result = ImageLoad::NoMemory;
        out.bytes.clear();
        return out;
      }
    }
    if (got < kPiece) break;
  }
  if (std::ferror(file.get()) != 0) {
    out.result = ImageLoad::ReadFailed;
    out.bytes.clear();
    return out;
  }
  out.result = out.bytes.empty() ? ImageLoad::Empty : ImageLoad::Ok;
  return out;
}

}  // namespace program
