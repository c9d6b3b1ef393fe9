// Fuzz harness for reply matching: the input's datagrams are sent through real loopback
// sockets to a socket set of both groups, then udp_wait_reply must take exactly the
// reply that the matching rules pick (code, status, request id, group order).
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "qeld/exchange.h"
#include "qeld/library.h"
#include "qeld/qnsock/socket_set.h"
#include "qeld/result_codes.h"

namespace {

constexpr int kOversize = 65507;  // the largest UDP datagram over IPv4
constexpr int kMaxDatagrams = 64;
constexpr int kMaxOversize = 1;  // two would not fit the default receive buffer
constexpr int kMaxLengths[8] = {40, 104, 2048, 24, 8, 1, 4096, 64};

struct Rig {
  qeld::UdpSocketSet set;
  sockaddr_in group_addr[2] = {};  // where a datagram for group 0 / group 1 goes
  int senders[2] = {-1, -1};
  uint16_t sender_port[2] = {};
};

uint32_t loopback() { return htonl(INADDR_LOOPBACK); }

int bound_socket() {
  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  FUZZ_CHECK(s >= 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = loopback();
  FUZZ_CHECK(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0);
  int buf = 4 << 20;
  setsockopt(s, SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
  return s;
}

Rig& rig() {
  static Rig* r = [] {
    auto* rg = new Rig;
    // Only the loopback address: the set must never touch a real interface.
    qeld::set_address_source([](qeld::AddressList& out) {
      out.count = 1;
      out.addr[0] = loopback();
      return 1;
    });
    FUZZ_CHECK(qeld::udp_open_socket_set(rg->set, 1) == 1);
    bool seen[2] = {false, false};
    for (int i = 0; i < rg->set.count; ++i) {
      const auto& e = rg->set.entries[i];
      FUZZ_CHECK(e.group == 0 || e.group == 1);
      if (seen[e.group]) continue;
      sockaddr_in a{};
      socklen_t alen = sizeof a;
      FUZZ_CHECK(getsockname(e.socket, reinterpret_cast<sockaddr*>(&a), &alen) == 0);
      a.sin_addr.s_addr = loopback();
      rg->group_addr[e.group] = a;
      seen[e.group] = true;
      int buf = 4 << 20;
      if (setsockopt(e.socket, SOL_SOCKET, SO_RCVBUFFORCE, &buf, sizeof buf) != 0)
        setsockopt(e.socket, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
    }
    FUZZ_CHECK(seen[0] && seen[1]);
    for (int k = 0; k < 2; ++k) {
      rg->senders[k] = bound_socket();
      sockaddr_in a{};
      socklen_t alen = sizeof a;
      FUZZ_CHECK(getsockname(rg->senders[k], reinterpret_cast<sockaddr*>(&a), &alen) == 0);
      rg->sender_port[k] = ntohs(a.sin_port);
    }
    return rg;
  }();
  return *r;
}

void drain(Rig& rg) {
  static uint8_t sink[kOversize];
  for (int i = 0; i < rg.set.count; ++i)
    while (recv(rg.set.entries[i].socket, sink, sizeof sink, MSG_DONTWAIT) >= 0) {
    }
}

struct Sent {
  std::vector<uint8_t> bytes;
  int group;
  int sender;
};

}  // namespace

// Input: byte 0 the request code (0xFF = any), byte 1 selects max_length, then
// datagrams: head byte (bit 0 group, bit 1 sender, bit 2 oversize: padded with zeros
// to 65507 bytes), a 16-bit length, the bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Rig& rg = rig();
  fuzz::Input in(data, size);
  const uint8_t code = in.byte();
  const int max_length = kMaxLengths[in.byte() % 8];

  std::vector<Sent> sent;
  int oversize = 0;
  while (!in.empty() && static_cast<int>(sent.size()) < kMaxDatagrams) {
    const uint8_t head = in.byte();
    std::size_t len = 0;
    const uint8_t* p = in.take(in.u16() % 2100, &len);
    Sent s{std::vector<uint8_t>(p, p + len), head & 1, (head >> 1) & 1};
    if ((head & 4) && oversize < kMaxOversize) {
      s.bytes.resize(kOversize, 0);
      ++oversize;
    }
    const ssize_t n = sendto(rg.senders[s.sender], s.bytes.data(), s.bytes.size(), 0,
                             reinterpret_cast<const sockaddr*>(&rg.group_addr[s.group]),
                             sizeof(sockaddr_in));
    FUZZ_CHECK(n == static_cast<ssize_t>(s.bytes.size()));
    sent.push_back(std::move(s));
  }

  // What the rules pick: group 1's queue first, then group 0's, each in order. A
  // datagram too short to hold the fields that the rules read makes the pick uncertain.
  int expect_rc = qeld::kErrTimeout;
  const Sent* expect = nullptr;
  bool certain = true;
  for (int g : {1, 0}) {
    for (const Sent& s : sent) {
      if (s.group != g || expect != nullptr || expect_rc != qeld::kErrTimeout || !certain) continue;
      const int len = static_cast<int>(s.bytes.size());
      if (len > qeld::kScratchSize) continue;  // dropped as nothing received
      const int seen = len < max_length ? len : max_length;
      if (seen < (g == 1 ? 8 : 2)) {
        certain = false;
        continue;
      }
      const uint8_t* b = s.bytes.data();
      if (code != 0xFF && b[0] != (code | 0x80)) continue;
      if (b[1] != 0) {
        if (g == 0 && b[1] == 6) expect_rc = qeld::kErrRefused;
        continue;
      }
      if (g == 1 && (b[4] | b[5] | b[6] | b[7]) != 0) continue;
      expect_rc = qeld::kOk;
      expect = &s;
    }
  }

  qeld::TimeoutBlock tb;
  tb.timeout_ms = 50;
  tb.attempts = 1;
  // Exactly max_length bytes on the heap, so a write past them is caught.
  std::vector<uint8_t> reply(max_length, 0xA5);
  sockaddr_in sender{};
  uint32_t local = 12345;
  int group = -1;
  int got = -1;
  const int rc = qeld::udp_wait_reply(rg.set, code, max_length, reply.data(), &sender, &local, tb,
                                      &group, &got);
  FUZZ_CHECK(rc == qeld::kOk || rc == qeld::kErrTimeout || rc == qeld::kErrRefused);
  if (certain) FUZZ_CHECK(rc == expect_rc);
  if (rc == qeld::kOk) {
    FUZZ_CHECK(group == 0 || group == 1);
    FUZZ_CHECK(got >= 0 && got <= max_length);
    FUZZ_CHECK(sender.sin_family == AF_INET && sender.sin_addr.s_addr == loopback());
    FUZZ_CHECK(local == loopback());
    if (got >= 1) FUZZ_CHECK(reply[0] == (code | 0x80) || code == 0xFF);
    if (certain) {
      const int len = static_cast<int>(expect->bytes.size());
      FUZZ_CHECK(group == expect->group);
      FUZZ_CHECK(got == (len < max_length ? len : max_length));
      FUZZ_CHECK(std::memcmp(reply.data(), expect->bytes.data(), got) == 0);
      FUZZ_CHECK(ntohs(sender.sin_port) == rg.sender_port[expect->sender]);
    }
  }
  drain(rg);
  return 0;
}
