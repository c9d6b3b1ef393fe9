// Fuzz harness for the search engine's handling of one reply: the input is cut into
// several datagrams (group, sender, receiving address, bytes) that are fed in turn to
// one found list, and every outcome is checked against the reply layouts.
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "qeld/ds_info.h"
#include "qeld/search_engine.h"

namespace {

constexpr uint32_t kBroadcast = 0xFFFFFFFFu;

uint32_t addr(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t bytes[4] = {a, b, c, d};
  uint32_t v;
  std::memcpy(&v, bytes, 4);
  return v;
}

uint32_t le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t raw32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

enum class Layout { kNone, k24, k40, k82, kOther };

// The layout a reply must be read with, and how many bytes that layout reads.
Layout layout_of(const uint8_t* r, int len, int group, int* needed) {
  *needed = 0;
  if (group == 1) {
    if (len < 4) return Layout::kNone;  // no length field: cannot be a layout
    const int field = r[2] << 8 | r[3];
    if (field == 24) {
      *needed = 24;
      return Layout::k24;
    }
    if (field == 40) {
      *needed = 40;
      return Layout::k40;
    }
    return Layout::kNone;
  }
  if (len < 1 || r[0] == 0x81) return Layout::kNone;
  if (r[0] == 0x82) {
    *needed = 38;
    return Layout::k82;
  }
  *needed = 24;
  return Layout::kOther;
}

// What a complete reply must produce, built straight from the layout tables.
qeld::DeviceIdentity expected_record(const uint8_t* r, Layout lay, uint32_t sender, uint32_t local,
                               bool directed) {
  qeld::DeviceIdentity d;
  d.model_key = le32(r + 6);
  if (lay == Layout::k24 || lay == Layout::k40) d.model_key = le32(r + 8);
  switch (lay) {
    case Layout::k24:
      d.model_id = le16(r + 12);
      std::memcpy(d.mac1, r + 14, 6);
      d.ip1 = raw32(r + 20);
      d.ip2 = sender;
      break;
    case Layout::k40:
      d.model_id = le16(r + 12);
      d.ip1 = raw32(r + 20);
      std::memcpy(d.mac1, r + 24, 6);
      d.ip2 = raw32(r + 30);
      std::memcpy(d.mac2, r + 34, 6);
      break;
    case Layout::k82:
      d.model_id = le16(r + 10);
      d.unit_id = le16(r + 12);
      d.ip1 = raw32(r + 18);
      d.ip2 = raw32(r + 22);
      std::memcpy(d.mac1, r + 26, 6);
      std::memcpy(d.mac2, r + 32, 6);
      d.flags |= qeld::kFlag1029;
      break;
    case Layout::kOther:
      d.model_id = le16(r + 10);
      d.unit_id = le16(r + 12);
      std::memcpy(d.mac1, r + 18, 6);
      d.ip1 = d.ip2 = sender;
      d.flags |= qeld::kFlag1029;
      break;
    case Layout::kNone:
      break;
  }
  if (d.ip2 == 0) d.ip2 = d.ip1;
  d.local_ip = local;
  if (directed) d.flags |= qeld::kFlagDirected;
  return d;
}

bool same_identity(const qeld::DeviceIdentity& rec, const qeld::DeviceIdentity& want, Layout lay) {
  const bool mac1 = std::memcmp(rec.mac1, want.mac1, 6) == 0;
  switch (lay) {
    case Layout::k24:
    case Layout::k40:
      return rec.model_key == want.model_key && rec.model_id == want.model_id && mac1;
    case Layout::k82:
      return rec.model_id == want.model_id && rec.unit_id == want.unit_id && mac1 &&
             std::memcmp(rec.mac2, want.mac2, 6) == 0;
    case Layout::kOther:
      return rec.model_id == want.model_id && mac1;
    case Layout::kNone:
      break;
  }
  return false;
}

void check_record_shape(const qeld::DeviceIdentity& d, int group, bool directed, uint32_t local) {
  FUZZ_CHECK(d.reserved1 == 0 && d.reserved2 == 0);
  FUZZ_CHECK((d.flags & ~(qeld::kFlagDirected | qeld::kFlag1029)) == 0);
  FUZZ_CHECK(((d.flags & qeld::kFlag1029) != 0) == (group == 0));
  FUZZ_CHECK(((d.flags & qeld::kFlagDirected) != 0) == directed);
  FUZZ_CHECK(d.local_ip == local);
  FUZZ_CHECK(d.ip2 != 0 || d.ip1 == 0);
  if (group == 1) FUZZ_CHECK(d.unit_id == 0);
}

const uint32_t kSenders[4] = {0, addr(10, 0, 0, 9), addr(127, 0, 0, 1), addr(192, 0, 2, 7)};
const uint32_t kLocals[4] = {0, addr(127, 0, 0, 1), addr(192, 0, 2, 1), addr(198, 51, 100, 1)};

}  // namespace

