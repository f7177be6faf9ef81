#include "engine/guarded_steps.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "texts.h"

namespace program {

namespace {


bool Allocate(std::vector<std::uint8_t>& buffer, std::size_t size) {
  try {
    buffer.assign(size, 0);
    return true;
  } catch (const std::bad_alloc&) {
    buffer.clear();
    return false;
  }
}

}  // namespace

void PutStatus(RunWindow& window, StatusPaint paint, const char* text) {
  if (text == nullptr) return;
  if (paint == StatusPaint::Repaint)
    window.RepaintStatus(text);
  else
    window.ShowStatus(text);
}

bool IsBlank(const std::uint8_t* data, std::size_t length) {
  return std::all_of(data, data + length, [](std::uint8_t byte) { return byte == 0xFF; });
}

device::AtaRangeResult AtaEraseBlankChecked(const char* path, std::int32_t length,
                                            std::uint32_t readyLimitMs) {
  // Room for the read-back first: an erase that could not be checked is not sent.
  std::vector<std::uint8_t> readBack;
  if (length < 0 || !Allocate(readBack, static_cast<std::size_t>(length)))
    return device::kAtaAllocateFailed;
  const device::AtaRangeResult erased = device::AtaEraseChipAndWait(path, readyLimitMs);
  if (erased != device::kAtaRangeOk) return erased;
  if (device::AtaReadFlashRange(path, 0, readBack.data(), length) != device::kAtaRangeOk)
    return device::kAtaReadCommandFailed;
  return IsBlank(readBack.data(), readBack.size()) ? device::kAtaRangeOk : device::kAtaNotBlank;
}

bool RequireBlank(RunWindow& window, const std::uint8_t* data, std::size_t length,
                  FailureText failure) {
  if (IsBlank(data, length)) return true;
  PutStatus(window, failure.paint, failure.text);
  return false;
}

bool RequireEqual(RunWindow& window, const std::uint8_t* expected, const std::uint8_t* actual,
                  std::size_t length, FailureText failure) {
  if (std::memcmp(expected, actual, length) == 0) return true;
  PutStatus(window, failure.paint, failure.text);
  return false;
}

KeptRegion::KeptRegion(RunWindow& window, std::size_t size, RegionAccess access,
                       KeptRegionTexts texts)
    : window_(window), access_(std::move(access)), texts_(texts) {
  (void)Allocate(copy_, size);
  if (copy_.empty()) copy_.shrink_to_fit();
  wanted_ = size;
}

KeptRegion::~KeptRegion() { RestoreAfterFailure(); }

bool KeptRegion::Save(bool quiet) {
  std::vector<std::uint8_t> check;
  if (copy_.size() != wanted_ || !Allocate(check, wanted_)) {
    if (!quiet) PutStatus(window_, texts_.paint, kAllocateBuffersError);
    return false;
  }
  if (!ReadTwiceAgreeing(access_.read, copy_.data(), check.data(), wanted_)) {
    if (!quiet) PutStatus(window_, texts_.paint, texts_.saveFailed);
    return false;
  }
  saved_ = true;
  return true;
}

bool KeptRegion::Restore() {
  if (!atRisk_) return true;
  atRisk_ = false;
  const WriteBack written = access_.write(copy_.data());
  if (written == WriteBack::AlreadyInPlace) return true;
  if (written == WriteBack::Failed) {
    PutStatus(window_, texts_.paint, texts_.writeBackFailed);
    return false;
  }
  const char* readBackFailed =
      texts_.readBackFailed != nullptr ? texts_.readBackFailed : texts_.writeBackFailed;
  std::vector<std::uint8_t> check;
  const auto& read = access_.readBack ? access_.readBack : access_.read;
  if (!Allocate(check, copy_.size()) || !read(check.data())) {
    PutStatus(window_, texts_.paint, readBackFailed);
    return false;
  }
  if (check != copy_) {
    PutStatus(window_, texts_.paint,
              texts_.compareFailed != nullptr ? texts_.compareFailed : readBackFailed);
    return false;
  }
  if (access_.restored) access_.restored();
  return true;
}

void KeptRegion::RestoreAfterFailure() {
  if (!atRisk_) return;
  const std::string text = window_.StatusText();
  if (Restore() && texts_.reshowFailure) PutStatus(window_, texts_.paint, text.c_str());
}

}  // namespace program
