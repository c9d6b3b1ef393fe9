// The second-LAN workers: a job runs beside its caller, threads are kept and reused up
// to the cap, and jobs queued at destruction still run.
#include "core/lan_workers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using tavrix::core::LanWorkers;

// Blocks until opened; at most 10 s, so that a fault fails the test instead of hanging.
struct Gate {
  std::atomic<bool> open{false};
  std::atomic<int> passed{0};
  static void pass(void* arg) {
    auto* g = static_cast<Gate*>(arg);
    for (int i = 0; i < 1000 && !g->open.load(); ++i) std::this_thread::sleep_for(10ms);
    g->passed.fetch_add(1);
  }
};

TEST(LanWorkers, RunBesideTheCallerReuseTheirThreadsAndStayUnderTheCap) {
  LanWorkers workers(3);
  // Beside the caller: the job waits for the caller, which opens the gate only after
  // starting it; run on the caller's own thread, it would never be opened in time.
  Gate gate;
  LanWorkers::Job job;
  const auto t0 = std::chrono::steady_clock::now();
  workers.start(job, Gate::pass, &gate);
  gate.open = true;
  workers.wait(job);
  EXPECT_EQ(gate.passed.load(), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);

  // One after another: the one thread serves them all.
  Gate open;
  open.open = true;
  for (int i = 0; i < 50; ++i) {
    LanWorkers::Job j;
    workers.start(j, Gate::pass, &open);
    workers.wait(j);
  }
  EXPECT_EQ(open.passed.load(), 50);
  EXPECT_EQ(workers.threads(), 1);

  // More callers at once than the cap: never more threads than the cap, and every job
  // runs once the gate opens.
  Gate held;
  std::vector<std::thread> callers;
  for (int i = 0; i < 8; ++i)
    callers.emplace_back([&] {
      LanWorkers::Job j;
      workers.start(j, Gate::pass, &held);
      workers.wait(j);
    });
  std::this_thread::sleep_for(200ms);
  EXPECT_LE(workers.threads(), 3);
  EXPECT_LE(held.passed.load(), 0);
  held.open = true;
  for (auto& t : callers) t.join();
  EXPECT_EQ(held.passed.load(), 8);
  EXPECT_EQ(workers.threads(), 3);
}

TEST(LanWorkers, JobsQueuedAtDestructionStillRun) {
  Gate gate;
  std::vector<std::unique_ptr<LanWorkers::Job>> jobs;
  std::thread opener;
  {
    LanWorkers workers(1);
    for (int i = 0; i < 4; ++i) {
      jobs.push_back(std::make_unique<LanWorkers::Job>());
      workers.start(*jobs.back(), Gate::pass, &gate);
    }
    opener = std::thread([&] {
      std::this_thread::sleep_for(100ms);
      gate.open = true;
    });
  }
  opener.join();
  EXPECT_EQ(gate.passed.load(), 4);
}

}  // namespace
