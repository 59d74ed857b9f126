// The wall clock and the one-second wait, behind one seam so that tests can run on virtual time.
#pragma once

#include <cstdint>

/// Where the program reads the time and waits. The system clock is the default; tests install
/// a virtual one that advances on every wait and records it.
class Clock {
 public:
  virtual ~Clock() = default;
  /// Seconds since 1970-01-01 UTC.
  virtual int64_t now() = 0;
  /// Blocks for one second (or, on a virtual clock, advances by one).
  virtual void sleep_one_second() = 0;
};

/// The clock in use.
Clock& platform_clock();
/// Installs `clock` as the clock in use; nullptr restores the system clock. The caller keeps
/// ownership and must restore the default before `clock` is destroyed.
void set_platform_clock(Clock* clock);

/// Current time in seconds, from the clock in use.
int64_t current_time();
/// Waits `seconds` seconds as that many one-second waits.
void sleep_seconds(int seconds);
