// Resources over many runs: starting and stopping the monitoring of 64 servers 100 times
// and running 20 searches through the real worker leaves the threads, the open
// descriptors and the heap where they were.
#include "faults/fault_fixture.h"

#include <cstdio>

namespace tavrix_faults {
namespace {

constexpr int kServers = 64;

class ResourcesTest : public FaultTest {
 protected:
  void SetUp() override { enter(false); }

  void start_all() {
    for (int i = 0; i < kServers; ++i) {
      list_->server_at(i)->monitoring = 1;
      list_->start_poller(i, 0);
    }
  }
  void stop_all() {
    for (int i = 0; i < kServers; ++i) {
      list_->server_at(i)->monitoring = 0;
      list_->stop_poller(i, 0);
    }
    ASSERT_TRUE(eventually([&] { return list_->poller_count() == 0; }, 30s))
        << list_->poller_count() << " pollers still running";
  }
  void search_once() {
    list_->start_search(1, tavrix_test::LoopbackLibrary::search_target());
    ASSERT_TRUE(eventually([&] { return list_->search_finished(); }, 30s)) << "search did not end";
  }
};

TEST_F(ResourcesTest, MonitoringAndSearchingManyTimesLeavesThreadsDescriptorsAndHeapFlat) {
  devsim::Fleet fleet;
  for (int n = 0; n < kServers; ++n)
    fleet.devices.push_back(tavrix_test::loopback_device(n, 2, 15));
  start_sim(fleet);
  for (int n = 0; n < kServers; ++n) {
    auto rec = list_->make_server_record(reply_of(sim_->sim().device(std::size_t(n))));
    ASSERT_GE(rec->handle1.id(), 0);
    ASSERT_EQ(list_->add_server(rec), 1);
  }
  list_->refresh_rate = 1;

  // One round of each first: what is made once on first use is not growth.
  start_all();
  ASSERT_TRUE(
      eventually([&] { return (list_->server_at(kServers - 1)->online.load() & 1) != 0; }, 20s));
  stop_all();
  search_once();
  const int threads0 = thread_count();
  const int fds0 = open_fd_count();
  const std::size_t heap0 = heap_in_use();

  for (int round = 0; round < 100; ++round) {
    start_all();
    if (round % 10 == 0) {
      // Now and then let a whole cycle run before the stop, not only its start.
      ASSERT_TRUE(eventually([&] { return list_->poller_count() == kServers; }, 10s));
      std::this_thread::sleep_for(200ms);
    }
    stop_all();
    if (HasFatalFailure()) return;
  }
  for (int s = 0; s < 20; ++s) {
    search_once();
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(list_->result_count(), 0) << "the searches found nothing: the worker did not run";

  const std::size_t heap1 = heap_in_use();
  std::printf(
      "64 servers x 100 runs + 20 searches: threads %d -> %d, fds %d -> %d, heap %zu -> %zu "
      "bytes\n",
      threads0, thread_count(), fds0, open_fd_count(), heap0, heap1);
  EXPECT_TRUE(eventually([&] { return thread_count() <= threads0; }, 10s))
      << thread_count() << " > " << threads0;
  EXPECT_TRUE(eventually([&] { return open_fd_count() <= fds0; }, 10s))
      << open_fd_count() << " > " << fds0;
  // Room for allocator bookkeeping, far below one record per run (6400 runs).
  EXPECT_LT(heap1, heap0 + 256 * 1024) << "heap grew by " << (heap1 - heap0) << " bytes";
}

}  // namespace
}  // namespace tavrix_faults
