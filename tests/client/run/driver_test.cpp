// The polling driver, run in-process on a virtual clock.
#include "client/run/driver.h"

#include <gtest/gtest.h>

#include "client/records/run_state.h"
#include "support/driver_fixture.h"

namespace {

std::string upper_hex(std::string hex) {
  for (char& c : hex) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return hex;
}

TEST_F(DriverTest, InProcessThenAvailable) {
  Download* d = add("payload", "f.bin");
  relay->script_requests(*d->sha1, {status_reply("InProcess"), status_reply("Available")});
  EXPECT_EQ(run(), "Sending download requests for 1 download(s) on " + base() + "\n" +
                       "Checking status of 1 downloads.\n"
                       "1 download(s) available.\n"
                       "Downloading " +
                       mirror(*d) +
                       "\n"
                       "1 download(s) successfully downloaded.\n");
  EXPECT_EQ(read_file(dir.file("out/f.bin")), "payload");
  EXPECT_EQ(clock.waits(), 0);
  EXPECT_EQ(state->request_queue.count, 1u);
  EXPECT_EQ(state->inprocess_queue.count + state->available_queue.count, 0u);
}

TEST_F(DriverTest, StayingInProcessUntilTheDeadline) {
  Download* d = add("never", "f.bin");
  relay->script_requests(*d->sha1, {status_reply("InProcess")});
  state->settings.timeout_minutes = 2;
  state->deadline = clock.now() + 120;
  std::string pass = "Checking status of 1 downloads.\nSleeping for 30 seconds...\n";
  EXPECT_EQ(run(), "Sending download requests for 1 download(s) on " + base() + "\n" + pass + pass +
                       pass + pass +
                       "Timeout of 2 minute(s) reached.\n"
                       "0 download(s) successfully downloaded.\n");
  EXPECT_EQ(clock.pauses(), (std::vector<int>{30, 30, 30, 30}));
  EXPECT_EQ(relay->requests_to("/DownloadRequest").size(), 5u);
  EXPECT_TRUE(dir.entries().empty());  // nothing fetched, so no output folder either
}

TEST_F(DriverTest, ShortPauseAfterAPassThatFetched) {
  Download* ready = add("ready", "ready.bin");
  Download* slow = add("slow", "slow.bin");
  relay->script_requests(*slow->sha1, {status_reply("InProcess"), status_reply("InProcess"),
                                       status_reply("Available")});
  EXPECT_EQ(run(), "Sending download requests for 2 download(s) on " + base() + "\n" +
                       "1 download(s) available.\n"
                       "Downloading " +
                       mirror(*ready) +
                       "\n"
                       "Checking status of 1 downloads.\n"
                       "Sleeping for 1 seconds...\n"
                       "Checking status of 1 downloads.\n"
                       "1 download(s) available.\n"
                       "Downloading " +
                       mirror(*slow) +
                       "\n"
                       "2 download(s) successfully downloaded.\n");
  EXPECT_EQ(clock.pauses(), std::vector<int>{1});
}

TEST_F(DriverTest, ZeroOrNegativeTimeoutSendsOnlyTheInitialRequests) {
  for (int minutes : {0, -5}) {
    state = std::make_unique<RunState>(env);
    use_relay(*relay);
    add("a", "a.bin");
    state->settings.timeout_minutes = minutes;
    state->deadline = clock.now() + int64_t{minutes} * 60;
    EXPECT_EQ(run(), "Sending download requests for 1 download(s) on " + base() + "\n" +
                         "Timeout of " + std::to_string(minutes) + " minute(s) reached.\n" +
                         "0 download(s) successfully downloaded.\n");
    EXPECT_EQ(state->available_queue.count, 1u);  // reported available, never fetched
  }
  EXPECT_TRUE(relay->requests_to("/kxmirror/downloads/sha1/" + sha1_hex("a")).empty());
}

TEST_F(DriverTest, RequestsAndFetchesShareOneConnection) {
  for (const char* name : {"a.bin", "b.bin", "c.bin"}) add(name, name);
  EXPECT_TRUE(run().ends_with("3 download(s) successfully downloaded.\n"));
  EXPECT_EQ(relay->requests().size(), 6u);  // three POSTs and three GETs
  EXPECT_EQ(relay->connections_seen(), 1u);
}

TEST_F(DriverTest, EmptyRequestQueue) {
  EXPECT_EQ(run(), "Sending download requests for 0 download(s) on " + base() + "\n" +
                       "0 download(s) successfully downloaded.\n");
  EXPECT_TRUE(relay->requests().empty());
}

TEST_F(DriverTest, Sha256MirrorAfterAFailedSha1Fetch) {
  const std::string content = "by sha256";
  const std::string sha256 = sha256_hex(content);
  Download* d = add(content, "f.bin", sha256);
  ScriptedReply missing;
  missing.code = 404;
  relay->script_path("/kxmirror/downloads/sha1/" + *d->sha1, {missing});
  ScriptedReply file;
  file.body = content;
  relay->script_path("/kxmirror/downloads/sha256/" + sha256, {file});
  std::string out = run();
  EXPECT_NE(out.find("Error downloading " + mirror(*d) + " Response:404\n" + "Downloading " +
                     base() + "/kxmirror/downloads/sha256/" + sha256 + "\n"),
            std::string::npos)
      << out;
  EXPECT_TRUE(out.ends_with("1 download(s) successfully downloaded.\n"));
  EXPECT_EQ(read_file(dir.file("out/f.bin")), content);
}

TEST_F(DriverTest, EmptySha1GoesStraightToSha256) {
  const std::string content = "only sha256";
  const std::string sha256 = sha256_hex(content);
  ScriptedReply file;
  file.body = content;
  relay->script_path("/kxmirror/downloads/sha256/" + sha256, {file});
  ASSERT_TRUE(queue_push(state->request_queue, new_download(state->download_records, "", "1",
                                                            "http://origin/g", sha256)));
  std::string out = run();
  EXPECT_NE(out.find("Error downloading  Response:0\nDownloading " + base() +
                     "/kxmirror/downloads/sha256/" + sha256 + "\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(read_file(dir.file("out/g")), content);
}

TEST_F(DriverTest, HttpsFallBackDuringInitialRequestsMovesTheMirror) {
  relay = std::make_unique<TestRelay>(TestRelay::Scheme::Https);
  use_relay(*relay);
  Download* d = add("secure", "s.bin");
  std::string out = run();
  EXPECT_NE(out.find("Downloading " + mirror(*d) + "\n"), std::string::npos) << out;
  EXPECT_TRUE(mirror(*d).starts_with("https://"));
  EXPECT_TRUE(out.ends_with("1 download(s) successfully downloaded.\n"));
  EXPECT_EQ(clock.pauses(), std::vector<int>{9});
}

TEST_F(DriverTest, HttpsFallBackDuringPollingLeavesTheMirrorOnHttp) {
  Download* d = add("late", "l.bin");
  const std::string sha1 = *d->sha1;
  relay->script_requests(sha1, {status_reply("InProcess")});
  const int port = relay->port();
  // During the first pause the relay comes back speaking https only.
  clock.on_wait([&](int64_t) {
    if (relay->base_url().starts_with("https")) return;
    relay.reset();
    relay = std::make_unique<TestRelay>(TestRelay::Scheme::Https, port);
    relay->serve_file(sha1, "late");
  });
  std::string out = run();
  const std::string http_mirror =
      "http://127.0.0.1:" + std::to_string(port) + "/kxmirror/downloads/sha1/" + sha1;
  EXPECT_NE(out.find("Will retry (#4) in 3 seconds on https://"), std::string::npos) << out;
  EXPECT_NE(out.find("Error downloading " + http_mirror + " Response:0\n"), std::string::npos)
      << out;
  EXPECT_TRUE(out.ends_with("0 download(s) successfully downloaded.\n"));
}

TEST_F(DriverTest, OtherStatusesAndDiscardedRequestsDropTheRecord) {
  Download* failed = add("f", "f.bin");
  relay->script_requests(*failed->sha1, {status_reply("Failed")});
  Download* broken = add("b", "b.bin");
  ScriptedReply error;
  error.code = 500;
  relay->script_requests(*broken->sha1, {error});
  std::string out = run();
  EXPECT_NE(out.find("Discarding request: http://origin/b.bin\n"), std::string::npos) << out;
  EXPECT_TRUE(
      out.ends_with("Aborting http request after 6 failures.\n"
                    "Discarding request: http://origin/b.bin\n"
                    "0 download(s) successfully downloaded.\n"))
      << out;
  EXPECT_EQ(failed->status, std::optional<std::string>("Failed"));
  EXPECT_EQ(failed->failure, std::optional<std::string>("the relay answered Failed"));
  // Its last attempt went to https, where this relay does not listen.
  EXPECT_EQ(broken->failure.value_or("").rfind("the relay did not answer: ", 0), 0u);
}

// One file asked for twice under one name, its sha1 written once in capitals: it is the same
// file, fetched again, not another record's.
TEST_F(DriverTest, TheSameSha1InAnotherCaseIsTheSameFile) {
  Download* first = add("same bytes", "f.bin");
  Download* again = new_download(state->download_records, upper_hex(*first->sha1), "10",
                                 "http://origin/f.bin", std::nullopt);
  ASSERT_TRUE(queue_push(state->request_queue, again));
  relay->serve_file(upper_hex(*first->sha1), "same bytes");
  std::string out = run();
  EXPECT_EQ(out.find("already written"), std::string::npos) << out;
  EXPECT_TRUE(out.ends_with("2 download(s) successfully downloaded.\n")) << out;
}

// Every record that did not arrive keeps why, and -d shows it after the line that reports it:
// the relay's own reason (decoded), the mirror's code, the deadline.
TEST_F(DriverTest, EachFailureKeepsItsReason) {
  state->settings.verbose = true;
  Download* refused = add("r", "r.bin");
  ScriptedReply failed = status_reply("Failed");
  failed.body = "0\naid=0,status=Failed,reason=sha1%20mismatch%3A%20got%20abc,x=1\n";
  relay->script_requests(*refused->sha1, {failed});
  Download* missing = add("m", "m.bin");
  ScriptedReply not_found;
  not_found.code = 404;
  relay->script_path("/kxmirror/downloads/sha1/" + *missing->sha1, {not_found});
  Download* waiting = add("w", "w.bin");
  relay->script_requests(*waiting->sha1, {status_reply("InProcess")});
  state->deadline = clock.now() + 60;
  std::string out = run();
  EXPECT_NE(out.find("Reason: the relay answered Failed: sha1 mismatch: got abc\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(" Response:404\nReason: the mirror answered 404\n"), std::string::npos) << out;
  EXPECT_EQ(refused->failure,
            std::optional<std::string>("the relay answered Failed: sha1 mismatch: got abc"));
  EXPECT_EQ(missing->failure, std::optional<std::string>("the mirror answered 404"));
  EXPECT_EQ(waiting->failure, std::optional<std::string>("still InProcess at the deadline"));
  EXPECT_FALSE(refused->stored || missing->stored || waiting->stored);
}

}  // namespace
