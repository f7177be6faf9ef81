#include "engine/image_file.h"

#include "host/stdio_file.h"
#include "identify/image_checks.h"
#include "engine/shared_steps.h"

namespace program {

bool LoadImage(RunWindow& window, const ImageSource& source, const ImageRules& rules,
               std::vector<std::uint8_t>& image) {
  image.clear();
  std::uint64_t length = 0;
  if (!source.length(length) || length == 0) {
    window.ShowStatus(rules.openFailText);
    return false;
  }
  if (length > rules.maxLength || length > static_cast<std::uint64_t>(SIZE_MAX)) {
    window.ShowStatus(rules.tooLargeText);
    return false;
  }
  const auto size = static_cast<std::size_t>(length);
  if (!SizeBuffer(window, image, size, rules.allocFailText)) return false;
  // Fewer bytes than the file's length is a read error, never a shorter image.
  if (source.read(image.data(), size) != size) {
    image.clear();
    window.ShowStatus(rules.openFailText);
    return false;
  }
  return true;
}

bool LoadImageFile(RunWindow& window, const std::string& fileName, const ImageRules& rules,
                   std::vector<std::uint8_t>& image) {
  image.clear();
  host::File file = host::OpenRegularFile(fileName.c_str());
  if (!file) {
    window.ShowStatus(rules.openFailText);
    return false;
  }
  std::FILE* f = file.get();
  ImageSource source;
  source.length = [f](std::uint64_t& length) { return host::FileLength(f, length); };
  source.read = [f](std::uint8_t* into, std::size_t n) {
    const std::size_t got = std::fread(into, 1, n, f);
    return std::ferror(f) != 0 ? 0 : got;
  };
  if (!LoadImage(window, source, rules, image)) return false;
  // The checks passed the file as it was then: a file shortened, grown or
  // rewritten since is not the image they passed.
  const std::optional<identify::ImageFingerprint> checked = window.options().checkedImage;
  if (checked && checked->fileName == fileName &&
      !identify::SameImage(*checked, image.data(), image.size())) {
    image.clear();
    window.ShowStatus(rules.openFailText);
    return false;
  }
  return true;
}

bool ImageCarriesNvram(const RunOptions& options, int chipType) {
  const std::optional<identify::ImageFingerprint>& checked = options.checkedImage;
  if (!checked || checked->fileName != options.imageFile || !checked->bytes)
    return identify::ImageCarriesNvram(options.imageFile, chipType);
  return identify::NvramMarkerOffset({checked->bytes->data(), checked->bytes->size()}, chipType)
      .has_value();
}

}  // namespace program
