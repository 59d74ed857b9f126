// The state of one run.
#include "client/records/run_state.h"

namespace {

constexpr int64_t kMillisecondsPerSecond = 1000;

}  // namespace

void RunState::fix_deadline() {
  const int64_t now = clock.now();
  // A deadline too far off to be reached in milliseconds is none.
  if (deadline >= now && deadline - now > INT64_MAX / (4 * kMillisecondsPerSecond)) {
    deadline_ms = INT64_MAX;
    return;
  }
  const int64_t left = deadline > now ? deadline - now : 0;
  deadline_ms = env.monotonic_milliseconds() + left * kMillisecondsPerSecond;
}

int64_t RunState::milliseconds_left() {
  if (deadline_ms == INT64_MAX) return INT64_MAX;
  const int64_t now = env.monotonic_milliseconds();
  return now >= deadline_ms ? 0 : deadline_ms - now;
}
