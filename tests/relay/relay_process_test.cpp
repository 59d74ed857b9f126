// The quonfetch-relay program: its command line, its first line, and how it stops.
#include <signal.h>

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "relay/options.h"
#include "relay/request_body.h"
#include "relay_harness.h"
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
      {{"--store", "s", "--workers", "0"}, "--workers needs a number from 1 to 1024, not: 0"},
      {{"--store", "s", "--max-fetches", "1025"},
       "--max-fetches needs a number from 1 to 1024, not: 1025"},
      {{"--store", "s", "--tls-cert", "c.pem"}, "--tls-cert and --tls-key go together"},
      {{"--store", "s", "--verbose"}, "unknown option: --verbose"},
      {{"--store", "s", "extra"}, "unknown option: extra"},
      {{"--store", "s", "--allow-origin", "localhost"},
       "--allow-origin needs an address range like 10.0.0.0/8 or fd00::/8, not: localhost"},
      {{"--store", "s", "--allow-client", "10.0.0.0/33"},
       "--allow-client needs an address range like 10.0.0.0/8 or fd00::/8, not: 10.0.0.0/33"},
      {{"--store", "s", "--trusted-proxy", "localhost"},
       "--trusted-proxy needs an address range like 10.0.0.0/8 or fd00::/8, not: localhost"},
      {{"--store", "s", "--trusted-proxy", "127.0.0.1:8080"},
       "--trusted-proxy needs an address range like 10.0.0.0/8 or fd00::/8, not: 127.0.0.1:8080"},
      {{"--store", "s", "--trusted-proxy", "::1/129"},
       "--trusted-proxy needs an address range like 10.0.0.0/8 or fd00::/8, not: ::1/129"},
      {{"--store", "s", "--trusted-proxy"}, "--trusted-proxy needs a value"},
      {{"--store", "s", "--max-file-size", "0"},
       "--max-file-size needs a number from 1 to 9223372036854775807, not: 0"},
      {{"--store", "s", "--fetch-timeout", "x"},
       "--fetch-timeout needs a number from 1 to 604800, not: x"},
      {{"--store", "s", "--max-queue", "0"},
       "--max-queue needs a number from 1 to 1000000, not: 0"},
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

