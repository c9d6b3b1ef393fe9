// The parked sockets of the process: a small list under one lock, reaped whenever a
// socket set is made ready, opened or parked, so a polling process never holds one long
// past its time.
#include "qnsock/quiet_ports.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace qeld {
namespace {

using Clock = std::chrono::steady_clock;

struct Parked {
  int fd;
  Clock::time_point until;
};

// Guards g_parked; taken by any thread that parks, reaps or closes.
std::mutex g_mutex;
std::vector<Parked> g_parked;
std::atomic<int> g_count{0};

// Under g_mutex.
void close_due(Clock::time_point now) {
  const auto due = [now](const Parked& p) { return p.until <= now; };
  for (const Parked& p : g_parked)
    if (due(p)) ::close(p.fd);
  g_parked.erase(std::remove_if(g_parked.begin(), g_parked.end(), due), g_parked.end());
  g_count.store(static_cast<int>(g_parked.size()), std::memory_order_relaxed);
}

}  // namespace

void park_socket(int fd, Clock::time_point until) {
  if (fd < 0) return;
  const auto now = Clock::now();
  std::lock_guard lock(g_mutex);
  close_due(now);
  if (until <= now) {
    ::close(fd);
    return;
  }
  if (g_parked.size() >= static_cast<std::size_t>(kMaxParkedSockets)) {
    auto first =
        std::min_element(g_parked.begin(), g_parked.end(),
                         [](const Parked& a, const Parked& b) { return a.until < b.until; });
    ::close(first->fd);
    g_parked.erase(first);
  }
  g_parked.push_back({fd, until});
  g_count.store(static_cast<int>(g_parked.size()), std::memory_order_relaxed);
}

void reap_parked_sockets() {
  if (g_count.load(std::memory_order_relaxed) == 0) return;
  std::lock_guard lock(g_mutex);
  close_due(Clock::now());
}

void close_parked_sockets() {
  std::lock_guard lock(g_mutex);
  close_due(Clock::time_point::max());
}

int parked_socket_count() {
  return g_count.load(std::memory_order_relaxed);
}

}  // namespace qeld
