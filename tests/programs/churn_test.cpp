// The soak's churn: a plan is a function of its seed, keeps every state at least the
// hold time, changes only what a poller can see, and the player's truth records what
// the simulator really served.
#include <arpa/inet.h>

#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "churn.h"
#include "simulator.h"

namespace {

devsim::Fleet fleet_of(int count) {
  devsim::GenOptions g;
  g.count = count;
  g.dual = true;
  g.ports = 16;
  devsim::Fleet f;
  std::string error;
  EXPECT_TRUE(devsim::generate_fleet(g, f, error)) << error;
  return f;
}

bool same(const devsim::ChurnStep& a, const devsim::ChurnStep& b) {
  return a.at == b.at && a.device == b.device && a.kind == b.kind && a.port == b.port &&
         a.conn == b.conn && a.lan == b.lan && a.mode == b.mode && a.state == b.state &&
         a.peer == b.peer && a.until == b.until;
}

TEST(Churn, APlanIsAFunctionOfItsSeedAndHoldsEveryStateLongEnough) {
  const devsim::Fleet fleet = fleet_of(24);
  devsim::ChurnOptions o;
  o.duration = 3600;
  o.rate = 1.5;
  o.hold = 15;
  const auto plan = devsim::plan_churn(fleet, o);
  const auto again = devsim::plan_churn(fleet, o);
  ASSERT_EQ(plan.size(), again.size());
  for (std::size_t i = 0; i < plan.size(); ++i)
    ASSERT_TRUE(same(plan[i], again[i])) << "step " << i;
  o.seed = 2;
  const auto other = devsim::plan_churn(fleet, o);
  bool differs = other.size() != plan.size();
  for (std::size_t i = 0; !differs && i < plan.size(); ++i) differs = !same(plan[i], other[i]);
  EXPECT_TRUE(differs) << "another seed, the same plan";

  // Every kind is played, in time order; per device nothing happens within `hold` of the
  // last change or of a fault's end, so the states before, during and after are held.
  std::map<devsim::ChurnKind, int> kinds;
  std::map<std::size_t, double> free_at;
  std::vector<devsim::Device> now = fleet.devices;
  double last = 0;
  for (const auto& s : plan) {
    ++kinds[s.kind];
    EXPECT_GE(s.at, last);
    last = s.at;
    EXPECT_GE(s.at, o.hold);
    EXPECT_LT(s.at, o.duration);
    if (free_at.count(s.device)) {
      EXPECT_GE(s.at, free_at[s.device]) << "device " << s.device;
    }
    devsim::Device& d = now[s.device];
    switch (s.kind) {
      case devsim::ChurnKind::kConnection: {
        auto& p = d.ports.at(std::size_t(s.port - 1));
        EXPECT_EQ(p.mode, d.redundant_mode())
            << "a connection changed on a port a poller does not read";
        ASSERT_GE(s.conn, 1);
        ASSERT_LE(s.conn, 4);
        auto& c = p.conns[std::size_t(s.conn - 1)].lan[s.lan - 1];
        EXPECT_TRUE(c.state != s.state || c.peer != s.peer) << "a step that changes nothing";
        if (s.state == d.connected_state()) {
          const uint32_t own = ntohl(s.lan == 2 ? d.ip2 : d.ip1);
          EXPECT_EQ(ntohl(s.peer) >> 8, own >> 8);
          EXPECT_NE(ntohl(s.peer), own);
        }
        c = {s.state, s.peer};
        free_at[s.device] = s.at + o.hold;
        break;
      }
      case devsim::ChurnKind::kMode: {
        auto& p = d.ports.at(std::size_t(s.port - 1));
        EXPECT_NE(p.mode, s.mode);
        p.mode = s.mode;
        free_at[s.device] = s.at + o.hold;
        break;
      }
      default:
        EXPECT_GE(s.until - s.at, o.hold);
        if (s.kind == devsim::ChurnKind::kLanDown) {
          EXPECT_TRUE(s.lan == 1 || s.lan == 2);
        }
        free_at[s.device] = s.until + o.hold;
    }
  }
  for (auto k : {devsim::ChurnKind::kConnection, devsim::ChurnKind::kMode,
                 devsim::ChurnKind::kSilent, devsim::ChurnKind::kLanDown, devsim::ChurnKind::kLate,
                 devsim::ChurnKind::kLoss, devsim::ChurnKind::kDuplicate})
    EXPECT_GT(kinds[k], 0) << devsim::churn_kind_name(k);
}

TEST(Churn, ThePlayersTruthIsWhatTheSimulatorServed) {
  devsim::Fleet fleet = fleet_of(2);
  devsim::SimConfig cfg;
  devsim::Simulator sim(fleet, cfg);
  std::string error;
  ASSERT_TRUE(sim.start(error)) << error;
  std::vector<devsim::ChurnStep> plan;
  devsim::ChurnStep mode;
  mode.at = 0.05;
  mode.device = 0;
  mode.kind = devsim::ChurnKind::kMode;
  mode.port = 3;
  mode.mode = 1;
  devsim::ChurnStep conn;
  conn.at = 0.1;
  conn.device = 1;
  conn.kind = devsim::ChurnKind::kConnection;
  conn.port = 2;
  conn.conn = 4;
  conn.lan = 2;
  conn.state = 3;
  conn.peer = htonl(0xC6130063);  // 198.19.0.99
  devsim::ChurnStep down;
  down.at = 0.1;
  down.device = 1;
  down.kind = devsim::ChurnKind::kLanDown;
  down.lan = 2;
  down.until = 0.3;
  plan = {mode, conn, down};
  std::ostringstream truth;
  std::atomic<bool> stop{false};
  devsim::ChurnOptions o;
  std::thread t([&] { devsim::ChurnPlayer(sim, plan, o, truth).run(stop); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(sim.device(0).ports[2].mode, 1);
  EXPECT_EQ(sim.device(1).ports[1].conns[3].lan[1].state, 3);
  EXPECT_EQ(sim.device(1).faults.silent_lan, 2);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(sim.device(1).faults.silent_lan, 0) << "the window's end was not played";
  stop = true;
  t.join();

  // One line per state: the changed items twice (before, after), the fault once.
  std::istringstream in(truth.str());
  std::string line;
  int modes3 = 0, conn4 = 0, faults = 0, lines = 0;
  while (std::getline(in, line)) {
    ++lines;
    const auto j = nlohmann::json::parse(line);
    EXPECT_LE(j["begin"].get<int64_t>(), j["end"].get<int64_t>());
    if (j["kind"] == "mode" && j["server"] == devsim::ipv4_text(fleet.devices[0].ip1) &&
        j["port"] == 3) {
      EXPECT_EQ(j["value"], modes3 == 0 ? 22 : 1);
      ++modes3;
    }
    if (j["kind"] == "connection" && j["server"] == devsim::ipv4_text(fleet.devices[1].ip1) &&
        j["port"] == 2 && j["lan"] == 2 && j["connection"] == 4) {
      if (conn4 == 1) {
        EXPECT_EQ(j["state"], 3);
        EXPECT_EQ(j["peer"], "198.19.0.99");
      }
      ++conn4;
    }
    if (j["kind"] == "fault") {
      EXPECT_EQ(j["fault"], "lan_down");
      EXPECT_EQ(j["lan"], 2);
      EXPECT_GE(j["end"].get<int64_t>() - j["begin"].get<int64_t>(), 150);
      ++faults;
    }
  }
  EXPECT_EQ(modes3, 2);
  EXPECT_EQ(conn4, 2);
  EXPECT_EQ(faults, 1);
  // Two servers of 16 ports: a mode and 4 connections on 2 LANs per port, plus the 3 above.
  EXPECT_EQ(lines, 2 * 16 * (1 + 4 * 2) + 3);
}

}  // namespace
