// The server list object without a network: text helpers, model predicates, the
// server list and its limits, handle opening per LAN, the result list and its drop
// rule, and poller bookkeeping with handles that could not be opened.
#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <set>
#include <thread>

#include "core/server_list.h"
#include "core/poller.h"
#include "core/port_texts.h"
#include "qeld/library.h"
#include "qeld/model_map.h"

namespace {

using namespace std::chrono_literals;

uint32_t ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t bytes[4] = {a, b, c, d};
  uint32_t v;
  std::memcpy(&v, bytes, 4);
  return v;
}

qeld::TModelEntry entry(uint32_t key, uint16_t id, uint8_t attr, uint32_t ports, const char* name) {
  qeld::TModelEntry e;
  e.model_key = key;
  e.model_id = id;
  e.attributes[2] = attr;
  e.port_count = ports;
  std::strncpy(e.name, name, sizeof e.name - 1);
  return e;
}

qeld::DeviceIdentity reply(uint16_t id, uint32_t ip1, uint8_t mac_last, uint32_t ip2 = 0,
                     uint8_t mac2_last = 0) {
  qeld::DeviceIdentity r;
  r.model_key = 0x10;
  r.model_id = id;
  r.ip1 = ip1;
  r.ip2 = ip2;
  const uint8_t m1[6] = {0x00, 0x90, 0xE8, 0x01, 0x02, mac_last};
  std::memcpy(r.mac1, m1, 6);
  if (mac2_last) {
    const uint8_t m2[6] = {0x00, 0x90, 0xE8, 0x01, 0x03, mac2_last};
    std::memcpy(r.mac2, m2, 6);
  }
  return r;
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

// The count before a test's own threads. Starting one thread first lets a sanitizer
// start its helper thread now, not in the middle of the test's counting.
int baseline_thread_count() {
  std::thread([] {}).join();
  return thread_count();
}

template <class Pred>
bool eventually(Pred p, std::chrono::milliseconds limit = 10s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!p()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class DsListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qeld::set_model_map({entry(0x10, 0x1111, 0x04, 4, "TX-A4"),
                         entry(0x10, 0x2222, 0x00, 8, "TX-B8"),
                         entry(0x10, 0x3333, 0x40, 2, "TX-D2"),
                         entry(0x10, 0x4444, 0x00, 40, "TX-BIG"),
                         entry(0x99, 0x3333, 0x04, 2, "TX-D2 other key")});
  }
  void TearDown() override {
    for (int h = 0; h < qeld::kMaxHandles; ++h) qeld::close_handle(h);
    qeld::clear_model_map();
  }
};

TEST(TextHelpers, IpTextIsDottedInAddressOrderAndBlanksZeroAndBroadcast) {
  EXPECT_EQ(tavrix::ip_text(ip(192, 0, 2, 17), true), "192.0.2.17");
  EXPECT_EQ(tavrix::ip_text(ip(10, 255, 0, 1), false), "10.255.0.1");
  EXPECT_EQ(tavrix::ip_text(0, false), "");
  EXPECT_EQ(tavrix::ip_text(0, true), "");
  EXPECT_EQ(tavrix::ip_text(0xFFFFFFFFu, true), "");
  EXPECT_EQ(tavrix::ip_text(0xFFFFFFFFu, false), "255.255.255.255");
}

TEST(TextHelpers, MacTextIsUpperCaseHexWithColons) {
  const uint8_t mac[6] = {0x00, 0x9a, 0xe8, 0x0b, 0xff, 0x01};
  EXPECT_EQ(tavrix::mac_text(mac), "00:9A:E8:0B:FF:01");
  const uint8_t zero[6] = {};
  EXPECT_EQ(tavrix::mac_text(zero), tavrix::kNoMac);
}

TEST_F(DsListTest, ModelPredicatesCompareTheModelIdOnlyAcrossAllEntries) {
  EXPECT_TRUE(tavrix::uses_mode_set_a(0x1111));
  EXPECT_FALSE(tavrix::uses_mode_set_a(0x2222));
  // 0x3333 has bit 0x04 only in its second entry, under another key.
  EXPECT_TRUE(tavrix::uses_mode_set_a(0x3333));
  EXPECT_FALSE(tavrix::uses_mode_set_a(0x5555));
  EXPECT_TRUE(tavrix::requires_second_mac(reply(0x3333, 1, 1)));
  EXPECT_FALSE(tavrix::requires_second_mac(reply(0x1111, 1, 1)));
  EXPECT_TRUE(tavrix::expects_two_replies(0x2613));
  EXPECT_TRUE(tavrix::expects_two_replies(0x2618));
  EXPECT_FALSE(tavrix::expects_two_replies(0x2614));
  EXPECT_EQ(tavrix::text_set_for(0x1111).supported_mode, 15);
  EXPECT_EQ(tavrix::text_set_for(0x2222).supported_mode, 22);
}

