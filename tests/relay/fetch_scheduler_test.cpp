// The scheduler's rules, with a scripted fetch in place of the origin: one fetch per digest,
// held requests join it, failures are reported once and then fetched again, the queue is
// bounded and shared out one client at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
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

// Fetches that run until the test ends them, with the end the test chose. The test's thread
// ends them, so every step of a test happens in the order the test wrote it.
class ScriptedRunner : public FetchRunner {
 public:
  explicit ScriptedRunner(Store& store) : store_(store) {}

  void start(uint64_t id, FetchJob job, Done done) override {
    std::lock_guard lock(mutex_);
    started_.push_back(job.sha1);
    urls_.push_back(job.url);
    pending_.push_back(Pending{id, std::move(job), std::move(done)});
  }
  void cancel(uint64_t id) override {
    std::optional<Pending> cancelled = take([&](const Pending& p) { return p.id == id; });
    if (!cancelled) return;
    {
      std::lock_guard lock(mutex_);
      cancelled_.push_back(cancelled->job.url);
    }
    cancelled->done(FetchResult{OriginFetchEnd::Stopped, "fetch failed: stopping", "", 0});
  }
  // Stops what runs now; a test that makes a new scheduler goes on using the runner.
  void stop() override {
    while (auto pending = take([](const Pending&) { return true; }))
      pending->done(FetchResult{OriginFetchEnd::Stopped, "fetch failed: stopping", "", 0});
  }

  void script(const std::string& key, FetchResult result) {
    std::lock_guard lock(mutex_);
    results_[key] = std::move(result);
  }
  void unscript(const std::string& key) {
    std::lock_guard lock(mutex_);
    results_.erase(key);
  }
  // Ends the `count` oldest running fetches (and those they let start) as scripted for their
  // URL or sha1, or else by storing the file.
  void release(int count = 1) {
    for (int i = 0; i < count; ++i) end_one([](const Pending&) { return true; });
  }
  // Ends the running fetch from `url`; false when there is none.
  bool release_url(const std::string& url) {
    return end_one([&](const Pending& p) { return p.job.url == url; });
  }
  std::vector<std::string> started() {
    std::lock_guard lock(mutex_);
    return started_;
  }
  std::vector<std::string> started_urls() {
    std::lock_guard lock(mutex_);
    return urls_;
  }
  std::vector<std::string> cancelled_urls() {
    std::lock_guard lock(mutex_);
    return cancelled_;
  }
  size_t running() {
    std::lock_guard lock(mutex_);
    return pending_.size();
  }
  static std::string content_of(const std::string& sha1_name) { return "content " + sha1_name; }

 private:
  struct Pending {
    uint64_t id;
    FetchJob job;
    Done done;
  };

  std::optional<Pending> take(const std::function<bool(const Pending&)>& which) {
    std::lock_guard lock(mutex_);
    auto found = std::find_if(pending_.begin(), pending_.end(), which);
    if (found == pending_.end()) return std::nullopt;
    Pending pending = std::move(*found);
    pending_.erase(found);
    return pending;
  }
  bool end_one(const std::function<bool(const Pending&)>& which) {
    std::optional<Pending> pending = take(which);
    if (!pending) return false;
    std::optional<FetchResult> scripted;
    {
      std::lock_guard lock(mutex_);
      for (const std::string& key : {pending->job.url, pending->job.sha1}) {
        auto found = results_.find(key);
        if (found != results_.end() && !scripted) scripted = found->second;
      }
    }
    pending->done(scripted ? *scripted : store(pending->job.sha1));
    return true;
  }
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
  std::vector<std::string> started_;
  std::vector<std::string> urls_;
  std::vector<std::string> cancelled_;
  std::deque<Pending> pending_;
  std::map<std::string, FetchResult> results_;
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
    return std::make_unique<FetchScheduler>(env_, store_, std::move(settings), fetches_);
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
  ScriptedRunner fetches_{store_};
  Replies replies_;
};

TEST_F(FetchSchedulerTest, RequestsForADigestBeingFetchedJoinThatFetch) {
  auto scheduler = make(SchedulerSettings{2, 60s});
  EXPECT_EQ(ask(*scheduler, ask_for(name('a'))), "InProcess");
  ASSERT_EQ(fetches_.running(), 1u);
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
  ASSERT_EQ(fetches_.running(), 1u);
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
  scheduler->clock_moved();
  // The first hold is over; the second has 2 s to go. The timer ends both in one look at the
  // clock when both are due, so the first answer arriving alone shows the second still held.
  EXPECT_EQ(replies_.wait_for(1), std::vector<std::string>{"InProcess"});
  EXPECT_EQ(scheduler->waiting_requests(), 1u);
  clock_.advance(2);
  scheduler->clock_moved();
  EXPECT_EQ(replies_.wait_for(2), (std::vector<std::string>{"InProcess", "InProcess"}));
  EXPECT_EQ(scheduler->waiting_requests(), 0u);
  fetches_.release();
  EXPECT_EQ(ask(*scheduler, ask_for(name('d'))), "Available");
}

