// Tests of the exchange on loopback: exact bytes of the search requests and the identity
// header, reply matching by code, status and id, resends, and late or foreign replies.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "qeld/exchange.h"
#include "qeld/library.h"
#include "qeld/result_codes.h"
#include "udp_peer.h"

using namespace qeld;
using namespace tavrix_test;

namespace {

using std::chrono::milliseconds;

DeviceIdentity device(int i) {
  DeviceIdentity d;
  d.model_key = 0xA1B2C300u + static_cast<uint32_t>(i);
  d.model_id = static_cast<uint16_t>(0x2613 + i);
  d.unit_id = static_cast<uint16_t>(0x0500 + i);
  for (int k = 0; k < 6; ++k) d.mac1[k] = static_cast<uint8_t>(0x10 * k + i);
  d.mac2[0] = 0xEE;
  return d;
}

// A 4800-family reply header: code|0x80, status, length, id.
Bytes reply4800(uint8_t code, uint8_t status = 0, uint32_t id = 0, std::size_t size = 24) {
  Bytes b(size, 0);
  b[0] = static_cast<uint8_t>(code | 0x80);
  b[1] = status;
  b[2] = static_cast<uint8_t>(size >> 8);
  b[3] = static_cast<uint8_t>(size);
  for (int k = 0; k < 4; ++k) b[4 + k] = static_cast<uint8_t>(id >> (8 * k));
  for (std::size_t k = 8; k < size; ++k) b[k] = static_cast<uint8_t>(k);
  return b;
}

Bytes reply1029(uint8_t code, uint8_t status = 0, uint16_t id = 0) {
  Bytes b(24, 0);
  b[0] = code;
  b[1] = status;
  b[3] = 24;
  b[4] = static_cast<uint8_t>(id);
  b[5] = static_cast<uint8_t>(id >> 8);
  return b;
}

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_address_source([](AddressList& out) {
      out = AddressList{};
      out.addr[out.count++] = ip_of("127.0.0.1");
      return 1;
    });
    ASSERT_TRUE(p4800.ok() && p1029.ok());
    set_device_ports(p4800.port(), p1029.port());
    ASSERT_EQ(udp_open_socket_set(set, 0), kOk);
  }
  void TearDown() override {
    p4800.stop();
    p1029.stop();
    udp_close_socket_set(set);
    set_device_ports(kPort4800, kPort1029);
    set_address_source(nullptr);
  }

  TimeoutBlock block(uint32_t ms, int attempts) {
    TimeoutBlock t;
    t.timeout_ms = ms;
    t.attempts = attempts;
    return t;
  }

  // One 21-byte command-shaped request to the 4800 peer, waited for with `t`.
  int exchange(uint8_t code, const TimeoutBlock& t, uint8_t* reply, int max_length,
               int* out_length = nullptr) {
    uint8_t req[21] = {code, 0, 0, 21};
    return udp_exchange(code, set, ip_of("127.0.0.1"), req, 21, reply, max_length, t, out_length);
  }

  UdpPeer p4800;
  UdpPeer p1029;
  UdpSocketSet set;
};

TEST_F(ExchangeTest, IdentityHeaderCarriesKeyIdAndFirstMacAsTheRecordHoldsThem) {
  uint8_t req[21];
  std::memset(req, 0xCC, sizeof req);
  DeviceIdentity d = device(1);
  build_identity_header(req, d);
  const uint8_t expect[12] = {0x01, 0xC3, 0xB2, 0xA1, 0x14, 0x26,
                              0x01, 0x11, 0x21, 0x31, 0x41, 0x51};
  EXPECT_EQ(0, std::memcmp(req + 8, expect, 12));
  EXPECT_EQ(req[7], 0xCC);  // bytes outside 8-19 are the caller's
  EXPECT_EQ(req[20], 0xCC);
}

TEST_F(ExchangeTest, SearchRequestsWithNoDevicesAreEightAndSixBytes) {
  p4800.serve(nullptr);
  p1029.serve(nullptr);
  const uint32_t dest = ip_of("127.0.0.1");
  EXPECT_EQ(send_search_01(set, dest, nullptr, 0), kOk);
  EXPECT_EQ(send_search_49(set, dest, nullptr, 5), kOk);  // an absent list sends no entries
  EXPECT_EQ(send_search_02(set, dest, nullptr, 0), kOk);
  ASSERT_TRUE(p4800.wait_requests(1, 2000));
  ASSERT_TRUE(p1029.wait_requests(2, 2000));
  EXPECT_EQ(p4800.requests()[0].bytes, (Bytes{0x01, 0, 0, 8, 0, 0, 0, 0}));
  auto r = p1029.requests();
  EXPECT_EQ(r[0].bytes, (Bytes{0x49, 0, 0, 6, 0, 0}));
  EXPECT_EQ(r[1].bytes, (Bytes{0x02, 0, 0, 6, 0, 0}));
}

