// Tests of the UDP socket set on loopback: layout of the set, the poll's truncation,
// size limit, refused ports and table order, sends per group, that every failure path
// leaves no descriptor open, and the parked sockets that keep a port for late answers.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <fstream>
#include <set>
#include <thread>

#include "qeld/library.h"
#include "qeld/qnsock/quiet_ports.h"
#include "qeld/qnsock/socket_set.h"
#include "qeld/result_codes.h"
#include "udp_peer.h"

using namespace qeld;
using namespace tavrix_test;

namespace {

void use_addresses(std::vector<const char*> dotted) {
  set_address_source([dotted](AddressList& out) {
    out = AddressList{};
    for (const char* d : dotted) out.addr[out.count++] = ip_of(d);
    return out.count > 0 ? 1 : 0;
  });
}

sockaddr_in bound_address(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  return sa;
}

// Where a datagram must go to reach entry i of the set on loopback: its port at the
// address it stands for (a per-interface socket is bound to the any-address).
sockaddr_in entry_target(const UdpSocketSet& set, int i) {
  sockaddr_in sa = bound_address(set.entries[i].socket);
  if (sa.sin_addr.s_addr == 0) sa.sin_addr.s_addr = set.entries[i].local_address;
  if (sa.sin_addr.s_addr == 0) sa.sin_addr.s_addr = ip_of("127.0.0.1");
  return sa;
}

Bytes pattern(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
  return b;
}

// Polls a group until something arrives (the datagram is on loopback, so this is quick).
int poll_until(UdpSocketSet& set, uint8_t* buf, int max_length, sockaddr_in* from, uint32_t* local,
               int group) {
  int len = 0;
  for (int i = 0; i < 200 && len == 0; ++i) {
    EXPECT_EQ(udp_poll(set, buf, max_length, &len, from, local, group), kOk);
    if (len == 0) udp_wait_readable(set, 10);
  }
  return len;
}

class SocketSetTest : public ::testing::Test {
 protected:
  void SetUp() override { use_addresses({"127.0.0.1"}); }
  void TearDown() override { set_address_source(nullptr); }
};

TEST_F(SocketSetTest, PerInterfaceOpensGroupOneFirstThenGroupZeroOnEveryAddress) {
  use_addresses({"127.0.0.1", "127.0.0.2", "127.0.0.3"});
  const int before = open_fd_count();
  UdpSocketSet set;
  ASSERT_EQ(udp_open_socket_set(set, 1), kOk);
  ASSERT_EQ(set.count, 6);
  const char* order[] = {"127.0.0.1", "127.0.0.2", "127.0.0.3"};
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(set.entries[i].group, i < 3 ? kGroup4800 : kGroup1029);
    EXPECT_EQ(set.entries[i].local_address, ip_of(order[i % 3]));
    // Bound to the any-address so broadcast replies reach it; it speaks for its
    // address through IP_PKTINFO.
    sockaddr_in sa = bound_address(set.entries[i].socket);
    EXPECT_EQ(sa.sin_addr.s_addr, 0u);
    EXPECT_NE(sa.sin_port, 0);
    EXPECT_EQ(set.paths[i].port, ntohs(sa.sin_port));
    int on = 0;
    socklen_t len = sizeof on;
    getsockopt(set.entries[i].socket, SOL_SOCKET, SO_BROADCAST, &on, &len);
    EXPECT_EQ(on, 1);
    on = 0;
    getsockopt(set.entries[i].socket, IPPROTO_IP, IP_PKTINFO, &on, &len);
    EXPECT_EQ(on, 1);
  }
  // Six sockets and the address-change watch.
  EXPECT_GE(set.watch, 0);
  EXPECT_EQ(open_fd_count(), before + 7);
  udp_close_socket_set(set);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(set.entries[i].socket, -1);
  EXPECT_EQ(set.watch, -1);
  EXPECT_EQ(set.count, 6);
  udp_close_socket_set(set);  // closing twice is harmless
  EXPECT_EQ(open_fd_count(), before);
}

TEST_F(SocketSetTest, OneSocketPerGroupBindsToAnyAddress) {
  use_addresses({"127.0.0.1", "127.0.0.2", "127.0.0.3"});
  UdpSocketSet set;
  ASSERT_EQ(udp_open_socket_set(set, 0), kOk);
  ASSERT_EQ(set.count, 2);
  EXPECT_EQ(set.entries[0].group, kGroup4800);
  EXPECT_EQ(set.entries[1].group, kGroup1029);
  EXPECT_EQ(set.entries[0].local_address, 0u);
  EXPECT_EQ(bound_address(set.entries[1].socket).sin_addr.s_addr, 0u);
  udp_close_socket_set(set);
}

