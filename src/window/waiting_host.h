// The host seen by the window's events: the installed host's pieces, with a
// clock whose waits go through a function (the window
// system's Wait), which may keep the window alive while the time passes.
#pragma once

#include <functional>
#include <utility>

#include "host/host.h"

namespace app {

class WaitingClock : public host::Clock {
 public:
  // wait(ms, inner) lets ms pass on the inner clock.
  using WaitFunction = std::function<void(std::uint32_t, host::Clock&)>;
  WaitingClock(host::Clock& inner, WaitFunction wait) : inner_(inner), wait_(std::move(wait)) {}

  void Sleep(std::uint32_t milliseconds) override { wait_(milliseconds, inner_); }

  std::uint64_t MonotonicMs() override { return inner_.MonotonicMs(); }

 private:
  host::Clock& inner_;
  WaitFunction wait_;
};

class WaitingHost : public host::ForwardingHost {
 public:
  using WaitFunction = WaitingClock::WaitFunction;
  WaitingHost(host::Host& inner, WaitFunction wait)
      : ForwardingHost(inner), clock_(inner.clock(), std::move(wait)) {}

  host::Clock& clock() override { return clock_; }

 private:
  WaitingClock clock_;
};

}  // namespace app