TEST_F(ExchangeTest, SearchRequestsNameAtMost256And32DevicesInListOrder) {
  p4800.serve(nullptr);
  p1029.serve(nullptr);
  std::vector<DeviceIdentity> devices;
  for (int i = 0; i < 300; ++i) devices.push_back(device(i));
  std::vector<const DeviceIdentity*> list;
  for (const auto& d : devices) list.push_back(&d);
  const uint32_t dest = ip_of("127.0.0.1");
  ASSERT_EQ(send_search_01(set, dest, list.data(), 300), kOk);
  ASSERT_EQ(send_search_49(set, dest, list.data(), 300), kOk);
  ASSERT_EQ(send_search_02(set, dest, list.data(), 300), kOk);
  ASSERT_TRUE(p4800.wait_requests(1, 2000));
  ASSERT_TRUE(p1029.wait_requests(2, 2000));

  Bytes r01 = p4800.requests()[0].bytes;
  ASSERT_EQ(r01.size(), 3080u);
  EXPECT_EQ(r01[0], 0x01);
  EXPECT_EQ(r01[1], 0);
  EXPECT_EQ((r01[2] << 8) | r01[3], 3080);
  EXPECT_EQ(r01[4] | r01[5] | r01[6] | r01[7], 0);
  for (int i : {0, 1, 255}) {
    SCOPED_TRACE(i);
    const uint8_t* e = r01.data() + 8 + 12 * i;
    uint8_t header[21] = {};
    build_identity_header(header, devices[static_cast<std::size_t>(i)]);
    EXPECT_EQ(0, std::memcmp(e, header + 8, 12));
  }

  auto r = p1029.requests();
  for (int k = 0; k < 2; ++k) {
    const Bytes& b = r[static_cast<std::size_t>(k)].bytes;
    ASSERT_EQ(b.size(), 134u);
    EXPECT_EQ(b[0], k == 0 ? 0x49 : 0x02);
    EXPECT_EQ((b[2] << 8) | b[3], 134);
    EXPECT_EQ(b[4] | b[5], 0);
    for (int i : {0, 31}) {
      const uint8_t* e = b.data() + 6 + 4 * i;
      EXPECT_EQ(e[0] | (e[1] << 8), devices[static_cast<std::size_t>(i)].model_id);
      EXPECT_EQ(e[2] | (e[3] << 8), devices[static_cast<std::size_t>(i)].unit_id);
    }
  }
}

TEST_F(ExchangeTest, MatchingReplyIsTakenWithSenderGroupAndLength) {
  p4800.serve([](const Received&, int) { return std::vector<Answer>{{reply4800(0x41)}}; });
  uint8_t reply[40] = {};
  int len = 0;
  ASSERT_EQ(exchange(0x41, block(2000, 1), reply, 40, &len), kOk);
  EXPECT_EQ(len, 24);
  EXPECT_EQ(reply[0], 0xC1);
  EXPECT_EQ(reply[23], 23);

  // The same wait reports who answered and on which group.
  uint8_t req[21] = {0x41, 0, 0, 21};
  ASSERT_EQ(udp_send_to(set, ip_of("127.0.0.1"), p4800.port(), req, 21, kGroup4800), kOk);
  sockaddr_in from{};
  uint32_t local = 7;
  int group = -1;
  ASSERT_EQ(udp_wait_reply(set, 0x41, 10, reply, &from, &local, block(2000, 1), &group, &len), kOk);
  EXPECT_EQ(len, 10);  // cut to max_length
  EXPECT_EQ(group, kGroup4800);
  EXPECT_EQ(ntohs(from.sin_port), p4800.port());
  EXPECT_EQ(local, 0u);  // bound to any address
}

TEST_F(ExchangeTest, WrongCodeErrorStatusAndNonZeroIdAreDroppedOnGroupOne) {
  p4800.serve([](const Received&, int) {
    return std::vector<Answer>{{reply4800(0x42)},
                               {reply4800(0x41, 3)},
                               {reply4800(0x41, 6)},
                               {reply4800(0x41, 0, 0x00000100)},
                               {reply4800(0x41, 0, 0, 30), 30}};
  });
  uint8_t reply[40] = {};
  int len = 0;
  ASSERT_EQ(exchange(0x41, block(2000, 1), reply, 40, &len), kOk);
  EXPECT_EQ(len, 30);  // the only good one, sent last
}

TEST_F(ExchangeTest, OnlyBadRepliesEndInTimeOutAfterEveryAttempt) {
  p4800.serve([](const Received&, int) {
    return std::vector<Answer>{{reply4800(0x41, 3)}, {reply4800(0x41, 6)}};
  });
  uint8_t reply[40] = {};
  EXPECT_EQ(exchange(0x41, block(100, 2), reply, 40), kErrTimeout);
  ASSERT_TRUE(p4800.wait_requests(2, 1000));
  EXPECT_EQ(p4800.request_count(), 2u);
}

TEST_F(ExchangeTest, ForeignRepliesDoNotRestartTheAttemptsClock) {
  // A stream of wrong replies, one every 20 ms for far longer than the wait lasts.
  p4800.serve([](const Received&, int) {
    std::vector<Answer> a;
    for (int i = 0; i < 100; ++i) a.push_back({reply4800(0x50), 20 * i});
    return a;
  });
  uint8_t reply[40] = {};
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(exchange(0x41, block(150, 1), reply, 40), kErrTimeout);
  // Restarting the clock on every foreign reply would wait the whole two-second stream.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, milliseconds(1500));
}

