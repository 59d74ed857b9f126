// The relay behind a balancer (--trusted-proxy): a trusted peer's X-Forwarded-For names the
// client that the log shows, --allow-client judges and the fetch shares count; any other peer's
// is ignored; the balancer's connections are not held to the per-client cap. Every client is a
// loopback source address: 127.0.0.1 plays the balancer, 127.0.0.2 and 127.0.0.3 direct clients.
#include <gtest/gtest.h>

#include <memory>

#include "raw_connection.h"
#include "relay_harness.h"
#include "support/test_env.h"
#include "test_origin.h"

namespace {

constexpr const char* kBalancer = "127.0.0.1";

// A request head with `fields` (whole "Name: value" lines, without their CRLF).
std::string head(const std::string& target, const std::vector<std::string>& fields) {
  std::string text = "GET " + target + " HTTP/1.1\r\nHost: r\r\n";
  for (const std::string& field : fields) text += field + "\r\n";
  return text + "\r\n";
}

// The log line of the request for `target` without its timestamp: "FROM GET TARGET STATUS...".
std::string log_line_of(const RelayProcess& relay, const std::string& target) {
  const std::string marker = " GET " + target + " ";
  if (!relay.wait_for_output(marker)) return "(no line for " + target + ")";
  const std::string output = relay.output();
  const size_t at = output.find(marker);
  const size_t begin = output.rfind('\n', at) + 1;  // npos + 1: the first line
  const std::string line = output.substr(begin, output.find('\n', at) - begin);
  return line.substr(line.find(' ') + 1);
}

// Whether `line` is `from`, a port (the peer's: the balancer's or the direct client's), then
// `request`.
bool logged_as(const std::string& line, const std::string& from, const std::string& request) {
  if (!line.starts_with(from)) return false;
  const size_t port_end = line.find_first_not_of("0123456789", from.size());
  return port_end != std::string::npos && port_end > from.size() &&
         line.substr(port_end) == request;
}

class RelayForwardedTest : public ::testing::Test {
 protected:
  // A relay program trusting the balancer, so that the test reads its log.
  std::unique_ptr<RelayProcess> start_relay_program() {
    return std::make_unique<RelayProcess>(std::vector<std::string>{
        "--store", dir_.file("store"), "--port", "0", "--trusted-proxy", kBalancer});
  }

  TempDir dir_;
};

// Who the log names: the trusted peer's forwarded client, the last entry only; never what an
// untrusted peer's header claims.
// The health check just sent on `connection` was answered 200, or, when not `served`, the
// connection was closed without a byte of answer.
void expect_served(RawConnection& connection, bool served) {
  if (served) {
    auto reply = connection.read_reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    return;
  }
  std::string extra;
  EXPECT_TRUE(connection.closed_by_peer(&extra));
  EXPECT_EQ(extra, "");
}

TEST_F(RelayForwardedTest, TheLogNamesTheClientTheTrustedBalancerAppended) {
  auto relay = start_relay_program();
  ASSERT_GT(relay->port(), 0) << relay->first_line();
  struct Case {
    const char* from;
    std::vector<std::string> fields;
    std::string logged;  // the start of the line, up to the method
  } cases[] = {
      {kBalancer, {"X-Forwarded-For: 203.0.113.7"}, "203.0.113.7 via 127.0.0.1:"},
      {kBalancer, {"x-forwarded-for: 2001:db8::5"}, "2001:db8::5 via 127.0.0.1:"},
      // A client's forged list: the balancer appended the last entry.
      {kBalancer,
       {"X-Forwarded-For: 10.9.9.9, 192.0.2.1, 203.0.113.8"},
       "203.0.113.8 via 127.0.0.1:"},
      {kBalancer,
       {"X-Forwarded-For: 10.9.9.9", "X-Forwarded-For: 203.0.113.9"},
       "203.0.113.9 via 127.0.0.1:"},
      // The balancer's own request.
      {kBalancer, {}, "127.0.0.1:"},
      // Not a trusted peer: its header claims nothing.
      {"127.0.0.2", {"X-Forwarded-For: 203.0.113.7"}, "127.0.0.2:"},
      {"127.0.0.2", {"X-Forwarded-For: 10.9.9.9", "X-Forwarded-For: 203.0.113.9"}, "127.0.0.2:"},
  };
  int number = 0;
  for (const auto& c : cases) {
    const std::string target = "/attributed-" + std::to_string(++number);
    SCOPED_TRACE(target);
    RawConnection connection(relay->port(), 10000, c.from);
    ASSERT_TRUE(connection.connected());
    ASSERT_TRUE(connection.send_bytes(head(target, c.fields)));
    auto reply = connection.read_reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 404);
    const std::string line = log_line_of(*relay, target);
    EXPECT_TRUE(logged_as(line, c.logged, " GET " + target + " 404")) << line;
  }
}

// A header the balancer did not end with an address: the balancer itself is the client.
TEST_F(RelayForwardedTest, AMalformedHeaderFallsBackToThePeer) {
  auto relay = start_relay_program();
  ASSERT_GT(relay->port(), 0) << relay->first_line();
  const char* values[] = {"X-Forwarded-For: ",
                          "X-Forwarded-For: unknown",
                          "X-Forwarded-For: 203.0.113.7:4000",
                          "X-Forwarded-For: [2001:db8::5]",
                          "X-Forwarded-For: 203.0.113.7,",
                          "X-Forwarded-For: client.example.org"};
  int number = 0;
  for (const char* value : values) {
    const std::string target = "/malformed-" + std::to_string(++number);
    SCOPED_TRACE(value);
    RawConnection connection(relay->port(), 10000, kBalancer);
    ASSERT_TRUE(connection.send_bytes(head(target, {value})));
    auto reply = connection.read_reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 404);
    const std::string line = log_line_of(*relay, target);
    EXPECT_TRUE(line.starts_with("127.0.0.1:")) << line;
    EXPECT_EQ(line.find("via"), std::string::npos) << line;
  }
}