TEST_F(SocketSetTest, OpeningFailsCleanlyWithoutAnyHostAddress) {
  const int before = open_fd_count();
  UdpSocketSet set;
  set_address_source([](AddressList& out) {
    out = AddressList{};
    return 0;
  });
  EXPECT_EQ(udp_open_socket_set(set, 0), kErrSocket);
  EXPECT_EQ(udp_open_socket_set(set, 1), kErrSocket);
  EXPECT_EQ(set.count, 0);
  EXPECT_EQ(open_fd_count(), before);
}

TEST_F(SocketSetTest, SocketCreationFailureAtEveryStepClosesWhatWasOpened) {
  use_addresses({"127.0.0.1", "127.0.0.2", "127.0.0.3"});
  const int before = open_fd_count();
  // The lowest free descriptor; the limit below lets exactly `allowed` more be made.
  int probe = dup(0);
  ASSERT_GE(probe, 0);
  close(probe);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  for (int allowed = 0; allowed < 6; ++allowed) {
    SCOPED_TRACE(allowed);
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(probe + allowed);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    UdpSocketSet set;
    int rc = udp_open_socket_set(set, 1);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(rc, kErrSocket);
    EXPECT_EQ(set.count, 0);
    EXPECT_EQ(open_fd_count(), before);
  }
  // With the limit back, the same opening works.
  UdpSocketSet set;
  EXPECT_EQ(udp_open_socket_set(set, 1), kOk);
  udp_close_socket_set(set);
  EXPECT_EQ(open_fd_count(), before);
}

TEST_F(SocketSetTest, AddressThatCannotBeBoundGivesUpAndClosesEverything) {
  std::ifstream nonlocal("/proc/sys/net/ipv4/ip_nonlocal_bind");
  int flag = 0;
  if (nonlocal >> flag && flag != 0) GTEST_SKIP() << "host allows binding to foreign addresses";
  // 192.0.2.77 is not an address of this host, so every bind attempt fails.
  use_addresses({"127.0.0.1", "192.0.2.77"});
  const int before = open_fd_count();
  UdpSocketSet set;
  EXPECT_EQ(udp_open_socket_set(set, 1), kErrSocket);
  EXPECT_EQ(open_fd_count(), before);
}

TEST_F(SocketSetTest, PollCutsToMaxLengthAndReportsSenderAndLocalAddress) {
  use_addresses({"127.0.0.1"});
  UdpPeer peer;
  ASSERT_TRUE(peer.ok());
  UdpSocketSet set;
  ASSERT_EQ(udp_open_socket_set(set, 1), kOk);
  Bytes sent = pattern(100);
  ASSERT_TRUE(peer.send_to(entry_target(set, 0), sent));
  uint8_t buf[64];
  std::memset(buf, 0xEE, sizeof buf);
  sockaddr_in from{};
  uint32_t local = 0;
  int len = poll_until(set, buf, 10, &from, &local, kGroup4800);
  EXPECT_EQ(len, 10);
  EXPECT_EQ(0, std::memcmp(buf, sent.data(), 10));
  EXPECT_EQ(buf[10], 0xEE);  // nothing written past max_length
  EXPECT_EQ(from.sin_addr.s_addr, peer.address());
  EXPECT_EQ(ntohs(from.sin_port), peer.port());
  EXPECT_EQ(local, ip_of("127.0.0.1"));
  udp_close_socket_set(set);
}

