// The change detector: which changes of a server record become events and with which
// texts, the On/Off Line confirmation, and the one-LAN redundancy rule.
#include "core/change_detector.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "qeld/model_map.h"

namespace {

using tavrix::ChangeDetector;
using tavrix::ChangeEvent;
using tavrix::EventKind;

constexpr uint16_t kSetA = 0x0A04;  // Redundant COM = 15, connected = 4
constexpr uint16_t kSetB = 0x0B04;  // Redundant COM = 22, connected = 3

void use_models() {
  auto entry = [](uint16_t id, uint8_t attr) {
    qeld::TModelEntry e;
    e.model_key = 1;
    e.model_id = id;
    e.attributes[2] = attr;
    e.port_count = 4;
    std::strncpy(e.name, "TX", sizeof e.name - 1);
    return e;
  };
  qeld::set_model_map({entry(kSetA, qeld::kAttrModeSetA), entry(kSetB, 0)});
}

uint32_t ip(const char* text) {
  return ::inet_addr(text);
}

void set_conn(tavrix::ServerRecord& s, int port_index, int n, int lan, uint8_t state, uint32_t peer) {
  uint8_t rec[80];
  s.load_conn(port_index, rec);
  std::memcpy(rec + 8 * (n - 1) + 4 * lan, &peer, 4);
  rec[64 + 2 * (n - 1) + lan] = state;
  s.store_conn(port_index, rec);
}

// A dual-LAN set-A server, both LANs answering, port 1 in Redundant COM and connected
// on both LANs, port 2 in Terminal(ASCII).
void baseline(tavrix::ServerRecord& s, uint16_t model = kSetA) {
  s.model_key = 1;
  s.model_id = model;
  s.port_count = 2;
  s.dual_lan = 1;
  s.online = 3;
  const int redundant = model == kSetA ? 15 : 22;
  const uint8_t connected = model == kSetA ? 4 : 3;
  s.mode[0] = redundant;
  s.mode[1] = 0;
  set_conn(s, 0, 1, 0, connected, ip("192.0.2.50"));
  set_conn(s, 0, 1, 1, connected, ip("198.51.100.50"));
}

std::string describe(const ChangeEvent& e) {
  const char* kind = e.kind == EventKind::kLan    ? "lan"
                     : e.kind == EventKind::kMode ? "mode"
                                                  : "conn";
  return std::string(kind) + " p" + std::to_string(e.port) + " l" + std::to_string(e.lan) + " c" +
         std::to_string(e.connection) + " " + e.previous + " -> " + e.value;
}

TEST(ChangeDetector, EachChangeOfTheRecordIsOneEventWithTheTableTexts) {
  use_models();
  struct Case {
    const char* what;
    uint16_t model;
    std::function<void(tavrix::ServerRecord&)> change;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"nothing changes", kSetA, [](tavrix::ServerRecord&) {}, {}},
      {"LAN2 stops answering",
       kSetA,
       [](tavrix::ServerRecord& s) { s.online = 1; },
       {"lan p0 l2 c0 On Line -> Off Line"}},
      {"both LANs stop answering",
       kSetA,
       [](tavrix::ServerRecord& s) { s.online = 0; },
       {"lan p0 l1 c0 On Line -> Off Line", "lan p0 l2 c0 On Line -> Off Line"}},
      {"a connection drops on LAN1",
       kSetA,
       [](tavrix::ServerRecord& s) { set_conn(s, 0, 1, 0, 0, 0); },
       {"conn p1 l1 c1 192.0.2.50 -> TCP Closed"}},
      {"a connected peer changes on LAN2",
       kSetA,
       [](tavrix::ServerRecord& s) { set_conn(s, 0, 1, 1, 4, ip("198.51.100.51")); },
       {"conn p1 l2 c1 198.51.100.50 -> 198.51.100.51"}},
      {"a state without a name",
       kSetA,
       [](tavrix::ServerRecord& s) { set_conn(s, 0, 3, 0, 77, 0); },
       {"conn p1 l1 c3 TCP Closed -> "}},
      {"set B's own codes",
       kSetB,
       [](tavrix::ServerRecord& s) { set_conn(s, 0, 2, 1, 2, 0); },
       {"conn p1 l2 c2 TCP Closed -> Connecting"}},
      {"a port enters Redundant COM: one mode event",
       kSetA,
       [](tavrix::ServerRecord& s) {
         s.mode[1] = 15;
         set_conn(s, 1, 1, 0, 4, ip("192.0.2.60"));
       },
       {"mode p2 l0 c0 [NOT SUPPORT] (Terminal(ASCII)) -> Redundant COM"}},
      {"a port leaves Redundant COM: its connections are no longer compared",
       kSetA,
       [](tavrix::ServerRecord& s) {
         s.mode[0] = 10;
         set_conn(s, 0, 1, 0, 0, 0);
       },
       {"mode p1 l0 c0 Redundant COM -> [NOT SUPPORT] (RAW)"}},
      {"LAN first, then ports in order",
       kSetA,
       [](tavrix::ServerRecord& s) {
         set_conn(s, 0, 4, 1, 1, 0);
         s.online = 2;
         s.mode[1] = 16;
       },
       {"lan p0 l1 c0 On Line -> Off Line", "conn p1 l2 c4 TCP Closed -> Listen",
        "mode p2 l0 c0 [NOT SUPPORT] (Terminal(ASCII)) -> [NOT SUPPORT] (Disabled)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tavrix::ServerRecord s;
    baseline(s, c.model);
    ChangeDetector d;
    EXPECT_TRUE(d.observe(tavrix::take_snapshot(s), 1000).empty()) << "the baseline is silent";
    c.change(s);
    std::vector<std::string> got;
    for (const auto& e : d.observe(tavrix::take_snapshot(s), 2000)) {
      EXPECT_EQ(e.time_ms, 2000);
      got.push_back(describe(e));
    }
    EXPECT_EQ(got, c.expected);
    EXPECT_TRUE(d.observe(tavrix::take_snapshot(s), 3000).empty()) << "a change is told once";
  }
}

TEST(ChangeDetector, AModeEventCarriesBothCodes) {
  use_models();
  tavrix::ServerRecord s;
  baseline(s);
  ChangeDetector d;
  d.observe(tavrix::take_snapshot(s), 0);
  s.mode[1] = 16;
  const auto events = d.observe(tavrix::take_snapshot(s), 1);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].previous_code, 0);
  EXPECT_EQ(events[0].mode_code, 16);
}

