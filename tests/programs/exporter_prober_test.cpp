// The exporter's prober in-process against the loopback simulator: what a probe finds
// for each kind of server, the floor interval and one probe per target, the identity
// cache, a listed identity without a search, the in-flight cap, a second LAN outside the
// allow-list, and cancellation.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/server_list_file.h"
#include "metrics.h"
#include "prober.h"
#include "qeld/library.h"
#include "qeld/model_map.h"
#include "support/lab.h"
#include "support/loopback_sim.h"
#include "support/qeld_loopback.h"

namespace {

using namespace std::chrono_literals;
using tavrix::exporter::Clock;
using tavrix::exporter::ProbeOutcome;
using tavrix::exporter::Prober;
using tavrix::exporter::ProberOptions;

constexpr uint8_t kCodes[] = {0x01, 0x49, 0x02, 0x41, 0x3A};

// 0 one LAN, set A (TVX-1104), port 1 connected on LAN1; 1 two LANs, set A (TVX-2613R),
// layout 40; 2 silent; 3 two LANs, set B, 1029 family only (TVX-3202UR); 4 one LAN, set B
// (TVX-1108) in mixed modes.
devsim::Fleet prober_fleet() {
  devsim::Fleet f;
  auto a = tavrix_test::loopback_device(0, 4, 15);
  a.model_id = 0x1104;
  a.ports[2].mode = 0;
  a.ports[0].conns[0].lan[0] = {4, htonl(0xC0000201)};
  f.devices.push_back(a);
  auto dual = tavrix_test::loopback_device(1, 4, 15, true);
  dual.ports[1].conns[0].lan[1] = {4, htonl(0xC6336401)};
  f.devices.push_back(dual);
  auto silent = tavrix_test::loopback_device(2, 4, 15);
  silent.model_id = 0x1104;
  silent.faults.silent = true;
  f.devices.push_back(silent);
  auto u = tavrix_test::loopback_device(3, 2, 22, true);
  u.model_key = 0;
  u.model_id = 0x3202;
  u.text_set = 'B';
  u.answers_4800 = false;
  u.code_1029 = 0x82;
  f.devices.push_back(u);
  auto b = tavrix_test::loopback_device(4, 8, 7);
  b.model_id = 0x1108;
  b.text_set = 'B';
  b.ports[3].mode = 22;
  b.ports[3].conns[1].lan[0] = {3, htonl(0xC0000202)};
  f.devices.push_back(b);
  return f;
}

class ProberTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(qeld::library_start(), 1);
    ASSERT_GT(qeld::load_model_map_file(tavrix_test::bin_dir() + "/GIdMap.dat"), 0)
        << "GIdMap.dat not found in " << tavrix_test::bin_dir();
  }
  void SetUp() override {
    sim_ = std::make_unique<tavrix_test::LoopbackSim>(prober_fleet());
    lib_ = std::make_unique<tavrix_test::LoopbackLibrary>(*sim_);
  }
  void TearDown() override {
    lib_.reset();
    sim_.reset();
  }
  std::unique_ptr<Prober> make(ProberOptions o = {},
                               const std::vector<tavrix::ServerListEntry>& listed = {},
                               std::function<bool(uint32_t)> allowed = nullptr) {
    if (!allowed) allowed = [](uint32_t) { return true; };
    return std::make_unique<Prober>(o, listed, allowed);
  }
  static uint32_t ip(int device, int lan = 1) {
    return lan == 1 ? tavrix_test::LoopbackSim::device_ip(device)
                    : htonl(0x7F000100u + 2 + static_cast<uint32_t>(device));
  }
  uint64_t requests_to(int device, uint8_t only = 0) {
    uint64_t n = 0;
    for (uint8_t c : kCodes)
      if (!only || c == only) n += sim_->sim().request_count(static_cast<std::size_t>(device), c);
    return n;
  }
  static Clock::time_point in(std::chrono::milliseconds ms) { return Clock::now() + ms; }

  std::unique_ptr<tavrix_test::LoopbackSim> sim_;
  std::unique_ptr<tavrix_test::LoopbackLibrary> lib_;
};

