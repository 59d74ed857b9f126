// The download request: its body, the status parse, and where the record is filed.
#include "client/protocol/download_request.h"
#include "client/protocol/status_reply.h"

#include <gtest/gtest.h>

#include "client/records/run_state.h"
#include "common/curl_handles.h"
#include "support/fault_env.h"
#include "support/test_env.h"
#include "support/test_relay.h"
#include "support/virtual_clock.h"

namespace {

using Text = std::optional<std::string>;

std::string body_of(RunState& state, const Download& download) {
  std::string body;
  EXPECT_TRUE(build_request_body(state, download, &body).ok());
  return body;
}

// Sends one request from `url`; the URL the next request must use.
Text send(RunState& state, const std::string& url, Download* download) {
  Text next = url;
  EXPECT_TRUE(state.loop.run(send_download_request(state, next, download))->ok());
  return next;
}

TEST(BuildRequestBodyTest, BothFormsByteForByte) {
  VirtualClock clock;
  FaultEnv env{clock};
  RunState state{env};
  const std::string sha1 = "0123456789abcdef0123456789abcdef01234567";
  Download* plain =
      new_download(state.download_records, sha1, "512", "http://h/f 1.bin", std::nullopt);
  EXPECT_EQ(body_of(state, *plain),
            "0\naid=0,index=null,sha1=" + sha1 + ",size=512,url=http%3A%2F%2Fh%2Ff%201.bin\n");
  Download* empty_sha256 =
      new_download(state.download_records, sha1, "512", "http://h/f 1.bin", "");
  EXPECT_EQ(body_of(state, *empty_sha256), body_of(state, *plain));
  Download* with_sha256 = new_download(state.download_records, "s,1", "x y", "u", "Q%s");
  EXPECT_EQ(body_of(state, *with_sha256),
            "0\naid=0,index=null,sha1=s,1,size=x y,url=u,sha256=Q%s\n");  // sent as held
  Download* no_url = new_download(state.download_records, "s", "1", std::nullopt, std::nullopt);
  EXPECT_EQ(body_of(state, *no_url), "0\naid=0,index=null,sha1=s,size=1,url=\n");
}

TEST(BuildRequestBodyTest, OriginUrlIsPercentEncoded) {
  VirtualClock clock;
  FaultEnv env{clock};
  RunState state{env};
  Download* d = new_download(state.download_records, "s", "1",
                             "https://h:8/a b?x=1&y=2,z/\xC3\xA9-._~", std::nullopt);
  EXPECT_EQ(body_of(state, *d),
            "0\naid=0,index=null,sha1=s,size=1,"
            "url=https%3A%2F%2Fh%3A8%2Fa%20b%3Fx%3D1%26y%3D2%2Cz%2F%C3%A9-._~\n");
}

TEST(ParseStatusTest, ReplyForms) {
  const std::string long_token(200, 'T');
  struct Case {
    const char* reply;
    int found;
    std::string token;
  } cases[] = {
      {"0\naid=0,status=Available\n", 1, "Available"},
      {"0\nstatus=InProcess,aid=1\n", 1, "InProcess"},
      {"0\naid=1,status=In_Process2-x\n", 1, "In_Process2"},
      {"0\naid=0,status=Available-ish", 1, "Available"},
      {"0\naid=0,status=available", 1, "available"},
      {"0\naid=0,note=status=Failed,status=Available\n", 1, "Failed"},  // first occurrence
      {"00\naid=0,status=Available\n", 0, ""},
      {"0\r\naid=0,status=Available\n", 0, ""},
      {"1\naid=0,status=Available\n", 0, ""},
      {"0\nstatus=Available\n", 0, ""},
      {"0\naid=0\n", 0, ""},
      {"0\naid=0,status=", 0, ""},
      {"0\naid=0,status=,x", 0, ""},
      {"0\naid=0,status=\n", 0, ""},
      {"", 0, ""},
      {"0", 0, ""},
  };
  for (const auto& c : cases) {
    std::optional<std::string_view> token = parse_status(c.reply);
    EXPECT_EQ(token.has_value(), c.found == 1) << c.reply;
    if (token) {
      EXPECT_EQ(*token, c.token) << c.reply;
    }
  }
  // The whole token is read; how much of it a record keeps is the exchange's business.
  std::string reply = "0\naid=0,status=" + long_token + "\n";
  EXPECT_EQ(parse_status(reply), long_token);
}

class SendDownloadRequestTest : public ::testing::Test {
 protected:
  VirtualClock clock;
  FaultEnv env{clock};
  TestRelay relay;
  RunState state{env};  // after the relay: its connections close before the relay stops
  std::string request_url = relay.base_url() + "/DownloadRequest";
};

TEST_F(SendDownloadRequestTest, FilesTheRecordByItsStatus) {
  struct Case {
    std::string sha1;
    std::string token;
    size_t available, in_process;
  } cases[] = {{"a1", "Available", 1, 0},  {"b2", "InProcess", 1, 1},
               {"c3", "Failed", 1, 1},     {"d4", "available", 1, 1},
               {"e5", "Available2", 1, 1}, {"f6", std::string(200, 'A'), 1, 1}};
  for (const auto& c : cases) {
    relay.script_requests(c.sha1, {status_reply(c.token)});
    Download* d = new_download(state.download_records, c.sha1, "1", "http://h/f", std::nullopt);
    Text next = send(state, request_url, d);
    EXPECT_EQ(next, Text(request_url));
    EXPECT_EQ(d->status, Text(c.token.substr(0, 127))) << c.token;
    EXPECT_EQ(state.available_queue.count, c.available) << c.token;
    EXPECT_EQ(state.inprocess_queue.count, c.in_process) << c.token;
  }
  auto posts = relay.requests_to("/DownloadRequest");
  ASSERT_EQ(posts.size(), 6u);
  EXPECT_EQ(posts[0].method, "POST");
  EXPECT_EQ(posts[0].body, "0\naid=0,index=null,sha1=a1,size=1,url=http%3A%2F%2Fh%2Ff\n");
  auto type = posts[0].headers.find("Content-Type");
  ASSERT_NE(type, posts[0].headers.end());
  EXPECT_EQ(type->second, "text/plain");
  EXPECT_EQ(clock.waits(), 0);
}

TEST_F(SendDownloadRequestTest, UnansweredRequestIsDiscardedAndKeepsTheOldStatus) {
  ScriptedReply error;
  error.code = 500;
  relay.script_requests("s", {error});
  Download* d = new_download(state.download_records, "s", "1", "http://h/a%sb", std::nullopt);
  d->status = "InProcess";
  testing::internal::CaptureStdout();
  Text next = send(state, request_url, d);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(next, Text("https" + request_url.substr(4)));  // where the attempts ended
  EXPECT_EQ(d->status, Text("InProcess"));
  EXPECT_EQ(state.inprocess_queue.count + state.available_queue.count, 0u);
  EXPECT_TRUE(
      out.ends_with("Aborting http request after 6 failures.\n"
                    "Discarding request: http://h/a%sb\n"))
      << out;
}

TEST_F(SendDownloadRequestTest, ConsecutiveRequestsShareOneConnection) {
  ConnectionCache cache;
  for (int i = 0; i < 5; ++i) {
    Download* d = new_download(state.download_records, "s" + std::to_string(i), "1", "http://h/f",
                               std::nullopt);
    send(state, request_url, d);
  }
  EXPECT_EQ(relay.requests().size(), 5u);
  EXPECT_EQ(relay.connections_seen(), 1u);
}

}  // namespace
