#include "scsi/passthrough.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

namespace device {

// Test hook: when nonzero, the next that many padded allocations succeed and
// the one after fails. Lets tests prove a failed allocation sends nothing.
int g_allocationsBeforeFailure = -1;

void* AllocPadded(std::size_t n, std::size_t alignment) {
  if (g_allocationsBeforeFailure == 0) {
    g_allocationsBeforeFailure = -1;
    return nullptr;
  }
  if (g_allocationsBeforeFailure > 0) --g_allocationsBeforeFailure;
  return std::calloc(n + alignment, 1);
}

std::uintptr_t AlignUp(std::uintptr_t address, std::size_t alignment) {
  return (address + alignment - 1) / alignment * alignment;
}

void FreePadded(void* allocation) { std::free(allocation); }

std::uint32_t OutTimeoutFor(const std::uint8_t* cdb) {
  if (cdb[2] == 0x13) return kTimeoutLongOut;
  if (cdb[11] == 0xFB && cdb[1] == 0x03) return kTimeoutLongOut;
  return kTimeoutOut;
}

namespace {

// Fills the request record as both carriers send it.
host::PassThroughRequest* BuildRequest(PaddedBuffer& block, const std::uint8_t* cdb,
                                       int cdbLength, bool dataIn, std::uint32_t transferLength,
                                       void* dataBuffer, std::uint32_t timeout) {
  auto* request = new (block.data()) host::PassThroughRequest();
  request->length = kRequestLength;
  request->targetId = 1;
  request->cdbLength = static_cast<std::uint8_t>(cdbLength);
  request->dataIn = dataIn ? 1 : 0;
  request->dataTransferLength = transferLength;
  request->timeOutValue = timeout;
  request->dataBuffer = dataBuffer;
  request->senseInfoOffset = kSenseInfoOffset;
  const int n = cdbLength > 16 ? 16 : (cdbLength < 0 ? 0 : cdbLength);
  std::memcpy(request->cdb, cdb, static_cast<std::size_t>(n));
  return request;
}

std::uint32_t RoundedLength(std::uint32_t length) { return length == 1 ? 2 : length; }

// One exchange's device handle and padded buffers, taken in this order: the
// handle (read-write, with the given sharing), the request record, and the
// data buffer (none for a transfer of 0). Not ready when any could not be had;
// nothing is sent then.
struct OpenExchange {
  OpenExchange(const char* path, std::uint32_t share, std::uint32_t transferLength)
      : handle(io, io.OpenDevice(path, host::kGenericRead | host::kGenericWrite, share, lastError)) {
    if (!handle.valid()) return;
    request.emplace(kRequestAllocation);
    if (!request->ok() || transferLength == 0) return;
    data.emplace(transferLength);
  }
  bool ready() const {
    return handle.valid() && request && request->ok() && (!data || data->ok());
  }
  std::uint8_t* dataBuffer() const { return data ? data->data() : nullptr; }

  host::PassThroughIo& io = host::Current().passThrough();
  std::uint32_t lastError = 0;
  host::DeviceHandle handle;
  std::optional<PaddedBuffer> request;
  std::optional<PaddedBuffer> data;
};

}  // namespace

Result ScsiPassThroughIn(const char* path, const std::uint8_t* cdb, int cdbLength, void* buffer,
                      std::int32_t length, std::int32_t* transferred) {
  const std::uint32_t wanted = length > 0 ? static_cast<std::uint32_t>(length) : 0;
  const std::uint32_t transferLength = RoundedLength(wanted);
  OpenExchange x(path, host::kShareRead | host::kShareWrite, transferLength);
  if (!x.ready()) return Result::Failed();
  host::PassThroughRequest* request = BuildRequest(*x.request, cdb, cdbLength, true,
                                                   transferLength, x.dataBuffer(), kTimeoutIn);

  const bool ok = x.io.PassThrough(x.handle.get(), *request, x.lastError);
  // Copied whatever the outcome: after a failure the caller sees zeros or the
  // part the device delivered, never what the buffer held before.
  if (wanted > 0 && buffer != nullptr) std::memcpy(buffer, x.dataBuffer(), wanted);
  if (transferred != nullptr) *transferred = static_cast<std::int32_t>(request->dataTransferLength);
  const std::uint8_t status = request->scsiStatus;
  x.handle.Close();
  return Result::Of(ok && x.lastError == 0 && status == 0);
}

Result ScsiPassThroughOut(const char* path, const std::uint8_t* cdb, int cdbLength, void* data,
                       std::uint32_t length, std::int32_t* transferred) {
  const std::uint32_t transferLength = RoundedLength(length);
  OpenExchange x(path, 0, transferLength);
  if (!x.ready()) return Result::Failed();
  if (transferLength > 0) {
    std::memset(x.dataBuffer(), 0, transferLength < 4 ? transferLength : 4);
    if (data != nullptr) std::memcpy(x.dataBuffer(), data, length);
  }
  host::PassThroughRequest* request = BuildRequest(
      *x.request, cdb, cdbLength, false, transferLength, x.dataBuffer(), OutTimeoutFor(cdb));

  const bool ok = x.io.PassThrough(x.handle.get(), *request, x.lastError);
  x.handle.Close();
  if (length > 0 && data != nullptr) std::memcpy(data, x.dataBuffer(), length);
  if (transferred != nullptr) *transferred = static_cast<std::int32_t>(request->dataTransferLength);
  const std::uint8_t status = request->scsiStatus;
  return Result::Of(ok && x.lastError == 0 && status == 0);
}

bool GetDeviceNumber(const char* path, host::DeviceNumber* number) {
  host::PassThroughIo& h = host::Current().passThrough();
  std::uint32_t lastError = 0;
  host::DeviceHandle handle(h, h.OpenDevice(path, 0, 0, lastError));
  if (!handle.valid()) return false;
  host::DeviceNumber result;
  const bool ok = h.QueryDeviceNumber(handle.get(), result, lastError);
  if (number != nullptr) *number = result;
  return ok && lastError == 0;
}

}  // namespace device
