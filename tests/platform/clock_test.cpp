// The clock seam: waits and time readings go through the clock in use.
#include "platform/clock.h"

#include <gtest/gtest.h>

#include "support/virtual_clock.h"

namespace {

TEST(ClockTest, WaitsAndReadingsGoThroughTheInstalledClock) {
  {
    VirtualClock clock(1000);
    EXPECT_EQ(current_time(), 1000);
    sleep_seconds(3);
    EXPECT_EQ(current_time(), 1003);
    sleep_seconds(30);
    sleep_seconds(0);
    EXPECT_EQ(clock.waits(), 33);
    EXPECT_EQ(clock.pauses(), (std::vector<int>{3, 30}));
  }
  // The system clock is back once the virtual one is gone.
  EXPECT_GT(current_time(), 1'600'000'000);
}

}  // namespace
