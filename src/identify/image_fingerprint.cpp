#include "identify/image_fingerprint.h"

#include <cstring>
#include <new>
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
  auto bytes = std::make_shared<std::vector<std::uint8_t>>();
  try {
    bytes->resize(static_cast<std::size_t>(length) + 1);
  } catch (const std::bad_alloc&) {
    return print;
  }
  // One byte more than the length: a file that grows while read is no one
  // file's bytes.
  const std::size_t got = std::fread(bytes->data(), 1, bytes->size(), file.get());
  if (std::ferror(file.get()) != 0 || got != length) return print;
  bytes->resize(got);
  print.read = true;
  print.length = length;
  print.hash = Hash(kFnvOffset, bytes->data(), bytes->size());
  print.bytes = std::move(bytes);
  return print;
}

bool ImageFingerprint::operator==(const ImageFingerprint& other) const {
  if (fileName != other.fileName || read != other.read || length != other.length ||
      hash != other.hash)
    return false;
  if (!bytes || !other.bytes) return !bytes && !other.bytes;
  return *bytes == *other.bytes;
}

bool SameImage(const ImageFingerprint& checked, const std::uint8_t* bytes, std::size_t length) {
  return checked.read && checked.bytes && checked.bytes->size() == length &&
         (length == 0 || std::memcmp(checked.bytes->data(), bytes, length) == 0);
}

}  // namespace identify
