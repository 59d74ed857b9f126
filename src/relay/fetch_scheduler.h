// The relay's memory of the files it is asked for: what is queued, being fetched or has failed,
// which fetches run (a share of them per client, up to three URLs per digest), and the requests
// held until a fetch ends.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/relay_status.h"
#include "platform/env.h"
#include "platform/mutex.h"
#include "relay/fetch_runner.h"
#include "relay/request_body.h"
#include "relay/store.h"

struct SchedulerSettings {
  size_t max_fetches = 64;  ///< origin fetches at once; one client runs a quarter of them
  /// How long a repeated request for a file being fetched is held for the fetch to end before
  /// it is answered "InProcess". Saves a client the long pause between its polls when the
  /// origin is quick. A held request uses no thread.
  std::chrono::milliseconds hold{3000};
  size_t max_queued = 1000;                  ///< fetches waiting to run; beyond, nothing is queued
  size_t max_failures = 10000;               ///< failures remembered until reported
  std::chrono::seconds failure_memory{600};  ///< ... and for at most this long
  /// Tests only: called by ask() between its look in the store and taking the scheduler's
  /// lock, so that a test can end a fetch in exactly that window.
  std::function<void()> between_look_and_lock = nullptr;
};

/// Fetches of one client running at once: a quarter of `max_fetches`, at least one, so that no
/// client, and no few clients, take every fetch.
constexpr size_t client_share(size_t max_fetches) {
  return max_fetches / 4 > 0 ? max_fetches / 4 : 1;
}

/// Distinct URLs fetched at once for one digest: a second client naming another URL for a file
/// being fetched starts a fetch from it, so one slow origin cannot squat on the digest.
constexpr size_t kUrlsPerDigest = 3;

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

class FetchScheduler {
 public:
  /// Called once with the answer to a held request, on the runner's thread or on the timer
  /// thread, never while the scheduler's lock is held.
  using Reply = std::function<void(StatusAnswer)>;

  /// Starts the timer. Fetches run on `runner`; holds and failures are timed by `env`'s
  /// monotonic clock. `env`, `store` and `runner` must outlive the scheduler.
  FetchScheduler(Env& env, Store& store, SchedulerSettings settings, FetchRunner& runner);
  /// Stops as shutdown() does.
  ~FetchScheduler();
  FetchScheduler(const FetchScheduler&) = delete;
  FetchScheduler& operator=(const FetchScheduler&) = delete;

  /// The status of the file `asked` names (usable: see unusable_reason()), asked by `client`.
  /// A stored file is Available, or Failed when it cannot be what the request describes. A file
  /// not yet known is queued for one fetch, however many ask, and is InProcess (also when the
  /// queue is full: then nothing is queued, and the client's next poll tries again). A request
  /// naming another URL for a file being fetched queues a fetch from that URL too (up to
  /// kUrlsPerDigest): the first copy stored wins and the others are stopped. A failed fetch is
  /// reported once no other URL's fetch of the file runs: to the requests held for it, or else
  /// to the first request after it, which forgets it, so that the next request starts a new
  /// fetch. A request for a file being fetched returns nothing: `later` is called once the
  /// fetch ends or the hold has passed.
  std::optional<StatusAnswer> ask(const DownloadAsk& asked, const std::string& client, Reply later)
      EXCLUDES(mutex_);

  /// Stops the running fetches (their temporary files are removed), answers every held request
  /// InProcess, and joins the timer. Later requests are InProcess without a fetch.
  void shutdown() EXCLUDES(mutex_);

  /// Requests held at this moment for a fetch to end.
  size_t waiting_requests() const { return held_; }
  SchedulerCounts counts() const EXCLUDES(mutex_);

  /// Wakes the hold timer to look at the Env's clock again: a test's clock that moves by hand
  /// wakes no one. The system's clock needs no call.
  void clock_moved() EXCLUDES(mutex_);
  /// Where the hold timer is: asleep until this time on the Env's clock (kUntilWoken: until a
  /// hold begins), or nothing while it is awake.
  std::optional<int64_t> timer_sleeps_until() const EXCLUDES(mutex_);
  static constexpr int64_t kUntilWoken = std::numeric_limits<int64_t>::max();