TEST(InTimeMark, LimitIsInclusiveAndSurvivesTheTickWrap) {
  EXPECT_TRUE(tavrix::within_limit(1000, 2500));
  EXPECT_FALSE(tavrix::within_limit(1000, 2501));
  EXPECT_TRUE(tavrix::within_limit(0xFFFFFF00u, 0x00000100u));   // 512 ms across the wrap
  EXPECT_FALSE(tavrix::within_limit(0xFFFFFF00u, 0x00000700u));  // 2048 ms across the wrap
}

TEST(ServerRecord, StartsWithUnknownModesAndZeroRecords) {
  tavrix::ServerRecord s;
  for (int i = 0; i < tavrix::kMaxPorts; ++i) EXPECT_EQ(s.mode_at(i), -1);
  EXPECT_EQ(s.online.load(), 0);
  EXPECT_EQ(s.conn_state(31, 4, 1), 0);
}

TEST(ServerRecord, ConnectionFieldsAreReadAtTheirOffsets) {
  tavrix::ServerRecord s;
  uint8_t rec[80] = {};
  for (int n = 1; n <= 4; ++n) {
    const uint32_t a = ip(192, 0, 2, static_cast<uint8_t>(n)), b = ip(198, 51, 100, static_cast<uint8_t>(n));
    std::memcpy(rec + 8 * (n - 1), &a, 4);
    std::memcpy(rec + 8 * (n - 1) + 4, &b, 4);
    rec[64 + 2 * (n - 1)] = static_cast<uint8_t>(n);
    rec[65 + 2 * (n - 1)] = static_cast<uint8_t>(10 + n);
  }
  s.store_conn(5, rec);
  for (int n = 1; n <= 4; ++n) {
    EXPECT_EQ(s.conn_peer(5, n, 0), ip(192, 0, 2, static_cast<uint8_t>(n)));
    EXPECT_EQ(s.conn_peer(5, n, 1), ip(198, 51, 100, static_cast<uint8_t>(n)));
    EXPECT_EQ(s.conn_state(5, n, 0), n);
    EXPECT_EQ(s.conn_state(5, n, 1), 10 + n);
  }
  uint8_t back[80];
  s.load_conn(5, back);
  EXPECT_EQ(std::memcmp(back, rec, 80), 0);
  EXPECT_EQ(s.conn_peer(4, 1, 0), 0u);  // the neighbour is untouched
}

TEST_F(DsListTest, MakeServerRecordOpensEachLanAtItsOwnAddress) {
  tavrix::ServerList list;
  const qeld::DeviceIdentity r = reply(0x2222, ip(192, 0, 2, 10), 0x21, ip(198, 51, 100, 10), 0x22);
  auto rec = list.make_server_record(r);
  EXPECT_EQ(rec->port_count, 8);
  EXPECT_EQ(rec->dual_lan, 1);
  EXPECT_EQ(rec->ip1, r.ip1);
  EXPECT_EQ(rec->ip2, r.ip2);
  EXPECT_EQ(std::memcmp(rec->mac2, r.mac2, 6), 0);
  EXPECT_EQ(rec->monitoring.load(), 0);
  ASSERT_GE(rec->handle1.id(), 0);
  ASSERT_GE(rec->handle2.id(), 0);
  EXPECT_NE(rec->handle1.id(), rec->handle2.id());

  qeld::DeviceIdentity h1, h2;
  qeld::TimeoutBlock t;
  ASSERT_TRUE(qeld::handle_snapshot(rec->handle1.id(), h1, t));
  ASSERT_TRUE(qeld::handle_snapshot(rec->handle2.id(), h2, t));
  // Commands go to the handle copy's ip2: LAN1's address for handle1, LAN2's for handle2.
  EXPECT_EQ(h1.ip1, r.ip1);
  EXPECT_EQ(h1.ip2, r.ip1);
  EXPECT_EQ(std::memcmp(h1.mac2, r.mac1, 6), 0);
  EXPECT_EQ(h2.ip1, r.ip2);
  EXPECT_EQ(h2.ip2, r.ip2);
  EXPECT_EQ(std::memcmp(h2.mac1, r.mac2, 6), 0);
  EXPECT_EQ(std::memcmp(h2.mac2, r.mac2, 6), 0);
}