// --allow-client judges the forwarded client; a direct peer must be allowed itself, whatever its
// header says. A refused request gets what a refused connection gets: closed, unanswered.
TEST_F(RelayForwardedTest, AllowClientJudgesTheForwardedAddress) {
  RelayConfig config = test_relay_config(dir_.file("store"));
  config.options.trusted_proxies = {kBalancer};
  config.options.allow_clients = {"127.0.0.1", "127.0.0.2", "10.0.0.0/8"};
  InProcessRelay relay(config);
  struct Case {
    const char* from;
    const char* forwarded;  // the X-Forwarded-For value; null: none
    bool served;
  } cases[] = {
      {kBalancer, "10.1.2.3", true},
      {kBalancer, "203.0.113.7", false},
      {kBalancer, "203.0.113.7, 10.1.2.3", true},
      // An allowed address forged before the one the balancer appended helps nothing.
      {kBalancer, "10.1.2.3, 203.0.113.7", false},
      {kBalancer, "::ffff:203.0.113.7", false},
      {kBalancer, nullptr, true},
      {kBalancer, "garbage", true},
      {"127.0.0.2", "203.0.113.7", true},
      // Not allowed, and not trusted to claim an allowed address.
      {"127.0.0.3", "10.1.2.3", false},
      {"127.0.0.3", nullptr, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.from) + " forwarding " + (c.forwarded ? c.forwarded : "(none)"));
    RawConnection connection(relay.port(), 10000, c.from);
    ASSERT_TRUE(connection.connected());
    std::vector<std::string> fields;
    if (c.forwarded) fields.push_back(std::string("X-Forwarded-For: ") + c.forwarded);
    connection.send_bytes(head("/healthz", fields));
    expect_served(connection, c.served);
  }
}

// --max-connections-per-client holds a direct client, not the balancer all clients share.
TEST_F(RelayForwardedTest, TheBalancersConnectionsAreNotHeldToThePerClientCap) {
  constexpr int kCap = 2;
  RelayConfig config = test_relay_config(dir_.file("store"));
  config.options.trusted_proxies = {kBalancer};
  config.options.max_connections_per_client = kCap;
  InProcessRelay relay(config);
  struct Case {
    const char* from;
    int opened;
    int served;  // the first ones; the rest are closed unanswered
  } cases[] = {
      {kBalancer, 3 * kCap, 3 * kCap},
      {"127.0.0.2", kCap + 2, kCap},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.from);
    // All open at once, before any request: the gate counts each from its accept.
    std::vector<std::unique_ptr<RawConnection>> connections;
    for (int i = 0; i < c.opened; ++i) {
      connections.push_back(std::make_unique<RawConnection>(relay.port(), 10000, c.from));
      ASSERT_TRUE(connections.back()->connected());
    }
    for (int i = 0; i < c.opened; ++i) {
      SCOPED_TRACE(i);
      RawConnection& connection = *connections[static_cast<size_t>(i)];
      connection.send_bytes(head("/healthz", {}));
      expect_served(connection, i < c.served);
    }
  }
}

// Each forwarded client has its own share of the fetches (a quarter of --max-fetches: here 1);
// without --trusted-proxy every request through the balancer is the balancer's.
TEST_F(RelayForwardedTest, EachForwardedClientHasItsOwnShareOfTheFetches) {
  TestOrigin slow;  // trickles: each fetch runs for minutes
  struct Case {
    bool trusted;
    long long running;
    long long queued;
  } cases[] = {{true, 2, 1}, {false, 1, 2}};
  int number = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.trusted ? "trusted" : "not trusted");
    TempDir dir;
    RelayConfig config = test_relay_config(dir.file("store"));
    config.options.max_fetches = 4;
    if (c.trusted) config.options.trusted_proxies = {kBalancer};
    InProcessRelay relay(config);
    // Two files for one forwarded client, one for another.
    for (const char* client : {"203.0.113.7", "203.0.113.7", "198.51.100.4"}) {
      const std::string path = "/slow-" + std::to_string(++number);
      const std::string content(200000, static_cast<char>('a' + number));
      slow.serve(path, OriginReply{200, content, OriginReply::Hold::Trickle});
      const std::string body = download_request_body(sha1_hex(content), "200000", slow.url(path));
      RawConnection connection(relay.port(), 10000, kBalancer);
      connection.send_bytes(
          "POST /DownloadRequest HTTP/1.1\r\nHost: r\r\nX-Forwarded-For: " + std::string(client) +
          "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
      auto reply = connection.read_reply();
      ASSERT_TRUE(reply);
      EXPECT_NE(reply->body.find("status=InProcess"), std::string::npos) << reply->body;
    }
    EXPECT_EQ(relay_metric(relay.port(), "quonfetch_relay_fetches_running"), c.running);
    EXPECT_EQ(relay_metric(relay.port(), "quonfetch_relay_fetches_queued"), c.queued);
  }
}

}  // namespace
