// The delay proxy's queue: chunks leave in order, each no sooner than its time, and the end of
// the stream only after every chunk before it.
#include "delay_queue.h"

#include <gtest/gtest.h>

namespace {

using std::chrono::milliseconds;

const DelayClock::time_point t0{};

TEST(DelayQueueTest, ChunksLeaveInOrderOnlyWhenDue) {
  DelayQueue queue;
  queue.push("first", t0 + milliseconds(10));
  queue.push("second", t0 + milliseconds(10));
  queue.push("third", t0 + milliseconds(25));
  EXPECT_EQ(queue.held(), 16u);
  EXPECT_EQ(queue.next_due(), t0 + milliseconds(10));
  EXPECT_EQ(queue.ready(t0 + milliseconds(9)), "");

  EXPECT_EQ(queue.ready(t0 + milliseconds(10)), "first");
  queue.consume(5);
  EXPECT_EQ(queue.ready(t0 + milliseconds(10)), "second");
  queue.consume(6);
  EXPECT_EQ(queue.next_due(), t0 + milliseconds(25));
  EXPECT_EQ(queue.ready(t0 + milliseconds(24)), "");
  EXPECT_EQ(queue.ready(t0 + milliseconds(30)), "third");
  queue.consume(5);
  EXPECT_EQ(queue.held(), 0u);
  EXPECT_EQ(queue.next_due(), std::nullopt);
}

TEST(DelayQueueTest, PartlySentChunkKeepsItsRest) {
  DelayQueue queue;
  queue.push("abcdef", t0);
  queue.consume(2);
  EXPECT_EQ(queue.ready(t0), "cdef");
  EXPECT_EQ(queue.held(), 4u);
  queue.consume(4);
  EXPECT_EQ(queue.ready(t0), "");
  EXPECT_EQ(queue.held(), 0u);
}

TEST(DelayQueueTest, EndComesAfterEveryChunkAndWhenDue) {
  DelayQueue queue;
  queue.push("", t0);  // nothing to hold
  EXPECT_EQ(queue.next_due(), std::nullopt);
  queue.push("last", t0 + milliseconds(1));
  queue.push_end(t0 + milliseconds(5));
  EXPECT_FALSE(queue.end_ready(t0 + milliseconds(9)));  // "last" is still held
  queue.consume(4);
  EXPECT_FALSE(queue.end_ready(t0 + milliseconds(4)));
  EXPECT_EQ(queue.ready(t0 + milliseconds(5)), "");  // the end carries no bytes
  EXPECT_TRUE(queue.end_ready(t0 + milliseconds(5)));
}

}  // namespace
