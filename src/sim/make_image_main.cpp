// Writes a firmware image that the image checks accept for a chip type and
// sub-code: a stand-in for a vendor's firmware file, to try the console and the
// demo on the simulated enclosures.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/test_images.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs("usage: tx4077x-make-image CHIP-TYPE SUB-CODE FILE\n"
               "  writes an image the checks accept for that chip (for example 1 1 for a\n"
               "  TX40775 enclosure)\n",
               stderr);
    return 2;
  }
  sim::ChipCode chip;
  chip.type = static_cast<std::uint8_t>(std::atoi(argv[1]));
  chip.subCode = static_cast<std::int8_t>(std::atoi(argv[2]));
  const sim::Image image = sim::MakeMatchingImage(chip);
  if (image.empty()) {
    std::fprintf(stderr, "no image matches chip type %s sub-code %s\n", argv[1], argv[2]);
    return 1;
  }
  if (!sim::WriteImageFile(argv[3], image)) {
    std::fprintf(stderr, "cannot write %s\n", argv[3]);
    return 1;
  }
  std::printf("%s: %zu bytes for chip type %d sub-code %d\n", argv[3], image.size(), chip.type,
              chip.subCode);
  return 0;
}