TEST_F(DsListTest, MakeServerRecordForSingleLanAndUnknownOrLargeModels) {
  tavrix::ServerList list;
  const int before = qeld::open_handle_count();
  auto single = list.make_server_record(reply(0x1111, ip(192, 0, 2, 11), 0x31));
  EXPECT_EQ(single->dual_lan, 0);
  EXPECT_GE(single->handle1.id(), 0);
  EXPECT_EQ(qeld::open_handle_count(), before + 1);  // no second handle
  EXPECT_EQ(single->port_count, 4);

  EXPECT_EQ(list.make_server_record(reply(0x7777, ip(192, 0, 2, 12), 0x32))->port_count, 0);
  EXPECT_EQ(list.make_server_record(reply(0x4444, ip(192, 0, 2, 13), 0x33))->port_count, 32);
}

TEST_F(DsListTest, FailedHandleOpenLeavesANegativeHandle) {
  tavrix::ServerList list;
  std::vector<int> taken;
  int h;
  qeld::DeviceIdentity any;
  while (qeld::open_handle(&any, &h) == 1) taken.push_back(h);
  auto rec = list.make_server_record(reply(0x2222, ip(192, 0, 2, 14), 0x41, ip(198, 51, 100, 14), 0x42));
  EXPECT_LT(rec->handle1.id(), 0);
  EXPECT_LT(rec->handle2.id(), 0);
  EXPECT_EQ(list.add_server(rec), 1);  // still added
}

TEST_F(DsListTest, AddServerRefusesThe513th) {
  tavrix::ServerList list;
  for (int i = 0; i < tavrix::kMaxServers; ++i)
    ASSERT_EQ(list.add_server(std::make_shared<tavrix::ServerRecord>()), 1) << i;
  auto extra = std::make_shared<tavrix::ServerRecord>();
  EXPECT_EQ(list.add_server(extra), 0);
  EXPECT_EQ(list.server_count(), tavrix::kMaxServers);
  EXPECT_EQ(extra.use_count(), 1);  // the list did not keep it
  EXPECT_EQ(list.server_at(tavrix::kMaxServers), nullptr);
  EXPECT_EQ(list.server_at(-1), nullptr);
}

// A full list of dual-LAN servers: every LAN of every server gets a handle of its own.
TEST_F(DsListTest, AFullListOfDualLanServersHoldsAHandlePerLan) {
  tavrix::ServerList list;
  std::set<int> handles;
  for (int i = 0; i < tavrix::kMaxServers; ++i) {
    const uint8_t a = uint8_t(i & 0xFF), b = uint8_t(i >> 8);
    auto rec =
        list.make_server_record(reply(0x2222, ip(192, 0, b, a), 0x60, ip(198, 51, b, a), 0x61));
    ASSERT_EQ(rec->dual_lan, 1);
    ASSERT_GE(rec->handle1.id(), 0) << "server " << i + 1;
    ASSERT_GE(rec->handle2.id(), 0) << "server " << i + 1;
    handles.insert(rec->handle1.id());
    handles.insert(rec->handle2.id());
    ASSERT_EQ(list.add_server(rec), 1);
  }
  EXPECT_EQ(handles.size(), std::size_t(2 * tavrix::kMaxServers));
  EXPECT_EQ(*handles.rbegin(), qeld::kMaxHandles - 1);
}

TEST_F(DsListTest, ServerExistsMatchesEitherLanByAddressAndMac) {
  tavrix::ServerList list;
  const qeld::DeviceIdentity r = reply(0x2222, ip(192, 0, 2, 20), 0x51, ip(198, 51, 100, 20), 0x52);
  list.add_server(list.make_server_record(r));

  EXPECT_TRUE(list.server_exists(r));
  // A reply that came over LAN2 names the second address and MAC as its first.
  qeld::DeviceIdentity via_lan2 = r;
  via_lan2.ip1 = r.ip2;
  std::memcpy(via_lan2.mac1, r.mac2, 6);
  EXPECT_TRUE(list.server_exists(via_lan2));
  qeld::DeviceIdentity other_mac = r;
  other_mac.mac1[5] ^= 1;
  EXPECT_FALSE(list.server_exists(other_mac));
  qeld::DeviceIdentity other_ip = r;
  other_ip.ip1 = ip(192, 0, 2, 21);
  EXPECT_FALSE(list.server_exists(other_ip));
  qeld::DeviceIdentity crossed = r;  // LAN1's address with LAN2's MAC is no match
  std::memcpy(crossed.mac1, r.mac2, 6);
  EXPECT_FALSE(list.server_exists(crossed));
}

