// The wall clock and the one-second wait, behind one seam so that tests can run on virtual time.
#pragma once

#include <cstdint>

/// Where the program reads the time and waits. Tests pass a virtual clock that advances on
/// every wait and records it.
class Clock {
 public:
  virtual ~Clock() = default;
  /// Seconds since 1970-01-01 UTC.
  virtual int64_t now() = 0;
  /// Blocks for one second (or, on a virtual clock, advances by one).
  virtual void sleep_one_second() = 0;
};

/// The operating system's clock and its one-second wait (D9: the platform's own sleep call).
class SystemClock final : public Clock {
 public:
  int64_t now() override;
  void sleep_one_second() override;
};

/// Waits `seconds` seconds as that many one-second waits of `clock`.
void sleep_seconds(Clock& clock, int seconds);

/// Milliseconds on a clock that only moves forward, from an unspecified start: for measuring
/// how long something took, never for the time of day.
int64_t monotonic_milliseconds();
