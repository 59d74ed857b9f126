// The clock seam: waits are made of one-second waits of the clock they are given.
#include "platform/clock.h"

#include <gtest/gtest.h>

#include "support/virtual_clock.h"

namespace {

TEST(ClockTest, WaitsGoThroughTheGivenClock) {
  VirtualClock clock(1000);
  sleep_seconds(clock, 3);
  EXPECT_EQ(clock.now(), 1003);
  sleep_seconds(clock, 30);
  sleep_seconds(clock, 0);
  EXPECT_EQ(clock.waits(), 33);
  EXPECT_EQ(clock.pauses(), (std::vector<int>{3, 30}));
}

TEST(ClockTest, SystemClockReadsTheWallClock) {
  SystemClock clock;
  EXPECT_GT(clock.now(), 1'600'000'000);
}

}  // namespace
