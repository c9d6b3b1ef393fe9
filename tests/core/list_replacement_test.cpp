// Replacing the server list: which monitored servers a new list drops and which it finds
// again, by device identity rather than by place or address alone.
#include "core/list_replacement.h"

#include <gtest/gtest.h>

namespace {

qeld::DeviceIdentity device(uint32_t ip1, uint8_t mac_last, uint32_t ip2 = 0) {
  qeld::DeviceIdentity d;
  d.model_id = 0x2613;
  d.ip1 = ip1;
  d.ip2 = ip2;
  d.mac1[0] = 0x00;
  d.mac1[1] = 0x90;
  d.mac1[5] = mac_last;
  return d;
}

TEST(ListReplacement, DropsAndResumesMonitoredServersByIdentity) {
  const auto a = device(1, 1), b = device(2, 2), c = device(3, 3, 30), idle = device(4, 4);
  std::vector<tavrix::ListedServer> current = {{a, true}, {b, true}, {c, true}, {idle, false}};

  // b found again at another place, a gone, c's address the same but another MAC, c
  // ticked twice, the idle server gone without a word.
  auto c_other = c;
  c_other.mac1[5] = 0x99;
  auto c_no_lan2 = c;
  c_no_lan2.ip2 = 0;
  auto plan = tavrix::plan_list_replacement(current, {c_other, b, c_no_lan2, b});
  EXPECT_EQ(plan.dropped_monitored, (std::vector<int>{0, 2}));
  EXPECT_EQ(plan.resumable, (std::vector<int>{1}));

  plan = tavrix::plan_list_replacement(current, {idle, c, a, b});
  EXPECT_TRUE(plan.dropped_monitored.empty());
  EXPECT_EQ(plan.resumable, (std::vector<int>{1, 2, 3}));

  plan = tavrix::plan_list_replacement({}, {a});
  EXPECT_TRUE(plan.dropped_monitored.empty());
  EXPECT_TRUE(plan.resumable.empty());
  plan = tavrix::plan_list_replacement(current, {});
  EXPECT_EQ(plan.dropped_monitored, (std::vector<int>{0, 1, 2}));

  // Fields a reply's family may leave out (key, flags, local address, unit id) do not
  // make another device.
  auto a_other_family = a;
  a_other_family.model_key = 77;
  a_other_family.local_ip = 9;
  a_other_family.unit_id = 5;
  EXPECT_TRUE(tavrix::same_server(a, a_other_family));
  auto a_other_model = a;
  a_other_model.model_id = 0x2618;
  EXPECT_FALSE(tavrix::same_server(a, a_other_model));
}

}  // namespace
