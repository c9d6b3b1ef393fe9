// The search engine: rounds of the three search requests from every local interface,
// each accepted reply turned into a DeviceIdentity or used to refresh a known one, new ones
// handed to the caller's callback, until enough quiet rounds have passed.
#include "search_engine.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

#include "byte_reader.h"
#include "exchange.h"
#include "library.h"
#include "qnsock/quiet_ports.h"
#include "qnsock/socket_set.h"
#include "result_codes.h"

namespace qeld {
namespace {

constexpr uint32_t kBroadcast = 0xFFFFFFFFu;
constexpr int kReplyUsed = 40;  // bytes of a reply that any layout reads
constexpr uint8_t kAnyCode = 0xFF;
// The internal code of a bad argument (public -5).

enum class Layout { kNone, k4800Short, k4800Long, k1029Full, k1029Short };

bool is_broadcast(uint32_t target) {
  return target == 0 || target == kBroadcast;
}

// What one reply says, read at the layout's offsets.
struct ParsedReply {
  Layout layout = Layout::kNone;
  DeviceIdentity fields;  // identity and addresses as the layout gives them
};

// Picks the layout and reads it. A reply too short for its layout's last byte makes no
// record: its missing fields would otherwise be read from bytes that never arrived.
ParsedReply parse_reply(const uint8_t* reply, int length, int group, uint32_t sender_ip) {
  ParsedReply p;
  if (reply == nullptr || length <= 0) return p;
  ByteReader r(reply, static_cast<std::size_t>(length > kReplyUsed ? kReplyUsed : length));
  DeviceIdentity& f = p.fields;
  if (group == kGroup4800) {
    uint16_t declared = 0;
    if (!r.u16_be(2, declared)) return p;
    if (declared == 24) {
      if (!r.has(0, 24)) return p;
      r.u32_le(8, f.model_key);
      r.u16_le(12, f.model_id);
      r.bytes(14, f.mac1, 6);
      r.ip4(20, f.ip1);
      f.ip2 = sender_ip;
      p.layout = Layout::k4800Short;
    } else if (declared == 40) {
      if (!r.has(0, 40)) return p;
      r.u32_le(8, f.model_key);
      r.u16_le(12, f.model_id);
      r.ip4(20, f.ip1);
      r.bytes(24, f.mac1, 6);
      r.ip4(30, f.ip2);
      r.bytes(34, f.mac2, 6);
      p.layout = Layout::k4800Long;
    }
    // Any other declared length matches no layout; it is ignored and the wait goes on.
    return p;
  }
  if (group != kGroup1029) return p;
  uint8_t code = 0;
  if (!r.u8(0, code)) return p;
  if (code == 0x81) return p;  // no layout: ignored, the wait goes on
  if (code == 0x82) {
    if (!r.has(0, 38)) return p;
    r.u32_le(6, f.model_key);
    r.u16_le(10, f.model_id);
    r.u16_le(12, f.unit_id);
    r.ip4(18, f.ip1);
    r.ip4(22, f.ip2);
    r.bytes(26, f.mac1, 6);
    r.bytes(32, f.mac2, 6);
    p.layout = Layout::k1029Full;
  } else {
    if (!r.has(0, 24)) return p;
    r.u32_le(6, f.model_key);
    r.u16_le(10, f.model_id);
    r.u16_le(12, f.unit_id);
    r.bytes(18, f.mac1, 6);
    f.ip1 = sender_ip;
    f.ip2 = sender_ip;
    p.layout = Layout::k1029Short;
  }
  return p;
}

bool same_mac(const uint8_t* a, const uint8_t* b) {
  return std::memcmp(a, b, 6) == 0;
}

bool same_server(const ParsedReply& p, const DeviceIdentity& rec) {
  const DeviceIdentity& f = p.fields;
  switch (p.layout) {
    case Layout::k4800Short:
    case Layout::k4800Long:
      return rec.model_key == f.model_key && rec.model_id == f.model_id &&
             same_mac(rec.mac1, f.mac1);
    case Layout::k1029Full:
      return rec.model_id == f.model_id && rec.unit_id == f.unit_id && same_mac(rec.mac1, f.mac1) &&
             same_mac(rec.mac2, f.mac2);
    case Layout::k1029Short:
      return rec.model_id == f.model_id && same_mac(rec.mac1, f.mac1);
    case Layout::kNone:
      break;
  }
  return false;
}

void set_directed(DeviceIdentity& rec, uint32_t target) {
  if (is_broadcast(target)) {
    rec.flags = static_cast<uint16_t>(rec.flags & ~kFlagDirected);
  } else {
    rec.flags = static_cast<uint16_t>(rec.flags | kFlagDirected);
  }
}

// Closes the engine's socket set on every way out of a search. A search ends at its first
// directed answer, or when the caller has enough, while the other family's answers and
// copies are still on their way: its sockets stay parked for them (qnsock/quiet_ports.h),
// since a search reply is not matched by its sender and would become another search's
// answer on a socket given the port next.
struct SetCloser {
  UdpSocketSet& set;
  const TimeoutBlock& options;
  ~SetCloser() {
    // At least as long as a command's exchange with the default time-outs, however short
    // the caller's waits (a deadline cuts them, and a device answering late answers later
    // than they), and up to five of its waits however many quiet rounds it ran.
    TimeoutBlock quiet = options;
    quiet.attempts = std::min(quiet.attempts, 5);
    const auto until = quiet_end(quiet, std::chrono::milliseconds(5000));
    udp_park_group(set, kGroup4800, until);
    udp_park_group(set, kGroup1029, until);
    udp_close_socket_set(set);
  }
};

}  // namespace

FoundList::~FoundList() {
  clear();
}

void FoundList::clear() {
  for (int i = 0; i < count && i < kMaxFound; ++i) {
    delete records[i];
    records[i] = nullptr;
  }
  count = 0;
}

ReplyOutcome process_search_reply(FoundList& found, const uint8_t* reply, int length, int group,
                                  uint32_t sender_ip, uint32_t local_ip, uint32_t target,
                                  const ReplyCallback& callback, int* end_code) {
  ParsedReply p = parse_reply(reply, length, group, sender_ip);
  if (p.layout == Layout::kNone) return ReplyOutcome::kIgnored;
  const DeviceIdentity& f = p.fields;

  for (int i = 0; i < found.count && i < kMaxFound; ++i) {
    DeviceIdentity* rec = found.records[i];
    if (rec == nullptr || !same_server(p, *rec)) continue;
    rec->ip1 = f.ip1;
    rec->ip2 = f.ip2;
    rec->local_ip = local_ip;
    set_directed(*rec, target);
    if (rec->ip2 == 0) rec->ip2 = rec->ip1;
    return ReplyOutcome::kRefreshed;
  }

  // The list is full only if a caller kept feeding replies after the end at 512.
  if (found.count >= kMaxFound) {
    if (end_code) *end_code = kMaxFound;
    return ReplyOutcome::kEnd;
  }
  DeviceIdentity* rec = new (std::nothrow) DeviceIdentity(f);
  if (rec == nullptr) {
    if (end_code) *end_code = kErrNoMemory;
    return ReplyOutcome::kEnd;
  }
  rec->flags = 0;
  rec->local_ip = local_ip;
  if (p.layout == Layout::k1029Full || p.layout == Layout::k1029Short) rec->flags |= kFlag1029;
  set_directed(*rec, target);
  if (rec->ip2 == 0) rec->ip2 = rec->ip1;

  // No callback means nobody asked to stop.
  if (callback && callback(rec) == 0) {
    delete rec;
    if (end_code) *end_code = kErrStopped;
    return ReplyOutcome::kEnd;
  }
  found.records[found.count++] = rec;
  if (found.count >= kMaxFound) {
    if (end_code) *end_code = kMaxFound;
    return ReplyOutcome::kEnd;
  }
  const bool from_4800 = p.layout == Layout::k4800Short || p.layout == Layout::k4800Long;
  if (from_4800 && !is_broadcast(target)) {
    if (end_code) *end_code = kOk;
    return ReplyOutcome::kEnd;
  }
  return ReplyOutcome::kNew;
}

int run_search(uint32_t target, const ReplyCallback& callback, const TimeoutBlock& options) {
  if (!callback) return kErrBadArgument;
  if (is_broadcast(target)) target = kBroadcast;

  UdpSocketSet set;
  if (udp_open_socket_set(set, 1) != kOk) return kErrSocket;
  SetCloser closer{set, options};
  FoundList found;  // frees every record on every way out

  int quiet_rounds = 0;
  for (;;) {
    const DeviceIdentity* const* list = found.records;
    if (send_search_01(set, target, list, found.count) != kOk ||
        send_search_49(set, target, list, found.count) != kOk ||
        send_search_02(set, target, list, found.count) != kOk) {
      return kErrSocket;
    }
    bool new_in_round = false;
    for (;;) {
      uint8_t reply[kReplyUsed] = {};
      sockaddr_in sender{};
      uint32_t local = 0;
      int group = 0;
      int length = 0;
      int rc = udp_wait_reply(set, kAnyCode, kReplyUsed, reply, &sender, &local, options, &group,
                              &length);
      if (rc == kErrTimeout) break;
      if (rc != kOk) return rc;
      int end_code = 0;
      ReplyOutcome outcome = process_search_reply(
          found, reply, length, group, sender.sin_addr.s_addr, local, target, callback, &end_code);
      if (outcome == ReplyOutcome::kEnd) return end_code;
      if (outcome == ReplyOutcome::kNew) new_in_round = true;
    }
    if (callback(nullptr) == 0) return kErrStopped;
    quiet_rounds = new_in_round ? 1 : quiet_rounds + 1;
    if (quiet_rounds >= options.attempts) break;
  }
  if (target != kBroadcast && found.count == 0) return kErrTimeout;
  return found.count;
}

int search_servers(uint32_t target, const ReplyCallback& callback) {
  if (!callback) return kPubBadArgument;
  if (is_broadcast(target)) target = kBroadcast;
  int rc;
  {
    std::lock_guard<std::mutex> lock(library_lock());
    rc = run_search(target, callback, search_options());
  }
  return rc >= 0 ? kOk : map_result_code(rc);
}

}  // namespace qeld
