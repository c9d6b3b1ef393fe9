// A grow-only pool of threads for second-LAN poll cycles.
#include "core/lan_workers.h"

#include <algorithm>

namespace tavrix::core {

LanWorkers::LanWorkers(int max_threads) : max_threads_(std::max(1, max_threads)) {}

LanWorkers::~LanWorkers() {
  {
    std::lock_guard<std::mutex> g(mu_);
    stop_ = true;
  }
  work_cv_.notify_all();
  for (auto& t : threads_) t.join();
}

void LanWorkers::start(Job& job, void (*fn)(void*), void* arg) {
  job.fn_ = fn;
  job.arg_ = arg;
  job.next_ = nullptr;
  job.done_ = false;
  std::lock_guard<std::mutex> g(mu_);
  (tail_ ? tail_->next_ : head_) = &job;
  tail_ = &job;
  // An idle thread may already be promised to an earlier job that it has not taken yet.
  if (++queued_ > idle_ && static_cast<int>(threads_.size()) < max_threads_)
    threads_.emplace_back([this] { loop(); });
  work_cv_.notify_one();
}

void LanWorkers::wait(Job& job) {
  std::unique_lock<std::mutex> lk(mu_);
  done_cv_.wait(lk, [&] { return job.done_; });
}

int LanWorkers::threads() const {
  std::lock_guard<std::mutex> g(mu_);
  return static_cast<int>(threads_.size());
}

void LanWorkers::loop() {
  std::unique_lock<std::mutex> lk(mu_);
  for (;;) {
    ++idle_;
    work_cv_.wait(lk, [&] { return head_ || stop_; });
    --idle_;
    if (!head_) return;  // stopped, nothing left to run
    Job* job = head_;
    head_ = job->next_;
    if (!head_) tail_ = nullptr;
    --queued_;
    lk.unlock();
    job->fn_(job->arg_);
    lk.lock();
    job->done_ = true;
    done_cv_.notify_all();
  }
}

}  // namespace tavrix::core
