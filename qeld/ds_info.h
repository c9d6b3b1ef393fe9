// The identity of one device server as a search reply gives it: 38 bytes,
// always copied whole, with a byte-exact wire form for the simulator and tests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace qeld {

// Bits of DeviceIdentity::flags. No part of the program acts on them.
inline constexpr uint16_t kFlagDirected = 0x0001;  // made or refreshed by a search aimed at one address
inline constexpr uint16_t kFlag1029 = 0x0010;      // made from a reply of the 1029 family

inline constexpr std::size_t kDsInfoSize = 38;

// model_key, model_id and unit_id hold the device's bytes read as little-endian numbers
// (so that 0x2613 names a model id); ip1, ip2 and local_ip are in network byte order,
// i.e. the four address bytes in memory order as they stood in the reply.
struct DeviceIdentity {
  uint32_t model_key = 0;
  uint16_t model_id = 0;
  uint16_t flags = 0;
  uint32_t ip1 = 0;
  uint32_t ip2 = 0;
  uint32_t local_ip = 0;
  uint8_t mac1[6] = {};
  uint8_t mac2[6] = {};
  uint16_t reserved1 = 0;  // always zero
  uint16_t unit_id = 0;
  uint16_t reserved2 = 0;  // always zero
};

// Byte-exact 38-byte form: key 0-3, id 4-5, flags 6-7, ip1 8-11, ip2 12-15,
// local_ip 16-19, mac1 20-25, mac2 26-31, zero 32-33, unit_id 34-35, zero 36-37.
std::array<uint8_t, kDsInfoSize> ds_info_to_bytes(const DeviceIdentity& info);
// Reads the 38-byte form; returns false (and leaves `out` alone) when len < 38.
bool ds_info_from_bytes(const uint8_t* data, std::size_t len, DeviceIdentity& out);
// Whole-record equality, the zero fields included.
bool ds_info_equal(const DeviceIdentity& a, const DeviceIdentity& b);

}  // namespace qeld
