// The exchange loop: tasks side by side up to a width, waits as timers on the run's clock, and
// a failing task that drops the others where they stand.
#include "common/exchange_loop.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/fault_env.h"
#include "support/virtual_clock.h"

namespace {

struct Job {
  int seconds;  ///< how long the task waits
  bool fails = false;
};

// A loop on a virtual clock, and what its tasks did: "index@second" when each started and
// ended, and the indexes of those destroyed before they ended.
struct LoopRun {
  VirtualClock clock;
  FaultEnv env{clock};
  ExchangeLoop loop{env};
  const int64_t start = clock.now();
  std::vector<std::string> started, ended, dropped;

  std::string at(size_t index) {
    return std::to_string(index) + "@" + std::to_string(clock.now() - start);
  }

  Task<Status> job(size_t index, Job job) {
    struct Guard {
      LoopRun& run;
      size_t index;
      bool ended = false;
      ~Guard() {
        if (!ended) run.dropped.push_back(std::to_string(index));
      }
    } guard{*this, index};
    started.push_back(at(index));
    co_await loop.pause(job.seconds);
    guard.ended = true;
    ended.push_back(at(index));
    co_return job.fails ? Status::failure(Status::Code::Fatal, "job failed") : Status();
  }

  Status batch(const std::vector<Job>& jobs, size_t width) {
    return loop.run_batch(jobs.size(), width, [&](size_t i) { return job(i, jobs[i]); });
  }
};

TEST(ExchangeLoopTest, TasksRunSideBySideUpToTheWidthAndStartInOrder) {
  const std::vector<Job> jobs{{3}, {1}, {2}, {1}};
  struct Case {
    size_t width;
    std::vector<std::string> started, ended;
  } cases[] = {
      // One at a time: the waits add up, each task starting when the one before ended.
      {1, {"0@0", "1@3", "2@4", "3@6"}, {"0@3", "1@4", "2@6", "3@7"}},
      // Two at once: a task starts as soon as a place is free and ends by its own timer.
      {2, {"0@0", "1@0", "2@1", "3@3"}, {"1@1", "0@3", "2@3", "3@4"}},
      // Wider than the batch: every wait runs at once; the longest decides.
      {8, {"0@0", "1@0", "2@0", "3@0"}, {"1@1", "3@1", "2@2", "0@3"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.width);
    LoopRun run;
    EXPECT_TRUE(run.batch(jobs, c.width).ok());
    EXPECT_EQ(run.started, c.started);
    EXPECT_EQ(run.ended, c.ended);
    EXPECT_TRUE(run.dropped.empty());
  }
}

TEST(ExchangeLoopTest, AFailingTaskEndsTheBatchAndDropsTheOthersWhereTheyStand) {
  LoopRun run;
  Status status = run.batch({{5}, {1, true}, {9}, {1}}, 3);
  EXPECT_EQ(status.code(), Status::Code::Fatal);
  EXPECT_EQ(status.message(), "job failed");
  EXPECT_EQ(run.started, (std::vector<std::string>{"0@0", "1@0", "2@0"}));  // 3 never started
  EXPECT_EQ(run.ended, std::vector<std::string>{"1@1"});
  EXPECT_EQ(run.dropped, (std::vector<std::string>{"0", "2"}));
  // The loop is left with no timer of a dropped task: a new batch waits only for its own.
  EXPECT_TRUE(run.batch({{2}}, 1).ok());
  EXPECT_EQ(run.ended.back(), "0@3");
}

}  // namespace
