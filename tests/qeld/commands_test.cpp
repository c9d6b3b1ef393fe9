// Tests of the command set: table lookup, the exact 21-byte requests, decoding of the
// port-mode and connection replies (counts, signed modes, short replies), and the
// handlers end to end against a loopback peer.
#include <gtest/gtest.h>

#include <vector>

#include "qeld/commands.h"
#include "qeld/library.h"
#include "qeld/result_codes.h"
#include "udp_peer.h"

using namespace qeld;
using namespace tavrix_test;

namespace {

DeviceIdentity device() {
  DeviceIdentity d;
  d.model_key = 0x04030201u;
  d.model_id = 0x2618;
  const uint8_t mac[6] = {0x00, 0x90, 0xE8, 0x12, 0x34, 0x56};
  std::memcpy(d.mac1, mac, 6);
  d.ip2 = ip_of("127.0.0.1");
  return d;
}

// A reply head announcing `count` ports, followed by the given entry bytes.
Bytes command_reply(uint8_t code, uint8_t count, const Bytes& entries) {
  Bytes b(24, 0);
  b[0] = static_cast<uint8_t>(code | 0x80);
  b[21] = count;
  for (uint8_t x : entries) b.push_back(x);
  b[2] = static_cast<uint8_t>(b.size() >> 8);
  b[3] = static_cast<uint8_t>(b.size());
  return b;
}

Bytes modes_bytes(int n) {
  Bytes e;
  for (int i = 0; i < n; ++i) e.push_back(static_cast<uint8_t>(i + 1));
  return e;
}

Bytes record_bytes(uint8_t seed) {
  Bytes r(kConnRecordSize);
  for (int i = 0; i < kConnRecordSize; ++i)
    r[static_cast<std::size_t>(i)] = static_cast<uint8_t>(seed + i);
  return r;
}

TEST(CommandTable, LooksUpTheTwoCommandsByCode) {
  const CommandRow* modes = find_command(0x41);
  const CommandRow* conn = find_command(0x3A);
  ASSERT_NE(modes, nullptr);
  ASSERT_NE(conn, nullptr);
  EXPECT_EQ(modes->handler, &command_port_modes);
  EXPECT_EQ(conn->handler, &command_connections);
  EXPECT_EQ(find_command(0x42), nullptr);
  EXPECT_EQ(find_command(0x0141), nullptr);  // all 16 bits are compared
  EXPECT_EQ(find_command(0), nullptr);
}

TEST(CommandRequest, IsTwentyOneBytesWithIdentityAndPort) {
  uint8_t req[kCommandRequestSize];
  std::memset(req, 0xAA, sizeof req);
  build_command_request(req, kCmdConnections, device(), 5);
  const uint8_t expect[21] = {0x3A, 0,    0,    21,   0,    0,    0,    0,    0x01, 0x02, 0x03,
                              0x04, 0x18, 0x26, 0x00, 0x90, 0xE8, 0x12, 0x34, 0x56, 5};
  EXPECT_EQ(0, std::memcmp(req, expect, 21));
  build_command_request(req, kCmdPortModes, device(), 0);
  EXPECT_EQ(req[0], 0x41);
  EXPECT_EQ(req[20], 0);
}

TEST(DecodePortModes, AllPortsTakesTheAnnouncedCountCutToSixteen) {
  for (auto [count, expect] :
       std::vector<std::pair<int, int>>{{0, 0}, {4, 4}, {16, 16}, {20, 16}}) {
    SCOPED_TRACE(count);
    Bytes reply = command_reply(0x41, static_cast<uint8_t>(count), modes_bytes(16));
    std::vector<int32_t> modes(17, -99);
    EXPECT_EQ(decode_port_modes(reply.data(), static_cast<int>(reply.size()), 0, modes.data()),
              expect);
    for (int i = 0; i < 17; ++i)
      EXPECT_EQ(modes[static_cast<std::size_t>(i)], i < expect ? i + 1 : -99);
  }
}

TEST(DecodePortModes, ModeBytesAreSigned) {
  Bytes reply = command_reply(0x41, 3, Bytes{0xFF, 0x16, 0x80});
  int32_t modes[16] = {};
  ASSERT_EQ(decode_port_modes(reply.data(), static_cast<int>(reply.size()), 0, modes), 3);
  EXPECT_EQ(modes[0], -1);
  EXPECT_EQ(modes[1], 22);
  EXPECT_EQ(modes[2], -128);
}

TEST(DecodePortModes, OnePortTakesExactlyOneEntryWhateverTheCount) {
  for (uint8_t count : {0, 1, 8, 200}) {
    Bytes reply = command_reply(0x41, count, Bytes{0x07, 0x09});
    int32_t modes[2] = {-99, -99};
    EXPECT_EQ(decode_port_modes(reply.data(), static_cast<int>(reply.size()), 3, modes), 1);
    EXPECT_EQ(modes[0], 7);
    EXPECT_EQ(modes[1], -99);
  }
}

TEST(DecodePortModes, ShortReplyGivesOnlyTheEntriesThatArrived) {
  Bytes reply = command_reply(0x41, 8, Bytes{1, 2, 3});  // announces 8, holds 3
  int32_t modes[16];
  std::fill(std::begin(modes), std::end(modes), -99);
  EXPECT_EQ(decode_port_modes(reply.data(), 27, 0, modes), 3);
  EXPECT_EQ(modes[2], 3);
  EXPECT_EQ(modes[3], -99);
  // A reply that ends before its count byte or its first entry gives nothing.
  std::fill(std::begin(modes), std::end(modes), -99);
  EXPECT_EQ(decode_port_modes(reply.data(), 21, 0, modes), 0);
  EXPECT_EQ(decode_port_modes(reply.data(), 24, 0, modes), 0);
  EXPECT_EQ(decode_port_modes(reply.data(), 24, 2, modes), 0);
  EXPECT_EQ(decode_port_modes(reply.data(), 0, 2, modes), 0);
  EXPECT_EQ(modes[0], -99);
}

TEST(DecodeConnections, OnePortCopiesOneRecordFromByte24) {
  Bytes rec = record_bytes(3);
  Bytes reply = command_reply(0x3A, 9, rec);
  std::vector<uint8_t> out(2 * kConnRecordSize, 0xEE);
  EXPECT_EQ(decode_connections(reply.data(), static_cast<int>(reply.size()), 3, out.data()), 1);
  EXPECT_TRUE(std::equal(rec.begin(), rec.end(), out.begin()));
  EXPECT_EQ(out[kConnRecordSize], 0xEE);
}

TEST(DecodeConnections, AllPortsNeverCopiesMoreRecordsThanTheReplyHolds) {
  // 16 announced, but the 104-byte reply buffer holds the head and one record.
  Bytes reply = command_reply(0x3A, 16, record_bytes(1));
  ASSERT_EQ(reply.size(), static_cast<std::size_t>(kConnReplySize));
  std::vector<uint8_t> out(2 * kConnRecordSize, 0xEE);
  EXPECT_EQ(decode_connections(reply.data(), kConnReplySize, 0, out.data()), 1);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[kConnRecordSize], 0xEE);
  // A truncated record is not copied at all.
  std::fill(out.begin(), out.end(), 0xEE);
  EXPECT_EQ(decode_connections(reply.data(), 60, 4, out.data()), 0);
  EXPECT_EQ(out[0], 0xEE);
}

class CommandHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_address_source([](AddressList& out) {
      out = AddressList{};
      out.addr[out.count++] = ip_of("127.0.0.1");
      return 1;
    });
    ASSERT_TRUE(peer.ok());
    set_device_ports(peer.port(), peer.port());
    ASSERT_EQ(udp_open_socket_set(set, 0), kOk);
    timeouts.timeout_ms = 150;
    timeouts.attempts = 2;
  }
  void TearDown() override {
    peer.stop();
    udp_close_socket_set(set);
    set_device_ports(kPort4800, kPort1029);
    set_address_source(nullptr);
  }
  UdpPeer peer;
  UdpSocketSet set;
  TimeoutBlock timeouts;
};

TEST_F(CommandHandlerTest, PortModesSendsTheRequestAndWritesTheModes) {
  peer.serve([](const Received&, int) {
    return std::vector<Answer>{{command_reply(0x41, 4, Bytes{1, 2, 0xFF, 0x16})}};
  });
  int32_t modes[16];
  std::fill(std::begin(modes), std::end(modes), -99);
  ASSERT_EQ(command_port_modes(set, ip_of("127.0.0.1"), device(), 0, modes, timeouts), kOk);
  EXPECT_EQ(modes[0], 1);
  EXPECT_EQ(modes[2], -1);
  EXPECT_EQ(modes[3], 22);
  EXPECT_EQ(modes[4], -99);
  auto r = peer.requests();
  ASSERT_EQ(r.size(), 1u);
  uint8_t expect[kCommandRequestSize];
  build_command_request(expect, 0x41, device(), 0);
  EXPECT_EQ(r[0].bytes, Bytes(expect, expect + kCommandRequestSize));
}

TEST_F(CommandHandlerTest, ConnectionsCopiesTheRecordOfThePortAskedFor) {
  peer.serve([](const Received& req, int) {
    // The device answers for the port named in byte 20.
    return std::vector<Answer>{{command_reply(0x3A, 4, record_bytes(req.bytes.at(20)))}};
  });
  std::vector<uint8_t> out(kConnRecordSize, 0);
  ASSERT_EQ(command_connections(set, ip_of("127.0.0.1"), device(), 5, out.data(), timeouts), kOk);
  EXPECT_EQ(out, record_bytes(5));
  EXPECT_EQ(peer.requests().at(0).bytes.at(20), 5);
}

TEST_F(CommandHandlerTest, FailedExchangeLeavesTheOutputAlone) {
  peer.serve([](const Received&, int) {
    return std::vector<Answer>{{command_reply(0x41, 4, Bytes{1, 2, 3, 4})}};  // wrong command
  });
  std::vector<uint8_t> out(kConnRecordSize, 0x5A);
  EXPECT_EQ(command_connections(set, ip_of("127.0.0.1"), device(), 1, out.data(), timeouts),
            kErrTimeout);
  EXPECT_EQ(out, std::vector<uint8_t>(kConnRecordSize, 0x5A));
  ASSERT_TRUE(peer.wait_requests(2, 1000));
  EXPECT_EQ(peer.request_count(), 2u);
}

}  // namespace