TEST_F(ExchangeTest, StatusSixOnGroupZeroEndsTheWaitAsRefused) {
  p1029.serve([](const Received&, int) { return std::vector<Answer>{{reply1029(0xC9, 6)}}; });
  ASSERT_EQ(send_search_49(set, ip_of("127.0.0.1"), nullptr, 0), kOk);
  uint8_t reply[40];
  int group = -1;
  EXPECT_EQ(udp_wait_reply(set, 0xFF, 40, reply, nullptr, nullptr, block(2000, 1), &group),
            kErrRefused);
}

TEST_F(ExchangeTest, GroupZeroMatchesWhateverItsIdAndAnyCodeWithFF) {
  p1029.serve([](const Received&, int) {
    return std::vector<Answer>{{reply1029(0x82, 3)}, {reply1029(0xC9, 0, 0xBEEF), 20}};
  });
  ASSERT_EQ(send_search_49(set, ip_of("127.0.0.1"), nullptr, 0), kOk);
  uint8_t reply[40] = {};
  int group = -1;
  int len = 0;
  ASSERT_EQ(udp_wait_reply(set, 0xFF, 40, reply, nullptr, nullptr, block(2000, 1), &group, &len),
            kOk);
  EXPECT_EQ(group, kGroup1029);
  EXPECT_EQ(reply[0], 0xC9);  // status 3 dropped, nonzero id accepted
  EXPECT_EQ(len, 24);
}

TEST_F(ExchangeTest, SilentDeviceIsAskedAttemptsTimesAboutATimeOutApart) {
  p4800.serve(nullptr);
  uint8_t reply[40];
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(exchange(0x41, block(100, 3), reply, 40), kErrTimeout);
  auto elapsed = std::chrono::steady_clock::now() - t0;
  ASSERT_TRUE(p4800.wait_requests(3, 1000));
  auto r = p4800.requests();
  ASSERT_EQ(r.size(), 3u);
  for (std::size_t i = 1; i < r.size(); ++i) {
    EXPECT_EQ(r[i].bytes, r[0].bytes);  // resent unchanged
    // Loose: the peer's own clock readings may be late on a busy machine.
    EXPECT_GE(r[i].at - r[i - 1].at, milliseconds(50));
  }
  EXPECT_GE(elapsed, milliseconds(290));
}

TEST_F(ExchangeTest, AttemptsBelowOneCountAsOne) {
  p4800.serve(nullptr);
  uint8_t reply[40];
  EXPECT_EQ(exchange(0x41, block(60, 0), reply, 40), kErrTimeout);
  EXPECT_EQ(exchange(0x41, block(60, -4), reply, 40), kErrTimeout);
  EXPECT_FALSE(p4800.wait_requests(3, 100));
  EXPECT_EQ(p4800.request_count(), 2u);
}

TEST_F(ExchangeTest, LateReplyIsTakenByTheNextAttempt) {
  // Only the first request is answered, after its attempt has timed out.
  p4800.serve([](const Received&, int index) {
    if (index != 0) return std::vector<Answer>{};
    return std::vector<Answer>{{reply4800(0x3A), 300}};
  });
  uint8_t reply[40] = {};
  EXPECT_EQ(exchange(0x3A, block(200, 5), reply, 40), kOk);
  EXPECT_EQ(reply[0], 0xBA);
  // Normally the second attempt takes it; a slow machine may need a third.
  EXPECT_GE(p4800.request_count(), 2u);
  EXPECT_LE(p4800.request_count(), 3u);
}

TEST_F(ExchangeTest, ReplyFromAnotherSenderIsAccepted) {
  p4800.serve([](const Received&, int) {
    Answer a{reply4800(0x41)};
    a.from_other = true;
    return std::vector<Answer>{a};
  });
  uint8_t req[21] = {0x41, 0, 0, 21};
  ASSERT_EQ(udp_send_to(set, ip_of("127.0.0.1"), p4800.port(), req, 21, kGroup4800), kOk);
  uint8_t reply[40];
  sockaddr_in from{};
  int group = -1;
  ASSERT_EQ(udp_wait_reply(set, 0x41, 40, reply, &from, nullptr, block(2000, 1), &group), kOk);
  EXPECT_EQ(ntohs(from.sin_port), p4800.other_port());
}

TEST_F(ExchangeTest, ExchangeWithoutAGroupOneSocketIsASocketFailure) {
  UdpSocketSet only_zero;
  only_zero.count = 1;
  only_zero.entries[0] = set.entries[1];
  uint8_t req[21] = {0x41, 0, 0, 21};
  uint8_t reply[40];
  EXPECT_EQ(udp_exchange(0x41, only_zero, ip_of("127.0.0.1"), req, 21, reply, 40, block(50, 3)),
            kErrSocket);
}

}  // namespace
