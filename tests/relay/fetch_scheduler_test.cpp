// The scheduler's rules, with a scripted fetch in place of the origin: one fetch per digest,
// held requests join it, failures are reported once and then fetched again, the queue is
// bounded and shared out one client at a time.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "common/hex.h"
#include "relay/fetch_scheduler.h"
#include "support/fault_env.h"
#include "support/test_env.h"

namespace {

using namespace std::chrono_literals;

// Time for the scheduler that moves only when the test moves it; read from the scheduler's
// threads while the test moves it.
class ManualClock : public Clock {
 public:
  int64_t now() override { return seconds_; }
  void sleep_one_second() override { ++seconds_; }
  void advance(int64_t seconds) { seconds_ += seconds; }

 private:
  std::atomic<int64_t> seconds_{1'700'000'000};
};

std::string answer_text(const StatusAnswer& answer) {
  std::string text(status_token(answer.status));
  return answer.reason.empty() ? text : text + ": " + answer.reason;
}

// Fetches that wait for the test to let them end, with the end the test chose.
class ScriptedFetches {
 public:
  explicit ScriptedFetches(Store& store) : store_(store) {}

  FetchFunction function() {
    return [this](const FetchJob& job, const std::atomic<bool>& stopping) {
      std::unique_lock lock(mutex_);
      started_.push_back(job.sha1);
      changed_.notify_all();
      // `stopping` is polled, as libcurl's progress callback polls it in a real fetch.
      while (released_ == 0 && !stopping) changed_.wait_for(lock, 1ms);
      if (stopping) return FetchResult{OriginFetchEnd::Stopped, "fetch failed: stopping", "", 0};
      --released_;
      auto scripted = results_.find(job.sha1);
      if (scripted != results_.end()) return scripted->second;
      lock.unlock();
      return store(job.sha1);
    };
  }

  void script(const std::string& sha1, FetchResult result) {
    std::lock_guard lock(mutex_);
    results_[sha1] = std::move(result);
  }
  void unscript(const std::string& sha1) {
    std::lock_guard lock(mutex_);
    results_.erase(sha1);
  }
  void release(int count = 1) {
    std::lock_guard lock(mutex_);
    released_ += count;
    changed_.notify_all();
  }
  // Waits until `count` fetches have begun; false after 10 s.
  bool wait_started(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return started_.size() >= count; });
  }
  std::vector<std::string> started() {
    std::lock_guard lock(mutex_);
    return started_;
  }
  static std::string content_of(const std::string& sha1_name) { return "content " + sha1_name; }

 private:
  // Stores the file the fake sha1 name stands for, under the name.
  FetchResult store(const std::string& sha1) {
    const std::string content = content_of(sha1);
    AtomicFile file(store_.path_of(DigestKind::Sha1, sha1));
    file.write(content.data(), content.size());
    Status stored = store_.add(file, sha1, digest_hex(DigestKind::Sha256, content));
    if (!stored.ok())
      return FetchResult{OriginFetchEnd::StoreError, "store failed", stored.message(), 0};
    return FetchResult{OriginFetchEnd::Stored, "", "", content.size()};
  }

  Store& store_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> started_;
  std::map<std::string, FetchResult> results_;
  int released_ = 0;
};

// Collects the answers given later to held requests.
class Replies {
 public:
  FetchScheduler::Reply reply() {
    return [this](StatusAnswer answer) {
      std::lock_guard lock(mutex_);
      answers_.push_back(answer_text(answer));
      changed_.notify_all();
    };
  }
  // The answers once there are `count`; what there is after 10 s.
  std::vector<std::string> wait_for(size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 10s, [&] { return answers_.size() >= count; });
    return answers_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> answers_;
};

std::string name(char c) {
  return std::string(40, c);
}

DownloadAsk ask_for(const std::string& sha1, const std::string& size = "x") {
  return DownloadAsk{sha1, size, "http://origin.example/" + sha1, std::nullopt};
}

class FetchSchedulerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Status opened = store_.open(dir_.file("store"));
    ASSERT_TRUE(opened.ok()) << opened.message();
  }
  std::unique_ptr<FetchScheduler> make(SchedulerSettings settings) {
    return std::make_unique<FetchScheduler>(env_, store_, settings, fetches_.function());
  }
  // The immediate answer, "held" when the request was held.
  std::string ask(FetchScheduler& scheduler, const DownloadAsk& ask,
                  const std::string& client = "c") {
    std::optional<StatusAnswer> answer = scheduler.ask(ask, client, replies_.reply());
    return answer ? answer_text(*answer) : "held";
  }
  static bool wait_until(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::yield();
    }
    return true;
  }
  static uint64_t ended(FetchScheduler& scheduler) {
    uint64_t total = 0;
    for (uint64_t count : scheduler.counts().fetch_ends) total += count;
    return total;
  }

  TempDir dir_;
  ManualClock clock_;
  FaultEnv env_{clock_};  // the scheduler's time: it moves only by advance()
  Store store_{system_env()};
  ScriptedFetches fetches_{store_};
  Replies replies_;
};

