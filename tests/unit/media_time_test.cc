#include "platform/media/media_time.h"

#include <gtest/gtest.h>

#include <limits>
#include <numeric>

namespace {

TEST(MediaTime, SumsAcrossTimeBasesAreExact) {
  MediaTime sum = kMediaTimeZero;
  for (int i = 0; i < 1000; ++i) sum = MediaTimeAdd(sum, {1001, 30000});
  for (int i = 0; i < 1000; ++i) sum = MediaTimeAdd(sum, {1024, 44100});
  EXPECT_TRUE(MediaTimeEqual(sum, MediaTimeAdd({1001000, 30000}, {1024000, 44100})));
  // 1001/30 + 1024000/44100 = 33.3666... + 23.2199...: the exact fraction, reduced.
  EXPECT_TRUE(MediaTimeEqual(sum, {1001LL * 44100 * 1000 + 1024000LL * 30000, 30000LL * 44100}));
  EXPECT_EQ(std::gcd(sum.value, sum.timescale), 1);
}

TEST(MediaTime, ZeroInAnyTimeBaseIsZero) {
  EXPECT_TRUE(MediaTimeEqual({0, 90000}, kMediaTimeZero));
  EXPECT_TRUE(MediaTimeEqual({0, 1}, {0, 44100}));
  EXPECT_FALSE(MediaTimeEqual({1, 90000}, kMediaTimeZero));
}

TEST(MediaTime, MinimumPrefersTheFirstWhenEqual) {
  MediaTime a{1, 2}, b{2, 4};
  EXPECT_EQ(MediaTimeMinimum(a, b).timescale, 2);
  EXPECT_EQ(MediaTimeMinimum(b, a).timescale, 4);
  EXPECT_EQ(MediaTimeMinimum({3, 1}, {5, 2}).value, 5);
  EXPECT_EQ(MediaTimeMinimum({-1, 1}, {0, 1}).value, -1);
}

TEST(MediaTime, SecondsAreConvertedOnlyAtTheEnd) {
  EXPECT_DOUBLE_EQ(MediaTimeGetSeconds({30030, 3000}), 10.01);
  EXPECT_EQ(MediaTimeGetSeconds({15, 1}), 15.0);
}

TEST(MediaTime, OverflowIsReportedNotWrapped) {
  const std::int64_t big = std::numeric_limits<std::int64_t>::max() / 2 + 1;
  EXPECT_THROW(MediaTimeAdd({big, 1}, {big, 1}), MediaTimeOverflow);
  // Coprime huge timescales whose common base leaves 64 bits.
  EXPECT_THROW(MediaTimeAdd({1, 2147483647}, {1, 2147483629LL * 3}), MediaTimeOverflow);
}

}  // namespace
