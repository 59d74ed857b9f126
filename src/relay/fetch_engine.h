// The relay's origin fetches, all driven by one thread on libcurl's multi interface: a fetch
// is a wait on the network, not work for a thread, so a slow origin holds no thread.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "platform/mutex.h"
#include "relay/fetch_runner.h"

struct CurlMultiDeleter {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
using CurlMulti = std::unique_ptr<CURLM, CurlMultiDeleter>;

class FetchEngine final : public FetchRunner {
 public:
  /// Starts the thread. `store` must outlive the engine.
  FetchEngine(Store& store, FetchSettings settings);
  /// Stops as stop() does.
  ~FetchEngine() override;
  FetchEngine(const FetchEngine&) = delete;
  FetchEngine& operator=(const FetchEngine&) = delete;

  /// False when libcurl could not make the multi handle: then every fetch ends Stopped.
  bool ready() const { return multi_ != nullptr; }

  void start(uint64_t id, FetchJob job, Done done) override EXCLUDES(mutex_);
  void cancel(uint64_t id) override EXCLUDES(mutex_);
  void stop() override EXCLUDES(mutex_);

 private:
  struct Start {
    uint64_t id;
    FetchJob job;
    Done done;
  };
  struct Running {
    uint64_t id;
    std::unique_ptr<OriginFetch> fetch;
    Done done;
  };
  // What other threads asked of the loop since it last looked.
  struct Commands {
    std::vector<Start> starts;
    std::vector<uint64_t> cancels;
    bool stop = false;
  };

  // The loop and its steps: all on thread_, which alone touches multi_'s transfers and active_.
  void run() EXCLUDES(mutex_);
  Commands take_commands() EXCLUDES(mutex_);
  void begin(Start start);
  void end(uint64_t id, FetchResult result);
  void end_finished_transfers();
  void stop_everything(std::vector<Start> starts);

  Store& store_;
  const FetchSettings settings_;
  CurlMulti multi_;  // curl_multi_wakeup() is the one call other threads make on it

  Mutex mutex_;
  Commands commands_ GUARDED_BY(mutex_);
  bool stopped_ GUARDED_BY(mutex_) = false;  // the loop has ended; starts end at once

  std::map<uint64_t, Running> active_;  // the loop's own: fetches handed to multi_, by id
  std::set<uint64_t> cancelled_early_;  // the loop's own: cancelled before their start came
  // Declared last: the loop starts once everything it uses exists.
  std::thread thread_;
};
