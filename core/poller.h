// The polling thread: one per LAN of a monitored server. It runs the LAN's poll cycle
// (core/poll_cycle) every refresh period until it is stopped.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "core/poll_cycle.h"
#include "core/server_record.h"

namespace tavrix {

// What a poller needs of whoever runs it, and nothing more: the refresh period, a
// pause that a stop request cuts short, the stop-all flag, and the report of its end.
class PollerHost {
 public:
  virtual int refresh_seconds() const = 0;
  virtual bool stop_all() const = 0;
  // Sleeps up to ms; true (early) once `stop` or the stop-all flag is set.
  virtual bool pause(const std::atomic<int>& stop, int ms) = 0;
  // Wakes every poller asleep in its pause so that it rechecks its stop flags.
  virtual void wake_pollers() = 0;
  // Called once by each poller as its thread leaves its loop.
  virtual void poller_leave() = 0;

 protected:
  ~PollerHost() = default;
};

class Poller {
 public:
  // The record is taken by the window thread when the poller is started and held for
  // the whole run, so a later change of the server list does not touch this thread.
  Poller(tavrix::PollerHost& host, std::shared_ptr<tavrix::ServerRecord> record, int server_index, int lan);
  ~Poller();  // asks the thread to stop and joins it
  Poller(const tavrix::Poller&) = delete;
  tavrix::Poller& operator=(const tavrix::Poller&) = delete;

  void start();
  // Sets `stop` and wakes the thread if it sleeps in its pause. Does not wait.
  void request_stop();
  // True once the loop has been left (the thread may still be returning).
  bool ended() const { return ended_.load(std::memory_order_acquire); }
  void join();

  const int server_index;
  const int lan;  // 0: handle1, bit 0 of online; 1: handle2, bit 1
  std::atomic<int> stop{0};

 private:
  void run();
  bool stop_requested() const;

  tavrix::PollerHost& host_;
  std::shared_ptr<tavrix::ServerRecord> record_;
  std::atomic<bool> ended_{false};
  std::thread thread_;
};

}  // namespace tavrix
