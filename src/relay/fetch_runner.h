// Where the scheduler's origin fetches run: many at once, each ending with one call of its
// `done`. The relay's is the FetchEngine (libcurl's multi interface on one thread); the
// scheduler's tests script their own.
#pragma once

#include <cstdint>
#include <functional>

#include "relay/origin_fetcher.h"

class FetchRunner {
 public:
  /// Told once how a fetch ended. Called with no lock of the runner held, on the runner's
  /// thread, or inside start() once the runner has stopped.
  using Done = std::function<void(FetchResult)>;

  virtual ~FetchRunner() = default;
  /// Begins fetching `job` as fetch `id` (unique among the fetches not yet done).
  virtual void start(uint64_t id, FetchJob job, Done done) = 0;
  /// Ends fetch `id` early, its temporary file removed; its `done` is still called, with
  /// Stopped. A fetch whose start() is still to come is stopped as it starts. Nothing when it
  /// ended already.
  virtual void cancel(uint64_t id) = 0;
  /// Stops every fetch (each `done` called with Stopped) and returns once every `done` has
  /// returned. Later fetches end Stopped at once.
  virtual void stop() = 0;
};
