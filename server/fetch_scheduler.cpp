// The relay's memory of every file it is asked for: what is being fetched, what failed, and the
// workers that fetch from the origins.
#include "server/fetch_scheduler.h"

#include <exception>

#include "common/hex.h"
#include "server/relay_log.h"

namespace {

StatusAnswer answer(RelayStatus status, std::string reason = {}) {
  return StatusAnswer{status, std::move(reason)};
}

}  // namespace

FetchScheduler::FetchScheduler(Store& store, SchedulerSettings settings)
    : store_(store), settings_(std::move(settings)) {
  for (int i = 0; i < settings_.workers; ++i) workers_.emplace_back([this] { work(); });
}

FetchScheduler::~FetchScheduler() {
  shutdown();
}

void FetchScheduler::shutdown() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  work_ready_.notify_all();
  job_done_.notify_all();
  for (auto& worker : workers_)
    if (worker.joinable()) worker.join();
}

std::optional<StatusAnswer> FetchScheduler::stored_answer(const std::string& sha1,
                                                          const std::optional<std::string>& sha256,
                                                          const std::string& size) const {
  std::optional<uint64_t> stored_size = store_.stored_size(sha1);
  if (!stored_size) return std::nullopt;
  std::optional<uint64_t> expected = numeric_size(size);
  if (expected && *expected != *stored_size)
    return answer(RelayStatus::Failed, "size mismatch: expected " + std::to_string(*expected) +
                                " bytes, the stored file has " + std::to_string(*stored_size));
  if (sha256 && !store_.same_file(sha1, *sha256))
    return answer(RelayStatus::Failed, "sha256 mismatch: the stored file has another sha256");
  return answer(RelayStatus::Available);
}

StatusAnswer FetchScheduler::ask(const DownloadAsk& request) {
  const std::string sha1 = lower_hex(request.sha1);
  std::optional<std::string> sha256;
  if (request.sha256) sha256 = lower_hex(*request.sha256);

  std::unique_lock lock(mutex_);
  auto found = jobs_.find(sha1);
  if (found == jobs_.end()) {
    if (auto stored = stored_answer(sha1, sha256, request.size)) return *stored;
    if (stopping_) return answer(RelayStatus::InProcess);
    auto job = std::make_shared<Job>();
    job->fetch = FetchJob{sha1, sha256, numeric_size(request.size), request.url};
    jobs_.emplace(sha1, job);
    queue_.push_back(std::move(job));
    work_ready_.notify_one();
    return answer(RelayStatus::InProcess);
  }

  std::shared_ptr<Job> job = found->second;
  if (!job->done) {
    ++waiting_;
    job_done_.wait_for(lock, settings_.hold, [&] { return job->done || stopping_.load(); });
    --waiting_;
    if (!job->done) return answer(RelayStatus::InProcess);
  }
  if (job->result.ok) {
    // The fetch followed another request's description; this one may differ from it.
    if (auto stored = stored_answer(sha1, sha256, request.size)) return *stored;
    return answer(RelayStatus::Failed, "store failed: the file left the store");
  }
  // Forget the failure once it is reported, so that the next request fetches again.
  auto current = jobs_.find(sha1);
  if (current != jobs_.end() && current->second == job) jobs_.erase(current);
  return answer(RelayStatus::Failed, job->result.reason);
}

void FetchScheduler::work() {
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock lock(mutex_);
      work_ready_.wait(lock, [&] { return stopping_.load() || !queue_.empty(); });
      if (stopping_) return;
      job = std::move(queue_.front());
      queue_.pop_front();
    }

    const auto start = std::chrono::steady_clock::now();
    FetchResult result;
    try {
      result = fetch_from_origin(job->fetch, store_, settings_.limits, settings_.allow_file_origins,
                                 stopping_);
    } catch (const std::exception& error) {
      result = FetchResult{false, std::string("fetch failed: ") + error.what(), 0};
    }
    const long long elapsed_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - start)
                                     .count();
    if (result.ok)
      relay_log("Fetched %s: stored %s, %llu bytes in %lld ms", job->fetch.url.c_str(),
                job->fetch.sha1.c_str(), static_cast<unsigned long long>(result.bytes), elapsed_ms);
    else
      relay_log("Fetch of %s for %s failed after %lld ms: %s", job->fetch.url.c_str(),
                job->fetch.sha1.c_str(), elapsed_ms, result.reason.c_str());

    {
      std::lock_guard lock(mutex_);
      job->done = true;
      job->result = std::move(result);
      // A stored file is answered from the store from now on; a failure waits to be reported.
      if (job->result.ok) {
        auto current = jobs_.find(job->fetch.sha1);
        if (current != jobs_.end() && current->second == job) jobs_.erase(current);
      }
    }
    job_done_.notify_all();
  }
}
