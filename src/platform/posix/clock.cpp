// The system clock on POSIX systems.
#include <ctime>

#include "platform/clock.h"

int64_t SystemClock::now() {
  return static_cast<int64_t>(std::time(nullptr));
}

void SystemClock::sleep_one_second() {
  timespec left{1, 0};
  // A signal that interrupts the wait does not shorten it.
  while (nanosleep(&left, &left) != 0) {
  }
}
