// The download request body as the relay reads it, and the reply it writes.
#include "relay/request_body.h"

#include <gtest/gtest.h>

namespace {

const std::string kSha1 = "0123456789abcdef0123456789ABCDEF01234567";
const std::string kSha256(64, 'e');

TEST(RequestBodyTest, ReadsTheFieldsOfWellFormedBodies) {
  struct Case {
    std::string body;
    std::string url;
    std::optional<std::string> sha256;
  } cases[] = {
      {"0\naid=0,index=null,sha1=" + kSha1 + ",size=512,url=http%3A%2F%2Fh%2Ff%201.bin\n",
       "http://h/f 1.bin", std::nullopt},
      {"0\naid=0,index=null,sha1=" + kSha1 + ",size=512,url=http%3A%2F%2Fh%2Ff,sha256=" + kSha256 +
           "\n",
       "http://h/f", kSha256},
      // The last line feed missing, fields in another order, an unknown key, an empty sha256.
      {"0\nurl=https%3a%2F%2Fh%2F%C3%A9,size=512,sha1=" + kSha1 + ",extra=1,sha256=",
       "https://h/\xC3\xA9", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    DownloadAsk ask;
    Status parsed = parse_request_body(c.body, &ask);
    ASSERT_TRUE(parsed.ok()) << parsed.message();
    EXPECT_EQ(ask.sha1, kSha1);
    EXPECT_EQ(ask.size, "512");
    EXPECT_EQ(ask.url, c.url);
    EXPECT_EQ(ask.sha256, c.sha256);
  }
}

TEST(RequestBodyTest, RefusedBodiesCarryTheirReason) {
  const struct {
    std::string body;
    std::string reason;
  } cases[] = {
      {"1\nsha1=" + kSha1 + ",size=1,url=x\n", "the first line of the body must be 0"},
      {"0\nsha1=" + kSha1 + ",size=1\n", "missing field: url"},
      {"0\nsha1=" + kSha1 + ",sha1=" + kSha1 + ",size=1,url=x\n", "field given twice: sha1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    DownloadAsk ask;
    Status parsed = parse_request_body(c.body, &ask);
    EXPECT_FALSE(parsed.ok());
    EXPECT_EQ(parsed.code(), Status::Code::Refused);
    EXPECT_EQ(parsed.message(), c.reason);
  }
}

TEST(RequestBodyTest, NumericSizeIsADecimalNumberThatFits) {
  EXPECT_EQ(numeric_size("0"), 0u);
  EXPECT_EQ(numeric_size("18446744073709551615"), UINT64_MAX);
  for (const char* text : {"", "(null)", "-1", "+1", "12a", " 1", "18446744073709551616"})
    EXPECT_EQ(numeric_size(text), std::nullopt) << text;
}

TEST(RequestBodyTest, ReplyCarriesThePercentEncodedReason) {
  EXPECT_EQ(format_status_reply(RelayStatus::Available), "0\naid=0,status=Available\n");
  EXPECT_EQ(format_status_reply(RelayStatus::Failed, "size mismatch: a,b=c\n~-._"),
            "0\naid=0,status=Failed,reason=size%20mismatch%3A%20a%2Cb%3Dc%0A~-._\n");
  std::string all_bytes;
  for (int c = 0; c < 256; ++c) all_bytes.push_back(static_cast<char>(c));
  EXPECT_EQ(percent_decode(percent_encode(all_bytes)), all_bytes);
}

}  // namespace