// Every --trusted-proxy given is kept, an address or a range, IPv4 or IPv6.
TEST(RelayProcessTest, TrustedProxiesAreRepeatable) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> trusted;
  } cases[] = {
      {{"--store", "s"}, {}},
      {{"--store", "s", "--trusted-proxy", "127.0.0.1"}, {"127.0.0.1"}},
      {{"--trusted-proxy", "10.0.0.0/8", "--store", "s", "--trusted-proxy", "::1",
        "--trusted-proxy", "fd00::/8"},
       {"10.0.0.0/8", "::1", "fd00::/8"}},
  };
  for (const auto& c : cases) {
    RelayOptions options;
    std::string err;
    ASSERT_EQ(parse_relay_options(c.args, &options, &err), ParseOutcome::Run) << err;
    EXPECT_EQ(options.trusted_proxies, c.trusted);
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
  // The origin listens on 127.0.0.1, which the relay refuses by default.
  const std::vector<std::string> args{"--store", dir.file("store"), "--port",
                                      "0",       "--allow-origin",  "127.0.0.0/8"};

  RelayProcess first(args);
  ASSERT_GT(first.port(), 0) << first.first_line();
  EXPECT_TRUE(first.first_line().ends_with(" Listening on http://127.0.0.1:" +
                                           std::to_string(first.port())))
      << first.first_line();
  ProgramRun before = run_client(first.port(), sha1_hex(content), content.size(),
                                 origin.url("/keep.bin"), dir.file("out1"));
  EXPECT_EQ(first.stop(SIGTERM), 0);

  RelayProcess second(args);
  ASSERT_GT(second.port(), 0) << second.first_line();
  // Until its verifier has checked the file, the relay answers InProcess for it.
  ASSERT_TRUE(second.wait_for_output("Store: 1 file(s) verified, 0 removed")) << second.output();
  ProgramRun after = run_client(second.port(), sha1_hex(content), content.size(),
                                origin.url("/keep.bin"), dir.file("out2"), sha256_hex(content));
  EXPECT_EQ(second.stop(SIGINT), 0);

  EXPECT_EQ(replies_in(before.out),
            (std::vector<std::string>{"status=InProcess", "status=Available"}));
  EXPECT_EQ(replies_in(after.out), std::vector<std::string>{"status=Available"});
  EXPECT_EQ(read_file(dir.file("out2/keep.bin")), content);
  EXPECT_EQ(origin.hits("/keep.bin"), 1);
  // One log line per request and per origin fetch, flushed into the pipe.
  EXPECT_NE(first.output().find("Fetch of " + origin.url("/keep.bin") + " for " +
                                sha1_hex(content) + ": stored"),
            std::string::npos)
      << first.output();
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
  // The origin listens on 127.0.0.1, which the relay refuses by default.
  RelayProcess relay(
      {"--store", dir.file("store"), "--port", "0", "--allow-origin", "127.0.0.0/8"});
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

namespace {

TEST(RelayProcessTest, VersionPrintsOneLine) {
  ProgramRun run = run_program(QUONFETCH_RELAY_BINARY, {"--version"});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_TRUE(run.out.starts_with("quonfetch-relay ")) << run.out;
  EXPECT_EQ(run.out.find('\n'), run.out.size() - 1);
}

TEST(RelayProcessTest, ASecondRelayOnTheSameStoreOrPortExits1AndTouchesNothing) {
  TempDir dir;
  TestOrigin origin;
  const std::string content(200000, 'l');
  origin.serve("/l.bin", OriginReply{200, content, OriginReply::Hold::MidBody});
  // The origin listens on 127.0.0.1, which the relay refuses by default.
  RelayProcess first(
      {"--store", dir.file("store"), "--port", "0", "--allow-origin", "127.0.0.0/8"});
  ASSERT_GT(first.port(), 0) << first.first_line();
  httplib::Client client("127.0.0.1", first.port());
  ASSERT_TRUE(client.Post("/DownloadRequest",
                          "0\naid=0,index=null,sha1=" + sha1_hex(content) +
                              ",size=200000,url=" + percent_encode(origin.url("/l.bin")) + "\n",
                          "text/plain"));
  ASSERT_TRUE(origin.wait_for_partial_body());
  const std::vector<std::string> during = store_entries(dir);
  ASSERT_EQ(during.size(), 1u);  // the first relay's temporary file

  struct Case {
    std::vector<std::string> args;
    std::string error;
  } cases[] = {
      {{"--store", dir.file("store"), "--port", "0"},
       "the store " + dir.file("store") + " is in use by another quonfetch-relay"},
      {{"--store", dir.file("other"), "--port", std::to_string(first.port())},
       "port " + std::to_string(first.port()) + " on 127.0.0.1 is already in use"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    ProgramRun second = run_program(QUONFETCH_RELAY_BINARY, c.args);
    EXPECT_EQ(second.exit_status, 1);
    EXPECT_EQ(second.err, "quonfetch-relay: " + c.error + "\n");
    EXPECT_EQ(store_entries(dir), during);
    EXPECT_FALSE(file_exists(dir.file("other")));
  }
  origin.release();
  EXPECT_EQ(first.stop(SIGTERM), 0);
}

TEST(RelayProcessTest, SighupIsLoggedAndLogLinesAreStampedAndEscaped) {
  TempDir dir;
  RelayProcess relay({"--store", dir.file("store"), "--port", "0"});
  ASSERT_GT(relay.port(), 0) << relay.first_line();
  relay.signal(SIGHUP);
  ASSERT_TRUE(relay.wait_for_output("SIGHUP received"));
  httplib::Client client("127.0.0.1", relay.port());
  auto health = client.Get("/healthz");  // still serving
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 200);
  // A request line whose path holds a line feed and an escape sequence once decoded.
  auto injected = client.Get("/x%0A2026-01-01T00:00:00.000Z%20forged%1B[31m");
  ASSERT_TRUE(injected);
  EXPECT_EQ(relay.stop(SIGTERM), 0);

  const std::string log = relay.output();
  EXPECT_NE(log.find(" SIGHUP received: nothing to reload, still serving\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find(" GET /x\\n2026-01-01T00:00:00.000Z forged\\x1b[31m 404\n"), std::string::npos)
      << log;
  static const std::regex stamped(
      "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z .*");
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(std::regex_match(line, stamped)) << line;
    EXPECT_FALSE(line.starts_with("2026-01-01")) << line;
  }
}

}  // namespace

namespace {

// A URL's password never reaches the relay's log or its metrics, whether the fetch is stored or
// fails (its reason and the client's reply are logged too).
TEST(RelayProcessTest, PasswordsOfOriginUrlsAreMaskedInTheLogAndTheMetrics) {
  TempDir dir;
  TestOrigin origin;
  const std::string content(1000, 's');
  origin.serve("/f", content);
  RelayProcess relay(
      {"--store", dir.file("store"), "--port", "0", "--allow-origin", "127.0.0.0/8"});
  ASSERT_GT(relay.port(), 0) << relay.first_line();
  const std::string host = origin.url("").substr(7);
  struct Case {
    std::string password, path, sha1, size, second_answer;
  } cases[] = {
      {"secret", "/f", sha1_hex(content), "1000", "status=Available"},
      {"secret", "/missing", sha1_hex("another"), "7", "status=Failed"},
      // Longer than the log keeps of a URL: hidden before the line is cut.
      {"secret" + std::string(400, 'x'), "/long", sha1_hex("a third"), "7", "status=Failed"},
  };
  httplib::Client client("127.0.0.1", relay.port());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string url = "http://user:" + c.password + "@" + host + c.path;
    ASSERT_TRUE(
        client.Post("/DownloadRequest", download_request_body(c.sha1, c.size, url), "text/plain"));
    EXPECT_TRUE(
        relay.wait_for_output("Fetch of http://user:***@" + host + c.path + " for " + c.sha1))
        << relay.output();
    // Asked again: the answer (Available, or the failure with its reason) is logged as well.
    ASSERT_TRUE(
        client.Post("/DownloadRequest", download_request_body(c.sha1, c.size, url), "text/plain"));
    EXPECT_TRUE(relay.wait_for_output("sha1=" + c.sha1 + " aid=0," + c.second_answer))
        << relay.output();
  }
  auto metrics = client.Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_EQ(relay.stop(SIGTERM), 0);
  EXPECT_EQ(relay.output().find("secret"), std::string::npos) << relay.output();
  EXPECT_EQ(metrics->body.find("secret"), std::string::npos) << metrics->body;
}

}  // namespace
