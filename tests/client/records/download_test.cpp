// Download records and work queues.
#include "client/records/download.h"

#include <gtest/gtest.h>

#include "client/records/run_state.h"
#include "support/fault_env.h"
#include "support/test_env.h"
#include "support/virtual_clock.h"

namespace {

using Text = std::optional<std::string>;

TEST(NewDownloadTest, CopiesTextsAndKeepsAbsentApartFromEmpty) {
  VirtualClock clock;
  FaultEnv env{clock};
  RunState state{env};
  std::string sha1 = "abc";
  Download* d = new_download(state.download_records, sha1, "10", "http://h/f", std::nullopt);
  Download* e = new_download(state.download_records, "", "", "", "");
  sha1[0] = 'x';
  EXPECT_EQ(d->sha1, Text("abc"));  // a copy, not the caller's text
  EXPECT_EQ(d->size, Text("10"));
  EXPECT_EQ(d->url, Text("http://h/f"));
  EXPECT_FALSE(d->sha256);
  EXPECT_FALSE(d->status);
  EXPECT_EQ(e->sha256, Text(""));
  EXPECT_EQ(e->url, Text(""));
}

TEST(DownloadQueueTest, GrowsByDoublingAndKeepsOrder) {
  VirtualClock clock;
  FaultEnv env{clock};
  RunState state{env};
  DownloadQueue queue;
  std::vector<Download*> records;
  struct Step {
    size_t pushes_so_far;
    size_t capacity;
  } steps[] = {{0, 0}, {1, 8}, {8, 8}, {9, 16}, {16, 16}, {17, 32}, {33, 64}};
  for (const auto& step : steps) {
    while (records.size() < step.pushes_so_far) {
      records.push_back(new_download(state.download_records, "s", "1", "u", std::nullopt));
      ASSERT_TRUE(queue_push(queue, records.back()));
    }
    EXPECT_EQ(queue.capacity, step.capacity) << step.pushes_so_far;
    EXPECT_EQ(queue.count, step.pushes_so_far);
  }
  for (size_t i = 0; i < records.size(); ++i) EXPECT_EQ(queue_at(queue, i), records[i]);
  for (Download* expected : records) EXPECT_EQ(queue_pop_front(queue), expected);
  EXPECT_EQ(queue.capacity, 64u);
}

TEST(DownloadQueueTest, PopOfEmptyQueueReturnsNothing) {
  DownloadQueue queue;
  EXPECT_EQ(queue_pop_front(queue), nullptr);
  EXPECT_EQ(queue.count, 0u);
  EXPECT_EQ(queue.capacity, 0u);
}

TEST(DownloadQueueTest, InterleavedPushAndPopStayFirstInFirstOut) {
  // Pushing while popping wraps the ring around; growth must unroll it in order.
  VirtualClock clock;
  FaultEnv env{clock};
  RunState state{env};
  DownloadQueue queue;
  std::vector<Download*> expected;
  size_t next_expected = 0;
  for (int round = 0; round < 200; ++round) {
    for (int i = 0; i < 3; ++i) {
      expected.push_back(new_download(state.download_records, std::to_string(expected.size()), "1",
                                      "u", std::nullopt));
      ASSERT_TRUE(queue_push(queue, expected.back()));
    }
    for (int i = 0; i < 2; ++i) ASSERT_EQ(queue_pop_front(queue), expected[next_expected++]);
  }
  while (Download* d = queue_pop_front(queue)) ASSERT_EQ(d, expected[next_expected++]);
  EXPECT_EQ(next_expected, expected.size());
}

TEST(DownloadQueueTest, QueuesHoldTheSameRecordNotACopy) {
  VirtualClock clock;
  FaultEnv env{clock};
  RunState state{env};
  Download* d = new_download(state.download_records, "s", "1", "u", std::nullopt);
  ASSERT_TRUE(queue_push(state.request_queue, d));
  ASSERT_TRUE(queue_push(state.available_queue, d));
  queue_pop_front(state.available_queue)->status = "Available";
  EXPECT_EQ(queue_at(state.request_queue, 0)->status, Text("Available"));
}

}  // namespace
