// Tests of the search engine: every reply layout, identity matching and refresh through
// process_search_reply, and whole searches aimed at a loopback address (directed end,
// 1029-only devices, quiet rounds, callback stops, failures).
#include <gtest/gtest.h>

#include <vector>

#include "qeld/exchange.h"
#include "qeld/library.h"
#include "qeld/qnsock/quiet_ports.h"
#include "qeld/result_codes.h"
#include "qeld/search_engine.h"
#include "udp_peer.h"

using namespace qeld;
using namespace tavrix_test;

namespace {

struct Dev {
  uint32_t key = 0x0A0B0C0Du;
  uint16_t id = 0x2613;
  uint16_t unit = 0x0102;
  uint8_t mac1[6] = {0x00, 0x90, 0xE8, 0x00, 0x00, 0x01};
  uint8_t mac2[6] = {0x00, 0x90, 0xE8, 0x00, 0x00, 0x02};
  uint32_t ip1 = ip_of("10.0.0.5");
  uint32_t ip2 = ip_of("10.0.1.5");
};

void put32le(Bytes& b, std::size_t at, uint32_t v) {
  for (int k = 0; k < 4; ++k) b[at + k] = static_cast<uint8_t>(v >> (8 * k));
}
void put16le(Bytes& b, std::size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put_ip(Bytes& b, std::size_t at, uint32_t ip) {
  std::memcpy(&b[at], &ip, 4);
}
void put_mac(Bytes& b, std::size_t at, const uint8_t* mac) {
  std::memcpy(&b[at], mac, 6);
}

Bytes head4800(std::size_t declared, std::size_t size) {
  Bytes b(size, 0);
  b[0] = 0x81;
  b[2] = static_cast<uint8_t>(declared >> 8);
  b[3] = static_cast<uint8_t>(declared);
  return b;
}

Bytes r24(const Dev& d) {
  Bytes b = head4800(24, 24);
  put32le(b, 8, d.key);
  put16le(b, 12, d.id);
  put_mac(b, 14, d.mac1);
  put_ip(b, 20, d.ip1);
  return b;
}

Bytes r40(const Dev& d) {
  Bytes b = head4800(40, 40);
  put32le(b, 8, d.key);
  put16le(b, 12, d.id);
  std::memset(&b[14], 0x77, 6);  // not read
  put_ip(b, 20, d.ip1);
  put_mac(b, 24, d.mac1);
  put_ip(b, 30, d.ip2);
  put_mac(b, 34, d.mac2);
  return b;
}

Bytes r82(const Dev& d) {
  Bytes b(38, 0);
  b[0] = 0x82;
  b[3] = 38;
  put32le(b, 6, d.key);
  put16le(b, 10, d.id);
  put16le(b, 12, d.unit);
  std::memset(&b[14], 0x77, 4);  // not read
  put_ip(b, 18, d.ip1);
  put_ip(b, 22, d.ip2);
  put_mac(b, 26, d.mac1);
  put_mac(b, 32, d.mac2);
  return b;
}

Bytes rC9(const Dev& d) {
  Bytes b(24, 0);
  b[0] = 0xC9;
  b[3] = 24;
  put32le(b, 6, d.key);
  put16le(b, 10, d.id);
  put16le(b, 12, d.unit);
  put_mac(b, 18, d.mac1);
  return b;
}

const uint32_t kBroadcast = 0xFFFFFFFFu;
const uint32_t kSender = ip_of("10.0.0.9");
const uint32_t kLocal = ip_of("10.0.0.1");

// Feeds one reply to the engine's processing step, recording the callback's calls.
struct Engine {
  FoundList found;
  std::vector<DeviceIdentity> seen;
  int answer = 1;
  int end_code = 0;
  uint32_t target = kBroadcast;

  ReplyOutcome feed(const Bytes& reply, int group, uint32_t sender = kSender,
                    uint32_t local = kLocal) {
    end_code = 0;
    return process_search_reply(
        found, reply.data(), static_cast<int>(reply.size()), group, sender, local, target,
        [this](const DeviceIdentity* r) {
          seen.push_back(*r);
          return answer;
        },
        &end_code);
  }
};

TEST(SearchReply, Length24ReplyTakesIp2FromTheSender) {
  Engine e;
  Dev d;
  ASSERT_EQ(e.feed(r24(d), kGroup4800), ReplyOutcome::kNew);
  ASSERT_EQ(e.found.count, 1);
  ASSERT_EQ(e.seen.size(), 1u);
  const DeviceIdentity& r = *e.found.records[0];
  EXPECT_EQ(r.model_key, d.key);
  EXPECT_EQ(r.model_id, d.id);
  EXPECT_EQ(0, std::memcmp(r.mac1, d.mac1, 6));
  EXPECT_EQ(r.ip1, d.ip1);
  EXPECT_EQ(r.ip2, kSender);
  EXPECT_EQ(r.local_ip, kLocal);
  EXPECT_EQ(r.flags, 0);
  EXPECT_EQ(r.unit_id, 0);
  EXPECT_EQ(r.mac2[0] | r.mac2[5], 0);
  EXPECT_TRUE(ds_info_equal(r, e.seen[0]));
}

TEST(SearchReply, Length40ReplyCarriesBothLansAndIp2FallsBackToIp1) {
  Engine e;
  Dev d;
  ASSERT_EQ(e.feed(r40(d), kGroup4800), ReplyOutcome::kNew);
  const DeviceIdentity& r = *e.found.records[0];
  EXPECT_EQ(r.ip1, d.ip1);
  EXPECT_EQ(r.ip2, d.ip2);
  EXPECT_EQ(0, std::memcmp(r.mac1, d.mac1, 6));  // from bytes 24-29, not 14-19
  EXPECT_EQ(0, std::memcmp(r.mac2, d.mac2, 6));

  Dev other;
  other.mac1[5] = 0x33;
  other.ip2 = 0;
  ASSERT_EQ(e.feed(r40(other), kGroup4800), ReplyOutcome::kNew);
  EXPECT_EQ(e.found.records[1]->ip2, other.ip1);
}

TEST(SearchReply, Code82ReplyIsA1029RecordWithBothAddresses) {
  Engine e;
  Dev d;
  ASSERT_EQ(e.feed(r82(d), kGroup1029), ReplyOutcome::kNew);
  const DeviceIdentity& r = *e.found.records[0];
  EXPECT_EQ(r.model_key, d.key);
  EXPECT_EQ(r.model_id, d.id);
  EXPECT_EQ(r.unit_id, d.unit);
  EXPECT_EQ(r.ip1, d.ip1);
  EXPECT_EQ(r.ip2, d.ip2);
  EXPECT_EQ(0, std::memcmp(r.mac1, d.mac1, 6));
  EXPECT_EQ(0, std::memcmp(r.mac2, d.mac2, 6));
  EXPECT_EQ(r.flags, kFlag1029);
}

TEST(SearchReply, OtherCode1029ReplyUsesTheSenderForBothAddresses) {
  Engine e;
  e.target = ip_of("10.0.0.9");
  Dev d;
  ASSERT_EQ(e.feed(rC9(d), kGroup1029), ReplyOutcome::kNew);
  const DeviceIdentity& r = *e.found.records[0];
  EXPECT_EQ(r.ip1, kSender);
  EXPECT_EQ(r.ip2, kSender);
  EXPECT_EQ(r.unit_id, d.unit);
  EXPECT_EQ(0, std::memcmp(r.mac1, d.mac1, 6));
  EXPECT_EQ(r.mac2[0] | r.mac2[1] | r.mac2[2] | r.mac2[3] | r.mac2[4] | r.mac2[5], 0);
  EXPECT_EQ(r.flags, kFlag1029 | kFlagDirected);
}

TEST(SearchReply, RepliesWithoutALayoutMakeNoRecord) {
  Engine e;
  Dev d;
  Bytes odd = r24(d);
  odd[3] = 32;  // a 4800 length that is neither 24 nor 40
  Bytes c81 = rC9(d);
  c81[0] = 0x81;
  auto cut = [](Bytes b, std::size_t n) {
    b.resize(n);
    return b;
  };
  Bytes short24 = cut(r24(d), 23);  // declares 24, 23 arrived
  Bytes short40 = cut(r40(d), 39);
  Bytes short82 = cut(r82(d), 37);
  Bytes shortC9 = cut(rC9(d), 23);
  for (const auto& [reply, group] :
       std::vector<std::pair<Bytes, int>>{{odd, kGroup4800},
                                          {c81, kGroup1029},
                                          {short24, kGroup4800},
                                          {short40, kGroup4800},
                                          {short82, kGroup1029},
                                          {shortC9, kGroup1029},
                                          {Bytes{0x81, 0, 0}, kGroup4800},
                                          {Bytes{}, kGroup1029},
                                          {r24(d), 7}}) {
    EXPECT_EQ(e.feed(reply, group), ReplyOutcome::kIgnored);
  }
  EXPECT_EQ(e.found.count, 0);
  EXPECT_TRUE(e.seen.empty());
  // Null bytes are no reply either.
  EXPECT_EQ(
      process_search_reply(e.found, nullptr, 40, kGroup4800, 0, 0, kBroadcast, nullptr, nullptr),
      ReplyOutcome::kIgnored);
}

TEST(SearchReply, BytesPastFortyAreNotRead) {
  Engine e;
  Dev d;
  Bytes long40 = r40(d);
  long40.resize(60, 0xAB);
  ASSERT_EQ(e.feed(long40, kGroup4800), ReplyOutcome::kNew);
  EXPECT_EQ(0, std::memcmp(e.found.records[0]->mac2, d.mac2, 6));
}

TEST(SearchReply, IdentityRulesOfEachLayout) {
  Engine e;
  Dev d;
  ASSERT_EQ(e.feed(r24(d), kGroup4800), ReplyOutcome::kNew);
  Dev key_differs = d;
  key_differs.key ^= 1;
  EXPECT_EQ(e.feed(r24(key_differs), kGroup4800), ReplyOutcome::kNew);  // key counts in 4800
  EXPECT_EQ(e.feed(r40(d), kGroup4800), ReplyOutcome::kRefreshed);
  // A 1029 reply with the same id and mac1 is the same server, whatever its key.
  EXPECT_EQ(e.feed(rC9(key_differs), kGroup1029), ReplyOutcome::kRefreshed);
  EXPECT_EQ(e.found.count, 2);

  Engine f;
  Dev a;
  a.mac1[0] = 0x44;
  ASSERT_EQ(f.feed(r82(a), kGroup1029), ReplyOutcome::kNew);
  Dev a_key = a;
  a_key.key = 0x99999999u;
  EXPECT_EQ(f.feed(r82(a_key), kGroup1029), ReplyOutcome::kRefreshed);
  Dev a_unit = a;
  a_unit.unit ^= 0x100;
  EXPECT_EQ(f.feed(r82(a_unit), kGroup1029), ReplyOutcome::kNew);
  Dev a_mac2 = a;
  a_mac2.mac2[5] ^= 1;
  EXPECT_EQ(f.feed(r82(a_mac2), kGroup1029), ReplyOutcome::kNew);
  Dev a_id = a;
  a_id.id ^= 1;
  EXPECT_EQ(f.feed(rC9(a_id), kGroup1029), ReplyOutcome::kNew);
  EXPECT_EQ(f.found.count, 4);
  EXPECT_EQ(f.seen.size(), 4u);
}

TEST(SearchReply, RefreshUpdatesAddressesAndFlagWithoutTheCallback) {
  Engine e;
  Dev d;
  ASSERT_EQ(e.feed(r24(d), kGroup4800), ReplyOutcome::kNew);
  Dev moved = d;
  moved.ip1 = ip_of("10.0.0.6");
  moved.ip2 = 0;
  e.target = ip_of("10.0.0.9");
  ASSERT_EQ(e.feed(r40(moved), kGroup4800, kSender, ip_of("10.0.2.1")), ReplyOutcome::kRefreshed);
  const DeviceIdentity& r = *e.found.records[0];
  EXPECT_EQ(r.ip1, moved.ip1);
  EXPECT_EQ(r.ip2, moved.ip1);  // 0 in the reply falls back to ip1
  EXPECT_EQ(r.local_ip, ip_of("10.0.2.1"));
  EXPECT_EQ(r.flags, kFlagDirected);
  EXPECT_EQ(e.seen.size(), 1u);

  e.target = kBroadcast;
  ASSERT_EQ(e.feed(rC9(d), kGroup1029, ip_of("10.0.0.7")), ReplyOutcome::kRefreshed);
  EXPECT_EQ(r.ip1, ip_of("10.0.0.7"));
  EXPECT_EQ(r.ip2, ip_of("10.0.0.7"));
  EXPECT_EQ(r.flags, 0);  // cleared by a broadcast; the 1029 flag is only set on making
  EXPECT_EQ(e.seen.size(), 1u);
}

TEST(SearchReply, DirectedSearchEndsAtItsFirstNew4800Reply) {
  Engine e;
  e.target = ip_of("10.0.0.9");
  Dev d;
  ASSERT_EQ(e.feed(rC9(d), kGroup1029), ReplyOutcome::kNew);  // 1029 does not end it
  Dev other;
  other.mac1[0] = 0x55;
  ASSERT_EQ(e.feed(r24(other), kGroup4800), ReplyOutcome::kEnd);
  EXPECT_EQ(e.end_code, 1);
  EXPECT_EQ(e.found.count, 2);
  EXPECT_EQ(e.found.records[1]->flags, kFlagDirected);
}

TEST(SearchReply, CallbackRefusalEndsWithoutKeepingTheRecord) {
  Engine e;
  e.answer = 0;
  ASSERT_EQ(e.feed(r82(Dev{}), kGroup1029), ReplyOutcome::kEnd);
  EXPECT_EQ(e.end_code, kErrStopped);
  EXPECT_EQ(e.found.count, 0);
  EXPECT_EQ(e.seen.size(), 1u);
}

TEST(SearchReply, The512thNewRecordEndsTheSearch) {
  Engine e;
  for (int i = 0; i < 512; ++i) {
    Dev d;
    d.mac1[4] = static_cast<uint8_t>(i >> 8);
    d.mac1[5] = static_cast<uint8_t>(i);
    ReplyOutcome o = e.feed(r24(d), kGroup4800);
    ASSERT_EQ(o, i < 511 ? ReplyOutcome::kNew : ReplyOutcome::kEnd) << i;
  }
  EXPECT_EQ(e.end_code, 512);
  EXPECT_EQ(e.found.count, 512);
  EXPECT_EQ(e.seen.size(), 512u);
  e.found.clear();
  EXPECT_EQ(e.found.count, 0);
}

// Whole searches aimed at 127.0.0.1, with scripted devices on the two device ports.
class SearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_address_source([](AddressList& out) {
      out = AddressList{};
      out.addr[out.count++] = ip_of("127.0.0.1");
      return 1;
    });
    ASSERT_TRUE(p4800.ok() && p1029.ok());
    set_device_ports(p4800.port(), p1029.port());
    set_search_options(300, 2);
  }
  void TearDown() override {
    p4800.stop();
    p1029.stop();
    set_search_options(1000, 5);
    set_device_ports(kPort4800, kPort1029);
    set_address_source(nullptr);
  }

