// The 38-byte identity record: byte-exact wire form and whole-record equality.
#include "qeld/ds_info.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <array>
#include <cstring>

namespace {

qeld::DeviceIdentity sample() {
  qeld::DeviceIdentity d;
  d.model_key = 0x44332211;
  d.model_id = 0x2613;
  d.flags = qeld::kFlagDirected | qeld::kFlag1029;
  d.ip1 = inet_addr("192.0.2.10");
  d.ip2 = inet_addr("198.51.100.10");
  d.local_ip = inet_addr("192.0.2.1");
  const uint8_t m1[6] = {0x00, 0x60, 0xE9, 0x01, 0x02, 0x03};
  const uint8_t m2[6] = {0x00, 0x60, 0xE9, 0x01, 0x02, 0x04};
  std::memcpy(d.mac1, m1, 6);
  std::memcpy(d.mac2, m2, 6);
  d.unit_id = 0xBEEF;
  return d;
}

TEST(DsInfoBytes, FieldsSitAtTheirOffsets) {
  const auto b = qeld::ds_info_to_bytes(sample());
  const std::array<uint8_t, qeld::kDsInfoSize> expected = {
      0x11, 0x22, 0x33, 0x44,              // model_key, device byte order
      0x13, 0x26,                          // model_id 0x2613
      0x11, 0x00,                          // flags
      192,  0,    2,    10,                // ip1 as on the wire
      198,  51,   100,  10,                // ip2
      192,  0,    2,    1,                 // local_ip
      0x00, 0x60, 0xE9, 0x01, 0x02, 0x03,  // mac1
      0x00, 0x60, 0xE9, 0x01, 0x02, 0x04,  // mac2
      0,    0,                             // zero
      0xEF, 0xBE,                          // unit_id
      0,    0};                            // zero
  EXPECT_EQ(b, expected);
}

TEST(DsInfoBytes, RoundTripGivesAnEqualRecord) {
  const qeld::DeviceIdentity d = sample();
  const auto b = qeld::ds_info_to_bytes(d);
  qeld::DeviceIdentity back;
  ASSERT_TRUE(qeld::ds_info_from_bytes(b.data(), b.size(), back));
  EXPECT_TRUE(qeld::ds_info_equal(d, back));
  EXPECT_EQ(qeld::ds_info_to_bytes(back), b);
  EXPECT_EQ(back.ip2, inet_addr("198.51.100.10"));
  EXPECT_EQ(back.unit_id, 0xBEEF);
  // Too short: refused, and the record is left alone.
  EXPECT_FALSE(qeld::ds_info_from_bytes(b.data(), qeld::kDsInfoSize - 1, back));
  EXPECT_FALSE(qeld::ds_info_from_bytes(nullptr, qeld::kDsInfoSize, back));
  EXPECT_TRUE(qeld::ds_info_equal(d, back));
}

TEST(DsInfoEquality, EveryByteCountsIncludingTheZeroFields) {
  const qeld::DeviceIdentity a = sample();
  qeld::DeviceIdentity copy = a;
  EXPECT_TRUE(qeld::ds_info_equal(a, copy));
  const auto bytes = qeld::ds_info_to_bytes(a);
  for (std::size_t i = 0; i < qeld::kDsInfoSize; ++i) {
    auto changed = bytes;
    changed[i] ^= 0x01;
    qeld::DeviceIdentity other;
    ASSERT_TRUE(qeld::ds_info_from_bytes(changed.data(), changed.size(), other));
    EXPECT_FALSE(qeld::ds_info_equal(a, other)) << "byte " << i;
  }
}

}  // namespace
