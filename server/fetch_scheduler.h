// The relay's memory of every file it is asked for: what is being fetched, what failed, and the
// workers that fetch from the origins.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/relay_status.h"
#include "server/origin_fetcher.h"
#include "server/request_body.h"
#include "server/store.h"

struct SchedulerSettings {
  int workers = 4;  ///< origin fetches at once
  bool allow_file_origins = false;
  TransferLimits limits = origin_fetch_limits();
  /// How long a repeated request for a file being fetched waits for the fetch to end before it
  /// is answered "InProcess". Saves a client the long pause it takes between polls when the
  /// origin is quick.
  std::chrono::milliseconds hold{3000};
};

/// The answer to one download request.
struct StatusAnswer {
  RelayStatus status;  ///< Available, InProcess or Failed
  std::string reason;  ///< set with "Failed"
};

class FetchScheduler {
 public:
  /// Starts the workers. `store` must outlive the scheduler.
  FetchScheduler(Store& store, SchedulerSettings settings);
  /// Stops as shutdown() does.
  ~FetchScheduler();
  FetchScheduler(const FetchScheduler&) = delete;
  FetchScheduler& operator=(const FetchScheduler&) = delete;

  /// The status of the file `ask` names (usable: see unusable_reason()). A stored file is
  /// "Available" at once, or "Failed" when it cannot be what the request describes (another
  /// size or sha256). A file not yet known is queued for one fetch, however many ask, and is
  /// "InProcess". A failed fetch is reported "Failed" to the first request after it (and to
  /// the requests that were waiting for it), which forgets it, so that the next request starts
  /// a new fetch.
  StatusAnswer ask(const DownloadAsk& ask);

  /// Aborts the running fetches (their temporary files are removed), answers every waiting
  /// request, and joins the workers. Later requests are answered "InProcess" without a fetch.
  void shutdown();

  /// Requests waiting at this moment for a fetch to end.
  size_t waiting_requests() const { return waiting_; }

 private:
  struct Job {
    FetchJob fetch;
    bool done = false;
    FetchResult result;
  };

  void work();
  // The answer for a file found in the store; none when it is not stored.
  std::optional<StatusAnswer> stored_answer(const std::string& sha1,
                                            const std::optional<std::string>& sha256,
                                            const std::string& size) const;

  Store& store_;
  const SchedulerSettings settings_;
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> waiting_{0};

  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable job_done_;
  std::deque<std::shared_ptr<Job>> queue_;
  std::map<std::string, std::shared_ptr<Job>> jobs_;  ///< by sha1: queued, running or failed

  // Declared last: the workers start once everything they use exists.
  std::vector<std::thread> workers_;
};
