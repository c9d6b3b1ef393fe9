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

uint32_t loopback() {
  return htonl(INADDR_LOOPBACK);
}

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

struct Outcome {
  int rc = 0;
  int group = -1;
  int got = -1;
  uint32_t local = 0;
  sockaddr_in sender{};
  std::vector<uint8_t> reply;
};

// Sends the datagrams, waits once with the given time-out, drains what is left.
Outcome run(Rig& rg, const std::vector<Sent>& sent, uint8_t code, int max_length,
            uint32_t timeout_ms) {
  // Group 1's datagrams go first: on a busy machine loopback may still be delivering the
  // last ones when the wait polls, and the wait takes group 1 before group 0, so a
  // group-0 datagram must never be queued ahead of a group-1 one still in flight.
  for (int g : {1, 0}) {
    for (const Sent& s : sent) {
      if (s.group != g) continue;
      const ssize_t n =
          sendto(rg.senders[s.sender], s.bytes.data(), s.bytes.size(), 0,
                 reinterpret_cast<const sockaddr*>(&rg.group_addr[s.group]), sizeof(sockaddr_in));
      FUZZ_CHECK(n == static_cast<ssize_t>(s.bytes.size()));
    }
  }
  qeld::TimeoutBlock tb;
  tb.timeout_ms = timeout_ms;
  tb.attempts = 1;
  Outcome o;
  // Exactly max_length bytes on the heap, so a write past them is caught.
  o.reply.assign(max_length, 0xA5);
  o.local = 12345;
  o.rc = qeld::udp_wait_reply(rg.set, code, max_length, o.reply.data(), &o.sender, &o.local, tb,
                              &o.group, &o.got);
  drain(rg);
  return o;
}

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
      if (len > qeld::kScratchSize) {
        // Dropped as nothing received: on group 1 that pass then polls group 0, so which
        // group's reply is taken first depends on timing.
        if (g == 1) certain = false;
        continue;
      }
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

  // A short wait keeps the fuzzer fast (loopback has delivered by the time the wait polls,
  // almost always); a time-out where a reply was due is tried again with a long wait before
  // it counts, since a busy machine may be slow to deliver.
  Outcome o = run(rg, sent, code, max_length, 1);
  if (o.rc == qeld::kErrTimeout && expect_rc != qeld::kErrTimeout)
    o = run(rg, sent, code, max_length, 2000);

  FUZZ_CHECK(o.rc == qeld::kOk || o.rc == qeld::kErrTimeout || o.rc == qeld::kErrRefused);
  if (certain) FUZZ_CHECK(o.rc == expect_rc);
  if (o.rc == qeld::kOk) {
    FUZZ_CHECK(o.group == 0 || o.group == 1);
    FUZZ_CHECK(o.got >= 0 && o.got <= max_length);
    FUZZ_CHECK(o.sender.sin_family == AF_INET && o.sender.sin_addr.s_addr == loopback());
    FUZZ_CHECK(o.local == loopback());
    if (o.got >= 1) FUZZ_CHECK(o.reply[0] == (code | 0x80) || code == 0xFF);
    if (certain) {
      const int len = static_cast<int>(expect->bytes.size());
      FUZZ_CHECK(o.group == expect->group);
      FUZZ_CHECK(o.got == (len < max_length ? len : max_length));
      FUZZ_CHECK(std::memcmp(o.reply.data(), expect->bytes.data(), o.got) == 0);
      FUZZ_CHECK(ntohs(o.sender.sin_port) == rg.sender_port[expect->sender]);
    }
  }
  return 0;
}