// Input: one config byte (bit 0 directed search, bits 1-7 the callback call that says
// stop, 0 = never), then datagrams: head byte (bit 0 group, bits 1-2 sender, bits 3-4
// receiving address, bit 7 repeat), length byte (0..63), the bytes; a repeat datagram
// is followed by a count byte and a position byte and is fed 2*count+1 times with its
// index written at that position, so the fuzzer can fill the found list.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const uint8_t config = in.byte();
  const bool directed = config & 1;
  const uint32_t target = directed ? addr(127, 0, 0, 9) : kBroadcast;
  const int stop_at = config >> 1;

  qeld::FoundList found;
  int calls = 0;
  int last_call_count = 0;
  qeld::DeviceIdentity last_seen;
  qeld::ReplyCallback callback = [&](const qeld::DeviceIdentity* rec) {
    FUZZ_CHECK(rec != nullptr);  // the engine itself makes the quiet-wait calls
    ++calls;
    last_seen = *rec;
    return (stop_at != 0 && calls == stop_at) ? 0 : 1;
  };

  while (!in.empty()) {
    const uint8_t head = in.byte();
    const int group = head & 1;
    const uint32_t sender = kSenders[(head >> 1) & 3];
    const uint32_t local = kLocals[(head >> 3) & 3];
    std::size_t len = 0;
    const uint8_t* bytes = in.take(in.byte() % 64, &len);
    int repeats = 1;
    std::size_t pos = 0;
    if (head & 0x80) {
      repeats = 2 * in.byte() + 1;
      pos = len > 1 ? in.byte() % (len - 1) : 0;
    }
    for (int i = 0; i < repeats; ++i) {
      // Exactly len bytes on the heap, so a read past the datagram is caught.
      std::vector<uint8_t> reply(bytes, bytes + len);
      if (repeats > 1 && len >= 2) {
        reply[pos] ^= static_cast<uint8_t>(i);
        reply[pos + 1] ^= static_cast<uint8_t>(i >> 8);
      }
      const uint8_t* r = reply.empty() ? nullptr : reply.data();
      uint8_t empty_reply[1] = {0};
      if (r == nullptr) r = empty_reply;

      int needed = 0;
      const Layout lay = layout_of(r, static_cast<int>(len), group, &needed);
      const bool complete = lay != Layout::kNone && static_cast<int>(len) >= needed;
      const qeld::DeviceIdentity want =
          complete ? expected_record(r, lay, sender, local, directed) : qeld::DeviceIdentity{};
      int first_match = -1;
      if (complete) {
        for (int k = 0; k < found.count && first_match < 0; ++k)
          if (same_identity(*found.records[k], want, lay)) first_match = k;
      }

      const int before = found.count;
      last_call_count = calls;
      int end_code = 12345;
      const qeld::ReplyOutcome out = qeld::process_search_reply(
          found, r, static_cast<int>(len), group, sender, local, target, callback, &end_code);
      const int new_calls = calls - last_call_count;
      FUZZ_CHECK(found.count >= 0 && found.count <= qeld::kMaxFound);
      FUZZ_CHECK(new_calls <= 1);

      switch (out) {
        case qeld::ReplyOutcome::kIgnored:
          FUZZ_CHECK(found.count == before && new_calls == 0);
          FUZZ_CHECK(!complete);  // a whole reply of a known layout is never ignored
          break;
        case qeld::ReplyOutcome::kRefreshed:
          FUZZ_CHECK(lay != Layout::kNone);
          FUZZ_CHECK(found.count == before && new_calls == 0);
          if (complete) {
            FUZZ_CHECK(first_match >= 0);
            const qeld::DeviceIdentity& rec = *found.records[first_match];
            FUZZ_CHECK(rec.ip1 == want.ip1 && rec.ip2 == want.ip2 && rec.local_ip == local);
            FUZZ_CHECK(((rec.flags & qeld::kFlagDirected) != 0) == directed);
          }
          break;
        case qeld::ReplyOutcome::kNew: {
          FUZZ_CHECK(lay != Layout::kNone);
          FUZZ_CHECK(found.count == before + 1 && new_calls == 1);
          const qeld::DeviceIdentity& rec = *found.records[found.count - 1];
          FUZZ_CHECK(qeld::ds_info_equal(rec, last_seen));
          check_record_shape(rec, group, directed, local);
          if (complete) {
            FUZZ_CHECK(first_match < 0);
            FUZZ_CHECK(qeld::ds_info_equal(rec, want));
          }
          // A directed search ends at its first new 4800-family record instead.
          FUZZ_CHECK(!(directed && group == 1));
          FUZZ_CHECK(found.count < qeld::kMaxFound);
          break;
        }
        case qeld::ReplyOutcome::kEnd:
          FUZZ_CHECK(lay != Layout::kNone);
          if (end_code == -13) {
            // The callback said stop: the new record was freed, not appended.
            FUZZ_CHECK(new_calls == 1 && found.count == before && calls == stop_at);
          } else if (end_code == qeld::kMaxFound) {
            FUZZ_CHECK(found.count == qeld::kMaxFound && new_calls == 1);
          } else {
            FUZZ_CHECK(end_code == 1 && directed && group == 1);
            FUZZ_CHECK(found.count == before + 1 && new_calls == 1);
          }
          return 0;  // the engine ends the search here
      }
      if (complete && out != qeld::ReplyOutcome::kIgnored)
        FUZZ_CHECK((out == qeld::ReplyOutcome::kRefreshed) == (first_match >= 0));
    }
  }
  return 0;
}
