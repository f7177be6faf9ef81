// SHA-256 (FIPS 180-4), for naming an image or a backup in the support log
// and the backup's sidecar: the digest a user can compare with sha256sum.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace app {

class Sha256 {
 public:
  void Add(const void* data, std::size_t length);
  // The digest as 64 lower-case hex digits; the object is spent afterwards.
  std::string HexDigest();

 private:
  void Block(const std::uint8_t* block);

  std::array<std::uint32_t, 8> h_ = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::array<std::uint8_t, 64> pending_{};
  std::size_t pendingLength_ = 0;
  std::uint64_t totalBytes_ = 0;
};

// The digest of a whole file and its length; false when it cannot be read
// (a regular file only).
bool Sha256OfFile(const std::string& fileName, std::string& digest, std::uint64_t& length);

}  // namespace app
