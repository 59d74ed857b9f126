// The whole relay fetching from origins on 127.0.0.1, with clients told apart by their loopback
// source address: a slow origin or a busy client takes no one else's fetches, a slow URL does not
// squat on a digest, and a reply that comes while its connection is being suspended still
// reaches it.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "relay/options.h"
#include "relay/request_body.h"
#include "relay_harness.h"
#include "support/test_env.h"
#include "test_origin.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string content_of(const std::string& name, size_t size) {
  std::string content(size, '\0');
  for (size_t i = 0; i < size; ++i)
    content[i] = static_cast<char>(name[i % name.size()] + static_cast<char>(i / 97));
  return content;
}

std::string body_for(const std::string& content, const std::string& url) {
  return download_request_body(sha1_hex(content), std::to_string(content.size()), url);
}

long long milliseconds_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

bool wait_for_metric(int port, const std::string& name, long long value) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (relay_metric(port, name) != value) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class RelayFetchingTest : public ::testing::Test {
 protected:
  TempDir dir_;
  TestOrigin slow_;  // trickles: each of its fetches runs for minutes
  TestOrigin fast_;
};

TEST_F(RelayFetchingTest, OneClientsSlowFetchesLeaveRoomForAnotherClientsFile) {
  constexpr size_t kSlowFiles = 20;
  struct Case {
    int max_fetches;
    long long running;  // the busy client's share: a quarter of the cap
  } cases[] = {{64, 16}, {8, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE("--max-fetches " + std::to_string(c.max_fetches));
    TempDir dir;
    RelayConfig config = test_relay_config(dir.file("store"));
    config.options.max_fetches = c.max_fetches;
    InProcessRelay relay(std::move(config));
    const std::string prefix = "/" + std::to_string(c.max_fetches) + "/";
    for (size_t i = 0; i < kSlowFiles; ++i) {
      const std::string path = prefix + "slow" + std::to_string(i);
      const std::string content = content_of(path, 200000);  // 100 s at 2 KiB/s
      slow_.serve(path, OriginReply{200, content, OriginReply::Hold::Trickle});
      EXPECT_EQ(post_download_request(relay.port(), body_for(content, slow_.url(path))),
                "InProcess");
    }
    EXPECT_EQ(relay_metric(relay.port(), "quonfetch_relay_fetches_running"), c.running);
    EXPECT_EQ(relay_metric(relay.port(), "quonfetch_relay_fetches_queued"),
              static_cast<long long>(kSlowFiles) - c.running);

    const std::string small = content_of(prefix + "small", 5000);
    fast_.serve(prefix + "small", small);
    const std::string body = body_for(small, fast_.url(prefix + "small"));
    const auto start = Clock::now();
    EXPECT_EQ(post_download_request(relay.port(), body, "127.0.0.2"), "InProcess");
    // Held until its fetch ends, then answered.
    EXPECT_EQ(post_download_request(relay.port(), body, "127.0.0.2"), "Available");
    const long long took = milliseconds_since(start);
    EXPECT_LT(took, 1000) << "the other client's file took " << took << " ms";
    std::printf("other client's 5000-byte file Available after %lld ms\n", took);
  }
}

TEST_F(RelayFetchingTest, AGoodUrlForADigestASlowUrlIsFetchingWinsAndStopsTheSlowOne) {
  const std::string content = content_of("digest", 100000);
  slow_.serve("/squat", OriginReply{200, content, OriginReply::Hold::Trickle});
  fast_.serve("/good", OriginReply{200, content, OriginReply::Hold::BeforeReply});
  InProcessRelay relay(test_relay_config(dir_.file("store")));
  const int port = relay.port();
  EXPECT_EQ(post_download_request(port, body_for(content, slow_.url("/squat"))), "InProcess");
  ASSERT_TRUE(wait_for_metric(port, "quonfetch_relay_fetches_running", 1));

  // The squatting client polls again, and another client names a good URL: both are held, and
  // the good URL is fetched beside the slow one.
  auto squatter = std::async(std::launch::async, [&] {
    return post_download_request(port, body_for(content, slow_.url("/squat")));
  });
  auto other = std::async(std::launch::async, [&] {
    return post_download_request(port, body_for(content, fast_.url("/good")), "127.0.0.2");
  });
  ASSERT_TRUE(relay.wait_for_waiting_requests(2));
  EXPECT_EQ(relay_metric(port, "quonfetch_relay_fetches_running"), 2);
  const auto start = Clock::now();
  fast_.release();
  EXPECT_EQ(other.get(), "Available");
  EXPECT_EQ(squatter.get(), "Available");
  const long long took = milliseconds_since(start);
  EXPECT_LT(took, 1000) << "the good URL's copy took " << took << " ms";
  std::printf("good URL's copy Available %lld ms after its origin answered\n", took);

  // The slow fetch is stopped and leaves no temporary file.
  EXPECT_TRUE(wait_for_metric(port, "quonfetch_relay_fetches_total{result=\"stopped\"}", 1));
  EXPECT_EQ(relay_metric(port, "quonfetch_relay_fetches_running"), 0);
  EXPECT_EQ(store_entries(dir_), (std::vector<std::string>{"sha1/" + sha1_hex(content),
                                                           "sha256/" + sha256_hex(content)}));
  EXPECT_EQ(fast_.hits("/good"), 1);
}

// A gate the relay's handler waits at between the scheduler's answer and the suspension.
class Gate {
 public:
  void arm() {
    std::lock_guard lock(mutex_);
    armed_ = true;
  }
  // In the handler: when armed, says it is there and waits to be let go.
  void pass() {
    std::unique_lock lock(mutex_);
    if (!armed_) return;
    armed_ = false;
    reached_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return opened_; });
  }
  bool wait_reached() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [this] { return reached_; });
  }
  void open() {
    std::lock_guard lock(mutex_);
    opened_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool armed_ = false, reached_ = false, opened_ = false;
};

