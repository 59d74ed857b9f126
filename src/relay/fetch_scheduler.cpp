// The relay's memory of the files it is asked for: what is queued, being fetched or has failed,
// the workers that fetch from the origins, and the requests held until a fetch ends.
#include "relay/fetch_scheduler.h"

#include <algorithm>
#include <exception>

#include "common/hex.h"
#include "relay/relay_log.h"

namespace {

// The hold timer looks at the clock at least this often. The Env's clock may be one a test moves
// by hand, which wakes no one: a deadline it passes is noticed within this much real time.
constexpr auto kLongestTimerWait = std::chrono::milliseconds(100);

StatusAnswer answer(RelayStatus status, std::string reason = {}) {
  return StatusAnswer{status, std::move(reason)};
}

StatusAnswer failed_answer(const FetchResult& result) {
  // A refused origin is the request's fault, not a passing failure: asking again won't help.
  return answer(result.end == OriginFetchEnd::Refused ? RelayStatus::Invalid : RelayStatus::Failed,
                result.reason);
}

}  // namespace

FetchScheduler::FetchScheduler(Env& env, Store& store, SchedulerSettings settings,
                               FetchFunction fetch)
    : env_(env), store_(store), settings_(settings), fetch_(std::move(fetch)) {
  timer_ = std::thread([this] { expire_holds(); });
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
  hold_changed_.notify_all();
  for (auto& worker : workers_)
    if (worker.joinable()) worker.join();
  if (timer_.joinable()) timer_.join();
}

SchedulerCounts FetchScheduler::counts() const {
  std::lock_guard lock(mutex_);
  SchedulerCounts counts = counts_;
  counts.queued = queued_;
  counts.running = running_;
  counts.held = held_;
  return counts;
}

std::optional<StatusAnswer> FetchScheduler::stored_answer(const std::string& sha1,
                                                          const std::optional<std::string>& sha256,
                                                          const std::string& size) const {
  uint64_t stored_size = 0;
  const Presence found = store_.look_up(sha1, &stored_size);
  if (found == Presence::Absent) return std::nullopt;
  // Kept from an earlier run and waiting for the store's verifier: hashing it here would stall
  // the HTTP thread (and every connection it serves) for as long as a file of many GiB takes.
  if (found == Presence::Unverified) return answer(RelayStatus::InProcess);
  std::optional<uint64_t> expected = numeric_size(size);
  if (expected && *expected != stored_size)
    return answer(RelayStatus::Failed,
                  "size mismatch: the stored file is not " + std::to_string(*expected) + " bytes");
  if (sha256 && !store_.same_file(sha1, *sha256))
    return answer(RelayStatus::Failed, "sha256 mismatch: the stored file has another sha256");
  return answer(RelayStatus::Available);
}

std::optional<StatusAnswer> FetchScheduler::ask(const DownloadAsk& request,
                                                const std::string& client, Reply later) {
  const std::string sha1 = lower_hex(request.sha1);
  std::optional<std::string> sha256;
  if (request.sha256) sha256 = lower_hex(*request.sha256);

  for (;;) {
    const uint64_t generation = stored_generation_;
    std::optional<StatusAnswer> stored = stored_answer(sha1, sha256, request.size);
    std::lock_guard lock(mutex_);
    forget_old_failures(env_.monotonic_milliseconds());
    auto found = jobs_.find(sha1);
    if (found == jobs_.end()) {
      if (stored) return stored;
      if (generation != stored_generation_) continue;  // a fetch was stored meanwhile
      if (stopping_) return answer(RelayStatus::InProcess);
      if (queued_ >= settings_.max_queued) {
        ++counts_.refused_full;
        return answer(RelayStatus::InProcess);
      }
      auto job = std::make_shared<Job>();
      job->fetch = FetchJob{sha1, sha256, numeric_size(request.size), request.url};
      jobs_.emplace(sha1, job);
      enqueue(std::move(job), client);
      return answer(RelayStatus::InProcess);
    }
    std::shared_ptr<Job> job = found->second;
    if (job->done) {
      // A failure waits here until one request hears of it; then the next one fetches again.
      jobs_.erase(found);
      return failed_answer(job->result);
    }
    if (stopping_ || settings_.hold.count() <= 0) return answer(RelayStatus::InProcess);
    const uint64_t id = next_hold_id_++;
    job->held.push_back(Held{id, sha256, request.size, std::move(later)});
    hold_deadlines_.emplace(env_.monotonic_milliseconds() + settings_.hold.count(),
                            std::make_pair(id, job));
    ++held_;
    hold_changed_.notify_one();
    return std::nullopt;
  }
}

void FetchScheduler::enqueue(std::shared_ptr<Job> job, const std::string& client) {
  auto& queue = queues_[client];
  if (queue.empty()) turns_.push_back(client);
  queue.push_back(std::move(job));
  ++queued_;
  work_ready_.notify_one();
}