TEST_F(DsListTest, SecondMacDropRuleAppliesToBroadcastRepliesOnly) {
  tavrix::ServerList list;
  const qeld::DeviceIdentity no_second = reply(0x3333, ip(192, 0, 2, 30), 0x61);
  list.add_result(no_second, 0);
  EXPECT_EQ(list.result_count(), 0);
  list.add_result(no_second, 1);
  ASSERT_EQ(list.result_count(), 1);
  EXPECT_TRUE(qeld::ds_info_equal(*list.result_at(0), no_second));

  list.add_result(reply(0x3333, ip(192, 0, 2, 31), 0x62, ip(198, 51, 100, 31), 0x63), 0);
  list.add_result(reply(0x2222, ip(192, 0, 2, 32), 0x64), 0);  // no 0x40 bit: kept
  EXPECT_EQ(list.result_count(), 3);
}

TEST_F(DsListTest, ReplyCallbacksKeepKnownModelsAndStopAtTheLimitOrOnAbort) {
  tavrix::ServerList list;
  EXPECT_EQ(list.on_reply_broadcast(nullptr), 1);
  const qeld::DeviceIdentity unknown = reply(0x7777, ip(192, 0, 2, 40), 0x71);
  EXPECT_EQ(list.on_reply_broadcast(&unknown), 1);
  EXPECT_EQ(list.result_count(), 0);
  const qeld::DeviceIdentity d2 = reply(0x3333, ip(192, 0, 2, 41), 0x72);
  EXPECT_EQ(list.on_reply_broadcast(&d2), 1);
  EXPECT_EQ(list.result_count(), 0);  // dropped by the second-MAC rule
  EXPECT_EQ(list.on_reply_by_ip(&d2), 1);
  EXPECT_EQ(list.result_count(), 1);

  for (int i = 1; i < tavrix::kMaxResults; ++i) {
    qeld::DeviceIdentity r = reply(0x2222, ip(10, 0, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)), 1);
    ASSERT_EQ(list.on_reply_broadcast(&r), 1);
  }
  ASSERT_EQ(list.result_count(), tavrix::kMaxResults);
  const qeld::DeviceIdentity extra = reply(0x2222, ip(10, 9, 9, 9), 2);
  EXPECT_EQ(list.on_reply_broadcast(&extra), 0);
  EXPECT_EQ(list.result_count(), tavrix::kMaxResults);
  EXPECT_EQ(list.result_at(tavrix::kMaxResults), nullptr);

  list.clear_results();
  EXPECT_EQ(list.result_count(), 0);
  EXPECT_EQ(list.result_at(0), nullptr);
  list.abort_search();
  EXPECT_EQ(list.on_reply_broadcast(nullptr), 0);
  EXPECT_EQ(list.on_reply_broadcast(&extra), 0);
  EXPECT_EQ(list.result_count(), 0);
}

// Servers whose handles could not be opened: every query fails at once, so the pollers
// run their loop quickly without any network.
class DeadHandleTest : public DsListTest {
 protected:
  std::shared_ptr<tavrix::ServerRecord> dead_server(uint8_t n) {
    auto s = std::make_shared<tavrix::ServerRecord>();
    s->model_id = 0x2222;
    s->port_count = 8;
    s->ip1 = ip(192, 0, 2, n);
    s->dual_lan = 1;
    return s;
  }
};

TEST_F(DeadHandleTest, FailedQueriesClearTheOnlineBitAndChangeNothing) {
  tavrix::ServerList list;
  list.refresh_rate = 1;
  auto s = dead_server(1);
  s->online = 3;  // as if both LANs had answered before
  list.add_server(s);
  s->monitoring = 1;
  list.start_poller(0, 0);
  // LAN1's bit goes; LAN2's bit belongs to another poller and stays.
  EXPECT_TRUE(eventually([&] { return s->online.load() == 2; }));
  for (int i = 0; i < tavrix::kMaxPorts; ++i) EXPECT_EQ(s->mode_at(i), -1);
  list.stop_poller(0, 0);
  EXPECT_TRUE(eventually([&] { return list.poller_count() == 0; }));
  EXPECT_EQ(s->online.load(), 0);  // leaving clears the whole word
}

