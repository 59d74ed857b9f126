// The relay's memory of the files it is asked for: what is queued, being fetched or has failed,
// which fetches run, and the requests held until a fetch ends.
#include "relay/fetch_scheduler.h"

#include <algorithm>

#include "common/hex.h"
#include "relay/relay_log.h"

namespace {

StatusAnswer answer(RelayStatus status, std::string reason = {}) {
  return StatusAnswer{status, std::move(reason)};
}

StatusAnswer failed_answer(const FetchResult& result) {
  // A refused origin is the request's fault, not a passing failure: asking again won't help.
  return answer(result.end == OriginFetchEnd::Refused ? RelayStatus::Invalid : RelayStatus::Failed,
                result.reason);
}

void log_fetch_end(const FetchJob& fetch, const FetchResult& result, long long elapsed_ms) {
  std::string why;
  if (!result.ok())
    why = ": " + result.reason + (result.detail.empty() ? "" : "; ") + result.detail;
  // The URL came from a client: escaped, as every request byte in the log.
  relay_log("Fetch of %s for %s: %s, %llu bytes in %lld ms%s", log_escape(fetch.url, 300).c_str(),
            fetch.sha1.c_str(), std::string(fetch_end_name(result.end)).c_str(),
            static_cast<unsigned long long>(result.bytes), elapsed_ms,
            log_escape(why, 500).c_str());
}

}  // namespace

FetchScheduler::FetchScheduler(Env& env, Store& store, SchedulerSettings settings,
                               FetchRunner& runner)
    : env_(env), store_(store), settings_(std::move(settings)), runner_(runner) {
  timer_ = std::thread([this] { expire_holds(); });
}

FetchScheduler::~FetchScheduler() {
  shutdown();
}

void FetchScheduler::shutdown() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
    hold_changed_.signal_all();
  }
  // Every running fetch ends Stopped, and its held requests hear InProcess; the timer answers
  // the requests held for fetches still queued.
  runner_.stop();
  if (timer_.joinable()) timer_.join();
}

SchedulerCounts FetchScheduler::counts() const {
  MutexLock lock(mutex_);
  SchedulerCounts counts = counts_;
  counts.queued = queued_;
  counts.running = running_;
  counts.held = held_;
  return counts;
}

void FetchScheduler::clock_moved() {
  MutexLock lock(mutex_);
  hold_changed_.signal_all();
}

