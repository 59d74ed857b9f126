// The framing rules as a pure scan over the first bytes of a connection: what is still waited
// for, what is refused before the head is whole, and where a whole head ends.
#include "relay/request_framing.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(RequestFramingTest, TheScanWaitsRefusesEarlyOrFindsTheHeadsEnd) {
  constexpr size_t kMax = 128;
  const std::string head = "GET / HTTP/1.1\r\nHost: r\r\n\r\n";
  struct Case {
    const char* name;
    std::string received;
    HeadProgress progress;
    unsigned status;  // Refused
    size_t length;    // Complete
  } cases[] = {
      {"nothing yet", "", HeadProgress::Incomplete, 0, 0},
      {"a method begun", "GE", HeadProgress::Incomplete, 0, 0},
      {"a head without its empty line", head.substr(0, head.size() - 2), HeadProgress::Incomplete,
       0, 0},
      {"a CR last, its LF to come", "GET / HTTP/1.1\r", HeadProgress::Incomplete, 0, 0},
      {"a whole head", head, HeadProgress::Complete, 0, head.size()},
      {"a body and a second request after it", head + "xyz\r\n\x01", HeadProgress::Complete, 0,
       head.size()},
      {"empty lines before it", "\r\n" + head, HeadProgress::Complete, 0, head.size() + 2},
      {"bare LF line ends", "GET / HTTP/1.1\nHost: r\n\n", HeadProgress::Complete, 0, 24},
      {"HTTP/1.0 without Host", "GET / HTTP/1.0\r\n\r\n", HeadProgress::Complete, 0, 18},
      {"a TLS record's first byte", "\x16", HeadProgress::Refused, 400, 0},
      {"a space first", " GET", HeadProgress::Refused, 400, 0},
      {"a CR inside the request line", "GET /\rx", HeadProgress::Refused, 400, 0},
      {"HTTP/2.0", "GET / HTTP/2.0\r\n\r\n", HeadProgress::Refused, 505, 0},
      {"not HTTP at all", "GET / FTP/1.1\r\n\r\n", HeadProgress::Refused, 400, 0},
      {"a control in the target", "GET /\x01 HTTP/1.1\r\nHost: r\r\n\r\n", HeadProgress::Refused,
       400, 0},
      {"a length too large to hold",
       "POST / HTTP/1.1\r\nHost: r\r\nContent-Length: 99999999999999999999999\r\n\r\n",
       HeadProgress::Refused, 413, 0},
      {"a head past the cap", "GET /" + std::string(kMax, 'a'), HeadProgress::Refused, 431, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HeadScan scan = scan_request_head(c.received, kMax);
    EXPECT_EQ(scan.progress, c.progress);
    if (c.progress == HeadProgress::Refused) {
      EXPECT_EQ(scan.verdict.status, c.status) << scan.verdict.reason;
    }
    if (c.progress == HeadProgress::Complete) {
      EXPECT_EQ(scan.length, c.length);
    }
  }
}

}  // namespace
