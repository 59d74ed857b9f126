// Every client connection of the relay is bounded in time, over HTTP and HTTPS: silence before
// the first byte and within a head by --connection-timeout, a whole head by --header-timeout,
// and a new client is served while the connection cap is full of connections that stall. These
// tests wait real seconds: the network and the relay's threads are real. HTTPS: TLS 1.2 and 1.3
// only.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cctype>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "raw_connection.h"
#include "relay_harness.h"
#include "support/test_env.h"
#include "support/test_relay.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kCap = 4;

struct SslCtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};

// A GET /healthz over TLS with versions up to `max_version`: the reply's status line, or
// "handshake failed: REASON".
std::string https_healthz(int port, int max_version) {
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx(SSL_CTX_new(TLS_client_method()));
  // Old versions allowed on this side, so that a refusal is the relay's.
  SSL_CTX_set_security_level(ctx.get(), 0);
  SSL_CTX_set_cipher_list(ctx.get(), "DEFAULT:@SECLEVEL=0");
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_VERSION);
  SSL_CTX_set_max_proto_version(ctx.get(), max_version);
  RawConnection connection(port, 5000);
  std::unique_ptr<SSL, SslFree> ssl(SSL_new(ctx.get()));
  SSL_set_fd(ssl.get(), connection.fd());
  ERR_clear_error();
  if (SSL_connect(ssl.get()) != 1) {
    char reason[256] = "none";
    ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
    return std::string("handshake failed: ") + reason;
  }
  const std::string request = "GET /healthz HTTP/1.1\r\nHost: r\r\nConnection: close\r\n\r\n";
  SSL_write(ssl.get(), request.data(), static_cast<int>(request.size()));
  char reply[512];
  const int got = SSL_read(ssl.get(), reply, sizeof reply);
  std::string text(reply, static_cast<size_t>(std::max(got, 0)));
  return text.substr(0, text.find("\r\n"));
}

// The bytes of a TLS client's first flight: a whole ClientHello, as a real client sends it.
std::string client_hello() {
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx(SSL_CTX_new(TLS_client_method()));
  std::unique_ptr<SSL, SslFree> ssl(SSL_new(ctx.get()));
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  SSL_set_bio(ssl.get(), in, out);  // owned by the SSL from here on
  SSL_connect(ssl.get());           // writes the ClientHello, then wants the reply
  char* bytes = nullptr;
  const long size = BIO_get_mem_data(out, &bytes);
  return std::string(bytes, static_cast<size_t>(size));
}

std::string http_healthz(int port) {
  RawConnection connection(port, 5000);
  connection.send_bytes("GET /healthz HTTP/1.1\r\nHost: r\r\n\r\n");
  std::optional<RawReply> reply = connection.read_reply();
  return reply ? reply->head.substr(0, reply->head.find("\r\n")) : "no reply";
}

// Small bounds and a small cap, in `dir`; HTTPS with a fresh certificate when `tls`.
RelayConfig bounded_config(const TempDir& dir, bool tls) {
  RelayConfig config = test_relay_config(dir.file("store"));
  config.options.connection_timeout_seconds = 1;
  config.options.header_timeout_seconds = 2;
  config.options.max_connections = static_cast<int>(kCap);
  if (tls) {
    make_self_signed_certificate(dir.path());
    config.options.tls_cert = dir.file("cert.pem");
    config.options.tls_key = dir.file("key.pem");
  }
  return config;
}

// A stalling connection: `prefix` sent at once, then `trickle` one byte every 250 ms.
struct StallCase {
  const char* name;
  bool tls;
  std::string prefix;
  std::string trickle;
  milliseconds bound;  // by when the relay must have closed it, from the start
};

void PrintTo(const StallCase& row, std::ostream* out) {
  *out << row.name;
}

