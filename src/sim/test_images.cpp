#include "sim/test_images.h"
#include "host/stdio_file.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>
#include <random>

namespace sim {

namespace {

constexpr std::uint8_t kEnd[8] = {'E', 'N', 'D', 'S', 'T', 'R', 0x55, 0xAA};

void Put(Image& image, std::size_t offset, const void* bytes, std::size_t n) {
  if (offset + n > image.size()) image.resize(offset + n, 0xFF);
  std::memcpy(image.data() + offset, bytes, n);
}

std::size_t SumPosition(const Image& image) { return image.size() == 0x10000 ? 0xFFFF : 0x7FFF; }

// Whether bytes 4..7 name a "779" chip of revision 3 or later, whose sum
// ends with the end marker.
bool SumEndsAtMarker(const Image& image) {
  return image.size() >= 14 && std::memcmp(image.data() + 4, "779", 3) == 0 && image[7] >= '3' &&
         image[7] <= '9';
}

// The chip numbers the image checks look for, by chip type code.
const char* ChipNumber(int type) {
  static const char* const kNumbers[] = {"",    "775", "776", "777", "779", "769", "842",
                                         "843", "846", "846", "847", "961", "929", "847",
                                         "842", "842", "927", "659", "649", "779", "777",
                                         "778", "779", "775", "776"};
  return type >= 0 && type < static_cast<int>(std::size(kNumbers)) ? kNumbers[type] : "";
}

// The revision an image carries for sub-code R is R - 1, as a byte.
std::uint8_t Revision(std::int8_t subCode) {
  return static_cast<std::uint8_t>(static_cast<std::uint8_t>(subCode) - 1u);
}

// The revision character of chip number images: "0" + (R - 1).
char RevisionChar(std::int8_t subCode) {
  return static_cast<char>(static_cast<std::uint8_t>('0' + Revision(subCode)));
}

std::string NumberAndRevision(const char* number, std::int8_t subCode) {
  std::string s(number);
  s += RevisionChar(subCode);  // may be 0: the text then ends after the number
  return s;
}

}  // namespace

void FillCode(Image& image, std::uint32_t seed) {
  // A small linear congruential sequence: varied bytes, same every run.
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& byte : image) {
    x = x * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(x >> 24);
  }
  // Code never begins with a marker by accident.
  if (image.size() >= 2) {
    image[0] = 0x02;
    image[1] = 0x01;
  }
}

void PutBridgeMarker(Image& image, std::size_t offset, const char* text4, std::uint8_t revision) {
  std::uint8_t block[10] = {0x55, 0xAA, 0xAA, 0x55, 0, 0, 0, 0, revision, 0};
  std::memcpy(block + 4, text4, std::strlen(text4) < 4 ? std::strlen(text4) : 4);
  Put(image, offset, block, sizeof block);
}

void PutMakerMarker(Image& image, std::size_t offset, const char* text4) {
  std::uint8_t block[10] = {0x55, 0xAA, 0x54, 0x58, 0, 0, 0, 0, 0, 0};
  std::memcpy(block + 4, text4, std::strlen(text4) < 4 ? std::strlen(text4) : 4);
  Put(image, offset, block, sizeof block);
}

void PutLayout80(Image& image, const char* text4) {
  std::uint8_t block[10] = {0xE9, 0xAC, 0x67, 0x32, 0, 0, 0, 0, 0, 0};
  std::memcpy(block + 4, text4, std::strlen(text4) < 4 ? std::strlen(text4) : 4);
  Put(image, 0x80, block, sizeof block);
}

void PutEndMarker(Image& image, std::size_t offset, std::uint16_t limit) {
  Put(image, offset, kEnd, sizeof kEnd);
  if (image.size() >= 14) {
    image[12] = static_cast<std::uint8_t>(limit >> 8);
    image[13] = static_cast<std::uint8_t>(limit & 0xFF);
  }
}

void PutChecksum(Image& image) {
  const std::size_t at = SumPosition(image);
  if (image.size() <= at) return;
  std::size_t summed = image.size() - 1;
  if (SumEndsAtMarker(image)) {
    const std::size_t limit = image[12] * 256u + image[13];
    summed = limit;
    for (std::size_t i = 0; i + sizeof kEnd <= limit && i + sizeof kEnd <= image.size(); ++i) {
      if (std::memcmp(image.data() + i, kEnd, sizeof kEnd) == 0) {
        summed = i + sizeof kEnd;
        break;
      }
    }
    if (summed > image.size()) return;  // no sound sum exists for such an image
  }
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < summed && i < image.size(); ++i) {
    if (i != at) sum = static_cast<std::uint8_t>(sum + image[i]);
  }
  // The stored byte lies inside the range only for odd sizes; it cannot sum itself.
  if (summed > at) return;
  image[at] = sum;
}

