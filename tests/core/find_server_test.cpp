// Merging the two LANs' replies of a directed search into one identity.
#include <gtest/gtest.h>

#include "core/address_text.h"
#include "core/find_server.h"

namespace {

using tavrix::core::merge_lan_replies;

uint32_t ip(const char* text) {
  return tavrix::parse_ipv4(text).value_or(0);
}

TEST(MergeLanReplies, SecondLanAddressGoesToTheSecondHandle) {
  qeld::DeviceIdentity lan1{};
  lan1.ip1 = lan1.ip2 = ip("192.0.2.10");
  lan1.mac1[5] = 0x10;
  qeld::DeviceIdentity lan2{};
  lan2.ip1 = lan2.ip2 = ip("198.51.100.10");
  lan2.mac1[5] = 0x11;
  const uint32_t a1 = ip("192.0.2.10"), a2 = ip("198.51.100.10");

  auto m = merge_lan_replies(lan1, lan2, a1, a2);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->ip1, a1);
  EXPECT_EQ(m->ip2, a2);
  EXPECT_EQ(m->mac1[5], 0x10);
  EXPECT_EQ(m->mac2[5], 0x11);

  // LAN2 silent and the reply names no second MAC: a one-LAN identity.
  m = merge_lan_replies(lan1, std::nullopt, a1, a2);
  ASSERT_TRUE(m);
  EXPECT_EQ(tavrix::mac_text(m->mac2), tavrix::kNoMac);

  // Only LAN2 answered: the identity still addresses LAN1 at the given address.
  m = merge_lan_replies(std::nullopt, lan2, a1, a2);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->ip1, a1);
  EXPECT_EQ(m->ip2, a2);
  EXPECT_EQ(m->mac2[5], 0x11);
  EXPECT_FALSE(merge_lan_replies(std::nullopt, std::nullopt, a1, a2));
}

}  // namespace