TEST_F(SocketSetTest, DatagramOverScratchSizeIsNothingReceived) {
  UdpPeer peer;
  UdpSocketSet set;
  ASSERT_EQ(udp_open_socket_set(set, 0), kOk);
  const sockaddr_in to = entry_target(set, 0);
  ASSERT_TRUE(peer.send_to(to, pattern(2049)));
  ASSERT_TRUE(peer.send_to(to, pattern(2048)));
  ASSERT_EQ(udp_wait_readable(set, 2000), 1);

  std::vector<uint8_t> buf(4096, 0);
  int len = -1;
  sockaddr_in from{};
  from.sin_port = 1234;
  uint32_t local = 99;
  // The 2049-byte datagram is taken and dropped: nothing received, outputs zeroed.
  ASSERT_EQ(udp_poll(set, buf.data(), 4096, &len, &from, &local, kGroup4800), kOk);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(from.sin_port, 0);
  EXPECT_EQ(from.sin_addr.s_addr, 0u);
  EXPECT_EQ(local, 0u);
  // The 2048-byte one arrives whole.
  len = poll_until(set, buf.data(), 4096, &from, &local, kGroup4800);
  EXPECT_EQ(len, 2048);
  Bytes expect = pattern(2048);
  EXPECT_EQ(0, std::memcmp(buf.data(), expect.data(), 2048));
  udp_close_socket_set(set);
}

TEST_F(SocketSetTest, RefusedPortIsNothingReceivedAndLaterDatagramsStillArrive) {
  UdpSocketSet set;
  ASSERT_EQ(udp_open_socket_set(set, 0), kOk);
  uint16_t closed_port;
  {
    int fd = open_udp(ip_of("127.0.0.1"), 0);
    closed_port = port_of(fd);
    close(fd);
  }
  const uint8_t req[4] = {1, 2, 3, 4};
  EXPECT_EQ(udp_send_to(set, ip_of("127.0.0.1"), closed_port, req, 4, kGroup4800), kOk);
  uint8_t buf[64];
  int len = -1;
  for (int i = 0; i < 5; ++i) {
    udp_wait_readable(set, 20);
    EXPECT_EQ(udp_poll(set, buf, 64, &len, nullptr, nullptr, kGroup4800), kOk);
    EXPECT_EQ(len, 0);
  }
  UdpPeer peer;
  ASSERT_TRUE(peer.send_to(entry_target(set, 0), pattern(5)));
  EXPECT_EQ(poll_until(set, buf, 64, nullptr, nullptr, kGroup4800), 5);
  udp_close_socket_set(set);
}

TEST_F(SocketSetTest, FirstReadableSocketInTableOrderIsTakenFirst) {
  use_addresses({"127.0.0.1", "127.0.0.2"});
  UdpPeer peer;
  UdpSocketSet set;
  ASSERT_EQ(udp_open_socket_set(set, 1), kOk);
  ASSERT_EQ(set.count, 4);
  // The later entry gets its datagram first; table order still wins.
  ASSERT_TRUE(peer.send_to(entry_target(set, 1), Bytes{0xB1}));
  ASSERT_TRUE(peer.send_to(entry_target(set, 0), Bytes{0xA0}));
  pollfd fds[2] = {{set.entries[0].socket, POLLIN, 0}, {set.entries[1].socket, POLLIN, 0}};
  bool both = false;
  for (int i = 0; i < 200 && !both; ++i) {
    fds[0].revents = fds[1].revents = 0;
    poll(fds, 2, 10);
    both = (fds[0].revents & POLLIN) && (fds[1].revents & POLLIN);
  }
  ASSERT_TRUE(both);
  uint8_t buf[8];
  int len = 0;
  uint32_t local = 0;
  ASSERT_EQ(udp_poll(set, buf, 8, &len, nullptr, &local, kGroup4800), kOk);
  ASSERT_EQ(len, 1);
  EXPECT_EQ(buf[0], 0xA0);
  EXPECT_EQ(local, ip_of("127.0.0.1"));
  ASSERT_EQ(udp_poll(set, buf, 8, &len, nullptr, &local, kGroup4800), kOk);
  ASSERT_EQ(len, 1);
  EXPECT_EQ(buf[0], 0xB1);
  EXPECT_EQ(local, ip_of("127.0.0.2"));
  udp_close_socket_set(set);
}

TEST_F(SocketSetTest, PollTakesOnlyFromTheRequestedGroup) {
  UdpPeer peer;
  UdpSocketSet set;
  ASSERT_EQ(udp_open_socket_set(set, 0), kOk);
  ASSERT_TRUE(peer.send_to(entry_target(set, 1), Bytes{0x10, 0x29}));  // group 0's socket
  ASSERT_EQ(udp_wait_readable(set, 2000), 1);
  uint8_t buf[8];
  int len = -1;
  EXPECT_EQ(udp_poll(set, buf, 8, &len, nullptr, nullptr, kGroup4800), kOk);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(udp_poll(set, buf, 8, &len, nullptr, nullptr, kGroup1029), kOk);
  EXPECT_EQ(len, 2);
  udp_close_socket_set(set);
}

