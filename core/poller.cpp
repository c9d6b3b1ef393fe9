// The polling thread's loop: a poll cycle and the pause, through one kept socket set.
// A cycle allocates nothing.
#include "core/poller.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "qeld/query.h"

tavrix::Poller::Poller(tavrix::PollerHost& host, std::shared_ptr<tavrix::ServerRecord> record, int server_index,
                             int lan)
    : server_index(server_index), lan(lan), host_(host), record_(std::move(record)) {}

tavrix::Poller::~Poller() {
  request_stop();
  join();
}

void tavrix::Poller::start() {
  thread_ = std::thread([this] { run(); });
}

void tavrix::Poller::request_stop() {
  stop.store(1, std::memory_order_relaxed);
  host_.wake_pollers();
}

void tavrix::Poller::join() {
  if (thread_.joinable()) thread_.join();
}

bool tavrix::Poller::stop_requested() const {
  return stop.load(std::memory_order_relaxed) != 0 || host_.stop_all();
}

void tavrix::Poller::run() {
  // The running-poller count was raised by start_poller, before this thread existed,
  // so a waiter never misses a poller that has not yet reached its loop.
  // Kept for the whole run: a socket set per query cost more than the exchange itself.
  qeld::QueryChannel channel;
  // A stop ends a query at its next resend, not after all of its attempts.
  tavrix::core::CycleLimits limits;
  limits.cancel = [](const void* self) {
    return static_cast<const tavrix::Poller*>(self)->stop_requested();
  };
  limits.cancel_arg = this;

  while (!stop_requested()) {
    tavrix::core::poll_lan_cycle(*record_, lan, channel, limits);
    if (stop_requested()) break;
    // Never below a second: a zero pause would turn the loop into a flood of requests.
    const int seconds = std::clamp(host_.refresh_seconds(), 1, 99);
    if (host_.pause(stop, seconds * 1000)) break;
  }

  channel.close();  // before the count drops, so a waiter for the count sees the sockets gone
  record_->online.store(0, std::memory_order_relaxed);
  ended_.store(true, std::memory_order_release);
  host_.poller_leave();
}