  // Records what the callback sees; answers `answer` to records and `quiet` to quiet waits.
  ReplyCallback recorder(int answer = 1, int quiet = 1) {
    return [this, answer, quiet](const DeviceIdentity* r) {
      if (r == nullptr) {
        ++quiet_calls;
        return quiet;
      }
      seen.push_back(*r);
      if (library_lock().try_lock()) {
        library_lock().unlock();
        lock_was_free = true;
      }
      return answer;
    };
  }

  static Script answer_code(uint8_t request_code, Bytes reply) {
    return [request_code, reply](const Received& req, int) {
      if (req.bytes.empty() || req.bytes[0] != request_code) return std::vector<Answer>{};
      return std::vector<Answer>{{reply}};
    };
  }

  UdpPeer p4800;
  UdpPeer p1029;
  std::vector<DeviceIdentity> seen;
  int quiet_calls = 0;
  bool lock_was_free = false;
  const uint32_t loopback = ip_of("127.0.0.1");
};

TEST_F(SearchTest, DirectedSearchEndsAtTheFirstNew4800Reply) {
  Dev d;
  p4800.serve(answer_code(0x01, r24(d)));
  p1029.serve(nullptr);
  EXPECT_EQ(search_servers(loopback, recorder()), 1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].ip1, d.ip1);
  EXPECT_EQ(seen[0].ip2, loopback);
  EXPECT_EQ(seen[0].local_ip, loopback);
  EXPECT_EQ(seen[0].flags, kFlagDirected);
  EXPECT_EQ(quiet_calls, 0);
  EXPECT_FALSE(lock_was_free);  // the search holds the library lock
  EXPECT_EQ(p4800.request_count(), 1u);
  ASSERT_TRUE(p1029.wait_requests(2, 1000));
  auto r = p1029.requests();
  EXPECT_EQ(r[0].bytes[0], 0x49);
  EXPECT_EQ(r[1].bytes[0], 0x02);
}

