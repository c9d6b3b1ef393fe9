// The event log behind the Events tab and the timeline: its ring keeps the newest N,
// servers are followed from one refresh period after Start until Stop, a replaced
// record is a new server, and the availability rows hold the states over time.
#include "core/event_log.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>

#include "qeld/model_map.h"

namespace {

using tavrix::Availability;
using tavrix::AvailabilityHistory;
using tavrix::EventLog;

constexpr uint16_t kSetA = 0x0A04;

void use_models() {
  qeld::TModelEntry e;
  e.model_key = 1;
  e.model_id = kSetA;
  e.attributes[2] = qeld::kAttrModeSetA;
  e.port_count = 4;
  std::strncpy(e.name, "TX", sizeof e.name - 1);
  qeld::set_model_map({e});
}

void set_conn(tavrix::ServerRecord& s, int port_index, int lan, uint8_t state, const char* peer) {
  uint8_t rec[80];
  s.load_conn(port_index, rec);
  const uint32_t addr = ::inet_addr(peer);
  std::memcpy(rec + 4 * lan, &addr, 4);
  rec[64 + lan] = state;
  s.store_conn(port_index, rec);
}

// A monitored dual-LAN server (no pollers: the test writes what they would).
std::shared_ptr<tavrix::ServerRecord> server(const char* ip1, const char* ip2) {
  auto s = std::make_shared<tavrix::ServerRecord>();
  s->model_key = 1;
  s->model_id = kSetA;
  s->port_count = 2;
  s->ip1 = ::inet_addr(ip1);
  s->ip2 = ::inet_addr(ip2);
  s->dual_lan = 1;
  s->online = 3;
  s->mode[0] = 15;
  s->mode[1] = 0;
  set_conn(*s, 0, 0, 4, "192.0.2.50");
  set_conn(*s, 0, 1, 4, "198.51.100.50");
  s->monitoring = 1;
  return s;
}

TEST(EventLog, TheRingKeepsTheNewestNAndCountsEveryEvent) {
  for (std::size_t capacity : {1u, 5u, 64u}) {
    EventLog log(capacity);
    const std::size_t added = capacity * 3 + 2;
    for (std::size_t i = 0; i < added; ++i) {
      tavrix::LoggedEvent e;
      e.event.time_ms = static_cast<int64_t>(i);
      log.add(e);
      ASSERT_EQ(log.size(), std::min(i + 1, capacity));
    }
    EXPECT_EQ(log.capacity(), capacity);
    EXPECT_EQ(log.total(), added);
    for (std::size_t i = 0; i < log.size(); ++i)
      EXPECT_EQ(log.newest(i).event.time_ms, static_cast<int64_t>(added - 1 - i));
    log.clear();
    EXPECT_EQ(log.size(), 0u);
    EXPECT_EQ(log.total(), added) << "seen counts survive a clear";
  }
}

TEST(EventLog, FollowsAServerFromOneRefreshAfterStartUntilStop) {
  use_models();
  tavrix::ServerList list;
  list.refresh_rate = 2;
  auto a = server("192.0.2.11", "198.51.100.11");
  auto idle = server("192.0.2.12", "198.51.100.12");
  idle->monitoring = 0;
  ASSERT_EQ(list.add_server(a), 1);
  ASSERT_EQ(list.add_server(idle), 1);
  EventLog log;

  // Start seen at t = 0; until 2 s have passed nothing is compared, so the pollers'
  // first answers are not reported as changes.
  EXPECT_EQ(log.sample(list, 0, 0), 0u);
  a->online = 0;
  EXPECT_EQ(log.sample(list, 1000, 1000), 0u);
  EXPECT_EQ(log.history(a.get())->summary().changes.size(), 0u);
  // The baseline reports no change, but a LAN already Off Line at the start is news.
  EXPECT_EQ(log.sample(list, 2000, 2000), 2u) << "the baseline, both LANs Off Line";
  EXPECT_EQ(log.newest(1).event.lan, 1);
  EXPECT_EQ(log.newest(0).event.lan, 2);
  EXPECT_EQ(log.newest(0).event.previous, "Idle");
  EXPECT_EQ(log.newest(0).event.value, "Off Line");
  a->online = 3;
  set_conn(*a, 0, 1, 0, "0.0.0.0");
  idle->online = 0;  // an idle server is not watched
  EXPECT_EQ(log.sample(list, 3000, 3000), 3u);
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log.newest(0).server, "192.0.2.11, 198.51.100.11");
  EXPECT_EQ(log.newest(0).event.kind, tavrix::EventKind::kConnection);
  EXPECT_EQ(log.newest(0).event.value, "TCP Closed");
  EXPECT_EQ(log.newest(2).event.value, "On Line");
  EXPECT_EQ(log.newest(2).event.time_ms, 3000);
  EXPECT_TRUE(log.redundancy_lost(a.get()));
  EXPECT_FALSE(log.redundancy_lost(idle.get()));
  ASSERT_EQ(log.histories().size(), 1u) << "only the monitored server has a timeline";

