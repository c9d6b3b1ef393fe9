// The polling thread: one per LAN of a monitored server. It reads the port modes
// and, for ports in the "Redundant COM" mode, their connection records, writes
// them into the server's record and keeps its LAN's online bit current.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "core/server_record.h"

namespace tavrix {

inline constexpr uint32_t kInTimeLimitMs = 1500;

// Millisecond tick from the steady clock, wrapping at 2^32.
uint32_t tick_ms();
// True when now - t0, taken on unsigned 32-bit ticks, is at most the in-time limit.
bool within_limit(uint32_t t0, uint32_t now);
// 15 for a model of text set A, 22 otherwise: the code of "Redundant COM".
int supported_mode(uint16_t model_id);

}  // namespace tavrix

// What a poller needs of whoever runs it, and nothing more: the refresh period, a
// pause that a stop request cuts short, the stop-all flag, and the report of its end.
class TPollerHost {
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
  ~TPollerHost() = default;
};

class TUpdateThread {
 public:
  // The record is taken by the window thread when the poller is started and held for
  // the whole run, so a later change of the server list does not touch this thread.
  TUpdateThread(TPollerHost& host, std::shared_ptr<_SVRINFO> record, int server_index, int lan);
  ~TUpdateThread();  // asks the thread to stop and joins it
  TUpdateThread(const TUpdateThread&) = delete;
  TUpdateThread& operator=(const TUpdateThread&) = delete;

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
  void Execute();
  bool stop_requested() const;
  void mark_in_time(uint32_t t0, bool succeeded);

  TPollerHost& host_;
  std::shared_ptr<_SVRINFO> record_;
  std::atomic<bool> ended_{false};
  std::thread thread_;
};
