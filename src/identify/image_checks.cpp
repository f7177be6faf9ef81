#include "identify/image_checks.h"
#include "host/stdio_file.h"

#include <cstring>
#include <memory>
#include <new>

namespace identify {

namespace {

using host::File;

File OpenImage(const std::string& fileName) { return host::OpenRegularFile(fileName.c_str()); }

constexpr std::uint8_t kBridgeMarker[4] = {0x55, 0xAA, 0xAA, 0x55};
constexpr std::uint8_t kLayout80[4] = {0xE9, 0xAC, 0x67, 0x32};

// One positioned 10-byte read; `count` says how many bytes the file had.
struct Block {
  std::uint8_t b[10] = {};
  std::size_t count = 0;

  bool Has(std::size_t at, std::size_t n) const { return at + n <= count; }
  bool Equals(std::size_t at, const void* bytes, std::size_t n) const {
    return Has(at, n) && std::memcmp(b + at, bytes, n) == 0;
  }
  bool StartsWith55AA() const { return Has(0, 2) && b[0] == 0x55 && b[1] == 0xAA; }
  bool HasBridgeMarker() const { return Equals(0, kBridgeMarker, 4); }
  // The characters of bytes 4..7, ending early at a zero byte or the file's end.
  std::string Text() const {
    std::string s;
    for (std::size_t i = 4; i < 8 && i < count && b[i] != 0; ++i) s += static_cast<char>(b[i]);
    return s;
  }
};

Block ReadAt(std::FILE* f, long offset) {
  Block block;
  if (std::fseek(f, offset, SEEK_SET) == 0) block.count = std::fread(block.b, 1, sizeof block.b, f);
  return block;
}

bool BeginsWith(const std::string& s, const char* prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

bool BeginsWithNumber(const std::string& s, int chipType) {
  const char* code = ChipShortCode(chipType);
  return code[0] != '\0' && s.size() >= 3 && s.compare(0, 3, code, 3) == 0;
}

// The four characters an image of this chip number and sub-code carries; a
// revision digit of zero ends the text early, as the image's text would.
std::string NumberWithRevision(const char* number, std::int8_t subCode) {
  std::string s = number;
  const char digit = ExpectedRevisionDigit(subCode);
  if (digit != '\0') s += digit;
  return s;
}

// Revision byte 8 of the 842 family: an ASCII digit, or 0 for revision 0.
// It counts only inside a marker block: an image with no marker at 0 or at
// 0x1000 is no image of this family, whatever its byte 0x1008 holds.
bool RevisionByteMatches(const Block& h, std::int8_t subCode) {
  if (!h.HasBridgeMarker() || !h.Has(8, 1)) return false;
  std::uint8_t c = h.b[8];
  if (c != 0) c = static_cast<std::uint8_t>(c - 0x30);
  return static_cast<std::int8_t>(c) == ExpectedRevision(subCode);
}

bool Decide(ChipIdentity chip, const std::string& s, const Block& h) {
  const std::int8_t r = chip.subCode;
  switch (chip.type) {
    case 1:
      if (r == 1) return s == "\x5A\xA5\x0F\xF0";
      return s == NumberWithRevision("775", r);
    case 2: case 24:
      return !BeginsWith(s, "77");
    case 3: case 20: case 21: case 22: case 23:
      return true;
    case 4:
      return s == NumberWithRevision("779", r);
    case 5:
      return BeginsWith(s, "769");
    case 6: case 14:
      return RevisionByteMatches(h, r);
    case 7: {
      static const std::uint8_t kRev1[8] = {0x55, 0xAA, 0xAA, 0x55, 't', '8', '4', '3'};
      static const std::uint8_t kRev2[8] = {0x55, 0xAA, 0xAA, 0x55, '8', '4', '3', '1'};
      if (r == 1) return h.Equals(0, kRev1, 8);
      if (r == 2) return h.Equals(0, kRev2, 8);
      return false;
    }
    case 8: case 9:
      return BeginsWith(s, "846");
    case 10: case 13:
      return BeginsWith(s, "847");
    case 11:
      return BeginsWith(s, "961");
    case 12:
      return BeginsWith(s, "929");
    case 15:
      return r == 0 || RevisionByteMatches(h, r);
    case 16:
      return BeginsWith(s, "927");
    case 17:
      return BeginsWith(s, "659");
    case 19:
      return s == "779E";
    default:  // 0, 18 and unknown codes have no image rule
      return false;
  }
}

bool UsesNvramLayoutRule(int t) {
  return t == 6 || (t >= 8 && t <= 16);
}

}  // namespace

// Keep in step with the default and the sub-code tests of Decide above.
bool ChipTakesImages(ChipIdentity chip) {
  if (chip.type == 0 || chip.type == 18 || chip.type > kMaxChipType) return false;
  if (chip.type == 7) return chip.subCode == 1 || chip.subCode == 2;
  return true;
}

CheckResult CheckImageMatchesChip(const std::string& fileName, ChipIdentity chip) {
  CheckResult result;
  File f = OpenImage(fileName);
  if (!f) {
    result.openFailed = true;
    return result;
  }
  const int t = chip.type;
  Block h;
  if (t == 17 || t == 19) {
    h = ReadAt(f.get(), 0x4000);
    if (!h.StartsWith55AA()) return result;
  } else if (t == 12 || t == 16) {
    h = ReadAt(f.get(), t == 12 ? 0xBFF0 : 0x7FF0);
    if (!h.StartsWith55AA()) return result;
  } else {
    h = ReadAt(f.get(), 0);
  }
  std::string s = h.Text();

  if (UsesNvramLayoutRule(t)) {
    if (t == 10 || t == 13) {
      h = ReadAt(f.get(), 0x80);
      if (!h.Equals(0, kLayout80, 3)) return result;
      s = h.Text();
    } else if (h.HasBridgeMarker()) {
      if (!BeginsWithNumber(s, t)) return result;
    } else {
      // No marker where the image starts: it may start with the 4 KB NVRAM area.
      h = ReadAt(f.get(), 0x1000);
      if (h.HasBridgeMarker()) {
        s = h.Text();
        if (!BeginsWithNumber(s, t)) return result;
      }
    }
  }
  f.reset();
  result.accepted = Decide(chip, s, h);
  return result;
}

std::int64_t GetFileLength(std::FILE* file) {
  std::uint64_t position = 0;
  std::uint64_t length = 0;
  if (!host::FilePosition(file, position) || !host::FileLength(file, length) ||
      !host::SetFilePosition(file, position) || length > INT64_MAX)
    return -1;
  return static_cast<std::int64_t>(length);
}

CheckResult CheckImageFitsFlash(const std::string& fileName, std::uint32_t flashSizeKb) {
  CheckResult result;
  File f = OpenImage(fileName);
  if (!f) {
    result.openFailed = true;
    return result;
  }
  const std::int64_t length = GetFileLength(f.get());
  f.reset();
  // In 64 bits, so that no flash size can wrap round to a small limit.
  result.accepted =
      length >= 0 && static_cast<std::uint64_t>(length) <= std::uint64_t{flashSizeKb} * 1024u;
  return result;
}

bool ImageCarriesNvram(const std::string& fileName, int chipType) {
  File f = OpenImage(fileName);
  if (!f) return false;
  bool carries = false;
  if (!ReadAt(f.get(), 0).HasBridgeMarker()) {
    const Block h = ReadAt(f.get(), 0x1000);
    if (h.HasBridgeMarker() && h.Has(4, 3) && MatchesChipNumber(h.b + 4, chipType)) carries = true;
  }
  if (chipType == 10 || chipType == 13) {
    const Block h = ReadAt(f.get(), 0x80);
    if (h.Equals(0, kLayout80, 4) && h.Has(4, 3) && MatchesChipNumber(h.b + 4, chipType)) {
      carries = true;
    }
  }
  return carries;
}

std::size_t FindEndMarker(const std::uint8_t* image, std::size_t imageLength, std::size_t limit) {
  const std::size_t window = limit < imageLength ? limit : imageLength;
  for (std::size_t at = 0; at + sizeof kEndMarker <= window; ++at) {
    if (std::memcmp(image + at, kEndMarker, sizeof kEndMarker) == 0) return at + sizeof kEndMarker;
  }
  return limit;
}

// No flash of these chips holds more; a longer file would only be read into
// memory whole to be refused later.
constexpr std::int64_t kLargestSummedImage = 0x1000000;

bool VerifyImageChecksum(const std::string& fileName, ChipIdentity chip) {
  if (ImageCarriesNvram(fileName, chip.type)) return true;
  File f = OpenImage(fileName);
  if (!f) return false;
  const std::int64_t length = GetFileLength(f.get());
  if (length < 0x8000 || length > kLargestSummedImage) return false;
  const std::size_t size = static_cast<std::size_t>(length);
  std::unique_ptr<std::uint8_t[]> image(new (std::nothrow) std::uint8_t[size]);
  if (!image) return false;
  if (std::fseek(f.get(), 0, SEEK_SET) != 0 || std::fread(image.get(), 1, size, f.get()) != size) {
    return false;  // the file changed under us or cannot be read whole
  }
  f.reset();

  const std::size_t sumAt = size == 0x10000 ? 0xFFFF : 0x7FFF;
  std::size_t summed = size - 1;
  if (std::memcmp(image.get() + 4, "779", 3) == 0 && image[7] >= '3' && image[7] <= '9') {
    const std::size_t limit = image[12] * 256u + image[13];
    summed = FindEndMarker(image.get(), size, limit);
    // No end marker inside the file while the image says the sum runs past
    // it: there is nothing sound to sum, so the image is refused.
    if (summed > size) return false;
  }
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < summed; ++i) sum = static_cast<std::uint8_t>(sum + image[i]);
  return image[sumAt] == sum;
}

}  // namespace identify
