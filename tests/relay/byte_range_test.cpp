// The Range header of a mirror GET: one range is served as 206, several get the whole file.
#include <gtest/gtest.h>

#include "relay/byte_range.h"

namespace {

TEST(ByteRangeTest, ChoosesWhatToSend) {
  struct Case {
    const char* header;
    uint64_t size;
    RangeReply reply;
    uint64_t offset, length;  // for Partial
  } cases[] = {
      {"", 1000, RangeReply::Whole, 0, 0},
      {"bytes=0-99", 1000, RangeReply::Partial, 0, 100},
      {"bytes=100-", 1000, RangeReply::Partial, 100, 900},
      {"bytes=-100", 1000, RangeReply::Partial, 900, 100},
      {"bytes=-5000", 1000, RangeReply::Partial, 0, 1000},
      {"bytes=990-5000", 1000, RangeReply::Partial, 990, 10},
      {"bytes=999-999", 1000, RangeReply::Partial, 999, 1},
      {" bytes=1-2 ", 1000, RangeReply::Partial, 1, 2},
      {"bytes=1000-", 1000, RangeReply::Unsatisfiable, 0, 0},
      {"bytes=-0", 1000, RangeReply::Unsatisfiable, 0, 0},
      {"bytes=0-0", 0, RangeReply::Unsatisfiable, 0, 0},
      // Several ranges, overlapping or not: the whole file, once.
      {"bytes=0-0,0-0,0-0", 1000, RangeReply::Whole, 0, 0},
      {"bytes=0-499,500-999", 1000, RangeReply::Whole, 0, 0},
      {"bytes=0-,0-,0-,0-", 1000, RangeReply::Whole, 0, 0},
      // Not a bytes range the relay reads: ignored.
      {"items=0-1", 1000, RangeReply::Whole, 0, 0},
      {"bytes=5-2", 1000, RangeReply::Whole, 0, 0},
      {"bytes=a-b", 1000, RangeReply::Whole, 0, 0},
      {"bytes=", 1000, RangeReply::Whole, 0, 0},
      {"bytes=-", 1000, RangeReply::Whole, 0, 0},
      {"bytes=99999999999999999999999-", 1000, RangeReply::Whole, 0, 0},
  };
  for (const auto& c : cases) {
    ByteRange range;
    RangeReply reply = choose_range(c.header, c.size, &range);
    EXPECT_EQ(reply, c.reply) << c.header;
    if (reply == RangeReply::Partial && c.reply == RangeReply::Partial) {
      EXPECT_EQ(range.offset, c.offset) << c.header;
      EXPECT_EQ(range.length, c.length) << c.header;
    }
  }
}

}  // namespace
