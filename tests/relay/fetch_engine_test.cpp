// The fetch engine on its own, against origins on 127.0.0.1: fetches run side by side, a
// cancelled fetch (before or after its start came) ends Stopped and leaves nothing, and a fetch
// after stop() ends at once.
#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>

#include "relay/fetch_engine.h"
#include "relay_harness.h"
#include "support/test_env.h"
#include "test_origin.h"

namespace {

using namespace std::chrono_literals;

// The ends the engine reports, by fetch id.
class Ends {
 public:
  FetchRunner::Done done(uint64_t id) {
    return [this, id](FetchResult result) {
      std::lock_guard lock(mutex_);
      ends_[id] = result;
      changed_.notify_all();
    };
  }
  // How fetch `id` ended; "none" when it has not after 10 s.
  std::string wait(uint64_t id) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, 10s, [&] { return ends_.count(id) > 0; })) return "none";
    return std::string(fetch_end_name(ends_[id].end));
  }
  bool ended(uint64_t id) {
    std::lock_guard lock(mutex_);
    return ends_.count(id) > 0;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<uint64_t, FetchResult> ends_;
};

class FetchEngineTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(store_.open(dir_.file("store")).ok()); }
  FetchSettings settings() const {
    FetchSettings settings;
    settings.policy = OriginPolicy({"127.0.0.0/8"});
    return settings;
  }
  FetchJob job_for(const std::string& content, const std::string& path) const {
    return FetchJob{sha1_hex(content), std::nullopt, content.size(), origin_.url(path)};
  }

  TempDir dir_;
  Store store_{system_env()};
  TestOrigin origin_;
  Ends ends_;
};

TEST_F(FetchEngineTest, AFetchEndsWhileOthersWaitOnTheirOrigins) {
  const std::string small(5000, 's');
  origin_.serve("/small", small);
  FetchEngine engine(store_, settings());
  for (uint64_t id = 1; id <= 3; ++id) {
    const std::string path = "/held" + std::to_string(id);
    const std::string content(100000, static_cast<char>('a' + id));
    origin_.serve(path, OriginReply{200, content, OriginReply::Hold::MidBody});
    engine.start(id, job_for(content, path), ends_.done(id));
  }
  ASSERT_TRUE(origin_.wait_for_partial_body());
  engine.start(9, job_for(small, "/small"), ends_.done(9));
  EXPECT_EQ(ends_.wait(9), "stored");
  for (uint64_t id = 1; id <= 3; ++id) EXPECT_FALSE(ends_.ended(id)) << id;
  origin_.release();
  for (uint64_t id = 1; id <= 3; ++id) EXPECT_EQ(ends_.wait(id), "stored") << id;
}

TEST_F(FetchEngineTest, ACancelledFetchEndsStoppedAndLeavesNothing) {
  const std::string content(100000, 'c');
  origin_.serve("/c", OriginReply{200, content, OriginReply::Hold::MidBody});
  struct Case {
    const char* name;
    bool cancel_before_start;
  } cases[] = {{"cancelled before its start came", true}, {"cancelled part-way", false}};
  uint64_t id = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FetchEngine engine(store_, settings());
    ++id;
    if (c.cancel_before_start) engine.cancel(id);
    engine.start(id, job_for(content, "/c"), ends_.done(id));
    if (!c.cancel_before_start) {
      ASSERT_TRUE(origin_.wait_for_partial_body());
      engine.cancel(id);
    }
    EXPECT_EQ(ends_.wait(id), "stopped");
    EXPECT_TRUE(store_entries(dir_).empty());  // no temporary file either
  }
  EXPECT_EQ(origin_.hits("/c"), 1);  // only the fetch cancelled part-way reached the origin
}

TEST_F(FetchEngineTest, AFetchAfterStopEndsStoppedAtOnce) {
  FetchEngine engine(store_, settings());
  engine.stop();
  const std::string content = "late";
  origin_.serve("/late", content);
  engine.start(1, job_for(content, "/late"), ends_.done(1));
  EXPECT_TRUE(ends_.ended(1));
  EXPECT_EQ(ends_.wait(1), "stopped");
  EXPECT_EQ(origin_.hits("/late"), 0);
}

}  // namespace