TEST_F(SearchTest, DeviceAnsweringOnlyIn1029IsFoundOnceAndTheQuietRoundsRunOut) {
  Dev d;
  p4800.serve(nullptr);
  p1029.serve(answer_code(0x49, rC9(d)));
  const int fds_before = open_fd_count();
  EXPECT_EQ(run_search(loopback, recorder(), search_options()), 1);  // one record found
  EXPECT_GT(parked_socket_count(), 0) << "the search's sockets were closed, not parked";
  close_parked_sockets();
  EXPECT_EQ(open_fd_count(), fds_before);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].ip1, loopback);
  EXPECT_EQ(seen[0].ip2, loopback);
  EXPECT_EQ(seen[0].flags, kFlag1029 | kFlagDirected);
  EXPECT_EQ(quiet_calls, 2);  // a round with the new server, then one quiet round

  // The second round names the server found in the first.
  auto r01 = p4800.requests();
  ASSERT_EQ(r01.size(), 2u);
  EXPECT_EQ(r01[0].bytes.size(), 8u);
  EXPECT_EQ(r01[1].bytes.size(), 20u);
  auto r1029 = p1029.requests();
  ASSERT_EQ(r1029.size(), 4u);
  EXPECT_EQ(r1029[2].bytes.size(), 10u);
  EXPECT_EQ(r1029[2].bytes[6] | (r1029[2].bytes[7] << 8), d.id);
  EXPECT_EQ(r1029[2].bytes[8] | (r1029[2].bytes[9] << 8), d.unit);
}