  // Stop: no more events, the timeline shows a gap, the marker goes.
  a->monitoring = 0;
  a->online = 0;
  EXPECT_EQ(log.sample(list, 4000, 4000), 0u);
  EXPECT_FALSE(log.redundancy_lost(a.get()));
  EXPECT_EQ(log.history(a.get())->summary().at(4000), Availability::kUnknown);
  EXPECT_EQ(log.history(a.get())->summary().at(3500), Availability::kPartial);

  // Start again: a new baseline one period later, not a burst of stale differences.
  a->monitoring = 1;
  EXPECT_EQ(log.sample(list, 5000, 5000), 0u);
  a->online = 3;
  EXPECT_EQ(log.sample(list, 7000, 7000), 0u) << "a baseline with every LAN On Line";
  EXPECT_EQ(log.size(), 5u);
}

TEST(EventLog, AReplacedRecordIsANewServerThatKeepsTheDevicesTimeline) {
  use_models();
  tavrix::ServerList list;
  list.refresh_rate = 1;
  auto a = server("192.0.2.11", "198.51.100.11");
  ASSERT_EQ(list.add_server(a), 1);
  EventLog log;
  log.sample(list, 0, 0);
  log.sample(list, 1000, 1000);
  ASSERT_NE(log.history(a.get()), nullptr);
  const std::size_t before = log.history(a.get())->summary().changes.size();
  ASSERT_GT(before, 0u);

  // A new search replaces the list: the same device in a fresh record takes up its
  // timeline (with the time between as not monitored) but starts a new baseline.
  list.clear_servers();
  a.reset();
  EXPECT_EQ(log.sample(list, 1500, 1500), 0u);
  auto b = server("192.0.2.11", "198.51.100.11");
  b->online = 3;
  ASSERT_EQ(list.add_server(b), 1);
  EXPECT_EQ(log.sample(list, 2000, 2000), 0u);
  const AvailabilityHistory* kept = log.history(b.get());
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(kept->summary().at(1200), Availability::kUp) << "the earlier hours come back";
  EXPECT_EQ(kept->summary().at(1700), Availability::kUnknown) << "the gap is not monitored";
  EXPECT_EQ(log.sample(list, 3000, 3000), 0u) << "the new record's first look is its baseline";

  // Another device at the same addresses (another MAC) starts with an empty timeline;
  // the first device's stays parked for a later return.
  list.clear_servers();
  b.reset();
  log.sample(list, 4000, 4000);
  auto c = server("192.0.2.11", "198.51.100.11");
  c->mac1[5] = 0x42;
  ASSERT_EQ(list.add_server(c), 1);
  log.sample(list, 5000, 5000);
  EXPECT_TRUE(log.history(c.get())->summary().changes.empty());
  auto d = server("192.0.2.11", "198.51.100.11");
  ASSERT_EQ(list.add_server(d), 1);
  log.sample(list, 5500, 5500);
  EXPECT_EQ(log.history(d.get())->summary().at(1200), Availability::kUp);

  list.clear_servers();
  EXPECT_EQ(log.sample(list, 6000, 6000), 0u);
  EXPECT_TRUE(log.histories().empty()) << "servers gone from the list leave the timeline";
}