// The timer sleeps without a deadline while nothing is held; a hold must wake it to sleep
// until that hold's deadline. Seen from the timer's own state, not from the time it took.
TEST_F(FetchSchedulerTest, AHoldWakesTheTimerToSleepUntilItsDeadline) {
  auto scheduler = make(SchedulerSettings{1, 3s});
  ASSERT_TRUE(
      wait_until([&] { return scheduler->timer_sleeps_until() == FetchScheduler::kUntilWoken; }));
  EXPECT_EQ(ask(*scheduler, ask_for(name('w'))), "InProcess");
  EXPECT_EQ(ask(*scheduler, ask_for(name('w'))), "held");
  const int64_t deadline = clock_.now() * 1000 + 3000;
  EXPECT_TRUE(wait_until([&] { return scheduler->timer_sleeps_until() == deadline; }))
      << "the timer still sleeps until " << scheduler->timer_sleeps_until().value_or(-1);
  fetches_.release();
  EXPECT_EQ(replies_.wait_for(1), std::vector<std::string>{"Available"});
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
  ASSERT_EQ(fetches_.running(), 1u);  // running: the queue is empty again
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
  ASSERT_EQ(fetches_.running(), 1u);
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
  ASSERT_EQ(fetches_.running(), 1u);
  EXPECT_EQ(ask(*scheduler, ask_for(name('e'))), "held");
  scheduler->shutdown();
  EXPECT_EQ(replies_.wait_for(1), std::vector<std::string>{"InProcess"});
  EXPECT_EQ(scheduler->counts().fetch_ends[static_cast<size_t>(OriginFetchEnd::Stopped)], 1u);
  EXPECT_EQ(ask(*scheduler, ask_for(name('f'))), "InProcess");
  EXPECT_EQ(fetches_.started().size(), 1u);
}

