#include "identify/image_fingerprint.h"

#include <vector>

#include "host/stdio_file.h"

namespace identify {

namespace {

constexpr std::uint64_t kFnvOffset = 0xCBF29CE484222325ull;
constexpr std::uint64_t kFnvPrime = 0x100000001B3ull;

std::uint64_t Hash(std::uint64_t hash, const std::uint8_t* bytes, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) hash = (hash ^ bytes[i]) * kFnvPrime;
  return hash;
}

}  // namespace

ImageFingerprint FingerprintImageFile(const std::string& fileName) {
  ImageFingerprint print;
  print.fileName = fileName;
  host::File file = host::OpenRegularFile(fileName.c_str());
  std::uint64_t length = 0;
  if (!file || !host::FileLength(file.get(), length) || length > kLongestFingerprinted)
    return print;
  std::vector<std::uint8_t> chunk(64 * 1024);
  std::uint64_t hash = kFnvOffset;
  std::uint64_t got = 0;
  for (;;) {
    const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), file.get());
    hash = Hash(hash, chunk.data(), n);
    got += n;
    if (n < chunk.size()) break;
    if (got > length) return print;  // growing while read: not one file's bytes
  }
  // A read error, or a file that changed length while it was read.
  if (std::ferror(file.get()) != 0 || got != length) return print;
  print.read = true;
  print.length = length;
  print.hash = hash;
  return print;
}

bool SameImage(const ImageFingerprint& checked, const std::uint8_t* bytes, std::size_t length) {
  return checked.read && checked.length == length && checked.hash == Hash(kFnvOffset, bytes, length);
}

}  // namespace identify
