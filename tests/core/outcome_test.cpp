// The value-or-reason type: what a caller reads on each side, and the moves it allows.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/outcome.h"

namespace {

using tavrix::Done;
using tavrix::fail;
using tavrix::Outcome;

Outcome<int> halve(int n) {
  if (n % 2) return fail("odd: " + std::to_string(n), -2);
  return n / 2;
}

Done check(bool ok) {
  if (!ok) return fail("not ok");
  return {};
}

TEST(Outcome, HoldsAValueOrAReasonWithItsCode) {
  const Outcome<int> good = halve(8);
  ASSERT_TRUE(good);
  EXPECT_EQ(*good, 4);
  EXPECT_EQ(good.reason(), "");
  EXPECT_EQ(good.code(), 0);

  const Outcome<int> bad = halve(7);
  EXPECT_FALSE(bad);
  EXPECT_EQ(bad.reason(), "odd: 7");
  EXPECT_EQ(bad.code(), -2);

  EXPECT_TRUE(check(true));
  const Done refused = check(false);
  EXPECT_FALSE(refused.ok());
  EXPECT_EQ(refused.reason(), "not ok");
  EXPECT_EQ(refused.code(), 0);

  // A move-only value comes out by moving the outcome.
  Outcome<std::unique_ptr<int>> owned = std::make_unique<int>(5);
  ASSERT_TRUE(owned);
  const std::unique_ptr<int> taken = std::move(owned).value();
  EXPECT_EQ(*taken, 5);
}

}  // namespace
