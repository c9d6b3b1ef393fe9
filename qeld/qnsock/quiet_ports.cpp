// The parked sockets of the process: a small list under one lock, and a thread that closes
// each when its time has passed. The thread starts with the first socket parked and ends
// when none is left, so an idle process holds neither sockets nor the thread.
#include "qnsock/quiet_ports.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace qeld {
namespace {

using Clock = std::chrono::steady_clock;

struct Parked {
  int fd;
  Clock::time_point until;
};

bool due_first(const Parked& a, const Parked& b) {
  return a.until < b.until;
}

struct Parking {
  std::mutex mutex;  // guards everything below but count
  std::condition_variable changed;
  std::vector<Parked> parked;
  std::thread reaper;
  bool reaping = false;  // the reaper is in its loop
  bool closing = false;  // the process is exiting
  std::atomic<int> count{0};

  // Under mutex.
  void close_due(Clock::time_point now) {
    const auto due = [now](const Parked& p) { return p.until <= now; };
    for (const Parked& p : parked)
      if (due(p)) ::close(p.fd);
    parked.erase(std::remove_if(parked.begin(), parked.end(), due), parked.end());
    count.store(static_cast<int>(parked.size()), std::memory_order_relaxed);
  }

  void reap_loop() {
    std::unique_lock lock(mutex);
    while (!closing) {
      close_due(Clock::now());
      if (parked.empty()) break;
      const auto next = std::min_element(parked.begin(), parked.end(), due_first)->until;
      changed.wait_until(lock, next);
    }
    // The last thing done under the lock: whoever sees this false may join at once.
    reaping = false;
  }

  // Under mutex.
  void start_reaper() {
    if (reaping || closing) return;
    if (reaper.joinable()) reaper.join();  // it has left its loop (reaping is false)
    reaping = true;
    reaper = std::thread([this] { reap_loop(); });
  }

  ~Parking() {
    {
      std::lock_guard lock(mutex);
      closing = true;
    }
    changed.notify_all();
    if (reaper.joinable()) reaper.join();
    std::lock_guard lock(mutex);
    close_due(Clock::time_point::max());
  }
};

Parking& parking() {
  static Parking p;
  return p;
}

}  // namespace

Clock::time_point quiet_end(const TimeoutBlock& timeouts, std::chrono::milliseconds least) {
  const int64_t attempts = timeouts.attempts < 1 ? 1 : timeouts.attempts;
  const std::chrono::milliseconds whole(attempts * static_cast<int64_t>(timeouts.timeout_ms));
  return Clock::now() + std::max(whole, least);
}

void park_socket(int fd, Clock::time_point until) {
  if (fd < 0) return;
  Parking& p = parking();
  const auto now = Clock::now();
  std::lock_guard lock(p.mutex);
  p.close_due(now);
  if (until <= now || p.closing) {
    ::close(fd);
    return;
  }
  if (p.parked.size() >= static_cast<std::size_t>(kMaxParkedSockets)) {
    auto first = std::min_element(p.parked.begin(), p.parked.end(), due_first);
    ::close(first->fd);
    p.parked.erase(first);
  }
  p.parked.push_back({fd, until});
  p.count.store(static_cast<int>(p.parked.size()), std::memory_order_relaxed);
  p.start_reaper();
  p.changed.notify_all();
}

void reap_parked_sockets() {
  Parking& p = parking();
  if (p.count.load(std::memory_order_relaxed) == 0) return;
  std::lock_guard lock(p.mutex);
  p.close_due(Clock::now());
}

void close_parked_sockets() {
  Parking& p = parking();
  std::thread reaper;
  {
    std::lock_guard lock(p.mutex);
    p.close_due(Clock::time_point::max());
    reaper = std::move(p.reaper);
  }
  p.changed.notify_all();  // the reaper finds nothing left and ends
  if (reaper.joinable()) reaper.join();
}

int parked_socket_count() {
  return parking().count.load(std::memory_order_relaxed);
}

}  // namespace qeld
