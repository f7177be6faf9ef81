#include "identify/image_report.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "host/stdio_file.h"

namespace identify {

namespace {

constexpr std::uint32_t kMarkerOffsets[] = {0,
                                            kLayoutMarkerOffset,
                                            kNvramMarkerOffset,
                                            kMakerMarkerOffset,
                                            kTail927MarkerOffset,
                                            kTail929MarkerOffset};

std::vector<MarkerBlock> FindMarkers(ImageBytes image) {
  std::vector<MarkerBlock> found;
  for (const std::uint32_t at : kMarkerOffsets) {
    if (at >= image.size) continue;
    const std::uint8_t* b = image.data + at;
    const std::size_t n = std::min<std::size_t>(10, image.size - at);
    const auto starts = [&](std::initializer_list<std::uint8_t> prefix) {
      return n >= prefix.size() && std::equal(prefix.begin(), prefix.end(), b);
    };
    MarkerBlock m;
    if (starts({0x55, 0xAA, 0xAA, 0x55})) {
      m.kind = "bridge";
    } else if (starts({0x55, 0xAA, 0x54, 0x58})) {
      m.kind = "maker";
    } else if (starts({0xE9, 0xAC, 0x67})) {
      m.kind = "layout";
    } else if (starts({0x55, 0xAA})) {
      m.kind = "55 AA";
    } else {
      continue;
    }
    m.offset = at;
    m.bytes.assign(b, b + n);
    for (std::size_t i = 4; i < 8 && i < n && b[i] != 0; ++i) m.text += static_cast<char>(b[i]);
    found.push_back(std::move(m));
  }
  return found;
}

ChipVerdict Judge(ImageBytes image, int chipType) {
  ChipVerdict v;
  v.chipType = chipType;
  const auto type = static_cast<std::uint8_t>(chipType);
  v.decision = ExplainImageMatch(image, {type, 0});
  int accepted = 0;
  for (int r = std::numeric_limits<std::int8_t>::min();
       r <= std::numeric_limits<std::int8_t>::max(); ++r) {
    if (!ExplainImageMatch(image, {type, static_cast<std::int8_t>(r)}).accepted) continue;
    ++accepted;
    v.subCodes.push_back(r);
  }
  if (accepted == 256) {
    v.acceptance = Acceptance::EverySubCode;
    v.subCodes.clear();
  } else if (accepted > 0) {
    v.acceptance = Acceptance::SomeSubCodes;
  }
  v.decision.accepted = accepted > 0;
  v.nvramMarker = NvramMarkerOffset(image, chipType);
  return v;
}

ImageFileProblem ProblemOfKind(host::FileKind kind) {
  switch (kind) {
    case host::FileKind::Missing: return ImageFileProblem::Missing;
    case host::FileKind::Inaccessible: return ImageFileProblem::Inaccessible;
    case host::FileKind::Folder: return ImageFileProblem::Folder;
    case host::FileKind::Pipe: return ImageFileProblem::Pipe;
    case host::FileKind::Device: return ImageFileProblem::Device;
    case host::FileKind::Other: return ImageFileProblem::NotRegular;
    case host::FileKind::Regular: break;
  }
  return ImageFileProblem::None;
}

}  // namespace

ImageFileProblem InspectImageFile(const std::string& fileName, ImageInspection& inspection) {
  inspection = ImageInspection{};
  inspection.fileName = fileName;
  if (const ImageFileProblem p = ProblemOfKind(host::KindOfFile(fileName.c_str()));
      p != ImageFileProblem::None)
    return p;
  host::File file = host::OpenRegularFile(fileName.c_str());
  // Gone or replaced by something else since it was looked at.
  if (!file) return ImageFileProblem::Inaccessible;
  std::uint64_t length = 0;
  if (!host::FileLength(file.get(), length)) return ImageFileProblem::ReadFailed;
  if (length == 0) return ImageFileProblem::Empty;
  if (length > kLongestInspected) return ImageFileProblem::TooLong;
  inspection.length = length;

  // The whole file where the checksum check would sum it; otherwise only
  // what the match check reads.
  const bool whole = length <= kLargestSummedImage;
  const auto held = static_cast<std::size_t>(whole ? length : kMatchedPrefix);
  std::unique_ptr<std::uint8_t[]> bytes(new (std::nothrow) std::uint8_t[held]);
  if (!bytes) return ImageFileProblem::NoMemory;
  if (std::fread(bytes.get(), 1, held, file.get()) != held || std::ferror(file.get()) != 0)
    return ImageFileProblem::ReadFailed;
  file.reset();

  const ImageBytes image{bytes.get(), held};
  if (whole) {
    inspection.checksum = ExplainChecksum(image);
  } else {
    inspection.checksum.state = ChecksumState::TooLong;
  }
  inspection.markers = FindMarkers(image);
  for (int t = 1; t <= kMaxChipType; ++t) inspection.chips.push_back(Judge(image, t));
  return ImageFileProblem::None;
}

const char* ImageFileProblemText(ImageFileProblem problem) {
  switch (problem) {
    case ImageFileProblem::None: return "";
    case ImageFileProblem::Missing: return "does not exist";
    case ImageFileProblem::Inaccessible: return "cannot be opened";
    case ImageFileProblem::Folder: return "is a folder, not a file";
    case ImageFileProblem::Pipe: return "is a pipe, not a file";
    case ImageFileProblem::Device: return "is a device, not a file";
    case ImageFileProblem::NotRegular: return "is not a regular file";
    case ImageFileProblem::Empty: return "is empty";
    case ImageFileProblem::TooLong: return "is longer than 4 GiB";
    case ImageFileProblem::ReadFailed: return "cannot be read";
    case ImageFileProblem::NoMemory: return "cannot be held in memory";
  }
  return "";
}

}  // namespace identify