 private:
  // A time on env_'s monotonic clock, in milliseconds.
  using Millis = int64_t;
  struct Held {
    uint64_t id;
    std::optional<std::string> sha256;
    std::string size;
    Reply reply;
  };
  // One digest asked for: its fetches from distinct URLs, or the failure not yet reported.
  // Guarded by mutex_, as every Attempt.
  struct Job {
    std::string sha1;
    std::vector<uint64_t> attempts;        // ids of its fetches queued or running
    std::vector<std::string> failed_urls;  // not tried again while another URL's fetch runs
    bool done = false;
    FetchResult result;
    Millis failed_at = 0;
    std::vector<Held> held;
  };
  // One URL's fetch of a digest.
  struct Attempt {
    FetchJob fetch;
    std::string client;  // whose share it runs in
    std::shared_ptr<Job> job;
    bool running = false;
    bool cancelled = false;  // another URL's copy won: its end tells nothing
    Millis started_at = 0;
  };
  // What a decision asks of the runner, done once the lock is released.
  struct RunnerCalls {
    std::vector<std::pair<uint64_t, FetchJob>> starts;
    std::vector<uint64_t> cancels;
  };
  // A request, its digests in lower case.
  struct Request {
    std::string sha1;
    std::optional<std::string> sha256;
    std::string size;
    std::string url;
    std::string client;
  };
  // ask()'s answer under the lock: none to look again, an empty answer when held.
  using Decision = std::optional<std::optional<StatusAnswer>>;

  Decision decide(const Request& request, const std::optional<StatusAnswer>& stored,
                  uint64_t generation, Reply& later, RunnerCalls* calls) REQUIRES(mutex_);
  void add_attempt(const std::shared_ptr<Job>& job, const Request& request, RunnerCalls* calls)
      REQUIRES(mutex_);
  bool may_add_url(const Job& job, const std::string& url) const REQUIRES(mutex_);
  void hold(Job& job, const Request& request, Reply later) REQUIRES(mutex_);
  void dispatch(RunnerCalls* calls) REQUIRES(mutex_);
  std::optional<uint64_t> next_attempt() REQUIRES(mutex_);
  void unqueue(uint64_t id, const std::string& client) REQUIRES(mutex_);
  void run(const RunnerCalls& calls) EXCLUDES(mutex_);
  void finish(uint64_t id, const FetchResult& result) EXCLUDES(mutex_);
  void settle(const Attempt& attempt, uint64_t id, const FetchResult& result,
              std::vector<Held>* held, RunnerCalls* calls) REQUIRES(mutex_);
  void stop_other_attempts(Job& job, RunnerCalls* calls) REQUIRES(mutex_);
  void reply_held(std::vector<Held>& held, const std::string& sha1, const FetchResult& result,
                  bool stopping) EXCLUDES(mutex_);
  void expire_holds() EXCLUDES(mutex_);
  void sleep_until_due() REQUIRES(mutex_);
  void forget_old_failures(Millis now) REQUIRES(mutex_);
  // The answer for a file found in the store; none when it is not stored. Reads the disk:
  // never called with mutex_ held.
  std::optional<StatusAnswer> stored_answer(const std::string& sha1,
                                            const std::optional<std::string>& sha256,
                                            const std::string& size) const;

  Env& env_;
  Store& store_;
  const SchedulerSettings settings_;
  FetchRunner& runner_;
  std::atomic<size_t> held_{0};
  /// Counts the fetches stored: a request that found nothing on disk and then no job knows
  /// from it whether a fetch ended in between.
  std::atomic<uint64_t> stored_generation_{0};

  mutable Mutex mutex_;
  CondVar hold_changed_{mutex_};  // signalled when a hold begins, the clock moved, or on shutdown
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::map<std::string, std::shared_ptr<Job>> jobs_ GUARDED_BY(mutex_);       // by sha1
  std::map<uint64_t, std::shared_ptr<Attempt>> attempts_ GUARDED_BY(mutex_);  // by id
  uint64_t next_attempt_id_ GUARDED_BY(mutex_) = 0;
  std::map<std::string, std::deque<uint64_t>> queues_ GUARDED_BY(mutex_);  // by client
  std::deque<std::string> turns_ GUARDED_BY(mutex_);  // clients with queued fetches, next first
  size_t queued_ GUARDED_BY(mutex_) = 0;
  size_t running_ GUARDED_BY(mutex_) = 0;
  std::map<std::string, size_t> running_by_client_ GUARDED_BY(mutex_);
  uint64_t next_hold_id_ GUARDED_BY(mutex_) = 0;
  std::multimap<Millis, std::pair<uint64_t, std::shared_ptr<Job>>> hold_deadlines_
      GUARDED_BY(mutex_);
  std::optional<Millis> timer_sleeps_until_ GUARDED_BY(mutex_);
  std::deque<std::pair<Millis, std::string>> failures_ GUARDED_BY(mutex_);
  SchedulerCounts counts_ GUARDED_BY(mutex_);  // queued, running and held are filled on read

  // Declared last: the thread starts once everything it uses exists.
  std::thread timer_;
};
