// The relay's origin fetches, all driven by one thread on libcurl's multi interface.
#include "relay/fetch_engine.h"

#include <cstdint>
#include <exception>

namespace {

// The loop looks for commands at least this often even when libcurl sleeps longer; a command
// wakes it at once (curl_multi_wakeup), so this only bounds a lost wake-up.
constexpr int kLongestPollMs = 1000;

FetchResult start_failure(std::string detail) {
  return FetchResult{OriginFetchEnd::TransferError,
                     "fetch failed: the relay cannot start a transfer", std::move(detail), 0};
}

}  // namespace

FetchEngine::FetchEngine(Store& store, FetchSettings settings)
    : store_(store), settings_(std::move(settings)), multi_(curl_multi_init()) {
  thread_ = std::thread([this] { run(); });
}

FetchEngine::~FetchEngine() {
  stop();
}

void FetchEngine::start(uint64_t id, FetchJob job, Done done) {
  {
    MutexLock lock(mutex_);
    if (!stopped_) {
      commands_.starts.push_back(Start{id, std::move(job), std::move(done)});
      if (multi_) curl_multi_wakeup(multi_.get());
      return;
    }
  }
  done(OriginFetch(std::move(job), store_, settings_).stopped());
}

void FetchEngine::cancel(uint64_t id) {
  MutexLock lock(mutex_);
  if (stopped_) return;
  commands_.cancels.push_back(id);
  if (multi_) curl_multi_wakeup(multi_.get());
}

void FetchEngine::stop() {
  {
    MutexLock lock(mutex_);
    commands_.stop = true;
    if (multi_) curl_multi_wakeup(multi_.get());
  }
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

FetchEngine::Commands FetchEngine::take_commands() {
  MutexLock lock(mutex_);
  Commands taken = std::move(commands_);
  commands_ = Commands{};
  // Starts that come after this are ended by start() itself.
  if (taken.stop || !multi_) stopped_ = true;
  return taken;
}

void FetchEngine::run() {
  for (;;) {
    Commands commands = take_commands();
    if (commands.stop || !multi_) {
      stop_everything(std::move(commands.starts));
      return;
    }
    // Cancels first: one whose start() is in this batch or still to come is remembered, and
    // that start ends at once, whichever order the two came in.
    for (uint64_t id : commands.cancels) {
      auto found = active_.find(id);
      if (found == active_.end()) {
        cancelled_early_.insert(id);
        continue;
      }
      FetchResult result = found->second.fetch->stopped();
      end(id, std::move(result));
    }
    for (Start& start : commands.starts) begin(std::move(start));
    int running = 0;
    curl_multi_perform(multi_.get(), &running);
    end_finished_transfers();
    curl_multi_poll(multi_.get(), nullptr, 0, kLongestPollMs, nullptr);
  }
}

void FetchEngine::begin(Start start) {
  if (cancelled_early_.erase(start.id)) {
    start.done(OriginFetch(std::move(start.job), store_, settings_).stopped());
    return;
  }
  std::optional<FetchResult> failed;
  auto fetch = std::make_unique<OriginFetch>(std::move(start.job), store_, settings_);
  try {
    failed = fetch->prepare();
  } catch (const std::exception& error) {
    failed = start_failure(error.what());
  }
  if (!failed && curl_multi_add_handle(multi_.get(), fetch->easy()) != CURLM_OK)
    failed = start_failure("curl_multi_add_handle failed");
  if (failed) {
    start.done(std::move(*failed));
    return;
  }
  CURL* easy = fetch->easy();
  auto entry =
      active_.emplace(start.id, Running{start.id, std::move(fetch), std::move(start.done)});
  // The map's nodes stay where they are until erased: the handle can name its entry.
  curl_easy_setopt(easy, CURLOPT_PRIVATE, &entry.first->second);
}

// Takes fetch `id` out of the multi handle and tells its owner how it ended. The fetch is
// destroyed first, so a temporary file it leaves is gone before anyone hears of the end.
void FetchEngine::end(uint64_t id, FetchResult result) {
  auto found = active_.find(id);
  Running running = std::move(found->second);
  active_.erase(found);
  curl_multi_remove_handle(multi_.get(), running.fetch->easy());
  running.fetch.reset();
  running.done(std::move(result));
}

void FetchEngine::end_finished_transfers() {
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_.get(), &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    void* running = nullptr;
    curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &running);
    if (running == nullptr) continue;
    const uint64_t id = static_cast<const Running*>(running)->id;
    const CURLcode code = message->data.result;
    auto found = active_.find(id);
    if (found == active_.end()) continue;
    // The checks read the handle's answer, so they run before it leaves the multi handle.
    FetchResult result;
    try {
      result = found->second.fetch->finish(code);
    } catch (const std::exception& error) {
      result = FetchResult{OriginFetchEnd::StoreError,
                           "store failed: the relay cannot store the file", error.what(), 0};
    }
    end(id, std::move(result));
  }
}

void FetchEngine::stop_everything(std::vector<Start> starts) {
  while (!active_.empty()) {
    const uint64_t id = active_.begin()->first;
    FetchResult result = active_.begin()->second.fetch->stopped();
    end(id, std::move(result));
  }
  for (Start& start : starts)
    start.done(OriginFetch(std::move(start.job), store_, settings_).stopped());
  cancelled_early_.clear();
}