TEST_F(RelayFetchingTest, AFetchEndingBetweenTheAnswerAndTheSuspensionStillAnswersTheRequest) {
  const std::string content = content_of("window", 30000);
  fast_.serve("/window", OriginReply{200, content, OriginReply::Hold::BeforeReply});
  Gate gate;
  RelayConfig config = test_relay_config(dir_.file("store"));
  config.between_ask_and_suspend = [&gate] { gate.pass(); };
  InProcessRelay relay(std::move(config));
  const int port = relay.port();
  const std::string body = body_for(content, fast_.url("/window"));
  EXPECT_EQ(post_download_request(port, body), "InProcess");

  gate.arm();
  auto held = std::async(std::launch::async, [&] {
    // Never answered when the reply misses the connection: then only the timeout ends it.
    return post_download_request(port, body, "127.0.0.1", 5);
  });
  ASSERT_TRUE(gate.wait_reached());
  // The fetch ends while the handler is between the scheduler's answer and the suspension.
  fast_.release();
  const bool ended = wait_for_metric(port, "quonfetch_relay_fetches_total{result=\"stored\"}", 1);
  gate.open();
  EXPECT_TRUE(ended);
  EXPECT_EQ(held.get(), "Available");
}

TEST(RelayFetchOptionsTest, WorkersIsTheOldNameOfMaxFetches) {
  struct Case {
    std::vector<std::string> args;
    int max_fetches;
  } cases[] = {
      {{}, 64},
      {{"--max-fetches", "8"}, 8},
      {{"--workers", "3"}, 3},
      {{"--workers", "3", "--max-fetches", "1024"}, 1024},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"--store", "s"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RelayOptions options;
    std::string err;
    ASSERT_EQ(parse_relay_options(args, &options, &err), ParseOutcome::Run) << err;
    EXPECT_EQ(options.max_fetches, c.max_fetches);
  }
}

}  // namespace
