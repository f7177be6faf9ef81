// The host seen by the window's events: every service is the installed
// host's, except that a wait goes through a function (the window system's
// Wait), which may keep the window alive while the time passes.
#pragma once

#include <functional>
#include <utility>

#include "host/forwarding_host.h"

namespace app {

class WaitingHost : public host::ForwardingHost {
 public:
  // wait(ms, inner) lets ms pass on the inner host's clock.
  using WaitFunction = std::function<void(std::uint32_t, host::Host&)>;
  WaitingHost(host::Host& inner, WaitFunction wait)
      : ForwardingHost(inner), wait_(std::move(wait)) {}

  void Sleep(std::uint32_t milliseconds) override { wait_(milliseconds, inner()); }

 private:
  WaitFunction wait_;
};

}  // namespace app
