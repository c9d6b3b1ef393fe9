// Device-side request parsing and reply building. Multi-byte identity fields go out
// in the device's own (little-endian) byte order; lengths are big-endian; addresses
// are copied in network order.
#include "protocol.h"

#include <algorithm>
#include <cstring>

namespace devsim {

namespace {

constexpr std::size_t kHeader4800 = 8;     // code, status, length, id
constexpr std::size_t kCommandRequest = 21;
constexpr std::size_t kHeader1029 = 6;

void put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
void put_le16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
void put_ip(uint8_t* p, uint32_t net_order) { std::memcpy(p, &net_order, 4); }

// 20-byte identity header of a 4800-family reply.
std::vector<uint8_t> reply_4800(const Device& d, uint8_t code, std::size_t size) {
  std::vector<uint8_t> r(size, 0);
  r[0] = uint8_t(code | 0x80);
  put_le32(&r[8], d.model_key);
  put_le16(&r[12], d.model_id);
  std::memcpy(&r[14], d.mac1.data(), 6);
  return r;
}

}  // namespace

void put_length(std::vector<uint8_t>& reply) {
  if (reply.size() < 4) return;
  const std::size_t n = std::min<std::size_t>(reply.size(), 0xFFFF);
  reply[2] = uint8_t(n >> 8);
  reply[3] = uint8_t(n);
}

ParseStatus parse_request(const uint8_t* data, std::size_t len, Family family, Request& out) {
  out = Request{};
  out.family = family;
  const std::size_t header = family == Family::k4800 ? kHeader4800 : kHeader1029;
  if (data == nullptr || len < header) return ParseStatus::kTooShort;
  out.code = data[0];
  out.status = data[1];
  out.length = uint16_t((data[2] << 8) | data[3]);
  std::memcpy(out.id, &data[4], family == Family::k4800 ? 4 : 2);
  if (out.length < header || out.length > len) return ParseStatus::kBadLength;
  const std::size_t usable = out.length;  // <= len, checked above

  if (family == Family::k4800) {
    if (out.code == 0x01) {
      const std::size_t n = (usable - header) / 12;
      out.listed_4800.resize(n);
      for (std::size_t i = 0; i < n; ++i) {
        const uint8_t* e = data + header + 12 * i;
        std::memcpy(out.listed_4800[i].key, e, 4);
        std::memcpy(out.listed_4800[i].id, e + 4, 2);
        std::memcpy(out.listed_4800[i].mac, e + 6, 6);
      }
      return ParseStatus::kOk;
    }
    if (usable < kCommandRequest) return ParseStatus::kTooShort;
    out.has_identity = true;
    std::memcpy(out.key, &data[8], 4);
    std::memcpy(out.model_id, &data[12], 2);
    std::memcpy(out.mac, &data[14], 6);
    out.port = data[20];
    return ParseStatus::kOk;
  }

  const std::size_t n = (usable - header) / 4;
  out.listed_1029.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const uint8_t* e = data + header + 4 * i;
    std::memcpy(out.listed_1029[i].id, e, 2);
    std::memcpy(out.listed_1029[i].unit, e + 2, 2);
  }
  return ParseStatus::kOk;
}

bool device_listed(const Device& d, const Request& r) {
  uint8_t key[4], id[2], unit[2];
  put_le32(key, d.model_key);
  put_le16(id, d.model_id);
  put_le16(unit, d.unit_id);
  if (r.family == Family::k4800) {
    return std::any_of(r.listed_4800.begin(), r.listed_4800.end(), [&](const Listed4800& e) {
      return std::memcmp(e.key, key, 4) == 0 && std::memcmp(e.id, id, 2) == 0 &&
             std::memcmp(e.mac, d.mac1.data(), 6) == 0;
    });
  }
  return std::any_of(r.listed_1029.begin(), r.listed_1029.end(), [&](const Listed1029& e) {
    return std::memcmp(e.id, id, 2) == 0 && std::memcmp(e.unit, unit, 2) == 0;
  });
}

std::vector<uint8_t> search_reply(const Device& d, const Request& r) {
  if (r.family == Family::k4800) {
    if (r.code != 0x01 || !d.answers_4800) return {};
    if (d.layout_4800 == 40) {
      auto reply = reply_4800(d, r.code, 40);
      put_ip(&reply[20], d.ip1);
      std::memcpy(&reply[24], d.mac1.data(), 6);
      put_ip(&reply[30], d.ip2);
      std::memcpy(&reply[34], d.mac2.data(), 6);
      put_length(reply);
      return reply;
    }
    auto reply = reply_4800(d, r.code, 24);
    put_ip(&reply[20], d.ip1);
    put_length(reply);
    return reply;
  }

  if (!d.answers_1029) return {};
  // A device answers one of the two 1029 requests: 0x02 when it speaks the 0x82
  // layout, 0x49 otherwise.
  const bool speaks_82 = d.code_1029 == 0x82;
  if (r.code != (speaks_82 ? 0x02 : 0x49)) return {};
  std::vector<uint8_t> reply(speaks_82 ? 38 : 24, 0);
  reply[0] = d.code_1029;
  std::memcpy(&reply[4], r.id, 2);
  put_le32(&reply[6], d.model_key);
  put_le16(&reply[10], d.model_id);
  put_le16(&reply[12], d.unit_id);
  if (speaks_82) {
    put_ip(&reply[18], d.ip1);
    put_ip(&reply[22], d.ip2);
    std::memcpy(&reply[26], d.mac1.data(), 6);
    std::memcpy(&reply[32], d.mac2.data(), 6);
  } else {
    std::memcpy(&reply[18], d.mac1.data(), 6);
  }
  put_length(reply);
  return reply;
}

std::vector<uint8_t> connection_record(const Port& p) {
  std::vector<uint8_t> rec(kRecordSize, 0);
  for (int c = 0; c < kMaxConnections; ++c) {
    put_ip(&rec[8 * c], p.conns[c].lan[0].peer);
    put_ip(&rec[8 * c + 4], p.conns[c].lan[1].peer);
    rec[64 + 2 * c] = p.conns[c].lan[0].state;
    rec[65 + 2 * c] = p.conns[c].lan[1].state;
  }
  return rec;
}

std::vector<uint8_t> command_reply(const Device& d, const Request& r) {
  if (r.family != Family::k4800 || !r.has_identity) return {};
  if (r.code != 0x41 && r.code != 0x3A) return {};
  const int count = int(d.ports.size());
  const bool all = r.port == 0;
  if (!all && r.port > count) {
    // Asking for a port the device does not have: an error status, no entries.
    auto reply = reply_4800(d, r.code, 24);
    reply[1] = 3;
    reply[20] = r.port;
    reply[21] = uint8_t(d.port_count_byte());
    put_length(reply);
    return reply;
  }
  const int first = all ? 0 : r.port - 1;
  const int n = all ? count : 1;
  const std::size_t entry = r.code == 0x41 ? 1 : kRecordSize;
  auto reply = reply_4800(d, r.code, 24 + entry * std::size_t(n));
  reply[20] = r.port;
  reply[21] = uint8_t(d.port_count_byte());
  for (int i = 0; i < n; ++i) {
    const Port& p = d.ports[std::size_t(first + i)];
    if (r.code == 0x41) {
      reply[24 + std::size_t(i)] = uint8_t(p.mode);
    } else {
      const auto rec = connection_record(p);
      std::memcpy(&reply[24 + kRecordSize * std::size_t(i)], rec.data(), kRecordSize);
    }
  }
  put_length(reply);
  return reply;
}

}  // namespace devsim
