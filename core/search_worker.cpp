// The search worker's run step: set the search options from the time-out in
// seconds, run the search, report the end through `finished`.
#include "core/search_worker.h"

#include "qeld/library.h"

tavrix::SearchWorker::~SearchWorker() {
  join();
}

void tavrix::SearchWorker::start() {
  thread_ = std::thread([this] { run(); });
}

void tavrix::SearchWorker::join() {
  if (thread_.joinable()) thread_.join();
}

void tavrix::SearchWorker::run() {
  // One quiet wait is a second, so the time-out reads as seconds without a new server.
  qeld::set_search_options(1000, timeout_seconds);
  const uint32_t where = by_ip == 1 ? target : 0xFFFFFFFFu;
  result_.store(qeld::search_servers(where, reply_callback), std::memory_order_release);
  finished.store(1, std::memory_order_release);
}