TEST_F(SocketSetTest, SendGoesFromEveryGroupSocketAndFailsOnlyWhenNothingWasSent) {
  use_addresses({"127.0.0.1", "127.0.0.2"});
  UdpPeer peer;
  peer.serve(nullptr);
  UdpSocketSet set;
  ASSERT_EQ(udp_open_socket_set(set, 1), kOk);
  const uint8_t req[3] = {9, 8, 7};
  ASSERT_EQ(udp_send_to(set, peer.address(), peer.port(), req, 3, kGroup1029), kOk);
  ASSERT_TRUE(peer.wait_requests(2, 2000));
  auto got = peer.requests();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].bytes, (Bytes{9, 8, 7}));
  EXPECT_EQ(ntohs(got[0].from.sin_port), ntohs(bound_address(set.entries[2].socket).sin_port));
  EXPECT_EQ(ntohs(got[1].from.sin_port), ntohs(bound_address(set.entries[3].socket).sin_port));

  // A set whose group has no socket sends nothing.
  UdpSocketSet only_one;
  only_one.count = 1;
  only_one.entries[0] = set.entries[0];
  EXPECT_EQ(udp_send_to(only_one, peer.address(), peer.port(), req, 3, kGroup1029), kErrSocket);

  // One socket that cannot send (an unconnected stream socket) beside one that can: success;
  // the failing one alone: -12.
  int stream = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(stream, 0);
  UdpSocketSet mixed;
  mixed.count = 2;
  mixed.entries[0] = UdpSocketEntry{stream, 0, kGroup4800};
  mixed.entries[1] = set.entries[0];
  EXPECT_EQ(udp_send_to(mixed, peer.address(), peer.port(), req, 3, kGroup4800), kOk);
  mixed.count = 1;
  EXPECT_EQ(udp_send_to(mixed, peer.address(), peer.port(), req, 3, kGroup4800), kErrSocket);
  close(stream);
  ASSERT_TRUE(peer.wait_requests(3, 2000));
  peer.stop();
  udp_close_socket_set(set);
}

TEST_F(SocketSetTest, DescriptorsAbove1023WorkLikeAnyOther) {
  // Many pollers hold thousands of sockets; a fixed-size descriptor set would break here.
  if (raise_open_file_limit() < 1200) GTEST_SKIP() << "open-file limit too low";
  std::vector<int> held;
  for (int fd = dup(0); fd >= 0; fd = dup(0)) {
    held.push_back(fd);
    if (fd >= 1100) break;
  }
  ASSERT_GE(held.back(), 1100);
  UdpPeer peer;
  UdpSocketSet set;
  ASSERT_EQ(udp_open_socket_set(set, 0), kOk);
  EXPECT_GT(set.entries[1].socket, 1100);
  ASSERT_TRUE(peer.send_to(entry_target(set, 1), pattern(7)));
  EXPECT_EQ(udp_wait_readable(set, 5000), 1);
  uint8_t buf[16];
  EXPECT_EQ(poll_until(set, buf, 16, nullptr, nullptr, kGroup1029), 7);
  udp_close_socket_set(set);
  for (int fd : held) close(fd);
}

TEST_F(SocketSetTest, WaitReadableReportsTimeOutAndReadiness) {
  UdpPeer peer;
  UdpSocketSet set;
  ASSERT_EQ(udp_open_socket_set(set, 0), kOk);
  EXPECT_EQ(udp_wait_readable(set, 30), 0);
  ASSERT_TRUE(peer.send_to(entry_target(set, 1), Bytes{1}));
  EXPECT_EQ(udp_wait_readable(set, 5000), 1);
  udp_close_socket_set(set);
  UdpSocketSet empty;
  EXPECT_EQ(udp_wait_readable(empty, 10), kErrSocket);
}

