#include "host/linux_hotplug.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string_view>

namespace host {

namespace {

constexpr std::uint32_t kSettleMs = 500;  // a device's events come in a burst
constexpr std::uint32_t kPollStepMs = 500;

std::uint64_t NowMs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

void SleepMs(std::uint32_t ms) {
  timespec wait{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

}  // namespace

bool IsStorageUevent(const char* message, std::size_t length) {
  bool storage = false, change = false;
  std::size_t start = 0;
  while (start < length) {
    const std::size_t end = std::find(message + start, message + length, '\0') - message;
    const std::string_view field(message + start, end - start);
    if (field == "SUBSYSTEM=block" || field == "SUBSYSTEM=scsi_generic") storage = true;
    if (field == "ACTION=add" || field == "ACTION=remove") change = true;
    start = end + 1;
  }
  return storage && change;
}

std::vector<std::string> BlockNames(const std::string& root) {
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(root + "/sys/block", ec), end; !ec && it != end;
       it.increment(ec))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

DeviceWatch::DeviceWatch(std::string root) : root_(std::move(root)) {
  // Only a real system has a kernel to listen to.
  if (root_.empty()) {
    socket_ = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
    if (socket_ >= 0) {
      sockaddr_nl address{};
      address.nl_family = AF_NETLINK;
      address.nl_groups = 1;  // the kernel's own events
      // Room for a hub's worth of events; events lost anyway show as ENOBUFS.
      const int room = 1 << 20;
      setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
      if (bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(socket_);
        socket_ = -1;
      }
    }
  }
  names_ = BlockNames(root_);
}

DeviceWatch::~DeviceWatch() {
  if (socket_ >= 0) close(socket_);
}

bool DeviceWatch::Wait(std::uint32_t milliseconds) {
  const std::uint64_t deadline = NowMs() + milliseconds;
  if (socket_ < 0) {
    for (;;) {
      std::vector<std::string> now = BlockNames(root_);
      if (now != names_) {
        names_ = std::move(now);
        return true;
      }
      const std::uint64_t t = NowMs();
      if (t >= deadline) return false;
      SleepMs(static_cast<std::uint32_t>(std::min<std::uint64_t>(kPollStepMs, deadline - t)));
    }
  }
  bool changed = false;
  std::uint64_t until = deadline;
  char message[8192];
  for (;;) {
    const std::uint64_t t = NowMs();
    if (t >= until) break;
    pollfd p{socket_, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(until - t));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    for (;;) {
      const ssize_t n = recv(socket_, message, sizeof message, 0);
      // A full buffer lost events: something may have come or gone.
      if (n < 0 && errno == ENOBUFS) {
        changed = true;
        until = NowMs() + kSettleMs;
        continue;
      }
      if (n <= 0) break;
      if (IsStorageUevent(message, static_cast<std::size_t>(n)) && !changed) {
        changed = true;
      }
      // After the first storage event, wait until the burst has passed.
      if (changed) until = NowMs() + kSettleMs;
    }
  }
  names_ = BlockNames(root_);
  return changed;
}

}  // namespace host
