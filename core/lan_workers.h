// Long-lived threads that run a second LAN's poll cycle beside the caller's first, for
// a program that polls servers one after another all day (the exporter). A thread per
// cycle would do, but each new thread may land in a malloc arena of its own and the
// process's memory creeps up with every one started.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace tavrix::core {

class LanWorkers {
 public:
  // A job handed to a worker; lives on the caller's stack until wait() returns.
  class Job {
   public:
    Job() = default;
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

   private:
    friend class LanWorkers;
    void (*fn_)(void*) = nullptr;
    void* arg_ = nullptr;
    Job* next_ = nullptr;
    bool done_ = false;
  };

  // Threads are started as jobs need them, up to `max_threads` (at least one), and kept
  // until destruction; beyond that a job waits for a free one.
  explicit LanWorkers(int max_threads);
  // Runs the jobs still queued, then ends the threads.
  ~LanWorkers();
  LanWorkers(const LanWorkers&) = delete;
  LanWorkers& operator=(const LanWorkers&) = delete;

  // Runs fn(arg) on a worker; `job` must stay alive until wait(job) returned.
  void start(Job& job, void (*fn)(void*), void* arg);
  // Blocks until the job started on `job` has run.
  void wait(Job& job);

  int threads() const;

 private:
  void loop();

  const int max_threads_;
  // Guards the queue, the counts and every job's done flag; taken by callers and
  // workers once per job.
  mutable std::mutex mu_;
  std::condition_variable work_cv_;  // a job queued, or the end
  std::condition_variable done_cv_;  // a job finished
  Job* head_ = nullptr;
  Job* tail_ = nullptr;
  int queued_ = 0;  // jobs not yet taken by a thread
  int idle_ = 0;    // threads waiting for a job
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace tavrix::core