// Which datagrams a per-interface entry keeps, and the local address it names. Entry 0
// stands for 192.0.2.1 on interface 3 (subnet broadcast 192.0.2.255, port 40000); entry 1
// for 198.51.100.1 on interface 4; entry 2 for 127.0.0.2 on an interface nobody listed.
TEST(ReceivedLocalAddress, KeepsRepliesThatReachedAnInterfaceAndDropsTheRest) {
  UdpSocketSet set;
  set.count = 3;
  set.entries[0] = UdpSocketEntry{-1, ip_of("192.0.2.1"), kGroup4800};
  set.entries[1] = UdpSocketEntry{-1, ip_of("198.51.100.1"), kGroup4800};
  set.entries[2] = UdpSocketEntry{-1, ip_of("127.0.0.2"), kGroup4800};
  set.paths[0] = UdpEntryPath{true, 3, ip_of("192.0.2.255"), 40000, true};
  set.paths[1] = UdpEntryPath{true, 4, ip_of("198.51.100.255"), 40001, true};
  set.paths[2] = UdpEntryPath{true, 0, 0, 40002, true};
  const uint32_t bcast = 0xFFFFFFFFu;
  struct Case {
    const char* what;
    int entry;
    const char* sender;
    uint16_t sender_port;
    uint32_t dst, spec_dst;
    int ifindex;
    bool entry_live;
    const char* expect;  // nullptr: dropped
  } cases[] = {
      {"unicast to the entry", 0, "192.0.2.10", 4800, ip_of("192.0.2.1"), ip_of("192.0.2.1"), 3,
       true, "192.0.2.1"},
      {"unicast to another local address names that one", 0, "192.0.2.10", 4800, ip_of("192.0.2.2"),
       ip_of("192.0.2.2"), 3, true, "192.0.2.2"},
      {"foreign-subnet broadcast on the entry's interface", 0, "198.18.1.22", 4800, bcast,
       ip_of("192.0.2.1"), 3, true, "192.0.2.1"},
      {"directed broadcast on the entry's interface", 1, "198.51.100.20", 1029,
       ip_of("198.51.100.255"), ip_of("198.51.100.1"), 4, true, "198.51.100.1"},
      {"broadcast that came in by another interface", 0, "198.18.1.22", 4800, bcast,
       ip_of("198.51.100.1"), 4, true, nullptr},
      {"broadcast after the interface lost the address", 1, "198.18.2.25", 1029, bcast, 0, 4, false,
       nullptr},
      {"unicast is kept whatever the view says", 1, "198.51.100.20", 4800, ip_of("198.51.100.1"),
       ip_of("198.51.100.1"), 4, false, "198.51.100.1"},
      {"broadcast on an interface nobody listed", 2, "127.0.0.9", 4800, bcast, ip_of("127.0.0.1"),
       1, true, "127.0.0.2"},
      {"sender 0.0.0.0", 0, "0.0.0.0", 4800, bcast, ip_of("192.0.2.1"), 3, true, nullptr},
      {"sender 255.255.255.255", 0, "255.255.255.255", 4800, ip_of("192.0.2.1"), ip_of("192.0.2.1"),
       3, true, nullptr},
      {"sender a subnet's broadcast", 1, "192.0.2.255", 4800, ip_of("198.51.100.1"),
       ip_of("198.51.100.1"), 4, true, nullptr},
      {"sender multicast", 0, "224.0.0.1", 4800, bcast, ip_of("192.0.2.1"), 3, true, nullptr},
      {"our own request looped back", 0, "198.51.100.1", 40001, bcast, ip_of("192.0.2.1"), 3, true,
       nullptr},
      {"our address but another port is a device on this host", 0, "192.0.2.1", 4800,
       ip_of("192.0.2.1"), ip_of("192.0.2.1"), 3, true, "192.0.2.1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    set.paths[c.entry].live = c.entry_live;
    const uint32_t got = received_local_address(set, c.entry, ip_of(c.sender), c.sender_port, c.dst,
                                                c.spec_dst, c.ifindex);
    set.paths[c.entry].live = true;
    EXPECT_EQ(got, c.expect ? ip_of(c.expect) : 0u);
  }
  EXPECT_EQ(received_local_address(set, 3, ip_of("192.0.2.10"), 4800, bcast, 0, 3), 0u)
      << "an entry outside the set";
}

// On loopback: a per-interface send leaves from the entry's own address, a device's
// reply is named by the address it reached, and our own datagram sent back to one of
// our sockets is never taken as a reply.
TEST_F(SocketSetTest, PerInterfaceSendsFromTheEntryAddressAndDropsItsOwnDatagrams) {
  use_addresses({"127.0.0.1", "127.0.0.2"});
  UdpPeer peer;
  ASSERT_TRUE(peer.ok());
  peer.serve([](const Received& r, int) { return std::vector<Answer>{{r.bytes, 0, false}}; });
  UdpSocketSet set;
  ASSERT_EQ(udp_open_socket_set(set, 1), kOk);
  ASSERT_EQ(set.count, 4);
  const uint8_t req[2] = {0x01, 0x00};
  ASSERT_EQ(udp_send_to(set, peer.address(), peer.port(), req, 2, kGroup4800), kOk);
  ASSERT_TRUE(peer.wait_requests(2, 2000));
  std::set<uint32_t> sources;
  for (const auto& r : peer.requests()) sources.insert(r.from.sin_addr.s_addr);
  EXPECT_EQ(sources, (std::set<uint32_t>{ip_of("127.0.0.1"), ip_of("127.0.0.2")}));

  std::set<uint32_t> locals;
  uint8_t buf[8];
  for (int k = 0; k < 2; ++k) {
    uint32_t local = 0;
    sockaddr_in from{};
    ASSERT_EQ(poll_until(set, buf, 8, &from, &local, kGroup4800), 2);
    EXPECT_EQ(from.sin_addr.s_addr, peer.address());
    locals.insert(local);
  }
  EXPECT_EQ(locals, sources) << "each echo is named by the address it was sent back to";
  peer.stop();

  // Entry 1 sends to entry 0's port: from our own address and port, so it is dropped.
  const uint16_t port0 = ntohs(bound_address(set.entries[0].socket).sin_port);
  UdpSocketSet from_entry1 = set;
  from_entry1.count = 2;
  from_entry1.entries[0].group = kGroup1029;  // only entry 1 sends
  ASSERT_EQ(udp_send_to(from_entry1, ip_of("127.0.0.1"), port0, req, 2, kGroup4800), kOk);
  ASSERT_EQ(udp_wait_readable(set, 2000), 1);
  int len = -1;
  uint32_t local = 99;
  EXPECT_EQ(udp_poll(set, buf, 8, &len, nullptr, &local, kGroup4800), kOk);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(local, 0u);
  // A datagram from elsewhere still arrives afterwards.
  UdpPeer other;
  ASSERT_TRUE(other.send_to(entry_target(set, 0), Bytes{7, 7, 7}));
  EXPECT_EQ(poll_until(set, buf, 8, nullptr, &local, kGroup4800), 3);
  EXPECT_EQ(local, ip_of("127.0.0.1"));
  udp_close_socket_set(set);
}

}  // namespace

