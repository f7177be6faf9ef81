// Firmware images for tests and the demo: images the image checks accept for
// a chip type and revision, and the edits that make them refuse. Not part of
// the product.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

using Image = std::vector<std::uint8_t>;

// A chip as identification names it: chip type code and sub-code.
struct ChipCode {
  std::uint8_t type = 0;
  std::int8_t subCode = 0;
};

struct ImageLayout {
  std::size_t size = 0x8000;  // raised to 0x10000 where the marker lies beyond 32 KB
  // Chips 6, 8, 9, 11, 14, 15: the chip marker at 0x1000 behind a 4 KB
  // NVRAM area instead of at 0.
  bool nvramArea = false;
  bool checksum = true;  // store the 8-bit sum in the last byte (32 or 64 KB images)
  // Where "ENDSTR" 0x55 0xAA goes in images that close their sum with it
  // ("779" revision 3 and up); the search limit in bytes 12..13 lies past it.
  std::size_t endMarkerAt = 0x5000;
};

// An image the checks accept for chip; empty when no image can match (chip
// types 0, 18 and above 24; type 7 other than sub-codes 1 and 2).
Image MakeMatchingImage(ChipCode chip, const ImageLayout& layout = {});

// An image of another chip that the checks must refuse for chip; empty for
// the chip types that accept any image (3, 20..23).
Image MakeRefusedImage(ChipCode chip, std::size_t size = 0x8000);

// Code-like filler that carries no marker.
void FillCode(Image& image, std::uint32_t seed);
// 0x55 0xAA 0xAA 0x55, four characters and a revision byte at offset.
void PutBridgeMarker(Image& image, std::size_t offset, const char* text4, std::uint8_t revision);
// 0x55 0xAA 0x54 0x58 and four characters at offset (chip types 17 and 19).
void PutMakerMarker(Image& image, std::size_t offset, const char* text4);
// 0xE9 0xAC 0x67 0x32 and four characters at 0x80 (chip types 10 and 13).
void PutLayout80(Image& image, const char* text4);
// The end marker at offset, with the search limit in bytes 12..13.
void PutEndMarker(Image& image, std::size_t offset, std::uint16_t limit);
// The 8-bit sum of the summed range into 0x7FFF (0xFFFF for 64 KB images);
// the range ends with the end marker in images that use one.
void PutChecksum(Image& image);

// The tag a disk-area chip keeps in the first sector of its area: 0x55, the
// area reference big-endian, 0xAA at offsets 150..155.
void PutAreaTag(std::uint8_t* sector, std::uint32_t reference);
// The stamp a controller keeping its bank on the disk checks: the CRC-32
// (polynomial 0x04C11DB7, start 0x52325032, no final XOR) of the bank's
// first bankEnd - 4 bytes, each group of four fed in the order 3, 2, 1, 0,
// stored little-endian in the bank's last four bytes.
void PutHddBankStamp(Image& image, std::uint32_t bankEnd);
std::uint32_t HddBankCrc(const std::uint8_t* data, std::size_t length);

bool WriteImageFile(const std::string& path, const Image& image);

// A path in the system's temporary folder, unique within the process run.
std::string TempImagePath(const std::string& stem);

}  // namespace sim