std::shared_ptr<FetchScheduler::Job> FetchScheduler::next_job() {
  // One job per client in turn: a client's long backlog never delays another client's file.
  std::string client = std::move(turns_.front());
  turns_.pop_front();
  auto queue = queues_.find(client);
  std::shared_ptr<Job> job = std::move(queue->second.front());
  queue->second.pop_front();
  if (queue->second.empty())
    queues_.erase(queue);
  else
    turns_.push_back(std::move(client));
  --queued_;
  return job;
}

void FetchScheduler::forget_old_failures(Millis now) {
  const Millis memory = std::chrono::milliseconds(settings_.failure_memory).count();
  while (!failures_.empty() &&
         (failures_.size() > settings_.max_failures || now - failures_.front().first > memory)) {
    auto found = jobs_.find(failures_.front().second);
    // Only a failure still unreported is forgotten; the name may belong to a newer job.
    if (found != jobs_.end() && found->second->done &&
        found->second->failed_at == failures_.front().first)
      jobs_.erase(found);
    failures_.pop_front();
  }
}

void FetchScheduler::work() {
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock lock(mutex_);
      work_ready_.wait(lock, [&] { return stopping_.load() || queued_ > 0; });
      if (stopping_) return;
      job = next_job();
      ++running_;
    }
    const Millis start = env_.monotonic_milliseconds();
    FetchResult result;
    try {
      result = fetch_(job->fetch, stopping_);
    } catch (const std::exception& error) {
      result = FetchResult{OriginFetchEnd::StoreError,
                           "store failed: the relay cannot store the file", error.what(), 0};
    }
    const long long elapsed_ms = env_.monotonic_milliseconds() - start;
    std::string why;
    if (!result.ok())
      why = ": " + result.reason + (result.detail.empty() ? "" : "; ") + result.detail;
    // The URL came from a client: escaped, as every request byte in the log.
    relay_log(
        "Fetch of %s for %s: %s, %llu bytes in %lld ms%s", log_escape(job->fetch.url, 300).c_str(),
        job->fetch.sha1.c_str(), std::string(fetch_end_name(result.end)).c_str(),
        static_cast<unsigned long long>(result.bytes), elapsed_ms, log_escape(why, 500).c_str());
    finish(job, std::move(result));
  }
}

void FetchScheduler::finish(const std::shared_ptr<Job>& job, FetchResult result) {
  std::vector<Held> held;
  {
    std::lock_guard lock(mutex_);
    --running_;
    ++counts_.fetch_ends[static_cast<size_t>(result.end)];
    counts_.bytes_fetched += result.bytes;
    job->done = true;
    job->result = std::move(result);
    held.swap(job->held);
    held_ -= held.size();
    auto current = jobs_.find(job->fetch.sha1);
    const bool current_job = current != jobs_.end() && current->second == job;
    if (job->result.ok()) {
      ++stored_generation_;
      if (current_job) jobs_.erase(current);  // answered from the store from now on
    } else if (!held.empty() || stopping_) {
      if (current_job) jobs_.erase(current);  // reported to the held requests now
    } else {
      job->failed_at = env_.monotonic_milliseconds();
      failures_.emplace_back(job->failed_at, job->fetch.sha1);
    }
  }
  // Held deadlines of these requests stay in the timer's map; it skips ids no job holds.
  for (Held& request : held) {
    if (stopping_) {
      request.reply(answer(RelayStatus::InProcess));
    } else if (job->result.ok()) {
      // The fetch followed another request's description; this one may differ from it.
      std::optional<StatusAnswer> stored =
          stored_answer(job->fetch.sha1, request.sha256, request.size);
      request.reply(stored ? *stored
                           : answer(RelayStatus::Failed, "store failed: the file left the store"));
    } else {
      request.reply(failed_answer(job->result));
    }
  }
}

void FetchScheduler::expire_holds() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (hold_deadlines_.empty() && !stopping_) {
      hold_changed_.wait(lock);
    } else if (!stopping_) {
      const Millis left = hold_deadlines_.begin()->first - env_.monotonic_milliseconds();
      if (left > 0)
        hold_changed_.wait_for(lock, std::min<std::chrono::milliseconds>(
                                         std::chrono::milliseconds(left), kLongestTimerWait));
    }
    std::vector<Reply> due;
    const Millis now = env_.monotonic_milliseconds();
    while (!hold_deadlines_.empty() && (stopping_ || hold_deadlines_.begin()->first <= now)) {
      auto [id, job] = std::move(hold_deadlines_.begin()->second);
      hold_deadlines_.erase(hold_deadlines_.begin());
      auto& held = job->held;
      for (auto it = held.begin(); it != held.end(); ++it) {
        if (it->id != id) continue;
        due.push_back(std::move(it->reply));
        held.erase(it);
        --held_;
        break;
      }
    }
    const bool stop = stopping_;
    lock.unlock();
    for (Reply& reply : due) reply(answer(RelayStatus::InProcess));
    lock.lock();
    if (stop && hold_deadlines_.empty()) return;
  }
}