TEST(AvailabilityHistory, RowsHoldLanAndPortStatesOverTime) {
  use_models();
  auto s = server("192.0.2.11", "198.51.100.11");
  AvailabilityHistory h;
  struct Step {
    int64_t t;
    int online;
    uint8_t lan2_state;  // port 1's connection 1 on LAN2
    Availability lan2, port1, summary;
  };
  const Step steps[] = {
      {1000, 3, 4, Availability::kUp, Availability::kUp, Availability::kUp},
      {2000, 3, 0, Availability::kUp, Availability::kPartial, Availability::kPartial},
      {3000, 1, 0, Availability::kDown, Availability::kPartial, Availability::kPartial},
      {4000, 0, 0, Availability::kDown, Availability::kUnknown, Availability::kDown},
      {5000, 3, 4, Availability::kUp, Availability::kUp, Availability::kUp},
  };
  for (const Step& st : steps) {
    s->online = st.online;
    set_conn(*s, 0, 1, st.lan2_state, "198.51.100.50");
    h.record(tavrix::take_snapshot(*s), st.t);
  }
  ASSERT_EQ(h.rows().size(), 3u) << "LAN1, LAN2 and the one Redundant COM port";
  EXPECT_EQ(h.rows()[0].label, "LAN1");
  EXPECT_EQ(h.rows()[1].label, "LAN2");
  EXPECT_EQ(h.rows()[2].label, "Port 1");
  for (const Step& st : steps) {
    for (int64_t t : {st.t, st.t + 999}) {
      SCOPED_TRACE(t);
      EXPECT_EQ(h.rows()[1].at(t), st.lan2);
      EXPECT_EQ(h.rows()[2].at(t), st.port1);
      EXPECT_EQ(h.summary().at(t), st.summary);
    }
  }
  EXPECT_EQ(h.summary().at(999), Availability::kUnknown) << "nothing before the first look";
  EXPECT_EQ(h.rows()[0].changes.size(), 3u) << "only changes are stored";

  // Port 2 enters Redundant COM later: its row appears after the LAN rows and port 1.
  s->mode[1] = 15;
  h.record(tavrix::take_snapshot(*s), 6000);
  ASSERT_EQ(h.rows().size(), 4u);
  EXPECT_EQ(h.rows()[3].label, "Port 2");
  EXPECT_EQ(h.rows()[3].at(6000), Availability::kDown);

  h.record_gap(7000);
  for (const auto& r : h.rows()) EXPECT_EQ(r.at(7000), Availability::kUnknown) << r.label;
}

TEST(AvailabilityHistory, AFlappingLanStaysBoundedInCountAndTime) {
  use_models();
  auto s = server("192.0.2.11", "198.51.100.11");
  AvailabilityHistory h;
  const std::size_t flips = AvailabilityHistory::kMaxChanges * 2 + 7;
  for (std::size_t i = 0; i < flips; ++i) {
    s->online = (i % 2) ? 1 : 3;
    h.record(tavrix::take_snapshot(*s), static_cast<int64_t>(i) * 1000);
  }
  EXPECT_EQ(h.rows()[1].changes.size(), AvailabilityHistory::kMaxChanges);
  EXPECT_EQ(h.rows()[1].changes.back().time_ms, static_cast<int64_t>(flips - 1) * 1000);

  // Trimming keeps the state in force at the cut and drops what is older.
  const int64_t now = static_cast<int64_t>(flips) * 1000 + AvailabilityHistory::kKeepMs;
  h.trim(now);
  EXPECT_EQ(h.rows()[1].changes.size(), 1u);
  EXPECT_EQ(h.rows()[1].at(now), (flips - 1) % 2 ? Availability::kDown : Availability::kUp);
  EXPECT_EQ(h.rows()[0].changes.size(), 1u) << "LAN1 never changed";
}

}  // namespace