TEST_F(FetchSchedulerTest, RequestsForADigestBeingFetchedJoinThatFetch) {
  auto scheduler = make(SchedulerSettings{2, 60s});
  EXPECT_EQ(ask(*scheduler, ask_for(name('a'))), "InProcess");
  ASSERT_TRUE(fetches_.wait_started(1));
  EXPECT_EQ(ask(*scheduler, ask_for(name('a'))), "held");
  EXPECT_EQ(ask(*scheduler, ask_for(name('a'), "17")), "held");  // content 'aaa...' is 48 bytes
  EXPECT_EQ(scheduler->waiting_requests(), 2u);
  fetches_.release();
  std::vector<std::string> answers = replies_.wait_for(2);
  std::sort(answers.begin(), answers.end());
  EXPECT_EQ(answers, (std::vector<std::string>{
                         "Available", "Failed: size mismatch: the stored file is not 17 bytes"}));
  EXPECT_EQ(fetches_.started(), std::vector<std::string>{name('a')});
  EXPECT_EQ(ask(*scheduler, ask_for(name('a'))), "Available");
}

TEST_F(FetchSchedulerTest, AFailureIsReportedOnceThenTheNextRequestFetchesAgain) {
  struct Case {
    FetchResult result;
    std::string reported;
  } cases[] = {
      {{OriginFetchEnd::OriginError, "fetch failed: the origin did not send the file", "HTTP 404",
        4},
       "Failed: fetch failed: the origin did not send the file"},
      {{OriginFetchEnd::DigestMismatch, "sha1 mismatch: the origin's file has another sha1",
        "received sha1 0123", 10},
       "Failed: sha1 mismatch: the origin's file has another sha1"},
      {{OriginFetchEnd::Refused, "origin refused: its address is loopback", "address 127.0.0.1", 0},
       "Invalid: origin refused: its address is loopback"},
  };
  char letter = 'b';
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reported);
    const std::string sha1 = name(letter++);
    auto scheduler = make(SchedulerSettings{1, 60s});
    fetches_.script(sha1, c.result);
    EXPECT_EQ(ask(*scheduler, ask_for(sha1)), "InProcess");
    fetches_.release();
    ASSERT_TRUE(wait_until([&] { return ended(*scheduler) == 1; }));
    // Remembered until one request hears of it, and only that one.
    EXPECT_EQ(ask(*scheduler, ask_for(sha1)), c.reported);
    fetches_.unscript(sha1);
    EXPECT_EQ(ask(*scheduler, ask_for(sha1)), "InProcess");
    fetches_.release();
    ASSERT_TRUE(wait_until([&] { return ended(*scheduler) == 2; }));
    EXPECT_EQ(ask(*scheduler, ask_for(sha1)), "Available");
    const std::vector<std::string> started = fetches_.started();
    EXPECT_EQ(std::count(started.begin(), started.end(), sha1), 2);
  }
}

TEST_F(FetchSchedulerTest, AFailureIsReportedToTheRequestsHeldForIt) {
  auto scheduler = make(SchedulerSettings{1, 60s});
  fetches_.script(name('c'),
                  {OriginFetchEnd::TimedOut, "fetch failed: the origin was too slow", "", 0});
  EXPECT_EQ(ask(*scheduler, ask_for(name('c'))), "InProcess");
  ASSERT_TRUE(fetches_.wait_started(1));
  EXPECT_EQ(ask(*scheduler, ask_for(name('c'))), "held");
  fetches_.release();
  EXPECT_EQ(replies_.wait_for(1),
            std::vector<std::string>{"Failed: fetch failed: the origin was too slow"});
  fetches_.unscript(name('c'));
  EXPECT_EQ(ask(*scheduler, ask_for(name('c'))), "InProcess");  // reported: fetched again
}

TEST_F(FetchSchedulerTest, AHeldRequestIsAnsweredInProcessWhenItsHoldEnds) {
  auto scheduler = make(SchedulerSettings{1, 3s});
  EXPECT_EQ(ask(*scheduler, ask_for(name('d'))), "InProcess");
  EXPECT_EQ(ask(*scheduler, ask_for(name('d'))), "held");  // until 3 s from now
  clock_.advance(2);
  EXPECT_EQ(ask(*scheduler, ask_for(name('d'))), "held");  // until 5 s from the first
  clock_.advance(1);
  // The first hold is over; the second has 2 s to go. The timer ends both in one look at the
  // clock when both are due, so the first answer arriving alone shows the second still held.
  EXPECT_EQ(replies_.wait_for(1), std::vector<std::string>{"InProcess"});
  EXPECT_EQ(scheduler->waiting_requests(), 1u);
  clock_.advance(2);
  EXPECT_EQ(replies_.wait_for(2), (std::vector<std::string>{"InProcess", "InProcess"}));
  EXPECT_EQ(scheduler->waiting_requests(), 0u);
  fetches_.release();
  ASSERT_TRUE(wait_until([&] { return ended(*scheduler) == 1; }));
  EXPECT_EQ(ask(*scheduler, ask_for(name('d'))), "Available");
}