std::vector<StallCase> stall_cases() {
  const std::string head = "GET /healthz HTTP/1.1\r\nHost: r\r\nX-Pad: " + std::string(60, 'p');
  std::string hello("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);
  hello += std::string(60, '\x2a');
  return {
      {"plain, nothing sent", false, "", "", milliseconds(1000)},
      {"plain, a first head trickled", false, "", head, milliseconds(2000)},
      {"plain, a later head trickled", false, "GET /healthz HTTP/1.1\r\nHost: r\r\n\r\n", head,
       milliseconds(3000)},
      {"TLS, nothing sent", true, "", "", milliseconds(1000)},
      {"TLS, 11 bytes of a ClientHello", true, hello.substr(0, 11), "", milliseconds(2000)},
      {"TLS, a ClientHello trickled", true, "", hello, milliseconds(2000)},
      // The TLS library has the connection, mid-handshake, when the bound comes.
      {"TLS, a whole ClientHello and then nothing", true, client_hello(), "", milliseconds(2000)},
  };
}

// One row of the table per test, so that each stays within a few seconds.
class StallingConnectionTest : public ::testing::TestWithParam<StallCase> {};

TEST_P(StallingConnectionTest, IsClosedInTimeAndANewClientIsServedMeanwhile) {
  constexpr milliseconds kSlack(1000);  // the gate looks every 100 ms; the machine is shared
  const StallCase& c = GetParam();
  TempDir dir;
  InProcessRelay relay(bounded_config(dir, c.tls));
  std::vector<std::unique_ptr<RawConnection>> stalls;
  for (size_t i = 0; i < kCap; ++i) {
    stalls.push_back(std::make_unique<RawConnection>(relay.port()));
    ASSERT_TRUE(stalls.back()->connected());
    if (!c.prefix.empty()) stalls.back()->send_bytes(c.prefix);
  }
  const auto start = Clock::now();
  // The cap is full: the new client waits in the backlog until the stalls are closed.
  std::future<std::string> fresh = std::async(std::launch::async, [&] {
    return c.tls ? https_healthz(relay.port(), TLS1_3_VERSION) : http_healthz(relay.port());
  });
  std::vector<std::optional<milliseconds>> closed_after(kCap);
  size_t open = kCap;
  for (size_t sent = 0; open > 0 && Clock::now() - start < c.bound + kSlack; ++sent) {
    for (size_t i = 0; i < kCap; ++i) {
      if (closed_after[i]) continue;
      if (stalls[i]->peer_has_closed()) {
        closed_after[i] = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
        --open;
      } else if (sent < c.trickle.size()) {
        stalls[i]->send_bytes(c.trickle.substr(sent, 1));
      }
    }
    std::this_thread::sleep_for(milliseconds(250));
  }
  EXPECT_EQ(fresh.get(), "HTTP/1.1 200 OK");
  for (size_t i = 0; i < kCap; ++i) {
    ASSERT_TRUE(closed_after[i]) << "connection " << i << " still open";
    EXPECT_LE(*closed_after[i], c.bound + kSlack);
  }
}

INSTANTIATE_TEST_SUITE_P(Stalls, StallingConnectionTest, ::testing::ValuesIn(stall_cases()),
                         [](const ::testing::TestParamInfo<StallCase>& row) {
                           std::string name;
                           for (char ch : std::string(row.param.name))
                             if (std::isalnum(static_cast<unsigned char>(ch))) name += ch;
                           return name;
                         });

TEST(RelayDeadlineTest, OnlyTls12And13AreServed) {
  TempDir dir;
  InProcessRelay relay(bounded_config(dir, true));
  EXPECT_EQ(https_healthz(relay.port(), TLS1_2_VERSION), "HTTP/1.1 200 OK");
  EXPECT_EQ(https_healthz(relay.port(), TLS1_3_VERSION), "HTTP/1.1 200 OK");
  // The same client, allowed no version above 1.1: the relay ends the handshake.
  const std::string old = https_healthz(relay.port(), TLS1_1_VERSION);
  EXPECT_TRUE(old.starts_with("handshake failed")) << old;
}

}  // namespace
