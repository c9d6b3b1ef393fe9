// The search worker and the search operations of the server list, against the
// in-process simulator with searches aimed at one loopback address.
#include <dirent.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "core/server_list.h"
#include "core/search_worker.h"
#include "qeld/library.h"
#include "qeld/model_map.h"
#include "support/loopback_sim.h"
#include "support/qeld_loopback.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using tavrix_test::LoopbackSim;

constexpr uint16_t kModel = 0x2613;  // the loopback devices' model
const uint32_t kNobody = inet_addr("127.0.0.250");  // no device answers here

template <class Pred>
bool eventually(Pred p, std::chrono::milliseconds limit = 30s) {
  const auto end = Clock::now() + limit;
  while (!p()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

int thread_count() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

void set_map(uint8_t attr) {
  qeld::TModelEntry e;
  e.model_id = kModel;
  e.attributes[2] = attr;
  e.port_count = 4;
  std::strncpy(e.name, "TX-LO", sizeof e.name - 1);
  qeld::set_model_map({e});
}

class SearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_map(qeld::kAttrModeSetA);
    devsim::Fleet fleet;
    fleet.devices.push_back(tavrix_test::loopback_device(0));
    fleet.devices.push_back(tavrix_test::loopback_device(1));
    sim_ = std::make_unique<LoopbackSim>(std::move(fleet));
    lib_ = std::make_unique<tavrix_test::LoopbackLibrary>(*sim_);
    list_.search_timeout = 3;
  }
  void TearDown() override { qeld::clear_model_map(); }

  bool finished() {
    return eventually([&] { return list_.search_finished(); });
  }
  bool is_device(const qeld::DeviceIdentity* r, int n) {
    const devsim::Device d = sim_->sim().device(std::size_t(n));
    return r && r->ip1 == d.ip1 && std::memcmp(r->mac1, d.mac1.data(), 6) == 0;
  }

  std::unique_ptr<LoopbackSim> sim_;
  std::unique_ptr<tavrix_test::LoopbackLibrary> lib_;
  tavrix::ServerList list_;
};

TEST_F(SearchTest, SearchByIpKeepsTheOneServerAndReportsItsEnd) {
  list_.start_search(1, LoopbackSim::device_ip(1));
  ASSERT_TRUE(finished());
  EXPECT_FALSE(list_.search_running());
  EXPECT_FALSE(list_.search_finished());  // reported once, then forgotten
  ASSERT_EQ(list_.result_count(), 1);
  EXPECT_TRUE(is_device(list_.result_at(0), 1));
  EXPECT_EQ(sim_->sim().request_count(0, 0x01), 0u);
  // The search ran with one-second quiet waits, the time-out as the number of rounds.
  const qeld::TimeoutBlock opts = qeld::search_options();
  EXPECT_EQ(opts.timeout_ms, 1000u);
  EXPECT_EQ(opts.attempts, 3);
}

TEST_F(SearchTest, ModelsTheMapDoesNotHoldAreNotKept) {
  qeld::TModelEntry other;
  other.model_id = 0x1234;
  other.port_count = 4;
  qeld::set_model_map({other});
  list_.start_search(1, LoopbackSim::device_ip(0));
  ASSERT_TRUE(finished());
  EXPECT_EQ(list_.result_count(), 0);
  EXPECT_GE(sim_->sim().request_count(0, 0x01), 1u);  // it did answer
}

TEST_F(SearchTest, SecondMacRuleSparesSearchesByIpButNotBroadcastReplies) {
  set_map(qeld::kAttrSecondMac);  // single-LAN loopback devices lack the second MAC
  list_.start_search(1, LoopbackSim::device_ip(0));
  ASSERT_TRUE(finished());
  ASSERT_EQ(list_.result_count(), 1);

  // The broadcast callback on the same reply drops it.
  list_.clear_results();
  tavrix::SearchWorker worker;
  worker.by_ip = 1;
  worker.target = LoopbackSim::device_ip(0);
  worker.timeout_seconds = 3;
  worker.reply_callback = [&](const qeld::DeviceIdentity* r) { return list_.on_reply_broadcast(r); };
  worker.start();
  worker.join();
  EXPECT_TRUE(worker.is_finished());
  EXPECT_EQ(worker.search_result(), 1);
  EXPECT_EQ(list_.result_count(), 0);
}

TEST_F(SearchTest, AbortEndsALongSearchAtItsNextCallback) {
  list_.search_timeout = 60;
  const auto t0 = Clock::now();
  list_.start_search(1, kNobody);
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(list_.search_running());
  EXPECT_FALSE(list_.search_finished());
  list_.abort_search();
  ASSERT_TRUE(finished());
  EXPECT_LT(Clock::now() - t0, 30s);  // not the 60 quiet rounds
}

TEST_F(SearchTest, RepliesOfAnEarlierSearchNeverLandInALaterOne) {
  devsim::Faults slow;
  slow.delay_min_ms = slow.delay_max_ms = 600;
  slow.scope = devsim::FaultScope::kSearch;
  sim_->sim().set_faults(0, slow);
  const int threads = thread_count();

  list_.start_search(1, LoopbackSim::device_ip(0));
  std::this_thread::sleep_for(200ms);  // the first worker now waits for device 0's late reply
  const auto t0 = Clock::now();
  list_.start_search(1, LoopbackSim::device_ip(1));
  // The window thread is not held up by the earlier worker (generous bound).
  EXPECT_LT(Clock::now() - t0, 1000ms);
  EXPECT_EQ(list_.result_count(), 0);

  ASSERT_TRUE(finished());
  ASSERT_EQ(list_.result_count(), 1);
  EXPECT_TRUE(is_device(list_.result_at(0), 1));
  EXPECT_GE(sim_->sim().request_count(0, 0x01), 1u);  // device 0 was asked and answered late
  // Both workers have ended and been let go.
  EXPECT_TRUE(eventually([&] { return thread_count() == threads; }));
}

TEST_F(SearchTest, DestroyingTheListEndsARunningSearch) {
  const int threads = thread_count();
  const auto t0 = Clock::now();
  {
    tavrix::ServerList list;
    list.search_timeout = 60;
    list.start_search(1, kNobody);
    std::this_thread::sleep_for(200ms);
  }
  EXPECT_LT(Clock::now() - t0, 30s);
  EXPECT_TRUE(eventually([&] { return thread_count() == threads; }));
}

}  // namespace
