// The search worker: runs one broadcast or one-address search on its own thread,
// handing each reply to the callback that the server list gave it.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "qeld/search_engine.h"

namespace tavrix {

class SearchWorker {
 public:
  SearchWorker() = default;
  ~SearchWorker();  // joins; the owner aborts the search first so this ends within a wait
  SearchWorker(const tavrix::SearchWorker&) = delete;
  tavrix::SearchWorker& operator=(const tavrix::SearchWorker&) = delete;

  qeld::ReplyCallback reply_callback;
  int by_ip = 0;        // 1: search `target` only; anything else: broadcast
  uint32_t target = 0;  // network byte order
  int timeout_seconds = 0;
  std::atomic<uint8_t> finished{0};  // 1 once the search call has returned

  void start();
  void join();
  bool is_finished() const { return finished.load(std::memory_order_acquire) != 0; }
  // The search call's public result, valid once finished (kept for diagnostics and tests).
  int search_result() const { return result_.load(std::memory_order_acquire); }

 private:
  void run();

  std::atomic<int> result_{0};
  std::thread thread_;
};

}  // namespace tavrix
