// A clock for tests: time stands still except when the code under test waits, and every wait is
// recorded, so minutes of pauses run in microseconds.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/clock.h"

class VirtualClock : public Clock {
 public:
  explicit VirtualClock(int64_t start = 1'700'000'000);

  int64_t now() override {
    read_since_wait_ = true;
    return now_;
  }
  void sleep_one_second() override;
  /// The time in milliseconds, for measuring intervals: a reading that does not end a pause
  /// (the waits of an event loop are one pause however often it looks at its timers).
  int64_t milliseconds() const { return now_ * 1000; }

  /// Moves the time forward without counting a wait; from any thread (a test's server may
  /// move it while the code under test waits for its answer).
  void advance(int64_t seconds) { now_ += seconds; }
  /// Number of one-second waits so far.
  int64_t waits() const { return waits_; }
  /// Runs of consecutive one-second waits, as pauses in seconds. A pause ends when the clock is
  /// read between two waits.
  std::vector<int> pauses() const;
  /// Called after every one-second wait, with the new time.
  void on_wait(std::function<void(int64_t)> hook) { hook_ = std::move(hook); }

 private:
  std::atomic<int64_t> now_;
  int64_t waits_ = 0;
  std::vector<int> pauses_;
  bool read_since_wait_ = true;
  std::function<void(int64_t)> hook_;
};