namespace {

// Bytes 4..7 of a TX40775 image: a fixed word for revision 0, else "775"
// and the revision character.
void PutNumber775(Image& image, std::int8_t r) {
  if (r == 1) {
    const std::uint8_t rev0[4] = {0x5A, 0xA5, 0x0F, 0xF0};
    Put(image, 4, rev0, 4);
  } else {
    const std::string text = NumberAndRevision("775", r);
    Put(image, 4, text.c_str(), 4);  // the terminator fills byte 7 when the digit is 0
  }
}

// The chip's marker where its checks look for it; false when no image can
// match the chip.
bool PutChipMarker(Image& image, ChipCode chip, std::size_t nvramOffset) {
  const int t = chip.type;
  const std::int8_t r = chip.subCode;
  const char* number = ChipNumber(t);
  // The 842 family's revision byte: "0" + (R - 1), with c - 0x30 = R - 1.
  const std::uint8_t revByte = static_cast<std::uint8_t>(0x30 + Revision(r));
  switch (t) {
    case 1:
      PutNumber775(image, r);
      return true;
    case 2: case 24: {
      const std::uint8_t code[4] = {0x75, 0x81, 0x5F, 0x00};  // no chip number in these images
      Put(image, 4, code, 4);
      return true;
    }
    case 3: case 20: case 21: case 22: case 23:
      return true;
    case 4:
      Put(image, 4, NumberAndRevision("779", r).c_str(), 4);
      return true;
    case 5:
      Put(image, 4, "7690", 4);
      return true;
    case 6: case 14: case 15:
      if (revByte == 0 && Revision(r) != 0) return false;
      PutBridgeMarker(image, nvramOffset, number, revByte);
      return true;
    case 7: {
      if (r != 1 && r != 2) return false;
      const std::uint8_t head[8] = {0x55, 0xAA, 0xAA, 0x55, 0, 0, 0, 0};
      Put(image, 0, head, 4);
      Put(image, 4, r == 1 ? "t843" : "8431", 4);
      return true;
    }
    case 8: case 9: case 11:
      PutBridgeMarker(image, nvramOffset, (std::string(number) + "0").c_str(), 0);
      return true;
    case 10: case 13:
      PutLayout80(image, "8470");
      return true;
    case 12:
      PutBridgeMarker(image, 0xBFF0, "9290", 0);
      return true;
    case 16:
      PutBridgeMarker(image, 0x7FF0, "9270", 0);
      return true;
    case 17:
      PutMakerMarker(image, 0x4000, NumberAndRevision("659", r).c_str());
      return true;
    case 19:
      PutMakerMarker(image, 0x4000, "779E");
      return true;
    default:
      return false;
  }
}

}  // namespace

Image MakeMatchingImage(ChipCode chip, const ImageLayout& layout) {
  const int t = chip.type;
  std::size_t size = layout.size;
  if (t == 12 && size < 0x10000) size = 0x10000;  // marker at 0xBFF0
  Image image(size);
  FillCode(image, static_cast<std::uint32_t>(t * 256 + static_cast<std::uint8_t>(chip.subCode)));

  const std::size_t nvramOffset = layout.nvramArea ? 0x1000 : 0;
  if (layout.nvramArea) std::memset(image.data(), 0xFF, 0x1000 < size ? 0x1000 : size);
  if (!PutChipMarker(image, chip, nvramOffset)) return {};
  if (SumEndsAtMarker(image) && layout.endMarkerAt + sizeof kEnd < image.size()) {
    const std::size_t limit = layout.endMarkerAt + sizeof kEnd + 0x100;
    PutEndMarker(image, layout.endMarkerAt,
                 static_cast<std::uint16_t>(limit > 0xFFFF ? 0xFFFF : limit));
  }
  if (layout.checksum) PutChecksum(image);
  return image;
}

Image MakeRefusedImage(ChipCode chip, std::size_t size) {
  ImageLayout layout;
  layout.size = size;
  switch (chip.type) {
    case 3: case 20: case 21: case 22: case 23:
      return {};
    case 2: case 24:  // these refuse only images that name a 77x chip
      return MakeMatchingImage({1, 6}, layout);  // "7755"
    case 5:
      return MakeMatchingImage({4, 1}, layout);
    case 15:
      // Sub-code 0 takes any image that passes the marker tests; a marker
      // naming another chip fails them.
      return MakeMatchingImage({8, 1}, layout);
    default:  // a plain 769 image: no marker block anywhere
      return MakeMatchingImage({5, 1}, layout);
  }
}

void PutAreaTag(std::uint8_t* sector, std::uint32_t reference) {
  sector[150] = 0x55;
  sector[151] = static_cast<std::uint8_t>(reference >> 24);
  sector[152] = static_cast<std::uint8_t>(reference >> 16);
  sector[153] = static_cast<std::uint8_t>(reference >> 8);
  sector[154] = static_cast<std::uint8_t>(reference);
  sector[155] = 0xAA;
}

std::uint32_t HddBankCrc(const std::uint8_t* data, std::size_t length) {
  // Byte by byte, most significant bit first, each group of four from its
  // last byte to its first.
  std::uint32_t crc = 0x52325032u;
  for (std::size_t group = 0; group + 4 <= length; group += 4) {
    for (std::size_t k = 4; k-- > 0;) {
      crc ^= static_cast<std::uint32_t>(data[group + k]) << 24;
      for (int bit = 0; bit < 8; ++bit)
        crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
  }
  return crc;
}

void PutHddBankStamp(Image& image, std::uint32_t bankEnd) {
  if (image.size() < bankEnd || bankEnd < 4) return;
  const std::uint32_t crc = HddBankCrc(image.data(), bankEnd - 4);
  for (int i = 0; i < 4; ++i) image[bankEnd - 4 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
}

bool WriteImageFile(const std::string& path, const Image& image) {
  host::File f = host::OpenFile(path.c_str(), "wb");
  if (!f) return false;
  if (!image.empty() && std::fwrite(image.data(), 1, image.size(), f.get()) != image.size()) {
    return false;
  }
  return std::fclose(f.release()) == 0;
}

std::string TempImagePath(const std::string& stem) {
  static std::mt19937_64 rng{std::random_device{}()};
  char suffix[20];
  std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(rng()));
  return (std::filesystem::temp_directory_path() / ("tx_" + stem + "_" + suffix + ".bin"))
      .string();
}

}  // namespace sim
