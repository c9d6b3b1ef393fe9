// The polling threads against the in-process simulator on loopback: what they ask,
// what they store, how they mark a LAN on or off line, and how they stop.
#include <dirent.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "core/server_list.h"
#include "core/poller.h"
#include "qeld/library.h"
#include "qeld/model_map.h"
#include "support/device_identity.h"
#include "support/loopback_sim.h"
#include "support/qeld_loopback.h"

namespace {

using namespace std::chrono_literals;
using tavrix_test::LoopbackSim;

constexpr uint16_t kModelA = 0x2613;  // text set A: "Redundant COM" is 15, connected 4
constexpr uint16_t kModelB = 0x2222;  // text set B: 22 and 3

uint32_t addr(const char* text) { return inet_addr(text); }

template <class Pred>
bool eventually(Pred p, std::chrono::milliseconds limit = 15s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!p()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

int entries_in(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

devsim::Device device_b(int n, int ports, int mode) {
  devsim::Device d = tavrix_test::loopback_device(n, ports, mode);
  d.model_id = kModelB;
  d.text_set = 'B';
  return d;
}

using tavrix_test::reply_of;

bool conn_is_zero(const tavrix::ServerRecord& s, int i) {
  uint8_t rec[tavrix::kConnRecordBytes];
  s.load_conn(i, rec);
  for (uint8_t b : rec)
    if (b) return false;
  return true;
}

qeld::TModelEntry entry(uint16_t id, uint8_t attr, uint32_t ports) {
  qeld::TModelEntry e;
  e.model_id = id;
  e.attributes[2] = attr;
  e.port_count = ports;
  std::strncpy(e.name, "TX", sizeof e.name - 1);
  return e;
}

class PollerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qeld::set_model_map({entry(kModelA, qeld::kAttrModeSetA, 8), entry(kModelB, 0, 8)});
  }
  void TearDown() override {
    list_.reset();  // joins every poller before the handles go
    for (int h = 0; h < qeld::kMaxHandles; ++h) qeld::close_handle(h);
    qeld::clear_model_map();
  }

  // Starts the simulator and points the library at it.
  void start_sim(devsim::Fleet fleet) {
    sim_ = std::make_unique<LoopbackSim>(std::move(fleet));
    lib_ = std::make_unique<tavrix_test::LoopbackLibrary>(*sim_);
  }
  std::shared_ptr<tavrix::ServerRecord> add(const qeld::DeviceIdentity& reply) {
    auto rec = list_->make_server_record(reply);
    EXPECT_EQ(list_->add_server(rec), 1);
    return rec;
  }
  void monitor(int index) {
    auto s = list_->server_at(index);
    s->monitoring = 1;
    list_->start_poller(index, 0);
    if (s->dual_lan) list_->start_poller(index, 1);
  }
  bool all_stopped() {
    return eventually([&] { return list_->poller_count() == 0; }, 20s);
  }

  std::unique_ptr<LoopbackSim> sim_;
  std::unique_ptr<tavrix_test::LoopbackLibrary> lib_;
  std::unique_ptr<tavrix::ServerList> list_ = std::make_unique<tavrix::ServerList>();
};

TEST_F(PollerTest, ReadsModesAndOnlyTheRedundantPortsConnections) {
  devsim::Fleet fleet;
  fleet.devices.push_back(tavrix_test::loopback_device(0, 4, 0));
  fleet.devices.push_back(device_b(1, 4, 0));
  start_sim(fleet);
  auto& sim = sim_->sim();
  // Set A: ports 1 and 3 redundant (15); port 4 in 22, set B's code, which set A lacks.
  sim.set_port_mode(0, 1, 15);
  sim.set_port_mode(0, 3, 15);
  sim.set_port_mode(0, 4, 22);
  // Set B: ports 2 and 4 redundant (22); port 1 in 15, a different mode there.
  sim.set_port_mode(1, 1, 15);
  sim.set_port_mode(1, 2, 22);
  sim.set_port_mode(1, 4, 22);
  for (int dev = 0; dev < 2; ++dev)
    for (int port = 1; port <= 4; ++port)
      sim.set_connection(dev, port, 1, 1, 4, addr("192.0.2.100") + htonl(uint32_t(port)));

  auto a = add(reply_of(sim.device(0)));
  auto b = add(reply_of(sim.device(1)));
  list_->refresh_rate = 99;  // one cycle each
  monitor(0);
  monitor(1);

  auto fetched = [](const tavrix::ServerRecord& s, std::initializer_list<int> ports) {
    for (int p : ports)
      if (conn_is_zero(s, p - 1)) return false;
    return true;
  };
  ASSERT_TRUE(eventually([&] { return fetched(*a, {1, 3}) && fetched(*b, {2, 4}); }));
  EXPECT_EQ(a->mode_at(0), 15);
  EXPECT_EQ(a->mode_at(1), 0);
  EXPECT_EQ(a->mode_at(3), 22);
  EXPECT_EQ(b->mode_at(0), 15);
  EXPECT_EQ(b->mode_at(1), 22);
  EXPECT_EQ(a->mode_at(4), -1);  // beyond the device's ports: no code, still unknown
  // Ports outside the supported mode were never asked.
  EXPECT_TRUE(conn_is_zero(*a, 1));
  EXPECT_TRUE(conn_is_zero(*a, 3));
  EXPECT_TRUE(conn_is_zero(*b, 0));
  EXPECT_TRUE(conn_is_zero(*b, 2));
  EXPECT_EQ(sim.request_count(0, 0x3A), 2u);
  EXPECT_EQ(sim.request_count(1, 0x3A), 2u);
  // The record holds what the device sent, at the offsets the view reads.
  EXPECT_EQ(a->conn_peer(2, 1, 0), addr("192.0.2.100") + htonl(3u));
  EXPECT_EQ(a->conn_state(2, 1, 0), 4);
  EXPECT_EQ(a->online.load(), 1);
  EXPECT_EQ(b->online.load(), 1);
}

TEST_F(PollerTest, APortThatBecomesRedundantIsAskedInTheSameCycle) {
  devsim::Fleet fleet;
  fleet.devices.push_back(tavrix_test::loopback_device(0, 2, 0));
  start_sim(fleet);
  auto& sim = sim_->sim();
  sim.set_connection(0, 2, 1, 2, 4, addr("198.51.100.9"));
  auto s = add(reply_of(sim.device(0)));
  list_->refresh_rate = 1;
  monitor(0);
  ASSERT_TRUE(eventually([&] { return s->mode_at(1) == 0; }));

  sim.set_port_mode(0, 2, 15);
  ASSERT_TRUE(eventually([&] { return s->mode_at(1) == 15; }));
  const uint64_t mode_reads = sim.request_count(0, 0x41);
  ASSERT_TRUE(eventually([&] { return !conn_is_zero(*s, 1); }));
  // No further mode read came between the new code and its record.
  EXPECT_EQ(sim.request_count(0, 0x41), mode_reads);
  EXPECT_EQ(s->conn_peer(1, 1, 1), addr("198.51.100.9"));
  EXPECT_TRUE(conn_is_zero(*s, 0));
}

TEST_F(PollerTest, LateAnswersMarkTheLanOffLineWhileDataStillUpdates) {
  devsim::Fleet fleet;
  fleet.devices.push_back(tavrix_test::loopback_device(0, 2, 0));
  start_sim(fleet);
  auto& sim = sim_->sim();
  auto s = add(reply_of(sim.device(0)));
  ASSERT_TRUE(qeld::handle_set_timeouts(s->handle1.id(), 4000, 1));
  list_->refresh_rate = 1;
  monitor(0);
  ASSERT_TRUE(eventually([&] { return s->mode_at(0) == 0 && s->online.load() == 1; }));

  devsim::Faults slow;
  slow.delay_min_ms = slow.delay_max_ms = 2000;
  sim.set_faults(0, slow);
  sim.set_port_mode(0, 1, 3);
  ASSERT_TRUE(eventually([&] { return s->mode_at(0) == 3; }, 30s));
  // The answer that brought the new mode took 2 s: its mark was made before the copy.
  EXPECT_EQ(s->online.load(), 0);
}

TEST_F(PollerTest, ASilentDeviceClearsTheBitAfterItsTimeOuts) {
  devsim::Fleet fleet;
  fleet.devices.push_back(tavrix_test::loopback_device(0, 2, 15));
  start_sim(fleet);
  auto& sim = sim_->sim();
  auto s = add(reply_of(sim.device(0)));
  ASSERT_TRUE(qeld::handle_set_timeouts(s->handle1.id(), 200, 2));
  list_->refresh_rate = 1;
  monitor(0);
  ASSERT_TRUE(eventually([&] { return s->online.load() == 1; }));

  devsim::Faults silent;
  silent.silent = true;
  sim.set_faults(0, silent);
  EXPECT_TRUE(eventually([&] { return s->online.load() == 0; }));
  EXPECT_EQ(s->mode_at(0), 15);  // failed reads leave the last codes
  EXPECT_EQ(list_->poller_count(), 1);
}

TEST_F(PollerTest, DualLanServerPollsEachLanAtItsOwnAddressAndStopsBoth) {
  devsim::Fleet fleet;
  fleet.devices.push_back(tavrix_test::loopback_device(0, 2, 15, true));
  start_sim(fleet);
  auto& sim = sim_->sim();
  // LAN1 names an address where nothing answers; LAN2 the device's second address.
  qeld::DeviceIdentity r = reply_of(sim.device(0));
  r.ip1 = addr("127.0.0.250");
  auto s = add(r);
  ASSERT_EQ(s->dual_lan, 1);
  ASSERT_TRUE(qeld::handle_set_timeouts(s->handle1.id(), 200, 1));
  ASSERT_TRUE(qeld::handle_set_timeouts(s->handle2.id(), 200, 1));
  list_->refresh_rate = 1;
  monitor(0);
  EXPECT_EQ(list_->poller_count(), 2);
  ASSERT_TRUE(eventually([&] { return s->online.load() == 2 && s->mode_at(0) == 15; }));
  // Stays so for a few cycles: LAN1's poller never reaches the device.
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(s->online.load(), 2);

  list_->stop_poller(0, 0);
  list_->stop_poller(0, 1);
  EXPECT_TRUE(all_stopped());
  EXPECT_EQ(s->online.load(), 0);
}

TEST_F(PollerTest, AStopInsideThePortLoopIsHonouredBeforeTheNextPort) {
  devsim::Fleet fleet;
  fleet.devices.push_back(tavrix_test::loopback_device(0, 8, 15));
  start_sim(fleet);
  auto& sim = sim_->sim();
  devsim::Faults slow;
  slow.delay_min_ms = slow.delay_max_ms = 400;
  sim.set_faults(0, slow);
  add(reply_of(sim.device(0)));
  list_->refresh_rate = 99;
  monitor(0);
  ASSERT_TRUE(eventually([&] { return sim.request_count(0, 0x3A) >= 1; }));
  list_->stop_poller(0, 0);
  EXPECT_TRUE(all_stopped());
  // Port 1's read was under way; at most the next had started. Eight without the check.
  EXPECT_LE(sim.request_count(0, 0x3A), 2u);
}

// A poller waiting on a silent device ends after the attempt under way, not after all of
// its attempts: by its own stop request and by the stop-all flag alike.
TEST_F(PollerTest, AStopMidQueryEndsThePollerAfterTheCurrentAttempt) {
  for (const bool stop_all : {false, true}) {
    SCOPED_TRACE(stop_all ? "stop-all flag" : "own stop request");
    devsim::Fleet fleet;
    fleet.devices.push_back(tavrix_test::loopback_device(0, 2, 15));
    fleet.devices.back().faults.silent = true;
    start_sim(fleet);
    auto& sim = sim_->sim();
    auto s = add(reply_of(sim.device(0)));
    // Twenty attempts of 500 ms: ten seconds for a query that is not cut short.
    ASSERT_TRUE(qeld::handle_set_timeouts(s->handle1.id(), 500, 20));
    monitor(list_->server_count() - 1);
    ASSERT_TRUE(eventually([&] { return sim.request_count(0, 0x41) >= 2; }));
    const auto t0 = std::chrono::steady_clock::now();
    if (stop_all)
      list_->set_stop_all(1);
    else
      list_->stop_poller(list_->server_count() - 1, 0);
    EXPECT_TRUE(all_stopped());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s) << "the query ran through its attempts";
    EXPECT_LE(sim.request_count(0, 0x41), 4u);
    list_.reset();
    lib_.reset();  // before the next start_sim, whose library settings it would undo
    sim_.reset();
    list_ = std::make_unique<tavrix::ServerList>();
  }
}