std::optional<int64_t> FetchScheduler::timer_sleeps_until() const {
  MutexLock lock(mutex_);
  return timer_sleeps_until_;
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

std::optional<StatusAnswer> FetchScheduler::ask(const DownloadAsk& asked, const std::string& client,
                                                Reply later) {
  Request request{lower_hex(asked.sha1), std::nullopt, asked.size, asked.url, client};
  if (asked.sha256) request.sha256 = lower_hex(*asked.sha256);
  for (;;) {
    const uint64_t generation = stored_generation_;
    std::optional<StatusAnswer> stored = stored_answer(request.sha1, request.sha256, request.size);
    if (settings_.between_look_and_lock) settings_.between_look_and_lock();
    RunnerCalls calls;
    Decision decision;
    {
      MutexLock lock(mutex_);
      decision = decide(request, stored, generation, later, &calls);
    }
    run(calls);
    if (decision) return *decision;
  }
}

FetchScheduler::Decision FetchScheduler::decide(const Request& request,
                                                const std::optional<StatusAnswer>& stored,
                                                uint64_t generation, Reply& later,
                                                RunnerCalls* calls) {
  forget_old_failures(env_.monotonic_milliseconds());
  auto found = jobs_.find(request.sha1);
  if (found == jobs_.end()) {
    if (stored) return stored;
    if (generation != stored_generation_) return std::nullopt;  // a fetch was stored meanwhile
    if (stopping_) return answer(RelayStatus::InProcess);
    if (queued_ >= settings_.max_queued) {
      ++counts_.refused_full;
      return answer(RelayStatus::InProcess);
    }
    auto job = std::make_shared<Job>();
    job->sha1 = request.sha1;
    jobs_.emplace(request.sha1, job);
    add_attempt(job, request, calls);
    return answer(RelayStatus::InProcess);
  }
  std::shared_ptr<Job> job = found->second;
  if (job->done) {
    // A failure waits here until one request hears of it; then the next one fetches again.
    jobs_.erase(found);
    return failed_answer(job->result);
  }
  if (!stopping_ && may_add_url(*job, request.url)) add_attempt(job, request, calls);
  if (stopping_ || settings_.hold.count() <= 0) return answer(RelayStatus::InProcess);
  hold(*job, request, std::move(later));
  return std::optional<StatusAnswer>();
}

bool FetchScheduler::may_add_url(const Job& job, const std::string& url) const {
  if (job.attempts.size() >= kUrlsPerDigest || queued_ >= settings_.max_queued) return false;
  if (std::find(job.failed_urls.begin(), job.failed_urls.end(), url) != job.failed_urls.end())
    return false;
  for (uint64_t id : job.attempts)
    if (attempts_.at(id)->fetch.url == url) return false;
  return true;
}

void FetchScheduler::add_attempt(const std::shared_ptr<Job>& job, const Request& request,
                                 RunnerCalls* calls) {
  const uint64_t id = next_attempt_id_++;
  auto attempt = std::make_shared<Attempt>();
  attempt->fetch = FetchJob{request.sha1, request.sha256, numeric_size(request.size), request.url};
  attempt->client = request.client;
  attempt->job = job;
  attempts_.emplace(id, std::move(attempt));
  job->attempts.push_back(id);
  auto& queue = queues_[request.client];
  if (queue.empty()) turns_.push_back(request.client);
  queue.push_back(id);
  ++queued_;
  dispatch(calls);
}

void FetchScheduler::hold(Job& job, const Request& request, Reply later) {
  const uint64_t id = next_hold_id_++;
  job.held.push_back(Held{id, request.sha256, request.size, std::move(later)});
  hold_deadlines_.emplace(env_.monotonic_milliseconds() + settings_.hold.count(),
                          std::make_pair(id, jobs_.at(job.sha1)));
  ++held_;
  hold_changed_.signal();
}

void FetchScheduler::dispatch(RunnerCalls* calls) {
  while (!stopping_ && running_ < settings_.max_fetches) {
    std::optional<uint64_t> id = next_attempt();
    if (!id) return;
    Attempt& attempt = *attempts_.at(*id);
    attempt.running = true;
    attempt.started_at = env_.monotonic_milliseconds();
    ++running_;
    ++running_by_client_[attempt.client];
    calls->starts.emplace_back(*id, attempt.fetch);
  }
}

std::optional<uint64_t> FetchScheduler::next_attempt() {
  // One fetch per client in turn, passing over the clients that run their share already: a
  // client's long backlog never delays another client's file.
  const size_t share = client_share(settings_.max_fetches);
  auto turn = std::find_if(turns_.begin(), turns_.end(), [&](const std::string& client) {
    mutex_.assert_held();
    auto running = running_by_client_.find(client);
    return running == running_by_client_.end() || running->second < share;
  });
  if (turn == turns_.end()) return std::nullopt;
  std::string client = std::move(*turn);
  turns_.erase(turn);
  auto queue = queues_.find(client);
  const uint64_t id = queue->second.front();
  queue->second.pop_front();
  if (queue->second.empty())
    queues_.erase(queue);
  else
    turns_.push_back(std::move(client));
  --queued_;
  return id;
}

void FetchScheduler::unqueue(uint64_t id, const std::string& client) {
  auto queue = queues_.find(client);
  if (queue == queues_.end()) return;
  auto& ids = queue->second;
  ids.erase(std::remove(ids.begin(), ids.end(), id), ids.end());
  --queued_;
  if (!ids.empty()) return;
  queues_.erase(queue);
  turns_.erase(std::remove(turns_.begin(), turns_.end(), client), turns_.end());
}

void FetchScheduler::run(const RunnerCalls& calls) {
  for (uint64_t id : calls.cancels) runner_.cancel(id);
  for (const auto& [id, fetch] : calls.starts)
    runner_.start(id, fetch, [this, id = id](const FetchResult& result) { finish(id, result); });
}

void FetchScheduler::finish(uint64_t id, const FetchResult& result) {
  std::vector<Held> held;
  RunnerCalls calls;
  std::shared_ptr<Attempt> attempt;
  bool stopping = false;
  long long elapsed_ms = 0;
  {
    MutexLock lock(mutex_);
    auto found = attempts_.find(id);
    attempt = std::move(found->second);
    attempts_.erase(found);
    --running_;
    if (--running_by_client_[attempt->client] == 0) running_by_client_.erase(attempt->client);
    ++counts_.fetch_ends[static_cast<size_t>(result.end)];
    counts_.bytes_fetched += result.bytes;
    if (result.ok()) ++stored_generation_;
    if (!attempt->cancelled) settle(*attempt, id, result, &held, &calls);
    dispatch(&calls);
    stopping = stopping_;
    elapsed_ms = env_.monotonic_milliseconds() - attempt->started_at;
  }
  log_fetch_end(attempt->fetch, result, elapsed_ms);
  run(calls);
  reply_held(held, attempt->fetch.sha1, result, stopping);
}

// What the end of a fetch means for its digest; the requests to answer go to `held`.
void FetchScheduler::settle(const Attempt& attempt, uint64_t id, const FetchResult& result,
                            std::vector<Held>* held, RunnerCalls* calls) {
  Job& job = *attempt.job;
  job.attempts.erase(std::remove(job.attempts.begin(), job.attempts.end(), id), job.attempts.end());
  // Another URL may still bring the file: this failure is not the digest's.
  if (!result.ok() && !job.attempts.empty()) {
    job.failed_urls.push_back(attempt.fetch.url);
    return;
  }
  stop_other_attempts(job, calls);
  job.done = true;
  job.result = result;
  held->swap(job.held);
  held_ -= held->size();
  auto current = jobs_.find(job.sha1);
  const bool current_job = current != jobs_.end() && current->second == attempt.job;
  if (result.ok() || !held->empty() || stopping_) {
    // Answered from the store from now on, or reported to the held requests now.
    if (current_job) jobs_.erase(current);
  } else {
    job.failed_at = env_.monotonic_milliseconds();
    failures_.emplace_back(job.failed_at, job.sha1);
  }
}

// The first copy stored wins: the digest's other fetches are stopped or never run.
void FetchScheduler::stop_other_attempts(Job& job, RunnerCalls* calls) {
  for (uint64_t other : job.attempts) {
    auto found = attempts_.find(other);
    Attempt& attempt = *found->second;
    if (attempt.running) {
      attempt.cancelled = true;  // its end still frees its place, when the runner reports it
      calls->cancels.push_back(other);
    } else {
      unqueue(other, attempt.client);
      attempts_.erase(found);
    }
  }
  job.attempts.clear();
}

void FetchScheduler::reply_held(std::vector<Held>& held, const std::string& sha1,
                                const FetchResult& result, bool stopping) {
  // Held deadlines of these requests stay in the timer's map; it skips ids no job holds.
  for (Held& request : held) {
    if (stopping) {
      request.reply(answer(RelayStatus::InProcess));
    } else if (result.ok()) {
      // The fetch followed another request's description; this one may differ from it.
      std::optional<StatusAnswer> stored = stored_answer(sha1, request.sha256, request.size);
      request.reply(stored ? *stored
                           : answer(RelayStatus::Failed, "store failed: the file left the store"));
    } else {
      request.reply(failed_answer(result));
    }
  }
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

// Sleeps until the earliest deadline on the Env's clock, a new hold, clock_moved() or shutdown.
void FetchScheduler::sleep_until_due() {
  if (hold_deadlines_.empty()) {
    timer_sleeps_until_ = kUntilWoken;
    hold_changed_.wait(mutex_);
  } else {
    const Millis deadline = hold_deadlines_.begin()->first;
    const Millis left = deadline - env_.monotonic_milliseconds();
    if (left > 0) {
      timer_sleeps_until_ = deadline;
      hold_changed_.wait_for(mutex_, std::chrono::milliseconds(left));
    }
  }
  timer_sleeps_until_.reset();
}

void FetchScheduler::expire_holds() {
  MutexLock lock(mutex_);
  for (;;) {
    if (!stopping_) sleep_until_due();
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