// A parked socket keeps its port from every new socket until its time has passed, then
// the next reap closes it; past the cap the one due first goes early; a stop closes all.
TEST(ParkedSockets, KeepTheirPortUntilTheirTimeThenClose) {
  using Clock = std::chrono::steady_clock;
  using std::chrono::milliseconds;
  close_parked_sockets();
  const auto bound_socket = [] {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = ip_of("127.0.0.1");
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    return fd;
  };
  const auto port_free = [](sockaddr_in sa) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool free = bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    close(fd);
    return free;
  };
  const int before = open_fd_count();
  const int soon = bound_socket(), later = bound_socket(), past = bound_socket();
  const sockaddr_in soon_at = bound_address(soon), later_at = bound_address(later);
  park_socket(soon, Clock::now() + milliseconds(50));
  park_socket(later, Clock::now() + std::chrono::seconds(60));
  park_socket(past, Clock::now() - milliseconds(1));  // already due: closed at once
  EXPECT_EQ(parked_socket_count(), 2);
  EXPECT_EQ(open_fd_count(), before + 2);
  EXPECT_FALSE(port_free(soon_at)) << "a parked socket's port was handed out";
  std::this_thread::sleep_for(milliseconds(80));
  reap_parked_sockets();
  EXPECT_EQ(parked_socket_count(), 1);
  EXPECT_TRUE(port_free(soon_at));
  EXPECT_FALSE(port_free(later_at));

  for (int i = 0; i < kMaxParkedSockets; ++i)
    park_socket(bound_socket(), Clock::now() + std::chrono::seconds(120));
  EXPECT_EQ(parked_socket_count(), kMaxParkedSockets);
  EXPECT_TRUE(port_free(later_at)) << "past the cap the socket due first is closed";
  close_parked_sockets();
  EXPECT_EQ(parked_socket_count(), 0);
  EXPECT_EQ(open_fd_count(), before);
}
