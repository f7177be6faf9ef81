// What the window's image checks saw of a file, so that Run programs those
// bytes and no others: between the checks and the press of Run the file may
// be rewritten, shortened or replaced under the same name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace identify {

// No procedure programs a longer file; a longer one is measured, not read.
inline constexpr std::uint64_t kLongestFingerprinted = 16ull << 20;

// The file is read once: the checks judge these bytes, and a run programs a
// file only while it still reads the same.
struct ImageFingerprint {
  std::string fileName;
  bool read = false;         // read whole as a regular file, at most kLongestFingerprinted
  std::uint64_t length = 0;  // bytes, when read
  std::uint64_t hash = 0;    // FNV-1a of the bytes, when read
  // The bytes themselves, when read (shared: the window and a run keep them).
  std::shared_ptr<const std::vector<std::uint8_t>> bytes;
  bool operator==(const ImageFingerprint& other) const;
};

// Reads the regular file fileName whole. read stays false when it cannot be
// opened or read whole, or is too long.
ImageFingerprint FingerprintImageFile(const std::string& fileName);

// The bytes are those the fingerprint was taken of, byte for byte; never for
// a file that was not read.
bool SameImage(const ImageFingerprint& checked, const std::uint8_t* bytes, std::size_t length);

}  // namespace identify
