// The quonfetch-relay program: its command line, its first line, and how it stops.
#include <signal.h>

#include <gtest/gtest.h>

#include "relay_harness.h"
#include "server/request_body.h"
#include "support/test_env.h"
#include "test_origin.h"

namespace {

std::string first_line(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

TEST(RelayProcessTest, HelpPrintsUsageAndExits0) {
  ProgramRun run = run_program(QUONFETCH_RELAY_BINARY, {"--help"});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(first_line(run.out), "Usage: quonfetch-relay --store DIR [options]");
  EXPECT_TRUE(run.err.empty());
}

TEST(RelayProcessTest, BadOptionsGiveOneLineErrorUsageAndExit2) {
  struct Case {
    std::vector<std::string> args;
    std::string error;
  } cases[] = {
      {{}, "--store is required"},
      {{"--port", "1"}, "--store is required"},
      {{"--store"}, "--store needs a value"},
      {{"--store", ""}, "--store needs a non-empty value"},
      {{"--store", "s", "--port", "65536"}, "--port needs a number from 0 to 65535, not: 65536"},
      {{"--store", "s", "--port", "8o"}, "--port needs a number from 0 to 65535, not: 8o"},
      {{"--store", "s", "--workers", "0"}, "--workers needs a number from 1 to 256, not: 0"},
      {{"--store", "s", "--tls-cert", "c.pem"}, "--tls-cert and --tls-key go together"},
      {{"--store", "s", "--verbose"}, "unknown option: --verbose"},
      {{"--store", "s", "extra"}, "unknown option: extra"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    TempDir dir;
    ProgramRun run = run_program(QUONFETCH_RELAY_BINARY, c.args, dir.path());
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(first_line(run.err), "quonfetch-relay: " + c.error);
    EXPECT_EQ(run.err.substr(run.err.find('\n') + 1).rfind("Usage: quonfetch-relay", 0), 0u);
    EXPECT_TRUE(run.out.empty());
    EXPECT_TRUE(dir.entries().empty());  // not even the store was made
  }
}

TEST(RelayProcessTest, UnusableStoreOrCertificateExits1) {
  TempDir dir;
  write_file(dir.file("plain-file"), "x");
  ProgramRun store =
      run_program(QUONFETCH_RELAY_BINARY, {"--store", dir.file("plain-file/store"), "--port", "0"});
  ProgramRun tls = run_program(QUONFETCH_RELAY_BINARY,
                               {"--store", dir.file("store"), "--port", "0", "--tls-cert",
                                dir.file("missing.pem"), "--tls-key", dir.file("missing.pem")});
  EXPECT_EQ(store.exit_status, 1);
  EXPECT_NE(store.err.find("cannot create"), std::string::npos) << store.err;
  EXPECT_EQ(tls.exit_status, 1);
  EXPECT_NE(tls.err.find("cannot load the certificate"), std::string::npos) << tls.err;
}

TEST(RelayProcessTest, RestartKeepsTheStore) {
  TempDir dir;
  TestOrigin origin;
  const std::string content(123457, 'k');
  origin.serve("/keep.bin", content);
  const std::vector<std::string> args{"--store", dir.file("store"), "--port", "0"};

  RelayProcess first(args);
  ASSERT_GT(first.port(), 0) << first.first_line();
  EXPECT_EQ(first.first_line(), "Listening on http://127.0.0.1:" + std::to_string(first.port()));
  ProgramRun before = run_client(first.port(), sha1_hex(content), content.size(),
                                 origin.url("/keep.bin"), dir.file("out1"));
  EXPECT_EQ(first.stop(SIGTERM), 0);

  RelayProcess second(args);
  ASSERT_GT(second.port(), 0) << second.first_line();
  ProgramRun after = run_client(second.port(), sha1_hex(content), content.size(),
                                origin.url("/keep.bin"), dir.file("out2"), sha256_hex(content));
  EXPECT_EQ(second.stop(SIGINT), 0);

  EXPECT_EQ(replies_in(before.out),
            (std::vector<std::string>{"status=InProcess", "status=Available"}));
  EXPECT_EQ(replies_in(after.out), std::vector<std::string>{"status=Available"});
  EXPECT_EQ(read_file(dir.file("out2/keep.bin")), content);
  EXPECT_EQ(origin.hits("/keep.bin"), 1);
  // One log line per request and per origin fetch, flushed into the pipe.
  EXPECT_NE(first.output().find("Fetched " + origin.url("/keep.bin")), std::string::npos);
  EXPECT_NE(second.output().find("POST /DownloadRequest 200 sha1=" + sha1_hex(content) +
                                 " aid=0,status=Available"),
            std::string::npos)
      << second.output();
}

TEST(RelayProcessTest, SigtermDuringAFetchLeavesNoPartialFile) {
  TempDir dir;
  TestOrigin origin;
  const std::string content(200000, 'p');
  origin.serve("/slow.bin", OriginReply{200, content, OriginReply::Hold::MidBody});
  RelayProcess relay({"--store", dir.file("store"), "--port", "0"});
  ASSERT_GT(relay.port(), 0) << relay.first_line();

  httplib::Client client("127.0.0.1", relay.port());
  auto reply = client.Post("/DownloadRequest",
                           "0\naid=0,index=null,sha1=" + sha1_hex(content) +
                               ",size=200000,url=" + percent_encode(origin.url("/slow.bin")) + "\n",
                           "text/plain");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->body, format_status_reply(RelayStatus::InProcess));
  ASSERT_TRUE(origin.wait_for_partial_body());
  // Half of the file has reached the relay's temporary file.
  std::vector<std::string> during = store_entries(dir);
  ASSERT_EQ(during.size(), 1u);
  EXPECT_EQ(during[0].rfind("sha1/.quonfetch-", 0), 0u) << during[0];

  EXPECT_EQ(relay.stop(SIGTERM), 0);
  EXPECT_TRUE(store_entries(dir).empty());
}

}  // namespace
