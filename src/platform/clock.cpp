// The wall clock and the one-second wait, behind one seam so that tests can run on virtual time.
#include "platform/clock.h"

#include <ctime>

#include <chrono>
#include <thread>

namespace {

class SystemClock : public Clock {
 public:
  int64_t now() override { return static_cast<int64_t>(std::time(nullptr)); }
  void sleep_one_second() override { std::this_thread::sleep_for(std::chrono::seconds(1)); }
};

SystemClock system_clock;
Clock* active_clock = &system_clock;

}  // namespace

Clock& platform_clock() { return *active_clock; }

void set_platform_clock(Clock* clock) { active_clock = clock ? clock : &system_clock; }

int64_t current_time() { return active_clock->now(); }

void sleep_seconds(int seconds) {
  for (int i = 0; i < seconds; ++i) active_clock->sleep_one_second();
}
