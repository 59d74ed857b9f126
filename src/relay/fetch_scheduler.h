// The relay's memory of the files it is asked for: what is queued, being fetched or has failed,
// the workers that fetch from the origins, and the requests held until a fetch ends.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/relay_status.h"
#include "platform/env.h"
#include "relay/origin_fetcher.h"
#include "relay/request_body.h"
#include "relay/store.h"

struct SchedulerSettings {
  int workers = 4;  ///< origin fetches at once
  /// How long a repeated request for a file being fetched is held for the fetch to end before
  /// it is answered "InProcess". Saves a client the long pause between its polls when the
  /// origin is quick. A held request uses no thread.
  std::chrono::milliseconds hold{3000};
  size_t max_queued = 1000;     ///< fetches waiting for a worker; beyond, nothing is queued
  size_t max_failures = 10000;  ///< failures remembered until reported
  std::chrono::seconds failure_memory{600};  ///< ... and for at most this long
};

/// The answer to one download request.
struct StatusAnswer {
  RelayStatus status;  ///< Available, InProcess, Failed or Invalid
  std::string reason;  ///< set with Failed and Invalid
};

/// What the scheduler has done so far, for the metrics.
struct SchedulerCounts {
  size_t queued = 0;
  size_t running = 0;
  size_t held = 0;
  uint64_t refused_full = 0;  ///< requests not queued because the queue was full
  uint64_t bytes_fetched = 0;
  std::array<uint64_t, static_cast<size_t>(OriginFetchEnd::Count)> fetch_ends{};  ///< by end
};

/// Fetches one file; the scheduler's workers call it, several at once.
using FetchFunction = std::function<FetchResult(const FetchJob&, const std::atomic<bool>& stop)>;

class FetchScheduler {
 public:
  /// Called once with the answer to a held request, on a worker or on the timer thread, never
  /// while the scheduler's lock is held.
  using Reply = std::function<void(StatusAnswer)>;

  /// Starts the workers and the timer. Holds and failures are timed by `env`'s monotonic clock.
  /// `env` and `store` must outlive the scheduler.
  FetchScheduler(Env& env, Store& store, SchedulerSettings settings, FetchFunction fetch);
  /// Stops as shutdown() does.
  ~FetchScheduler();
  FetchScheduler(const FetchScheduler&) = delete;
  FetchScheduler& operator=(const FetchScheduler&) = delete;

  /// The status of the file `ask` names (usable: see unusable_reason()), asked by `client`.
  /// A stored file is Available, or Failed when it cannot be what the request describes. A file
  /// not yet known is queued for one fetch, however many ask, and is InProcess (also when the
  /// queue is full: then nothing is queued, and the client's next poll tries again). A failed
  /// fetch is reported to the requests held for it, or else to the first request after it,
  /// which forgets it, so that the next request starts a new fetch. A request for a file being
  /// fetched returns nothing: `later` is called once the fetch ends or the hold has passed.
  std::optional<StatusAnswer> ask(const DownloadAsk& ask, const std::string& client, Reply later);

  /// Aborts the running fetches (their temporary files are removed), answers every held
  /// request InProcess, and joins the threads. Later requests are InProcess without a fetch.
  void shutdown();

  /// Requests held at this moment for a fetch to end.
  size_t waiting_requests() const { return held_; }
  SchedulerCounts counts() const;

 private:
  struct Held {
    uint64_t id;
    std::optional<std::string> sha256;
    std::string size;
    Reply reply;
  };
  struct Job {
    FetchJob fetch;
    bool done = false;
    FetchResult result;
    int64_t failed_at = 0;   // on env_'s monotonic clock, in milliseconds
    std::vector<Held> held;  // guarded by mutex_
  };
  // A time on env_'s monotonic clock, in milliseconds.
  using Millis = int64_t;

  void work();
  void expire_holds();
  std::shared_ptr<Job> next_job();  // REQUIRES: mutex_ held, a job queued
  void enqueue(std::shared_ptr<Job> job, const std::string& client);  // REQUIRES: mutex_ held
  void finish(const std::shared_ptr<Job>& job, FetchResult result);
  void forget_old_failures(Millis now);  // REQUIRES: mutex_ held
  // The answer for a file found in the store; none when it is not stored. Reads the disk:
  // never called with mutex_ held.
  std::optional<StatusAnswer> stored_answer(const std::string& sha1,
                                            const std::optional<std::string>& sha256,
                                            const std::string& size) const;

  Env& env_;
  Store& store_;
  const SchedulerSettings settings_;
  const FetchFunction fetch_;
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> held_{0};
  std::atomic<size_t> running_{0};
  /// Counts the fetches stored: a request that found nothing on disk and then no job knows
  /// from it whether a fetch ended in between.
  std::atomic<uint64_t> stored_generation_{0};

  mutable std::mutex mutex_;
  std::condition_variable work_ready_;    // signalled when a job is queued or on shutdown
  std::condition_variable hold_changed_;  // signalled when a hold begins or on shutdown
  std::map<std::string, std::shared_ptr<Job>> jobs_;                // guarded by mutex_; by sha1
  std::map<std::string, std::deque<std::shared_ptr<Job>>> queues_;  // guarded by mutex_; by client
  std::deque<std::string> turns_;  // guarded by mutex_; clients with queued jobs, next first
  size_t queued_ = 0;              // guarded by mutex_
  uint64_t next_hold_id_ = 0;      // guarded by mutex_
  std::multimap<Millis, std::pair<uint64_t, std::shared_ptr<Job>>>
      hold_deadlines_;                                   // guarded by mutex_
  std::deque<std::pair<Millis, std::string>> failures_;  // guarded by mutex_
  SchedulerCounts counts_;  // guarded by mutex_ (queued, running and held are filled on read)

  // Declared last: the threads start once everything they use exists.
  std::thread timer_;
  std::vector<std::thread> workers_;
};
