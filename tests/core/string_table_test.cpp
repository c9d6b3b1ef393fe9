// The string table: the texts the views show by number, and the empty text that
// stands for a code without a name.
#include <gtest/gtest.h>

#include "core/string_table.h"

using tavrix::load_str;

TEST(StringTable, StatusAndMessageTexts) {
  EXPECT_EQ(load_str(100), "Idle");
  EXPECT_EQ(load_str(101), "On Line");
  EXPECT_EQ(load_str(102), "Off Line");
  EXPECT_EQ(load_str(154), "Are you sure to Exit?");
  EXPECT_EQ(load_str(155), "Already exists in the list!");
  EXPECT_EQ(load_str(36864), "Tavrix Monitor Utility");
  EXPECT_EQ(load_str(36865), "1.1 Build 07101915");
  EXPECT_FALSE(load_str(36866).empty());
}

TEST(StringTable, ModeSetsHaveTheirRedundantComAtTheSupportedCode) {
  EXPECT_EQ(load_str(4096 + 15), "Redundant COM");
  EXPECT_EQ(load_str(4352 + 22), "Redundant COM");
  EXPECT_EQ(load_str(4096 + 0), "Terminal(ASCII)");
  EXPECT_EQ(load_str(4096 + 16), "Disabled");
  EXPECT_EQ(load_str(4352 + 0), "Pair slave mode");
  EXPECT_EQ(load_str(4352 + 7), "Disabled");
  EXPECT_EQ(load_str(4352 + 13), "TCP client");
  EXPECT_EQ(load_str(4352 + 24), "DRDAS TCP Server");
}

TEST(StringTable, StateSetsDifferInCaseAndCodes) {
  EXPECT_EQ(load_str(4608 + 4), "TCP connected");
  EXPECT_EQ(load_str(4608 + 9), "LAST ACK");
  EXPECT_EQ(load_str(4608 + 10), "TCP Time Wait");
  EXPECT_EQ(load_str(4864 + 3), "TCP Connected");
  EXPECT_EQ(load_str(4864 + 2), "Connecting");
  EXPECT_EQ(load_str(4864 + 5), "TCP Closing");
}

TEST(StringTable, CodesWithoutANameGiveTheEmptyText) {
  // -1 is a mode not yet known; the ends of each set must not run into the next set.
  for (int id : {4096 - 1, 4096 + 17, 4352 - 1, 4352 + 25, 4608 + 11, 4864 + 6, 4864 + 255, 0, 103,
                 36867, -5})
    EXPECT_EQ(load_str(id), "") << id;
}
