// Tests of the server query calls: argument checks with no traffic, answers through a
// handle's own address and time-outs, silent servers, socket failures, unknown commands,
// and two handles queried at once.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "qeld/commands.h"
#include "qeld/library.h"
#include "qeld/qnsock/quiet_ports.h"
#include "qeld/query.h"
#include "qeld/result_codes.h"
#include "udp_peer.h"

using namespace qeld;
using namespace tavrix_test;

namespace {

Bytes command_reply(uint8_t code, uint8_t status, uint8_t count, const Bytes& entries) {
  Bytes b(24, 0);
  b[0] = static_cast<uint8_t>(code | 0x80);
  b[1] = status;
  b[21] = count;
  for (uint8_t x : entries) b.push_back(x);
  b[3] = static_cast<uint8_t>(b.size());
  return b;
}

// Answers 0x41 with `modes` (all ports, or the one port asked for) and 0x3A with a
// record filled with the port number.
Script device_script(Bytes modes, uint8_t status = 0) {
  return [modes, status](const Received& req, int) {
    if (req.bytes.size() != 21) return std::vector<Answer>{};
    uint8_t port = req.bytes[20];
    if (req.bytes[0] == 0x41) {
      Bytes entries = port == 0 ? modes : Bytes{modes.at(port - 1u)};
      return std::vector<Answer>{
          {command_reply(0x41, status, static_cast<uint8_t>(modes.size()), entries)}};
    }
    if (req.bytes[0] == 0x3A) {
      return std::vector<Answer>{
          {command_reply(0x3A, status, static_cast<uint8_t>(modes.size()), Bytes(80, port))}};
    }
    return std::vector<Answer>{};
  };
}

class QueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_address_source([](AddressList& out) {
      out = AddressList{};
      out.addr[out.count++] = ip_of("127.0.0.1");
      return 1;
    });
    ASSERT_EQ(library_start(), 1);
    ASSERT_TRUE(peer.ok());
    set_device_ports(peer.port(), peer.port());
  }
  void TearDown() override {
    peer.stop();
    for (int h : handles) close_handle(h);
    close_parked_sockets();  // a test's parked sockets never reach the next one's counts
    set_device_ports(kPort4800, kPort1029);
    set_address_source(nullptr);
  }

  int open_at(const char* ip, uint32_t timeout_ms = 150, int attempts = 2) {
    DeviceIdentity d;
    d.model_key = 0x11223344u;
    d.model_id = 0x2613;
    d.mac1[5] = 0x42;
    d.ip1 = ip_of("127.0.0.9");  // commands go to ip2, never to ip1
    d.ip2 = ip_of(ip);
    int h = -1;
    EXPECT_EQ(open_handle(&d, &h), 1);
    EXPECT_TRUE(handle_set_timeouts(h, timeout_ms, attempts));
    handles.push_back(h);
    return h;
  }

  UdpPeer peer;
  std::vector<int> handles;
};

TEST_F(QueryTest, BadArgumentsReturnMinusFiveWithoutTraffic) {
  peer.serve(device_script({1, 2, 3, 4}));
  int h = open_at("127.0.0.1");
  int free_slot = h + 1;
  int32_t modes[16];
  std::fill(std::begin(modes), std::end(modes), -99);
  uint8_t rec[80] = {};
  EXPECT_EQ(query_port_modes(h, 17, modes), kPubBadArgument);
  EXPECT_EQ(query_port_modes(h, -1, modes), kPubBadArgument);
  EXPECT_EQ(query_port_modes(1024, 0, modes), kPubBadArgument);
  EXPECT_EQ(query_port_modes(-1, 0, modes), kPubBadArgument);
  EXPECT_EQ(query_port_modes(free_slot, 0, modes), kPubBadArgument);
  EXPECT_EQ(query_port_modes(h, 0, nullptr), kPubBadArgument);
  EXPECT_EQ(query_port_connections(h, 17, rec), kPubBadArgument);
  EXPECT_EQ(query_port_connections(1024, 1, rec), kPubBadArgument);
  EXPECT_EQ(query_port_connections(-1, 1, rec), kPubBadArgument);
  EXPECT_EQ(query_port_connections(free_slot, 1, rec), kPubBadArgument);
  EXPECT_EQ(query_port_connections(h, 1, nullptr), kPubBadArgument);
  EXPECT_FALSE(peer.wait_requests(1, 100));
  EXPECT_EQ(modes[0], -99);
}

TEST_F(QueryTest, PortModesForAllPortsAndForOnePort) {
  peer.serve(device_script({1, 0x16, 0xFF, 3}));
  int h = open_at("127.0.0.1");
  int32_t modes[16];
  std::fill(std::begin(modes), std::end(modes), -99);
  ASSERT_EQ(query_port_modes(h, 0, modes), kOk);
  EXPECT_EQ((std::vector<int32_t>(modes, modes + 5)), (std::vector<int32_t>{1, 22, -1, 3, -99}));

  std::fill(std::begin(modes), std::end(modes), -99);
  ASSERT_EQ(query_port_modes(h, 3, modes), kOk);
  EXPECT_EQ(modes[0], -1);
  EXPECT_EQ(modes[1], -99);
  auto r = peer.requests();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].bytes[0], 0x41);
  EXPECT_EQ(r[0].bytes[20], 0);
  EXPECT_EQ(r[1].bytes[20], 3);
  EXPECT_EQ(r[1].bytes[13] << 8 | r[1].bytes[12], 0x2613);  // identity from the handle's copy
}