TEST_F(FetchSchedulerTest, OneClientRunsAQuarterOfTheFetchesAndAnotherClientStartsAtOnce) {
  struct Case {
    size_t max_fetches;
    size_t busy_running;   // the busy client's fetches running, its share
    size_t other_running;  // all running once another client asked for one file
  } cases[] = {{64, 16, 17}, {8, 2, 3}, {5, 1, 2}, {3, 1, 2}, {1, 1, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE("max_fetches " + std::to_string(c.max_fetches));
    TempDir dir;
    Store store(system_env());
    ASSERT_TRUE(store.open(dir.file("store")).ok());
    ScriptedRunner runner(store);
    SchedulerSettings settings{c.max_fetches, 60s};
    FetchScheduler scheduler(env_, store, settings, runner);
    for (size_t i = 0; i < c.max_fetches + 5; ++i)
      scheduler.ask(ask_for(digest_hex(DigestKind::Sha1, std::to_string(i))), "busy",
                    replies_.reply());
    EXPECT_EQ(runner.running(), c.busy_running);
    EXPECT_EQ(scheduler.counts().queued, c.max_fetches + 5 - c.busy_running);
    scheduler.ask(ask_for(name('o')), "other", replies_.reply());
    EXPECT_EQ(runner.running(), c.other_running);
    const std::vector<std::string> started = runner.started();
    EXPECT_EQ(std::count(started.begin(), started.end(), name('o')),
              c.other_running > c.busy_running ? 1 : 0);
    // An end frees a place for the busy client's next file: its share stays full.
    runner.release();
    EXPECT_EQ(runner.running(), c.other_running);
    scheduler.shutdown();
  }
}

TEST_F(FetchSchedulerTest, ADigestInAnyCaseIsOneJob) {
  struct Case {
    std::string first;
    std::string second;
  } cases[] = {
      {name('a'), name('A')},
      {name('B'), name('b')},
      {"0123456789abcdef0123456789ABCDEF01234567", "0123456789ABCDEF0123456789abcdef01234567"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.second);
    auto scheduler = make(SchedulerSettings{4, 60s});
    const size_t before = fetches_.started().size();
    // Both name one URL: only the digest's spelling differs.
    DownloadAsk second = ask_for(c.first);
    second.sha1 = c.second;
    EXPECT_EQ(ask(*scheduler, ask_for(c.first)), "InProcess");
    EXPECT_EQ(ask(*scheduler, second), "held");
    EXPECT_EQ(fetches_.started().size(), before + 1);
    fetches_.release();
    EXPECT_EQ(ask(*scheduler, second), "Available");
  }
}

// A request that finds nothing stored, and then no job because the fetch was stored and
// forgotten in between, must look again rather than fetch the file a second time.
TEST_F(FetchSchedulerTest, AFetchStoredBetweenTheLookAndTheLockIsAvailable) {
  bool end_fetch_in_window = false;
  SchedulerSettings settings{1, 60s};
  settings.between_look_and_lock = [&] {
    if (!end_fetch_in_window) return;
    end_fetch_in_window = false;
    fetches_.release();  // stored and forgotten by the scheduler now, on this thread
  };
  auto scheduler = make(settings);
  EXPECT_EQ(ask(*scheduler, ask_for(name('g'))), "InProcess");
  end_fetch_in_window = true;
  DownloadAsk other_url = ask_for(name('g'));  // another URL would start a second fetch
  other_url.url = "http://mirror.example/g";
  EXPECT_EQ(ask(*scheduler, other_url), "Available");
  EXPECT_EQ(fetches_.started(), std::vector<std::string>{name('g')});
}

TEST_F(FetchSchedulerTest, AnotherUrlForADigestBeingFetchedRunsTooAndTheFirstCopyWins) {
  auto scheduler = make(SchedulerSettings{64, 60s});
  const std::string sha1 = name('h');
  auto from = [&](const std::string& url) {
    DownloadAsk asked = ask_for(sha1);
    asked.url = url;
    return asked;
  };
  EXPECT_EQ(ask(*scheduler, from("http://slow.example/h"), "a"), "InProcess");
  EXPECT_EQ(ask(*scheduler, from("http://good.example/h"), "b"), "held");
  EXPECT_EQ(ask(*scheduler, from("http://good.example/h"), "b"), "held");  // running already
  EXPECT_EQ(ask(*scheduler, from("http://third.example/h"), "c"), "held");
  EXPECT_EQ(ask(*scheduler, from("http://fourth.example/h"), "d"), "held");  // three at most
  EXPECT_EQ(fetches_.started_urls(),
            (std::vector<std::string>{"http://slow.example/h", "http://good.example/h",
                                      "http://third.example/h"}));
  ASSERT_TRUE(fetches_.release_url("http://good.example/h"));
  EXPECT_EQ(replies_.wait_for(4), std::vector<std::string>(4, "Available"));
  std::vector<std::string> cancelled = fetches_.cancelled_urls();
  std::sort(cancelled.begin(), cancelled.end());
  EXPECT_EQ(cancelled,
            (std::vector<std::string>{"http://slow.example/h", "http://third.example/h"}));
  EXPECT_EQ(fetches_.running(), 0u);
  EXPECT_EQ(scheduler->counts().running, 0u);
  EXPECT_EQ(ask(*scheduler, from("http://slow.example/h"), "a"), "Available");
}

TEST_F(FetchSchedulerTest, AQueuedFetchFromAnotherUrlNeverRunsOnceTheFileIsStored) {
  auto scheduler = make(SchedulerSettings{1, 60s});
  DownloadAsk other = ask_for(name('q'));
  other.url = "http://other.example/q";
  EXPECT_EQ(ask(*scheduler, ask_for(name('q')), "a"), "InProcess");
  EXPECT_EQ(ask(*scheduler, other, "b"), "held");
  EXPECT_EQ(scheduler->counts().queued, 1u);
  fetches_.release();
  EXPECT_EQ(replies_.wait_for(1), std::vector<std::string>{"Available"});
  EXPECT_EQ(scheduler->counts().queued, 0u);
  EXPECT_EQ(fetches_.started().size(), 1u);
}

TEST_F(FetchSchedulerTest, AFailureOfOneUrlIsNotTheDigestsWhileAnotherRuns) {
  auto scheduler = make(SchedulerSettings{64, 60s});
  const std::string sha1 = name('i');
  DownloadAsk second = ask_for(sha1);
  second.url = "http://second.example/i";
  fetches_.script(ask_for(sha1).url, {OriginFetchEnd::OriginError, "fetch failed: first", "", 0});
  fetches_.script(second.url, {OriginFetchEnd::OriginError, "fetch failed: second", "", 0});
  EXPECT_EQ(ask(*scheduler, ask_for(sha1), "a"), "InProcess");
  EXPECT_EQ(ask(*scheduler, second, "b"), "held");
  ASSERT_TRUE(fetches_.release_url(ask_for(sha1).url));
  EXPECT_EQ(scheduler->waiting_requests(), 1u);  // not told of the first URL's failure
  EXPECT_EQ(ask(*scheduler, ask_for(sha1), "a"), "held");
  EXPECT_EQ(fetches_.started().size(), 2u);  // the failed URL is not tried again meanwhile
  ASSERT_TRUE(fetches_.release_url(second.url));
  EXPECT_EQ(replies_.wait_for(2), (std::vector<std::string>{"Failed: fetch failed: second",
                                                            "Failed: fetch failed: second"}));
}

}  // namespace
