// The event loop of the client's exchanges: every transfer runs on one libcurl multi handle,
// every wait is a timer of the loop, and up to a given number of tasks run at once, on the
// calling thread.
#pragma once

#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include <curl/curl.h>

#include "common/task.h"
#include "platform/env.h"
#include "platform/status.h"

struct CurlMultiDeleter {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
using CurlMulti = std::unique_ptr<CURLM, CurlMultiDeleter>;

class ExchangeLoop {
 public:
  /// Waits and reads the time through `env`, which must outlive the loop.
  explicit ExchangeLoop(Env& env);
  ExchangeLoop(const ExchangeLoop&) = delete;
  ExchangeLoop& operator=(const ExchangeLoop&) = delete;

  /// Caps the connections the loop keeps, and opens to one host, at `connections` (at least 1).
  void set_connection_limit(long connections);

  /// Awaitable: runs the easy handle on the loop's multi handle and resumes with its result.
  /// Destroyed before the transfer ended (its task was dropped), it takes the handle off the
  /// loop; the handle must outlive it.
  class Transfer {
   public:
    Transfer(ExchangeLoop& loop, CURL* easy) : loop_(loop), easy_(easy) {}
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
    ~Transfer();
    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<> waiting);
    CURLcode await_resume() const noexcept { return result_; }

   private:
    friend class ExchangeLoop;
    ExchangeLoop& loop_;
    CURL* easy_;
    std::coroutine_handle<> waiting_;
    bool running_ = false;
    CURLcode result_ = CURLE_OK;
  };
  Transfer perform(CURL* easy) { return Transfer(*this, easy); }

  /// Awaitable: resumes `seconds` seconds later on the environment's clock. While no transfer
  /// runs, the loop spends the time in the environment's one-second waits.
  class Pause {
   public:
    Pause(ExchangeLoop& loop, int seconds) : loop_(loop), seconds_(seconds) {}
    Pause(const Pause&) = delete;
    Pause& operator=(const Pause&) = delete;
    ~Pause();
    bool await_ready() const noexcept { return seconds_ <= 0; }
    void await_suspend(std::coroutine_handle<> waiting);
    void await_resume() const noexcept {}

   private:
    ExchangeLoop& loop_;
    int seconds_;
    std::optional<std::pair<int64_t, uint64_t>> timer_;
  };
  Pause pause(int seconds) { return Pause(*this, seconds); }

  /// Runs the tasks `make(0)` to `make(count - 1)`, each made and started in that order when
  /// fewer than `width` run, and returns when all have ended. The first task that ends with a
  /// status other than ok ends the whole batch: no other task starts, those still running are
  /// dropped (destroyed where they stand), and that status is returned. With `until_ms`, the
  /// batch also ends when the environment's clock reaches it: no task starts from then on, and
  /// those still running are dropped.
  Status run_batch(size_t count, size_t width, const std::function<Task<Status>(size_t)>& make,
                   std::optional<int64_t> until_ms = std::nullopt);
  /// Runs one task to its end and hands back its value; none when it waits for something that
  /// can never come.
  template <typename T>
  std::optional<T> run(Task<T> task) {
    task.handle().resume();
    if (!run_until_ready([&] { return task.done(); }).ok()) return std::nullopt;
    return task.result();
  }

 private:
  Status run_until_ready(const std::function<bool()>& ready);
  bool step();
  void wait_for_transfers(int64_t timeout_ms);
  void resume_ended_transfers();
  void resume_due_timers();
  std::optional<int64_t> next_due_ms() const;

  Env& env_;
  CurlMulti multi_;
  int running_transfers_ = 0;
  /// Pending timers by (due time in milliseconds, order of setting): the coroutine each wakes.
  std::map<std::pair<int64_t, uint64_t>, std::coroutine_handle<>> timers_;
  uint64_t timers_set_ = 0;
};