TEST_F(QueryTest, ConnectionRecordOfOnePort) {
  peer.serve(device_script({4, 4}));
  int h = open_at("127.0.0.1");
  uint8_t rec[80] = {};
  ASSERT_EQ(query_port_connections(h, 2, rec), kOk);
  EXPECT_EQ(std::vector<uint8_t>(rec, rec + 80), std::vector<uint8_t>(80, 2));
  EXPECT_EQ(peer.requests().at(0).bytes.at(0), 0x3A);
}

TEST_F(QueryTest, SilentServerTimesOutAfterItsAttemptsAndLeavesNothingOpenPastItsTimeOut) {
  peer.serve(nullptr);
  int h = open_at("127.0.0.1", 100, 3);
  const int before = open_fd_count();
  int32_t modes[16];
  std::fill(std::begin(modes), std::end(modes), -99);
  EXPECT_EQ(query_port_modes(h, 0, modes), kPubTimeout);
  // The request's socket stays bound for an answer still on its way, until its time
  // has passed or the library stops.
  EXPECT_EQ(parked_socket_count(), 1);
  EXPECT_EQ(open_fd_count(), before + 1);
  library_stop();
  EXPECT_EQ(parked_socket_count(), 0);
  EXPECT_EQ(open_fd_count(), before);
  EXPECT_EQ(modes[0], -99);
  ASSERT_TRUE(peer.wait_requests(3, 1000));
  EXPECT_EQ(peer.request_count(), 3u);
}

TEST_F(QueryTest, ErrorStatusReplyIsATimeOut) {
  peer.serve(device_script({1, 2}, 3));
  int h = open_at("127.0.0.1", 80, 1);
  uint8_t rec[80] = {};
  EXPECT_EQ(query_port_connections(h, 1, rec), kPubTimeout);
}

TEST_F(QueryTest, SocketFailureIsMinusThreeWithNothingSent) {
  peer.serve(device_script({1}));
  int h = open_at("127.0.0.1");
  set_address_source([](AddressList& out) {
    out = AddressList{};
    return 0;
  });
  int32_t modes[16];
  EXPECT_EQ(query_port_modes(h, 0, modes), kPubSocket);
  EXPECT_FALSE(peer.wait_requests(1, 100));
}

TEST_F(QueryTest, UnknownCommandRunsNoHandlerAndSendsNothing) {
  peer.serve(device_script({1}));
  DeviceIdentity d;
  d.ip2 = ip_of("127.0.0.1");
  TimeoutBlock t;
  int32_t out = -99;
  const int before = open_fd_count();
  EXPECT_EQ(run_server_command(0x42, d, 0, &out, t), 1);
  EXPECT_EQ(out, -99);
  EXPECT_EQ(open_fd_count(), before);
  EXPECT_FALSE(peer.wait_requests(1, 100));
}

TEST_F(QueryTest, TwoHandlesAreQueriedAtTheirOwnAddressesConcurrently) {
  // Two "LANs" of one server: the same device port on 127.0.0.2 and 127.0.0.3.
  std::unique_ptr<UdpPeer> lan1, lan2;
  for (int i = 0; i < 10 && !(lan2 && lan2->ok()); ++i) {
    lan1 = std::make_unique<UdpPeer>("127.0.0.2");
    lan2 = std::make_unique<UdpPeer>("127.0.0.3", lan1->port());
  }
  ASSERT_TRUE(lan1->ok() && lan2->ok());
  set_device_ports(lan1->port(), lan1->port());
  lan1->serve(device_script({1, 1}));
  lan2->serve(device_script({2, 2, 2}));
  int h1 = open_at("127.0.0.2", 1000, 3);
  int h2 = open_at("127.0.0.3", 1000, 3);

  std::vector<int> results1, results2;
  std::vector<int32_t> last1(16, -99), last2(16, -99);
  auto run = [](int h, std::vector<int>& results, std::vector<int32_t>& last) {
    for (int i = 0; i < 5; ++i) results.push_back(query_port_modes(h, 0, last.data()));
  };
  std::thread t1(run, h1, std::ref(results1), std::ref(last1));
  std::thread t2(run, h2, std::ref(results2), std::ref(last2));
  t1.join();
  t2.join();
  EXPECT_EQ(results1, std::vector<int>(5, kOk));
  EXPECT_EQ(results2, std::vector<int>(5, kOk));
  EXPECT_EQ((std::vector<int32_t>(last1.begin(), last1.begin() + 3)),
            (std::vector<int32_t>{1, 1, -99}));
  EXPECT_EQ((std::vector<int32_t>(last2.begin(), last2.begin() + 4)),
            (std::vector<int32_t>{2, 2, 2, -99}));
  EXPECT_EQ(lan1->request_count(), 5u);
  EXPECT_EQ(lan2->request_count(), 5u);
  lan1->stop();
  lan2->stop();
}

}  // namespace
