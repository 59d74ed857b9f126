// The relay POST: retries, the move to https, reply limits, redirects and stalls.
#include "client/protocol/http_post.h"

#include <deque>

#include <gtest/gtest.h>

#include "client/records/run_state.h"
#include "common/curl_handles.h"
#include "support/fault_env.h"
#include "support/test_env.h"
#include "support/test_relay.h"
#include "support/virtual_clock.h"

namespace {

using Text = std::optional<std::string>;

const char kBody[] = "0\naid=0,index=null,sha1=s,size=1,url=u\n";

TEST(RetryUrlTest, MovesToHttpsOnlyAtTheSwitchPoint) {
  struct Case {
    Text url;
    int failures;
    std::string expected;
  } cases[] = {
      {"http://a:1/x", 3, "https://a:1/x"}, {"http://a:1/x", 2, "http://a:1/x"},
      {"http://a:1/x", 4, "http://a:1/x"},  {"https://a:1/x", 3, "https://a:1/x"},
      {"HTTP://a:1/x", 3, "HTTP://a:1/x"},  {std::nullopt, 3, ""},
      {"http://", 3, "https://"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(retry_url(c.url, c.failures, 3), c.expected) << c.url.value_or("(absent)");
}

TEST(MemorySinkTest, JoinsChunksAndRefusesToGrowPastTheLimit) {
  MemorySink sink;
  char a[] = "0\naid=";
  char b[] = "0,status=X";
  EXPECT_EQ(memory_sink_write(a, 1, 6, &sink), 6u);
  EXPECT_EQ(memory_sink_write(b, 1, 10, &sink), 10u);
  EXPECT_EQ(sink.data, "0\naid=0,status=X");
  std::string big(kMaxReplyBytes - sink.data.size(), 'x');
  EXPECT_EQ(memory_sink_write(big.data(), 1, big.size(), &sink), big.size());
  char one[] = "y";
  EXPECT_EQ(memory_sink_write(one, 1, 1, &sink), 0u);
  EXPECT_EQ(sink.data.size(), kMaxReplyBytes);
}

class HttpPostTest : public ::testing::Test {
 protected:
  PostResult post(TestRelay& relay, Download* d, int failures = 0) {
    testing::internal::CaptureStdout();
    PostResult result = *state.loop.run(
        http_post_with_retry(state, relay.base_url() + "/DownloadRequest", d, kBody, failures));
    out = testing::internal::GetCapturedStdout();
    return result;
  }
  ScriptedReply reply(int code, std::string body) {
    ScriptedReply r;
    r.code = code;
    r.body = std::move(body);
    return r;
  }
  // A relay of the test's own, which lives as long as the fixture.
  TestRelay& start_relay(TestRelay::Scheme scheme = TestRelay::Scheme::Http) {
    return relays.emplace_back(scheme);
  }
  VirtualClock clock;
  FaultEnv env{clock};
  std::deque<TestRelay> relays;
  RunState state{env};  // after the relays: its connections close before they stop
  std::string out;
};

TEST_F(HttpPostTest, SevenAttemptsThenAbortWithTheExactMessages) {
  TestRelay& relay = start_relay();
  relay.set_default_request_reply(reply(500, "no"));
  Download* d = new_download(state.download_records, "s", "1", "u", std::nullopt);
  PostResult result = post(relay, d);

  const std::string http = relay.base_url() + "/DownloadRequest";
  const std::string https = "https" + http.substr(4);
  // The relay speaks plain http, so the https attempts fail without any response.
  std::string expected;
  struct Attempt {
    const std::string& url;
    long code;
    const std::string& next;
  } attempts[] = {{http, 500, http}, {http, 500, http}, {http, 500, https},
                  {https, 0, https}, {https, 0, https}, {https, 0, https}};
  int retry = 2;
  for (const auto& a : attempts)
    expected += "Failed response from " + a.url + "\nCode: " + std::to_string(a.code) +
                "\nWill retry (#" + std::to_string(retry++) + ") in 3 seconds on " + a.next + "\n";
  expected += "Aborting http request after 6 failures.\n";
  EXPECT_EQ(out, expected);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.url, Text(https));
  EXPECT_FALSE(d->status);
  EXPECT_EQ(clock.waits(), 18);
  EXPECT_EQ(relay.requests().size(), 3u);
}

TEST_F(HttpPostTest, FallsBackToHttpsOnTheSamePort) {
  TestRelay& relay = start_relay(TestRelay::Scheme::Https);
  relay.set_default_request_reply(status_reply("InProcess"));
  Download* d = new_download(state.download_records, "s", "1", "u", std::nullopt);
  const std::string http = "http://127.0.0.1:" + std::to_string(relay.port()) + "/DownloadRequest";
  testing::internal::CaptureStdout();
  PostResult result = *state.loop.run(http_post_with_retry(state, http, d, kBody, 0));
  out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.url, Text(relay.base_url() + "/DownloadRequest"));
  EXPECT_EQ(d->status, Text("InProcess"));
  EXPECT_NE(out.find("Code: 0\nWill retry (#4) in 3 seconds on " + *result.url + "\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(clock.waits(), 9);
  ASSERT_EQ(relay.requests().size(), 1u);
  EXPECT_EQ(relay.requests()[0].body, kBody);
}

TEST_F(HttpPostTest, AnswersThatAreNoReplyAreRetried) {
  TestRelay& relay = start_relay();
  struct Case {
    ScriptedReply first;
    std::string code;
  } cases[] = {
      {reply(200, "1\naid=0,status=Available\n"), "200"},
      {reply(204, ""), "204"},
      {reply(404, "0\naid=0,status=Available\n"), "404"},
      {reply(200, "0\naid=0,status=" + std::string(kMaxReplyBytes, 'A')), "0"},
  };
  for (const auto& c : cases) {
    relay.script_requests("s", {c.first, status_reply("Available")});
    Download* d = new_download(state.download_records, "s", "1", "u", std::nullopt);
    PostResult result = post(relay, d);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(d->status, Text("Available"));
    EXPECT_TRUE(out.starts_with("Failed response from " + relay.base_url() +
                                "/DownloadRequest\nCode: " + c.code + "\nWill retry (#2)"))
        << out;
  }
}

TEST_F(HttpPostTest, ReplyInManyChunksIsJoinedInOrder) {
  TestRelay& relay = start_relay();
  ScriptedReply chunked = status_reply("In_Process_" + std::string(100, 'Z'));
  chunked.body += std::string(300000, '.');
  chunked.chunk_size = 7;
  relay.set_default_request_reply(chunked);
  Download* d = new_download(state.download_records, "s", "1", "u", std::nullopt);
  EXPECT_TRUE(post(relay, d).ok);
  EXPECT_EQ(d->status, Text("In_Process_" + std::string(100, 'Z')));
  EXPECT_EQ(out, "");
}

TEST_F(HttpPostTest, ReplyOfExactlyTheLimitIsAccepted) {
  TestRelay& relay = start_relay();
  std::string body = "0\naid=0,status=Available\n";
  body += std::string(kMaxReplyBytes - body.size(), '.');
  relay.set_default_request_reply(reply(200, body));
  EXPECT_TRUE(post(relay, nullptr).ok);  // no record: nothing stored, still answered
}

TEST_F(HttpPostTest, RedirectsAreFollowedAndTheLastCodeDecides) {
  TestRelay& relay = start_relay();
  ScriptedReply moved = reply(302, "");
  moved.location = "/elsewhere";
  relay.script_path("/DownloadRequest", {moved});
  relay.script_path("/elsewhere", {reply(404, "gone"), status_reply("Available")});
  Download* d = new_download(state.download_records, "s", "1", "u", std::nullopt);
  EXPECT_TRUE(post(relay, d).ok);
  EXPECT_NE(out.find("Code: 404"), std::string::npos) << out;
  EXPECT_EQ(d->status, Text("Available"));
  EXPECT_EQ(relay.requests_to("/elsewhere").size(), 2u);
}

TEST_F(HttpPostTest, RedirectedRequestStaysAPostWithItsBody) {
  for (int code : {301, 302}) {
    TestRelay& relay = start_relay();
    ScriptedReply moved = reply(code, "");
    moved.location = "/moved/DownloadRequest";
    relay.script_path("/DownloadRequest", {moved});
    relay.script_path("/moved/DownloadRequest", {status_reply("Available")});
    EXPECT_TRUE(post(relay, nullptr).ok) << code;
    auto requests = relay.requests_to("/moved/DownloadRequest");
    ASSERT_EQ(requests.size(), 1u) << code;
    EXPECT_EQ(requests[0].method, "POST") << code;
    EXPECT_EQ(requests[0].body, kBody) << code;
  }
}

TEST_F(HttpPostTest, LargeBodiesAreSentWithoutWaitingForAContinue) {
  TestRelay& relay = start_relay();
  relay.set_default_request_reply(status_reply("Available"));
  // A record with a very long origin URL makes a body over 1 MiB, on which libcurl would ask
  // for "100 Continue" first.
  const std::string body = "0\naid=0,index=null,sha1=s,size=1,url=" + std::string(1100000, 'u');
  PostResult result = *state.loop.run(
      http_post_with_retry(state, relay.base_url() + "/DownloadRequest", nullptr, body, 0));
  EXPECT_TRUE(result.ok);
  auto requests = relay.requests_to("/DownloadRequest");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].body.size(), body.size());
  EXPECT_EQ(requests[0].headers.count("Expect"), 0u);
}

TEST_F(HttpPostTest, RedirectLoopsAndOtherSchemesFail) {
  TestRelay& relay = start_relay();
  ScriptedReply loop = reply(302, "");
  loop.location = "/DownloadRequest";
  ScriptedReply other_scheme = reply(302, "");
  other_scheme.location = "ftp://127.0.0.1:1/x";
  for (const auto& redirect : {loop, other_scheme}) {
    relay.script_path("/DownloadRequest", {redirect});
    size_t before = relay.requests().size();
    PostResult result = post(relay, nullptr, 6);  // a single attempt
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(out, "Aborting http request after 6 failures.\n");
    size_t sent = relay.requests().size() - before;
    EXPECT_LE(sent, 31u);  // the first request and at most 30 redirects
  }
}

TEST_F(HttpPostTest, StalledExchangeFails) {
  TestRelay& relay = start_relay();
  // The request body itself counts as traffic, so the test asks for more than it.
  state.request_limits.low_speed_bytes = 1000;
  state.request_limits.low_speed_seconds = 1;
  ScriptedReply slow = status_reply("Available");
  slow.delay_ms = 2500;
  relay.set_default_request_reply(slow);
  PostResult result = post(relay, nullptr, 6);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(out, "Aborting http request after 6 failures.\n");
}

TEST_F(HttpPostTest, VerboseModeShowsRequestAndReply) {
  TestRelay& relay = start_relay();
  state.settings.verbose = 1;
  EXPECT_TRUE(post(relay, nullptr).ok);
  EXPECT_EQ(out, "Sending request to " + relay.base_url() + "/DownloadRequest with body: " + kBody +
                     "\nContents of response: 0\naid=0,status=Available\n\n");
}

}  // namespace
