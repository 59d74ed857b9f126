// The wall clock, the one-second wait and the monotonic milliseconds: what every platform shares.
#include "platform/clock.h"

#include <chrono>

void sleep_seconds(Clock& clock, int seconds) {
  for (int i = 0; i < seconds; ++i) clock.sleep_one_second();
}

int64_t monotonic_milliseconds() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