TEST_F(FetchSchedulerTest, AFailureUnreportedIsForgottenAfterTheFailureMemory) {
  SchedulerSettings settings{1, 60s};
  settings.failure_memory = 600s;
  auto scheduler = make(settings);
  for (char c : {'x', 'y'})
    fetches_.script(name(c), {OriginFetchEnd::OriginError, "fetch failed: x", "", 0});
  ask(*scheduler, ask_for(name('x')));
  fetches_.release();
  ASSERT_TRUE(wait_until([&] { return ended(*scheduler) == 1; }));
  clock_.advance(300);
  ask(*scheduler, ask_for(name('y')));
  fetches_.release();
  ASSERT_TRUE(wait_until([&] { return ended(*scheduler) == 2; }));
  clock_.advance(301);
  // x failed 601 s ago: forgotten, so fetched again. y failed 301 s ago: still reported.
  EXPECT_EQ(ask(*scheduler, ask_for(name('y'))), "Failed: fetch failed: x");
  EXPECT_EQ(ask(*scheduler, ask_for(name('x'))), "InProcess");
  EXPECT_EQ(scheduler->counts().queued + scheduler->counts().running, 1u);
  fetches_.release();
  ASSERT_TRUE(wait_until([&] { return ended(*scheduler) == 3; }));
}

TEST_F(FetchSchedulerTest, AFullQueueAnswersInProcessWithoutQueueing) {
  SchedulerSettings settings{1, 60s};
  settings.max_queued = 2;
  auto scheduler = make(settings);
  EXPECT_EQ(ask(*scheduler, ask_for(name('1'))), "InProcess");
  ASSERT_TRUE(fetches_.wait_started(1));  // running: the queue is empty again
  for (char c : {'2', '3', '4'}) EXPECT_EQ(ask(*scheduler, ask_for(name(c))), "InProcess");
  EXPECT_EQ(scheduler->counts().queued, 2u);
  EXPECT_EQ(scheduler->counts().refused_full, 1u);
  fetches_.release(3);
  ASSERT_TRUE(wait_until([&] { return ended(*scheduler) == 3; }));
  EXPECT_EQ(fetches_.started(), (std::vector<std::string>{name('1'), name('2'), name('3')}));
  // The one not queued is queued on its next request.
  EXPECT_EQ(ask(*scheduler, ask_for(name('4'))), "InProcess");
  fetches_.release();
  ASSERT_TRUE(wait_until([&] { return ended(*scheduler) == 4; }));
}

TEST_F(FetchSchedulerTest, ClientsTakeTurnsSoOneBacklogDelaysNoOneElse) {
  auto scheduler = make(SchedulerSettings{1, 60s});
  EXPECT_EQ(ask(*scheduler, ask_for(name('0')), "busy"), "InProcess");
  ASSERT_TRUE(fetches_.wait_started(1));
  for (char c : {'1', '2', '3'}) ask(*scheduler, ask_for(name(c)), "busy");
  ask(*scheduler, ask_for(name('b')), "other");
  ask(*scheduler, ask_for(name('c')), "third");
  fetches_.release(6);
  ASSERT_TRUE(wait_until([&] { return ended(*scheduler) == 6; }));
  EXPECT_EQ(fetches_.started(), (std::vector<std::string>{name('0'), name('1'), name('b'),
                                                          name('c'), name('2'), name('3')}));
}

TEST_F(FetchSchedulerTest, FailuresRememberedAreBoundedInNumber) {
  SchedulerSettings settings{1, 60s};
  settings.max_failures = 2;
  auto scheduler = make(settings);
  for (char c : {'5', '6', '7'}) {
    fetches_.script(name(c), {OriginFetchEnd::OriginError, "fetch failed: x", "", 0});
    ask(*scheduler, ask_for(name(c)));
  }
  fetches_.release(3);
  ASSERT_TRUE(wait_until([&] { return ended(*scheduler) == 3; }));
  // Three failures, room for two: the oldest is forgotten, so its digest is fetched again.
  EXPECT_EQ(ask(*scheduler, ask_for(name('6'))), "Failed: fetch failed: x");
  EXPECT_EQ(ask(*scheduler, ask_for(name('5'))), "InProcess");
  fetches_.release();
  ASSERT_TRUE(wait_until([&] { return ended(*scheduler) == 4; }));
}

TEST_F(FetchSchedulerTest, ShutdownAnswersHeldRequestsAndStopsTheFetch) {
  auto scheduler = make(SchedulerSettings{1, 60s});
  ask(*scheduler, ask_for(name('e')));
  ASSERT_TRUE(fetches_.wait_started(1));
  EXPECT_EQ(ask(*scheduler, ask_for(name('e'))), "held");
  scheduler->shutdown();
  EXPECT_EQ(replies_.wait_for(1), std::vector<std::string>{"InProcess"});
  EXPECT_EQ(scheduler->counts().fetch_ends[static_cast<size_t>(OriginFetchEnd::Stopped)], 1u);
  EXPECT_EQ(ask(*scheduler, ask_for(name('f'))), "InProcess");
  EXPECT_EQ(fetches_.started().size(), 1u);
}

}  // namespace
