// What passes through the host while the console works: every command block
// with its outcome, every open that failed (nothing was sent then) and every
// wait. The support log and the progress line watch it. The watched host
// hands each request on untouched and only reads it afterwards, so watching
// never changes what is sent.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "host/forwarding_io.h"

namespace app {

struct CommandSeen {
  const std::string* path = nullptr;
  bool dataIn = false;
  std::uint32_t length = 0;  // the transfer length asked for
  std::uint8_t cdb[16] = {};
  int cdbLength = 0;
  bool ok = false;  // the platform's answer
  std::uint32_t lastError = 0;
  std::uint8_t status = 0;  // SCSI status
  std::uint32_t moved = 0;  // bytes the platform says it moved
  std::uint8_t sense[32] = {};
  std::size_t senseLength = 0;
  double seconds = 0;  // how long the platform took
};

class HostWatcher {
 public:
  virtual ~HostWatcher() = default;
  virtual void Command(const CommandSeen& command) = 0;
  virtual void OpenFailed(const std::string& /*path*/, std::uint32_t /*lastError*/) {}
  virtual void Waited(std::uint32_t /*milliseconds*/) {}
};

// The installed host's pass-through, watched.
class WatchedIo : public host::ForwardingPassThrough {
 public:
  WatchedIo(host::PassThroughIo& inner, const std::vector<HostWatcher*>& watchers)
      : ForwardingPassThrough(inner), watchers_(watchers) {}

  host::Handle OpenDevice(const char* path, std::uint32_t access, std::uint32_t share,
                          std::uint32_t& lastError) override {
    const host::Handle handle = inner().OpenDevice(path, access, share, lastError);
    if (handle == host::kInvalidHandle) {
      for (HostWatcher* w : watchers_) w->OpenFailed(path, lastError);
    } else {
      paths_[handle] = path;
    }
    return handle;
  }

  bool PassThrough(host::Handle handle, host::PassThroughRequest& request,
                   std::uint32_t& lastError) override {
    CommandSeen seen;
    const auto path = paths_.find(handle);
    seen.path = path != paths_.end() ? &path->second : &unknown_;
    seen.dataIn = request.dataIn != 0;
    seen.length = request.dataTransferLength;
    seen.cdbLength = request.cdbLength < 16 ? request.cdbLength : 16;
    std::copy(request.cdb, request.cdb + seen.cdbLength, seen.cdb);
    const auto start = std::chrono::steady_clock::now();
    seen.ok = inner().PassThrough(handle, request, lastError);
    seen.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    seen.lastError = lastError;
    seen.status = request.scsiStatus;
    seen.moved = request.dataTransferLength;
    seen.senseLength = inner().LastSense(seen.sense, sizeof seen.sense);
    for (HostWatcher* w : watchers_) w->Command(seen);
    return seen.ok;
  }

  void CloseDevice(host::Handle handle) override {
    paths_.erase(handle);
    inner().CloseDevice(handle);
  }

 private:
  const std::vector<HostWatcher*>& watchers_;
  std::map<host::Handle, std::string> paths_;
  const std::string unknown_ = "?";
};

// The installed host's clock, watched.
class WatchedClock : public host::Clock {
 public:
  WatchedClock(host::Clock& inner, const std::vector<HostWatcher*>& watchers)
      : inner_(inner), watchers_(watchers) {}

  void Sleep(std::uint32_t milliseconds) override {
    for (HostWatcher* w : watchers_) w->Waited(milliseconds);
    inner_.Sleep(milliseconds);
  }

  std::uint64_t MonotonicMs() override { return inner_.MonotonicMs(); }

 private:
  host::Clock& inner_;
  const std::vector<HostWatcher*>& watchers_;
};

// The installed host with its pass-through and its clock watched; its other
// pieces are the inner host's own.
class WatchedHost : public host::ForwardingHost {
 public:
  WatchedHost(host::Host& inner, std::vector<HostWatcher*> watchers)
      : ForwardingHost(inner),
        watchers_(std::move(watchers)),
        io_(inner.passThrough(), watchers_),
        clock_(inner.clock(), watchers_) {}
  WatchedHost(const WatchedHost&) = delete;
  WatchedHost& operator=(const WatchedHost&) = delete;

  host::PassThroughIo& passThrough() override { return io_; }
  host::Clock& clock() override { return clock_; }

 private:
  std::vector<HostWatcher*> watchers_;  // before the pieces that refer to it
  WatchedIo io_;
  WatchedClock clock_;
};

}  // namespace app
