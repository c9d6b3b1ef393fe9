// The 38-byte wire form of DeviceIdentity, built and read at explicit offsets so the
// struct's padding and the host's byte order never leak into the bytes.
#include "ds_info.h"

#include <cstring>

namespace qeld {
namespace {

void put_le16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint16_t get_le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t get_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Addresses are kept as the four bytes in memory order, so they are copied, not converted.
void put_mem32(uint8_t* p, uint32_t v) {
  std::memcpy(p, &v, 4);
}
uint32_t get_mem32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

}  // namespace

std::array<uint8_t, kDsInfoSize> ds_info_to_bytes(const DeviceIdentity& info) {
  std::array<uint8_t, kDsInfoSize> b{};
  put_le32(&b[0], info.model_key);
  put_le16(&b[4], info.model_id);
  put_le16(&b[6], info.flags);
  put_mem32(&b[8], info.ip1);
  put_mem32(&b[12], info.ip2);
  put_mem32(&b[16], info.local_ip);
  std::memcpy(&b[20], info.mac1, 6);
  std::memcpy(&b[26], info.mac2, 6);
  put_le16(&b[32], info.reserved1);
  put_le16(&b[34], info.unit_id);
  put_le16(&b[36], info.reserved2);
  return b;
}

bool ds_info_from_bytes(const uint8_t* data, std::size_t len, DeviceIdentity& out) {
  if (data == nullptr || len < kDsInfoSize) return false;
  DeviceIdentity r;
  r.model_key = get_le32(data + 0);
  r.model_id = get_le16(data + 4);
  r.flags = get_le16(data + 6);
  r.ip1 = get_mem32(data + 8);
  r.ip2 = get_mem32(data + 12);
  r.local_ip = get_mem32(data + 16);
  std::memcpy(r.mac1, data + 20, 6);
  std::memcpy(r.mac2, data + 26, 6);
  r.reserved1 = get_le16(data + 32);
  r.unit_id = get_le16(data + 34);
  r.reserved2 = get_le16(data + 36);
  out = r;
  return true;
}

bool ds_info_equal(const DeviceIdentity& a, const DeviceIdentity& b) {
  return ds_info_to_bytes(a) == ds_info_to_bytes(b);
}

}  // namespace qeld
