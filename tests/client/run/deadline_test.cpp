// The deadline bounds the run: no retry or pause past it, a polling pass's exchanges ended at
// it, and every attempt limited in the time it may take to connect.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "client/protocol/file_retrieval.h"
#include "client/protocol/http_post.h"
#include "platform/unique_fd.h"
#include "support/driver_fixture.h"

namespace {

// The counts of the "Aborting http request after N failures." lines, in order.
std::vector<int> aborted_after(const std::string& out) {
  std::vector<int> counts;
  const std::string line = "Aborting http request after ";
  for (size_t at = out.find(line); at != std::string::npos; at = out.find(line, at + 1))
    counts.push_back(std::stoi(out.substr(at + line.size())));
  return counts;
}

// Every initial request is tried at least once, whatever the deadline; none is retried once
// a retry would start past it. The relay fails every request at once (the run moves to https
// after three failures, where it fails too), so the time is only the 3 s waits.
TEST_F(DriverTest, InitialRequestsAfterTheDeadlineAreTriedOnce) {
  ScriptedReply failing;
  failing.code = 503;
  relay->set_default_request_reply(failing);
  struct Case {
    int minutes;
    std::vector<int> aborted;  // seven attempts are "6 failures"; a retry refused counts them all
    bool timeout_line;
  } cases[] = {
      // 18 s per record: the fourth's second attempt leaves 3 s, no room for a retry.
      {1, {6, 6, 6, 2, 1, 1}, false},
      {0, {1, 1, 1, 1, 1, 1}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.minutes);
    state = std::make_unique<RunState>(env);
    use_relay(*relay);
    state->settings.timeout_minutes = c.minutes;
    state->deadline = clock.now() + int64_t{c.minutes} * 60;
    for (int i = 0; i < 6; ++i) add("file " + std::to_string(i), std::to_string(i));
    const int64_t start = clock.now();
    const std::string out = run();
    EXPECT_EQ(aborted_after(out), c.aborted) << out;
    EXPECT_EQ(count_of(out, "Discarding request: "), 6u);
    EXPECT_EQ(count_of(out, "Timeout of "), c.timeout_line ? 1u : 0u);
    EXPECT_LE(clock.now() - start, int64_t{c.minutes} * 60);
  }
}

// A pause between passes ends at the deadline rather than running its 30 s past it.
TEST_F(DriverTest, NoPauseRunsPastTheDeadline) {
  state->settings.timeout_minutes = 1;
  state->deadline = clock.now() + 45;
  Download* d = add("slow", "s.bin");
  relay->script_requests(*d->sha1, {status_reply("InProcess")});
  EXPECT_EQ(run(), "Sending download requests for 1 download(s) on " + base() +
                       "\nChecking status of 1 downloads.\nSleeping for 30 seconds...\n"
                       "Checking status of 1 downloads.\nSleeping for 15 seconds...\n"
                       "Timeout of 1 minute(s) reached.\n0 download(s) successfully downloaded.\n");
  EXPECT_EQ(clock.pauses(), (std::vector<int>{30, 15}));
}

// The deadline passes while the relay holds a status request: the run ends the exchange there
// and then. The relay's answer, had the run waited for it, would have made the file available.
TEST_F(DriverTest, AnExchangeInFlightEndsAtTheDeadline) {
  Download* d = add("held", "h.bin");
  ScriptedReply held = status_reply("Available");
  held.delay_ms = 2000;
  relay->script_requests(*d->sha1, {status_reply("InProcess"), held});
  relay->on_request([&](const RecordedRequest& request) {
    if (request.path == "/DownloadRequest" && relay->requests_to("/DownloadRequest").size() == 1)
      clock.advance(3600);  // as the status pass's request arrives
  });
  const std::string out = run();
  relay->on_request(nullptr);
  EXPECT_EQ(out, "Sending download requests for 1 download(s) on " + base() +
                     "\nChecking status of 1 downloads.\nTimeout of 60 minute(s) reached.\n"
                     "0 download(s) successfully downloaded.\n");
  EXPECT_EQ(d->failure, "still InProcess at the deadline");
}

// A listening socket that accepts nothing more: its queue of one connection is filled, so the
// system leaves every further connection waiting.
class UnacceptingListener {
 public:
  UnacceptingListener() : listener_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto* any = reinterpret_cast<sockaddr*>(&address);
    if (bind(listener_.get(), any, length) != 0 || listen(listener_.get(), 0) != 0 ||
        getsockname(listener_.get(), any, &length) != 0)
      return;
    port_ = ntohs(address.sin_port);
    for (int i = 0; i < 8 && !full_; ++i) {
      UniqueFd filler(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
      connect(filler.get(), any, length);
      pollfd done{filler.get(), POLLOUT, 0};
      full_ = poll(&done, 1, 200) == 0;  // this one waits: the queue is full
      fillers_.push_back(std::move(filler));
    }
  }
  int port() const { return port_; }
  bool full() const { return full_; }

 private:
  UniqueFd listener_;
  std::vector<UniqueFd> fillers_;
  int port_ = 0;
  bool full_ = false;
};

// Against a relay that never accepts, an attempt fails at the connect limit, whether a download
// request or a fetch from the mirror.
TEST(ConnectLimitTest, ARelayThatNeverAcceptsFailsTheAttemptAtTheLimit) {
  UnacceptingListener relay;
  ASSERT_TRUE(relay.full());
  const std::string url = "http://127.0.0.1:" + std::to_string(relay.port());
  VirtualClock clock;
  FaultEnv env{clock};
  TempDir dir;
  RunState state{env};
  state.settings.output_dir = dir.file("out");
  state.request_limits.connect_timeout_seconds = 1;
  state.fetch_limits.connect_timeout_seconds = 1;
  testing::internal::CaptureStdout();
  const PostResult posted =
      *state.loop.run(http_post_with_retry(state, url + "/DownloadRequest", nullptr, "0\n", 6));
  const FetchOutcome fetched =
      *state.loop.run(download_file(state, url + "/f", "f.bin", std::nullopt));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(posted.transfer_result, CURLE_OPERATION_TIMEDOUT);
  EXPECT_EQ(fetched.end, FetchEnd::TransferError);
  EXPECT_EQ(fetched.reason.error_number(), CURLE_OPERATION_TIMEDOUT);
}

}  // namespace