TEST_F(SearchTest, SearchCountsTheServersItFound) {
  Dev a, b;
  b.mac1[5] = 0x77;
  p4800.serve(nullptr);
  p1029.serve([a, b](const Received& req, int) {
    if (req.bytes[0] != 0x49) return std::vector<Answer>{};
    return std::vector<Answer>{{rC9(a)}, {r82(b)}};
  });
  TimeoutBlock opts;
  opts.timeout_ms = 300;
  opts.attempts = 3;
  EXPECT_EQ(run_search(loopback, recorder(), opts), 2);
  EXPECT_EQ(seen.size(), 2u);  // later rounds only refresh
  EXPECT_EQ(quiet_calls, 3);
}

TEST_F(SearchTest, SilentAddressFindsNothingAfterTheQuietRounds) {
  p4800.serve(nullptr);
  p1029.serve(nullptr);
  EXPECT_EQ(search_servers(loopback, recorder()), kPubTimeout);
  EXPECT_EQ(quiet_calls, 2);
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(p4800.request_count(), 2u);
  EXPECT_EQ(run_search(loopback, recorder(), search_options()), kErrTimeout);
}

TEST_F(SearchTest, CallbackStopsTheSearchAtARecordOrAtAQuietWait) {
  p4800.serve(nullptr);
  p1029.serve(answer_code(0x49, rC9(Dev{})));
  EXPECT_EQ(search_servers(loopback, recorder(0)), kPubStopped);
  EXPECT_EQ(seen.size(), 1u);
  EXPECT_EQ(quiet_calls, 0);

  p1029.stop();
  p1029.serve(nullptr);
  seen.clear();
  ASSERT_TRUE(p4800.wait_requests(1, 1000));  // the first search's request is counted
  const std::size_t before = p4800.request_count();
  EXPECT_EQ(search_servers(loopback, recorder(1, 0)), kPubStopped);
  EXPECT_EQ(quiet_calls, 1);
  EXPECT_EQ(p4800.request_count(), before + 1);  // no second round
}

TEST_F(SearchTest, NoCallbackIsABadArgumentWithNothingSent) {
  p4800.serve(nullptr);
  p1029.serve(nullptr);
  EXPECT_EQ(search_servers(loopback, ReplyCallback{}), kPubBadArgument);
  EXPECT_EQ(search_servers(0, nullptr), kPubBadArgument);
  EXPECT_FALSE(p4800.wait_requests(1, 100));
  EXPECT_EQ(p1029.request_count(), 0u);
}

TEST_F(SearchTest, RefusalInThe1029FamilyEndsTheSearch) {
  Bytes refused = rC9(Dev{});
  refused[1] = 6;
  p4800.serve(nullptr);
  p1029.serve(answer_code(0x49, refused));
  EXPECT_EQ(search_servers(loopback, recorder()), kPubRefused);
  EXPECT_TRUE(seen.empty());
}

TEST_F(SearchTest, NoLocalAddressIsASocketFailure) {
  set_address_source([](AddressList& out) {
    out = AddressList{};
    return 0;
  });
  const int before = open_fd_count();
  EXPECT_EQ(search_servers(loopback, recorder()), kPubSocket);
  EXPECT_EQ(open_fd_count(), before);
}

}  // namespace