TEST(ChangeDetector, ConfirmationHoldsBackAFlickeringLan) {
  use_models();
  tavrix::ServerRecord s;
  baseline(s);
  s.dual_lan = 0;
  s.online = 1;
  ChangeDetector d(2);
  d.observe(tavrix::take_snapshot(s), 0);
  const int samples[] = {0, 1, 0, 0, 0, 1, 1};
  const int reported[] = {1, 1, 1, 0, 0, 0, 1};  // LAN1 as told after each sample
  int events = 0;
  for (std::size_t i = 0; i < std::size(samples); ++i) {
    s.online = samples[i];
    events += static_cast<int>(d.observe(tavrix::take_snapshot(s), 0).size());
    EXPECT_EQ(d.lan_on_line(1), reported[i] == 1) << "sample " << i;
  }
  EXPECT_EQ(events, 2);
  EXPECT_FALSE(d.lan_on_line(2)) << "a one-LAN server has no LAN2";
}

TEST(ChangeDetector, RedundancyIsLostWhenADualLanPortIsConnectedOnOneLanOnly) {
  use_models();
  struct Case {
    bool dual;
    int mode;
    uint8_t lan1_state, lan2_state;
    int up;
    bool lost;
  };
  const Case cases[] = {{true, 15, 4, 4, 2, false}, {true, 15, 4, 0, 1, true},
                        {true, 15, 1, 4, 1, true},  {true, 15, 0, 1, 0, false},
                        {true, 0, 4, 0, 0, false},  {false, 15, 4, 0, 1, false},
                        {false, 15, 0, 0, 0, false}};
  for (const Case& c : cases) {
    tavrix::ServerRecord s;
    baseline(s);
    s.dual_lan = c.dual;
    s.mode[0] = c.mode;
    set_conn(s, 0, 1, 0, c.lan1_state, ip("192.0.2.50"));
    set_conn(s, 0, 1, 1, c.lan2_state, ip("198.51.100.50"));
    const auto snap = tavrix::take_snapshot(s);
    SCOPED_TRACE(testing::Message() << "dual " << c.dual << " mode " << c.mode << " states "
                                    << int(c.lan1_state) << "/" << int(c.lan2_state));
    EXPECT_EQ(tavrix::lans_up(snap.ports[0]), c.up);
    EXPECT_EQ(tavrix::redundancy_lost(snap.ports[0], snap.lans > 1), c.lost);
  }
}

}  // namespace