TEST_F(PollerTest, StoppingAllPollersHoldsEvenWhenTheStopAllFlagIsClearedAgain) {
  devsim::Fleet fleet;
  for (int n = 0; n < 3; ++n) {
    fleet.devices.push_back(tavrix_test::loopback_device(n, 2, 0));
    fleet.devices.back().faults.delay_min_ms = fleet.devices.back().faults.delay_max_ms = 300;
  }
  start_sim(fleet);
  for (int n = 0; n < 3; ++n) add(reply_of(sim_->sim().device(n)));
  list_->refresh_rate = 1;
  for (int n = 0; n < 3; ++n) monitor(n);
  ASSERT_TRUE(eventually([&] {
    for (int n = 0; n < 3; ++n)
      if (sim_->sim().request_count(n, 0x41) == 0) return false;
    return true;
  }));
  // A new search stops them while their reads are under way; a Start then clears the
  // stop-all flag before they look at it.
  list_->set_stop_all(1);
  list_->stop_all_pollers(0);
  list_->set_stop_all(0);
  EXPECT_TRUE(all_stopped());
  std::this_thread::sleep_for(1500ms);  // past a whole pause: none of them polls again
  for (int n = 0; n < 3; ++n) EXPECT_EQ(sim_->sim().request_count(n, 0x41), 1u);
}

