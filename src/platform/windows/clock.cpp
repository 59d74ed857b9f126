// The system clock on Windows.
#include <ctime>

#include <windows.h>

#include "platform/clock.h"

int64_t SystemClock::now() {
  return static_cast<int64_t>(std::time(nullptr));
}

void SystemClock::sleep_one_second() {
  Sleep(1000);
}
