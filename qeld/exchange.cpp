// Request/response exchange: identity header, the three search requests, the wait that
// matches a reply by code, status and id, and the resend loop of the commands.
#include "exchange.h"

#include <chrono>
#include <climits>
#include <cstring>

#include "byte_reader.h"
#include "library.h"
#include "result_codes.h"

namespace qeld {
namespace {

constexpr int kHeader01 = 8;
constexpr int kEntry01 = 12;
constexpr int kHeader1029 = 6;
constexpr int kEntry1029 = 4;
constexpr uint8_t kSearch01 = 0x01;
constexpr uint8_t kSearch49 = 0x49;
constexpr uint8_t kSearch02 = 0x02;
constexpr uint8_t kAnyCode = 0xFF;
constexpr uint8_t kStatusRefused = 6;

// Milliseconds on the steady clock, compared as unsigned differences so a wrap never
// ends a wait early.
uint32_t tick_ms() {
  using namespace std::chrono;
  return static_cast<uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

int clamp_count(int count, int limit) {
  if (count < 0) return 0;
  return count > limit ? limit : count;
}

int send_search_1029(UdpSocketSet& set, uint32_t dest, uint8_t code,
                     const DeviceIdentity* const* found, int count) {
  uint8_t buf[kHeader1029 + kEntry1029 * kMaxEntries1029] = {};
  int n = found ? clamp_count(count, kMaxEntries1029) : 0;
  for (int i = 0; i < n; ++i) {
    uint8_t* e = buf + kHeader1029 + kEntry1029 * i;
    if (found[i] == nullptr) continue;
    put_u16_le(e, found[i]->model_id);
    put_u16_le(e + 2, found[i]->unit_id);
  }
  int length = kHeader1029 + kEntry1029 * n;
  buf[0] = code;
  put_u16_be(buf + 2, static_cast<uint16_t>(length));
  return udp_send_to(set, dest, device_port_1029(), buf, length, kGroup1029);
}

}  // namespace

void build_identity_header(uint8_t* request, const DeviceIdentity& record) {
  put_u32_le(request + 8, record.model_key);
  put_u16_le(request + 12, record.model_id);
  std::memcpy(request + 14, record.mac1, 6);
}

int udp_wait_reply(UdpSocketSet& set, uint8_t code, int max_length, uint8_t* reply,
                   sockaddr_in* out_sender, uint32_t* out_local, const TimeoutBlock& timeouts,
                   int* out_group, int* out_length) {
  const uint32_t start = tick_ms();
  const uint32_t limit = timeouts.timeout_ms;
  // Whether a socket may hold a datagram. The wait comes first: it returns at once when one
  // is already queued, and a silent device then costs one poll per attempt, not three.
  bool look = false;
  for (;;) {
    uint32_t elapsed = tick_ms() - start;
    if (elapsed > limit) return kErrTimeout;
    if (!look) {
      // Block until a socket is readable or the attempt's time is up, instead of sleeping
      // and polling: the reply is taken at once and a silent wait costs no CPU.
      uint64_t remaining = static_cast<uint64_t>(limit) - elapsed + 1;
      int wait = remaining > INT_MAX ? INT_MAX : static_cast<int>(remaining);
      const int ready = udp_wait_readable(set, wait);
      if (ready < 0) return kErrSocket;
      look = ready > 0;
      continue;
    }

    int length = 0;
    int group = kGroup4800;
    int rc = udp_poll(set, reply, max_length, &length, out_sender, out_local, kGroup4800);
    if (rc != kOk) return kErrSocket;
    if (length == 0) {
      group = kGroup1029;
      rc = udp_poll(set, reply, max_length, &length, out_sender, out_local, kGroup1029);
      if (rc != kOk) return kErrSocket;
    }
    if (length == 0) {
      look = false;
      continue;
    }

    ByteReader r(reply, static_cast<std::size_t>(length));
    uint8_t reply_code = 0;
    uint8_t status = 0;
    r.u8(0, reply_code);
    // A reply too short to hold its status cannot be judged: drop it like a wrong one.
    if (!r.u8(1, status)) continue;
    if (code != kAnyCode && reply_code != static_cast<uint8_t>(code | 0x80)) continue;
    if (status != 0) {
      if (group == kGroup1029 && status == kStatusRefused) return kErrRefused;
      continue;
    }
    if (group == kGroup4800) {
      uint32_t id = 0xFFFFFFFFu;
      if (!r.u32_le(4, id) || id != 0) continue;
    }
    if (out_group) *out_group = group;
    if (out_length) *out_length = length;
    return kOk;
  }
}

int udp_exchange(uint8_t code, UdpSocketSet& set, uint32_t dest, const uint8_t* request,
                 int request_length, uint8_t* reply, int max_length, const TimeoutBlock& timeouts,
                 int* out_length) {
  const int attempts = timeouts.attempts < 1 ? 1 : timeouts.attempts;
  // On a set kept across exchanges, whatever waits now answers an earlier request (a late
  // or a second reply): drop it, or it would be taken for this one. A reply to an earlier
  // attempt of this exchange is still taken, so the discard is before the first send only.
  const int stray = udp_discard_pending(set);
  if (stray < 0) return kErrSocket;
  if (set.hooks) set.hooks->discarded += stray;
  for (int tries = 0;;) {
    if (udp_send_to(set, dest, device_port_4800(), request, request_length, kGroup4800) != kOk)
      return kErrSocket;
    sockaddr_in sender{};
    uint32_t local = 0;
    int group = 0;
    int rc =
        udp_wait_reply(set, code, max_length, reply, &sender, &local, timeouts, &group, out_length);
    if (rc != kErrTimeout) return rc;
    if (++tries >= attempts) return kErrTimeout;
    // A poller asked to stop gives up between attempts instead of after all of them.
    if (set.hooks && set.hooks->stop && set.hooks->stop(set.hooks->stop_arg)) return kErrTimeout;
    if (set.hooks) ++set.hooks->resends;
  }
}

int send_search_01(UdpSocketSet& set, uint32_t dest, const DeviceIdentity* const* found,
                   int count) {
  uint8_t buf[kHeader01 + kEntry01 * kMaxEntries01] = {};
  int n = found ? clamp_count(count, kMaxEntries01) : 0;
  for (int i = 0; i < n; ++i) {
    if (found[i] == nullptr) continue;
    uint8_t* e = buf + kHeader01 + kEntry01 * i;
    put_u32_le(e, found[i]->model_key);
    put_u16_le(e + 4, found[i]->model_id);
    std::memcpy(e + 6, found[i]->mac1, 6);
  }
  int length = kHeader01 + kEntry01 * n;
  buf[0] = kSearch01;
  put_u16_be(buf + 2, static_cast<uint16_t>(length));
  return udp_send_to(set, dest, device_port_4800(), buf, length, kGroup4800);
}

int send_search_49(UdpSocketSet& set, uint32_t dest, const DeviceIdentity* const* found,
                   int count) {
  return send_search_1029(set, dest, kSearch49, found, count);
}

int send_search_02(UdpSocketSet& set, uint32_t dest, const DeviceIdentity* const* found,
                   int count) {
  return send_search_1029(set, dest, kSearch02, found, count);
}

}  // namespace qeld
