#include "identify/image_checks.h"
#include "host/stdio_file.h"

#include <algorithm>
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

// Where the checks read their blocks: an open file, or an image in memory.
class BlockSource {
 public:
  virtual ~BlockSource() = default;
  virtual Block At(std::uint32_t offset) = 0;
};

class FileBlocks : public BlockSource {
 public:
  explicit FileBlocks(std::FILE* f) : f_(f) {}
  Block At(std::uint32_t offset) override {
    Block block;
    if (std::fseek(f_, static_cast<long>(offset), SEEK_SET) == 0)
      block.count = std::fread(block.b, 1, sizeof block.b, f_);
    return block;
  }

 private:
  std::FILE* f_;
};

class MemoryBlocks : public BlockSource {
 public:
  explicit MemoryBlocks(ImageBytes image) : image_(image) {}
  Block At(std::uint32_t offset) override {
    Block block;
    if (offset < image_.size) {
      block.count = std::min(sizeof block.b, image_.size - offset);
      std::memcpy(block.b, image_.data + offset, block.count);
    }
    return block;
  }

 private:
  ImageBytes image_;
};

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

using device::ImageRule;
using device::MarkerRule;

const ImageRule& RuleOf(int chipType) { return device::ChipRowFor(chipType).image; }

bool Decide(ChipIdentity chip, const std::string& s, const Block& h) {
  const std::int8_t r = chip.subCode;
  const ImageRule& rule = RuleOf(chip.type);
  using enum MarkerRule;
  switch (rule.rule) {
    case Never: return false;
    case Always: return true;
    case NumberPrefix: return BeginsWithNumber(s, chip.type);
    case NotPrefix: return !BeginsWith(s, rule.text);
    case Exact: return s == rule.text;
    case NumberRevision:
      if (r == 1 && rule.alt != nullptr) return s == rule.alt;
      return s == NumberWithRevision(ChipShortCode(chip.type), r);
    case RevisionByte: return RevisionByteMatches(h, r);
    case Sub0OrRevisionByte: return r == 0 || RevisionByteMatches(h, r);
    case HeaderPerRevision: {
      const char* text = r == 1 ? rule.text : r == 2 ? rule.alt : nullptr;
      if (text == nullptr) return false;
      std::uint8_t header[8];
      std::memcpy(header, kBridgeMarker, 4);
      std::memcpy(header + 4, text, 4);
      return h.Equals(0, header, 8);
    }
  }
  return false;
}

// Rules that let an image through without a marker of the chip: it may well
// be another chip's image.
bool AcceptsWithoutMarker(ChipIdentity chip) {
  const MarkerRule rule = RuleOf(chip.type).rule;
  return rule == MarkerRule::Always || rule == MarkerRule::NotPrefix ||
         (rule == MarkerRule::Sub0OrRevisionByte && chip.subCode == 0);
}

MatchDetail Refused(MatchStep step, std::uint32_t offset, const Block& h) {
  return {false, step, offset, h.Text()};
}

MatchDetail Match(BlockSource& source, ChipIdentity chip) {
  const int t = chip.type;
  const device::ChipRow& row = device::ChipRowFor(t);
  std::uint32_t at = row.image.markerAt;
  Block h = source.At(at);
  if (at != 0 && !h.StartsWith55AA()) return Refused(MatchStep::FamilyMarker, at, h);
  std::string s = h.Text();

  if (row.nvramArea) {
    if (row.imageNvramRecord) {
      at = kLayoutMarkerOffset;
      h = source.At(at);
      if (!h.Equals(0, kLayout80, 3)) return Refused(MatchStep::LayoutMarker, at, h);
      s = h.Text();
    } else if (h.HasBridgeMarker()) {
      if (!BeginsWithNumber(s, t)) return Refused(MatchStep::ChipNumber, at, h);
    } else {
      // No marker where the image starts: it may start with the 4 KB NVRAM area.
      const Block nvram = source.At(kNvramMarkerOffset);
      h = nvram;
      if (h.HasBridgeMarker()) {
        at = kNvramMarkerOffset;
        s = h.Text();
        if (!BeginsWithNumber(s, t)) return Refused(MatchStep::ChipNumber, at, h);
      }
    }
  }
  MatchDetail d{Decide(chip, s, h), MatchStep::Rule, at, s};
  d.generic = d.accepted && AcceptsWithoutMarker(chip);
  return d;
}

std::optional<std::uint32_t> NvramMarker(BlockSource& source, int chipType) {
  std::optional<std::uint32_t> at;
  if (!source.At(0).HasBridgeMarker()) {
    const Block h = source.At(kNvramMarkerOffset);
    if (h.HasBridgeMarker() && h.Has(4, 3) && MatchesChipNumber(h.b + 4, chipType))
      at = kNvramMarkerOffset;
  }
  if (device::ChipRowFor(chipType).imageNvramRecord) {
    const Block h = source.At(kLayoutMarkerOffset);
    if (h.Equals(0, kLayout80, 4) && h.Has(4, 3) && MatchesChipNumber(h.b + 4, chipType))
      at = kLayoutMarkerOffset;
  }
  return at;
}

}  // namespace

// The rules no image can pass for this sub-code: Decide refuses outright.
bool ChipTakesImages(ChipIdentity chip) {
  if (!device::HasChipRow(chip.type)) return false;
  switch (RuleOf(chip.type).rule) {
    case MarkerRule::Never: return false;
    case MarkerRule::HeaderPerRevision: return chip.subCode == 1 || chip.subCode == 2;
    default: return true;
  }
}

