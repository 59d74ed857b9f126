// A clock for tests: time stands still except when the code under test waits.
#include "support/virtual_clock.h"

VirtualClock::VirtualClock(int64_t start) : now_(start) {}

void VirtualClock::sleep_one_second() {
  if (read_since_wait_ || pauses_.empty())
    pauses_.push_back(1);
  else
    ++pauses_.back();
  read_since_wait_ = false;
  ++now_;
  ++waits_;
  if (hook_) hook_(now_);
}

std::vector<int> VirtualClock::pauses() const {
  return pauses_;
}