TEST_F(ProberTest, WhatAProbeFindsForEachKindOfServer) {
  struct Case {
    int device;
    uint32_t lan2;
    ProbeOutcome::Result result;
    bool lan1_up, dual, lan2_up;
    char text_set;
    const char* model;
  };
  const Case cases[] = {
      {0, 0, ProbeOutcome::Result::kUp, true, false, false, 'A', "TVX-1104"},
      {1, 0, ProbeOutcome::Result::kUp, true, true, true, 'A', "TVX-2613R"},
      {1, ip(1, 2), ProbeOutcome::Result::kUp, true, true, true, 'A', "TVX-2613R"},
      {2, 0, ProbeOutcome::Result::kNotFound, false, false, false, 'B', ""},
      {3, 0, ProbeOutcome::Result::kUp, true, true, true, 'B', "TVX-3202UR"},
      {4, 0, ProbeOutcome::Result::kUp, true, false, false, 'B', "TVX-1108"},
  };
  auto prober = make();
  for (const Case& c : cases) {
    std::shared_ptr<const ProbeOutcome> o;
    ASSERT_EQ(prober->probe(ip(c.device), c.lan2, in(3000ms), o), Prober::Status::kDone);
    const std::string at = "device " + std::to_string(c.device);
    EXPECT_EQ(o->result, c.result) << at;
    EXPECT_EQ(o->lan[0].up, c.lan1_up) << at;
    EXPECT_EQ(o->dual_lan, c.dual) << at;
    EXPECT_EQ(o->lan[1].up, c.lan2_up) << at;
    EXPECT_EQ(o->lan2_requested, c.lan2 != 0) << at;
    if (c.result == ProbeOutcome::Result::kNotFound) {
      EXPECT_FALSE(o->found);
      EXPECT_FALSE(o->ports_known);
      continue;
    }
    EXPECT_EQ(o->text_set, c.text_set) << at;
    EXPECT_EQ(o->model, c.model) << at;
    const devsim::Device d = sim_->sim().device(static_cast<std::size_t>(c.device));
    ASSERT_TRUE(o->ports_known) << at;
    ASSERT_EQ(o->port_count, static_cast<int>(d.ports.size())) << at;
    for (std::size_t p = 0; p < d.ports.size(); ++p) {
      EXPECT_EQ(o->mode[p], d.ports[p].mode) << at << " port " << p + 1;
      // Connection records are read for the ports in Redundant COM, and only for them.
      EXPECT_EQ(o->conn_read[p], d.ports[p].mode == d.redundant_mode()) << at << " port " << p + 1;
      if (!o->conn_read[p]) continue;
      for (int n = 0; n < 4; ++n)
        for (int lan = 0; lan < 2; ++lan)
          EXPECT_EQ(o->conn[p][64 + 2 * n + lan], d.ports[p].conns[n].lan[lan].state)
              << at << " port " << p + 1 << " conn " << n + 1 << " lan " << lan + 1;
    }
  }
  // And as the metrics show it: the connected peer of device 0, and no port series of
  // the silent one.
  std::shared_ptr<const ProbeOutcome> o;
  prober->probe(ip(0), 0, in(3000ms), o);
  const std::string text = tavrix::exporter::render_probe(*o);
  EXPECT_NE(text.find("tavrix_connection_peer_info{port=\"1\",lan=\"1\",connection=\"1\",peer="
                      "\"192.0.2.1\"} 1"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("tavrix_port_mode{port=\"3\",mode=\"terminal_ascii\"} 1"), std::string::npos);
  EXPECT_NE(text.find("tavrix_port_mode{port=\"1\",mode=\"terminal_ascii\"} 0"), std::string::npos);
}

TEST_F(ProberTest, ScrapesWithinTheFloorShareOneProbePerTarget) {
  ProberOptions opt;
  opt.min_interval_ms = 30000;
  auto prober = make(opt);
  constexpr int kThreads = 8;
  std::atomic<int> done{0}, cached{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&] {
      std::shared_ptr<const ProbeOutcome> o;
      const auto s = prober->probe(ip(1), 0, in(5000ms), o);
      done += s == Prober::Status::kDone;
      cached += s == Prober::Status::kCached && o && o->lan[0].up;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(done.load(), 1);
  EXPECT_EQ(cached.load(), kThreads - 1);
  EXPECT_EQ(requests_to(1, 0x41), 2u);  // one mode read per LAN
}

TEST_F(ProberTest, IdentityIsSearchedOnceAndAgainAfterTheServerStopsAnswering) {
  ProberOptions opt;
  opt.min_interval_ms = 0;
  auto prober = make(opt);
  std::shared_ptr<const ProbeOutcome> o;
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(prober->probe(ip(0), 0, in(3000ms), o), Prober::Status::kDone);
  EXPECT_EQ(o->result, ProbeOutcome::Result::kUp);
  EXPECT_EQ(requests_to(0, 0x01), 1u) << "one search, then the cached identity";
  EXPECT_EQ(requests_to(0, 0x41), 3u);

  devsim::Faults quiet;
  quiet.silent = true;
  sim_->sim().set_faults(0, quiet);
  ASSERT_EQ(prober->probe(ip(0), 0, in(2000ms), o), Prober::Status::kDone);
  EXPECT_EQ(o->result, ProbeOutcome::Result::kDown);
  EXPECT_TRUE(o->found);
  EXPECT_FALSE(o->ports_known) << "no port data from a LAN that did not answer";
  EXPECT_EQ(tavrix::exporter::render_probe(*o).find("tavrix_port_mode"), std::string::npos);

  sim_->sim().set_faults(0, devsim::Faults{});
  const uint64_t searches = requests_to(0, 0x01);
  ASSERT_EQ(prober->probe(ip(0), 0, in(3000ms), o), Prober::Status::kDone);
  EXPECT_EQ(o->result, ProbeOutcome::Result::kUp);
  EXPECT_EQ(requests_to(0, 0x01), searches + 1) << "searched again after it stopped answering";
}

TEST_F(ProberTest, ASilentListedServerKeepsItsIdentityFromTheFile) {
  const devsim::Device d = sim_->sim().device(1);
  qeld::DeviceIdentity id;
  id.model_key = d.model_key;
  id.model_id = d.model_id;
  id.ip1 = d.ip1;
  id.ip2 = d.ip2;
  std::copy(d.mac1.begin(), d.mac1.end(), id.mac1);
  std::copy(d.mac2.begin(), d.mac2.end(), id.mac2);
  devsim::Faults quiet;
  quiet.silent = true;
  sim_->sim().set_faults(1, quiet);
  std::shared_ptr<const ProbeOutcome> o;
  auto unlisted = make();
  ASSERT_EQ(unlisted->probe(ip(1), 0, in(2000ms), o), Prober::Status::kDone);
  EXPECT_EQ(o->result, ProbeOutcome::Result::kNotFound);
  // Listed: device_info and both LANs down, polled with the file's identity.
  auto listed = make({}, {tavrix::server_list_entry(id)});
  ASSERT_EQ(listed->probe(ip(1), 0, in(2000ms), o), Prober::Status::kDone);
  EXPECT_EQ(o->result, ProbeOutcome::Result::kDown);
  EXPECT_TRUE(o->found);
  EXPECT_TRUE(o->dual_lan);
  EXPECT_TRUE(o->lan[0].polled && o->lan[1].polled);
  EXPECT_FALSE(o->lan[0].up || o->lan[1].up);
  EXPECT_EQ(o->model, "TVX-2613R");
  EXPECT_GT(requests_to(1, 0x41), 0u);
}

TEST_F(ProberTest, TheInFlightCapMakesOthersWaitUntilTheirDeadline) {
  ProberOptions opt;
  opt.max_in_flight = 1;
  auto prober = make(opt);
  std::thread slow([&] {
    std::shared_ptr<const ProbeOutcome> o;
    prober->probe(ip(2), 0, in(2500ms), o);
  });
  for (int i = 0; i < 200 && requests_to(2) == 0; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_GT(requests_to(2), 0u);
  EXPECT_EQ(prober->in_flight(), 1);
  std::shared_ptr<const ProbeOutcome> o;
  EXPECT_EQ(prober->probe(ip(0), 0, in(300ms), o), Prober::Status::kBusy);
  EXPECT_EQ(requests_to(0), 0u) << "a probe without a slot sends nothing";
  slow.join();
  EXPECT_EQ(prober->probe(ip(0), 0, in(3000ms), o), Prober::Status::kDone);
  EXPECT_EQ(prober->in_flight(), 0);
}

TEST_F(ProberTest, ASecondLanOutsideTheAllowListIsNotPolled) {
  const uint32_t lan2 = ip(1, 2);
  auto prober = make({}, {}, [lan2](uint32_t a) { return a != lan2; });
  std::shared_ptr<const ProbeOutcome> o;
  ASSERT_EQ(prober->probe(ip(1), 0, in(3000ms), o), Prober::Status::kDone);
  EXPECT_TRUE(o->lan[0].up);
  EXPECT_FALSE(o->dual_lan);
  EXPECT_FALSE(o->lan[1].polled);
  EXPECT_EQ(tavrix::exporter::render_probe(*o).find("lan=\"2\""), std::string::npos);
}

TEST_F(ProberTest, CancelEndsARunningProbeSoon) {
  auto prober = make();
  std::atomic<bool> ended{false};
  Prober::Status status = Prober::Status::kDone;
  std::thread t([&] {
    std::shared_ptr<const ProbeOutcome> o;
    status = prober->probe(ip(2), 0, in(8000ms), o);
    ended = true;
  });
  for (int i = 0; i < 200 && requests_to(2) == 0; ++i) std::this_thread::sleep_for(10ms);
  const auto t0 = Clock::now();
  prober->cancel();
  t.join();
  EXPECT_LT(Clock::now() - t0, 1500ms);
  EXPECT_EQ(status, Prober::Status::kCancelled);
  std::shared_ptr<const ProbeOutcome> o;
  EXPECT_EQ(prober->probe(ip(0), 0, in(1000ms), o), Prober::Status::kCancelled);
  EXPECT_EQ(requests_to(0), 0u);
}

}  // namespace
