#include "scsi/vendor_frame.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "scsi/passthrough.h"

namespace device {

Result SendIn(const char* path, const Cdb& cdb, void* buffer, std::int32_t length,
           std::int32_t* transferred) {
  std::int32_t moved = 0;
  const Result sent = ScsiPassThroughIn(path, cdb.data(), kCdbLength, buffer, length, &moved);
  if (transferred != nullptr) *transferred = moved;
  return sent;
}

Result SendOut(const char* path, const Cdb& cdb, const void* data, std::uint32_t length) {
  std::int32_t moved = 0;
  if (data == nullptr || length == 0)
    return ScsiPassThroughOut(path, cdb.data(), kCdbLength, nullptr, length, &moved);
  // The carrier copies its transfer buffer back into the caller's after the
  // exchange; a private copy keeps that from writing into read-only data.
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::vector<std::uint8_t> copy(bytes, bytes + length);
  return ScsiPassThroughOut(path, cdb.data(), kCdbLength, copy.data(), length, &moved);
}

namespace {

void AbortWithText(const char* text) {
  std::fprintf(stderr, "%s\n", text);
  std::fflush(stderr);
  std::abort();
}

AssertionHandler g_assertionHandler = AbortWithText;

}  // namespace

AssertionHandler SetAssertionHandler(AssertionHandler handler) {
  AssertionHandler previous = g_assertionHandler;
  g_assertionHandler = handler != nullptr ? handler : AbortWithText;
  return previous;
}

void AssertionFailed(const char* condition, const char* file, int line) {
  const std::string text = std::string("Assertion failed: ") + condition + ", file " + file +
                           ", line " + std::to_string(line);
  g_assertionHandler(text.c_str());
}

}  // namespace device