CheckResult CheckImageMatchesChip(const std::string& fileName, ChipIdentity chip) {
  CheckResult result;
  File f = OpenImage(fileName);
  if (!f) {
    result.openFailed = true;
    return result;
  }
  FileBlocks blocks(f.get());
  result.accepted = Match(blocks, chip).accepted;
  return result;
}

MatchDetail ExplainImageFileMatch(const std::string& fileName, ChipIdentity chip) {
  File f = OpenImage(fileName);
  if (!f) return {};
  FileBlocks blocks(f.get());
  return Match(blocks, chip);
}

MatchDetail ExplainImageMatch(ImageBytes image, ChipIdentity chip) {
  MemoryBlocks blocks(image);
  return Match(blocks, chip);
}

std::string QuotedImageText(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string q = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      q += ch;
    } else {
      q += "\\x";
      q += kHex[c >> 4];
      q += kHex[c & 15];
    }
  }
  return q + "\"";
}

std::string ImageRuleText(int chipType) {
  const ImageRule& rule = RuleOf(chipType);
  const auto q = [](const char* text) { return QuotedImageText(text); };
  const char* number = ChipShortCode(chipType);
  using enum MarkerRule;
  switch (rule.rule) {
    case Never: return "no image is accepted";
    case Always: return "any image is accepted";
    case NumberPrefix: return "the text begins with " + q(number);
    case NotPrefix: return "the text does not begin with " + q(rule.text);
    case Exact: return "the text is " + q(rule.text);
    case NumberRevision:
      return "the text is " + q(number) + " and the revision digit (sub-code - 1)" +
             (rule.alt != nullptr ? "; for sub-code 1 it is " + q(rule.alt) : std::string());
    case RevisionByte:
      return "byte 8 of the chip marker is the revision (sub-code - 1)";
    case Sub0OrRevisionByte:
      return "any image for sub-code 0; otherwise byte 8 of the chip marker is the revision "
             "(sub-code - 1)";
    case HeaderPerRevision:
      return "the image starts with 55 AA AA 55 and " + q(rule.text) + " (sub-code 1) or " +
             q(rule.alt) + " (sub-code 2)";
  }
  return "";
}

std::optional<std::uint32_t> NvramMarkerOffset(ImageBytes image, int chipType) {
  MemoryBlocks blocks(image);
  return NvramMarker(blocks, chipType);
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
  FileBlocks blocks(f.get());
  return NvramMarker(blocks, chipType).has_value();
}

std::size_t FindEndMarker(const std::uint8_t* image, std::size_t imageLength, std::size_t limit) {
  const std::size_t window = limit < imageLength ? limit : imageLength;
  for (std::size_t at = 0; at + sizeof kEndMarker <= window; ++at) {
    if (std::memcmp(image + at, kEndMarker, sizeof kEndMarker) == 0) return at + sizeof kEndMarker;
  }
  return limit;
}

bool VerifyImageChecksum(const std::string& fileName, ChipIdentity chip) {
  if (ImageCarriesNvram(fileName, chip.type)) return true;
  File f = OpenImage(fileName);
  if (!f) return false;
  const std::int64_t length = GetFileLength(f.get());
  if (length < 0 || static_cast<std::uint64_t>(length) > kLargestSummedImage) return false;
  const std::size_t size = static_cast<std::size_t>(length);
  if (size < kShortestSummedImage) return false;
  std::unique_ptr<std::uint8_t[]> image(new (std::nothrow) std::uint8_t[size]);
  if (!image) return false;
  if (std::fseek(f.get(), 0, SEEK_SET) != 0 || std::fread(image.get(), 1, size, f.get()) != size) {
    return false;  // the file changed under us or cannot be read whole
  }
  f.reset();
  return ExplainChecksum({image.get(), size}).state == ChecksumState::Matches;
}

namespace {

// An image that names at byte 4 a chip whose later revisions close the
// summed part with an end marker, and carries such a revision digit.
bool SumsToEndMarker(const std::uint8_t* bytes) {
  for (const device::ChipRow& row : device::kChipTable) {
    const char from = row.summedToEndMarkerFrom;
    if (from != 0 && std::memcmp(bytes + 4, row.shortCode, 3) == 0 && bytes[7] >= from &&
        bytes[7] <= '9')
      return true;
  }
  return false;
}

}  // namespace

ChecksumDetail ExplainChecksum(ImageBytes image) {
  ChecksumDetail d;
  const std::size_t size = image.size;
  if (size < kShortestSummedImage) {
    d.state = ChecksumState::TooShort;
    return d;
  }
  if (size > kLargestSummedImage) {
    d.state = ChecksumState::TooLong;
    return d;
  }
  const std::uint8_t* bytes = image.data;
  d.storedAt = size == 0x10000 ? 0xFFFF : 0x7FFF;
  d.summedLength = size - 1;
  if (SumsToEndMarker(bytes)) {
    const std::size_t limit = bytes[12] * 256u + bytes[13];
    d.endMarkerLimit = limit;
    d.summedLength = FindEndMarker(bytes, size, limit);
    // No end marker inside the file while the image says the sum runs past
    // it: there is nothing sound to sum, so the image is refused.
    if (d.summedLength > size) {
      d.state = ChecksumState::NoEndMarker;
      return d;
    }
  }
  for (std::size_t i = 0; i < d.summedLength; ++i)
    d.computed = static_cast<std::uint8_t>(d.computed + bytes[i]);
  d.stored = bytes[d.storedAt];
  d.state = d.stored == d.computed ? ChecksumState::Matches : ChecksumState::Differs;
  return d;
}

}  // namespace identify