TEST_F(PollerTest, ARefreshRateBelowOneSecondStillPausesBetweenCycles) {
  devsim::Fleet fleet;
  fleet.devices.push_back(tavrix_test::loopback_device(0, 2, 0));
  start_sim(fleet);
  add(reply_of(sim_->sim().device(0)));
  list_->refresh_rate = 0;
  monitor(0);
  ASSERT_TRUE(eventually([&] { return sim_->sim().request_count(0, 0x41) >= 1; }));
  std::this_thread::sleep_for(300ms);
  // Without a floor on the pause this would be hundreds of mode reads.
  EXPECT_LE(sim_->sim().request_count(0, 0x41), 2u);
}

TEST_F(PollerTest, ClearServersWhileQueriesAreInFlightIsSafe) {
  devsim::Fleet fleet;
  for (int n = 0; n < 4; ++n) {
    fleet.devices.push_back(tavrix_test::loopback_device(n, 4, 15));
    fleet.devices.back().faults.delay_min_ms = 100;
    fleet.devices.back().faults.delay_max_ms = 300;
  }
  start_sim(fleet);
  std::vector<std::weak_ptr<tavrix::ServerRecord>> held;
  for (int n = 0; n < 4; ++n) held.push_back(add(reply_of(sim_->sim().device(n))));
  list_->refresh_rate = 1;
  for (int n = 0; n < 4; ++n) monitor(n);
  ASSERT_TRUE(eventually([&] { return sim_->sim().request_count(3, 0x3A) >= 1; }));

  // What a new search does: stop everything and empty the list.
  list_->set_stop_all(1);
  list_->clear_servers();
  EXPECT_EQ(list_->server_count(), 0);
  EXPECT_TRUE(all_stopped());
  list_.reset();  // joins what is left and lets the records go
  for (auto& w : held) EXPECT_TRUE(w.expired());
}

TEST_F(PollerTest, ManyStartsAndStopsLeaveNoThreadOrSocketBehind) {
  devsim::Fleet fleet;
  for (int n = 0; n < 8; ++n) fleet.devices.push_back(tavrix_test::loopback_device(n, 2, 15));
  start_sim(fleet);
  for (int i = 0; i < 64; ++i) add(reply_of(sim_->sim().device(i % 8)));
  list_->refresh_rate = 99;
  const int threads = entries_in("/proc/self/task");
  const int fds = entries_in("/proc/self/fd");

  for (int round = 0; round < 50; ++round) {
    for (int i = 0; i < 64; ++i) list_->start_poller(i, 0);
    for (int i = 0; i < 64; ++i) list_->stop_poller(i, 0);
    ASSERT_TRUE(all_stopped()) << "round " << round;
  }
  list_->clear_servers();
  EXPECT_TRUE(eventually([&] { return entries_in("/proc/self/task") == threads; }));
  EXPECT_TRUE(eventually([&] { return entries_in("/proc/self/fd") == fds; }));
  EXPECT_EQ(list_->poller_count(), 0);
}

}  // namespace
