// The event loop of the client's exchanges: one libcurl multi handle, timers on the
// environment's clock, and batches of tasks run side by side.
#include "common/exchange_loop.h"

#include <algorithm>
#include <vector>

namespace {

constexpr int64_t kMillisecondsPerSecond = 1000;

}  // namespace

ExchangeLoop::ExchangeLoop(Env& env) : env_(env), multi_(curl_multi_init()) {
  set_connection_limit(1);
}

void ExchangeLoop::set_connection_limit(long connections) {
  if (!multi_) return;
  const long limit = std::max(connections, 1L);
  curl_multi_setopt(multi_.get(), CURLMOPT_MAX_HOST_CONNECTIONS, limit);
  curl_multi_setopt(multi_.get(), CURLMOPT_MAX_TOTAL_CONNECTIONS, limit);
  curl_multi_setopt(multi_.get(), CURLMOPT_MAXCONNECTS, limit);
}

ExchangeLoop::Transfer::~Transfer() {
  if (!running_) return;
  curl_multi_remove_handle(loop_.multi_.get(), easy_);
  --loop_.running_transfers_;
}

bool ExchangeLoop::Transfer::await_suspend(std::coroutine_handle<> waiting) {
  if (!loop_.multi_) {
    result_ = CURLE_FAILED_INIT;
    return false;
  }
  curl_easy_setopt(easy_, CURLOPT_PRIVATE, this);
  const CURLMcode added = curl_multi_add_handle(loop_.multi_.get(), easy_);
  if (added != CURLM_OK) {
    result_ = added == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_FAILED_INIT;
    return false;
  }
  waiting_ = waiting;
  running_ = true;
  ++loop_.running_transfers_;
  return true;
}

ExchangeLoop::Pause::~Pause() {
  if (timer_) loop_.timers_.erase(*timer_);
}

void ExchangeLoop::Pause::await_suspend(std::coroutine_handle<> waiting) {
  const int64_t due = loop_.env_.monotonic_milliseconds() + seconds_ * kMillisecondsPerSecond;
  timer_ = std::make_pair(due, loop_.timers_set_++);
  loop_.timers_.emplace(*timer_, waiting);
}

Status ExchangeLoop::run_batch(size_t count, size_t width,
                               const std::function<Task<Status>(size_t)>& make,
                               std::optional<int64_t> until_ms) {
  std::vector<Task<Status>> running;
  size_t next = 0;
  Status failed;
  // A timer that wakes the loop when the batch's time is up, whatever it waits for then.
  std::optional<std::pair<int64_t, uint64_t>> end_timer;
  if (until_ms) {
    end_timer = std::make_pair(*until_ms, timers_set_++);
    timers_.emplace(*end_timer, std::noop_coroutine());
  }
  auto time_is_up = [&] { return until_ms && env_.monotonic_milliseconds() >= *until_ms; };
  // Starts tasks while there is room; collects those that ended. True once all have ended or
  // one failed.
  auto settle = [&]() -> bool {
    for (;;) {
      for (auto it = running.begin(); it != running.end();) {
        if (!it->done()) {
          ++it;
          continue;
        }
        Status ended = it->result();
        it = running.erase(it);
        if (!ended.ok()) {
          failed = std::move(ended);
          return true;
        }
      }
      if (time_is_up()) return true;
      if (running.size() >= std::max<size_t>(width, 1) || next == count) return running.empty();
      running.push_back(make(next++));
      running.back().handle().resume();
    }
  };
  Status waited = run_until_ready(settle);
  running.clear();  // a failure, or the end of the batch's time, drops whatever still runs
  if (end_timer) timers_.erase(*end_timer);
  return waited.ok() ? failed : waited;
}

Status ExchangeLoop::run_until_ready(const std::function<bool()>& ready) {
  while (!ready()) {
    if (!step())
      return Status::failure(Status::Code::Fatal, "the exchanges wait for nothing that can come");
  }
  return Status();
}

std::optional<int64_t> ExchangeLoop::next_due_ms() const {
  if (timers_.empty()) return std::nullopt;
  return timers_.begin()->first.first;
}

// One turn of the loop: moves the transfers on, or, with none running, waits for the next
// timer in whole seconds of the environment; then wakes whatever is due. False when there is
// neither a transfer nor a timer to wait for.
bool ExchangeLoop::step() {
  const std::optional<int64_t> due = next_due_ms();
  const int64_t now = env_.monotonic_milliseconds();
  if (running_transfers_ > 0) {
    wait_for_transfers(due ? std::max<int64_t>(*due - now, 0) : kMillisecondsPerSecond);
    resume_ended_transfers();
  } else if (due && *due > now) {
    const int64_t wait = *due - now;
    sleep_seconds(env_,
                  static_cast<int>((wait + kMillisecondsPerSecond - 1) / kMillisecondsPerSecond));
  } else if (!due) {
    return false;
  }
  resume_due_timers();
  return true;
}

void ExchangeLoop::wait_for_transfers(int64_t timeout_ms) {
  int still_running = 0;
  curl_multi_perform(multi_.get(), &still_running);
  // A transfer that has just ended is handed on at once: with nothing left to watch, the poll
  // would sleep out its whole timeout.
  if (still_running < running_transfers_) return;
  // libcurl shortens the wait to its own next timeout.
  curl_multi_poll(multi_.get(), nullptr, 0, static_cast<int>(std::min<int64_t>(timeout_ms, 1000)),
                  nullptr);
  curl_multi_perform(multi_.get(), &still_running);
}

void ExchangeLoop::resume_ended_transfers() {
  // Collected first: a resumed task may start or drop transfers of its own.
  std::vector<std::pair<Transfer*, CURLcode>> ended;
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_.get(), &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    char* owner = nullptr;
    curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &owner);
    ended.emplace_back(reinterpret_cast<Transfer*>(owner), message->data.result);
  }
  for (auto& [transfer, result] : ended) {
    curl_multi_remove_handle(multi_.get(), transfer->easy_);
    transfer->running_ = false;
    transfer->result_ = result;
    --running_transfers_;
  }
  for (auto& [transfer, result] : ended) transfer->waiting_.resume();
}

void ExchangeLoop::resume_due_timers() {
  const int64_t now = env_.monotonic_milliseconds();
  while (!timers_.empty() && timers_.begin()->first.first <= now) {
    auto first = timers_.begin();
    std::coroutine_handle<> waiting = first->second;
    timers_.erase(first);
    waiting.resume();
  }
}