TEST_F(DeadHandleTest, StopDuringThePauseEndsThePollerPromptly) {
  tavrix::ServerList list;
  list.refresh_rate = 99;
  list.add_server(dead_server(2));
  list.add_server(dead_server(3));
  list.start_poller(0, 0);
  list.start_poller(1, 0);
  list.start_poller(1, 1);
  EXPECT_EQ(list.poller_count(), 3);  // counted from the start, not from the first cycle
  std::this_thread::sleep_for(100ms);  // let them reach their 99 s pause
  const auto t0 = std::chrono::steady_clock::now();
  list.stop_poller(1, 0);
  list.stop_poller(1, 1);
  EXPECT_TRUE(eventually([&] { return list.poller_count() == 1; }, 20s));
  list.set_stop_all(1);
  EXPECT_TRUE(eventually([&] { return list.poller_count() == 0; }, 20s));
  // Far below the 99 s pause, on any machine.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 30s);
}

TEST_F(DeadHandleTest, DeleteServerKeepsPollerSlotsAligned) {
  tavrix::ServerList list;
  list.refresh_rate = 99;
  for (uint8_t i = 0; i < 3; ++i) list.add_server(dead_server(10 + i));
  auto third = list.server_ptr(2);
  for (int i = 0; i < 3; ++i) list.start_poller(i, 0);
  EXPECT_EQ(list.poller_count(), 3);

  list.stop_poller(1, 0);
  list.delete_server(1);
  EXPECT_EQ(list.server_count(), 2);
  EXPECT_EQ(list.server_at(1), third.get());
  ASSERT_TRUE(eventually([&] { return list.poller_count() == 2; }));

  // Slot 1 now belongs to the server that moved down: stopping it ends that poller.
  list.stop_poller(1, 0);
  EXPECT_TRUE(eventually([&] { return list.poller_count() == 1; }));
  list.stop_poller(0, 0);
  EXPECT_TRUE(eventually([&] { return list.poller_count() == 0; }));
}

TEST_F(DeadHandleTest, RemovedRecordsLiveUntilTheirPollersEnd) {
  tavrix::ServerList list;
  list.refresh_rate = 99;
  list.add_server(dead_server(20));
  list.add_server(dead_server(21));
  std::weak_ptr<tavrix::ServerRecord> first = list.server_ptr(0);
  std::weak_ptr<tavrix::ServerRecord> second = list.server_ptr(1);
  list.start_poller(0, 0);
  list.start_poller(1, 0);
  list.start_poller(1, 1);

  list.clear_servers();  // pollers still running
  EXPECT_EQ(list.server_count(), 0);
  EXPECT_TRUE(eventually([&] { return list.poller_count() == 0; }));
  // Their records were held, then let go once the threads were reaped.
  list.add_server(dead_server(22));
  list.start_poller(0, 0);  // reaps what has ended
  EXPECT_TRUE(first.expired());
  EXPECT_TRUE(second.expired());
  list.set_stop_all(1);
}

TEST_F(DeadHandleTest, RestartingASlotWhileItsPollerRunsDoesNotBlockOrLeak) {
  const int threads_before = baseline_thread_count();
  {
    tavrix::ServerList list;
    list.refresh_rate = 99;
    list.add_server(dead_server(30));
    list.start_poller(0, 0);
    list.stop_poller(0, 0);
    list.start_poller(0, 0);  // the old poller may still be inside its loop
    EXPECT_TRUE(eventually([&] { return list.poller_count() == 1; }));
    EXPECT_TRUE(eventually([&] { return thread_count() == threads_before + 1; }));
  }  // the destructor stops and joins the rest
  // A joined thread may linger in /proc for a moment.
  EXPECT_TRUE(eventually([&] { return thread_count() == threads_before; }));
}

TEST_F(DeadHandleTest, DestructorLeavesNoThreadRunning) {
  const int threads_before = baseline_thread_count();
  {
    tavrix::ServerList list;
    list.refresh_rate = 99;
    for (uint8_t i = 0; i < 16; ++i) {
      list.add_server(dead_server(50 + i));
      list.start_poller(i, 0);
      list.start_poller(i, 1);
    }
    EXPECT_EQ(thread_count(), threads_before + 32);
  }
  EXPECT_TRUE(eventually([&] { return thread_count() == threads_before; }));
}

}  // namespace
