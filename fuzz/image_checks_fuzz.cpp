// Fuzzes the image checks with arbitrary file contents for every chip type,
// and the end-marker search against a plain one. The input is the file; its
// first byte also gives the sub-code and flash size, bytes 12-13 the search
// limit as images store it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>

#include "chips/names.h"
#include "identify/image_checks.h"
#include "sim/test_images.h"

namespace {

std::size_t PlainEndMarker(const std::uint8_t* image, std::size_t length, std::size_t limit) {
  const std::uint8_t* end = image + std::min(limit, length);
  const std::uint8_t* at = std::search(image, end, std::begin(identify::kEndMarker),
                                       std::end(identify::kEndMarker));
  return at == end ? limit : static_cast<std::size_t>(at - image) + sizeof identify::kEndMarker;
}

// The file each input is written to, removed when the fuzzer exits.
const std::string& ScratchFile() {
  static const struct Scratch {
    std::string path = sim::TempImagePath("fuzz_checks");
    ~Scratch() { std::remove(path.c_str()); }
  } scratch;
  return scratch.path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::size_t limit = size >= 14 ? data[12] * 256u + data[13] : size * 7 % 0x10000;
  if (identify::FindEndMarker(data, size, limit) != PlainEndMarker(data, size, limit)) std::abort();

  std::FILE* f = std::fopen(ScratchFile().c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  if (std::fclose(f) != 0) std::abort();

  const std::uint8_t first = size > 0 ? data[0] : 0;
  const std::string& file = ScratchFile();
  const identify::CheckResult fits = identify::CheckImageFitsFlash(file, first * 4u);
  if (fits.openFailed || fits.accepted != (size <= first * 4096u)) std::abort();
  // Sub-codes 0 to 3 cover every revision rule; the input's own adds the rest.
  const std::int8_t subCodes[] = {0, 1, 2, 3, static_cast<std::int8_t>(first)};
  int summingType = -1;  // a type whose checksum check reads and sums the file
  for (int type = 0; type <= identify::kMaxChipType + 1; ++type) {
    const auto t = static_cast<std::uint8_t>(type);
    for (std::int8_t sub : subCodes) {
      const identify::CheckResult match = identify::CheckImageMatchesChip(file, {t, sub});
      if (match.openFailed) std::abort();
      // The inspection's answer from the bytes in memory is the file check's.
      if (identify::ExplainImageMatch({data, size}, {t, sub}).accepted != match.accepted)
        std::abort();
    }
    if (identify::NvramMarkerOffset({data, size}, type).has_value() !=
        identify::ImageCarriesNvram(file, type))
      std::abort();
    // An image with an NVRAM area passes the checksum check without a sum.
    if (identify::ImageCarriesNvram(file, type)) {
      if (!identify::VerifyImageChecksum(file, {t, static_cast<std::int8_t>(first)})) std::abort();
    } else if (summingType < 0) {
      summingType = type;
    }
  }
  // For every other type the check reads the whole file and sums it the same
  // way; doing that once per input rather than once per type is what keeps
  // the target fast (a read, a buffer and a sum of up to 64 KB each).
  if (summingType >= 0) {
    const bool sumOk = identify::VerifyImageChecksum(
        file, {static_cast<std::uint8_t>(summingType), static_cast<std::int8_t>(first)});
    if (sumOk != (identify::ExplainChecksum({data, size}).state ==
                  identify::ChecksumState::Matches))
      std::abort();
  }
  return 0;
}
