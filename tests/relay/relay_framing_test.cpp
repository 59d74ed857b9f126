// The relay's HTTP front against raw requests over loopback: how each request is framed decides
// its status and whether the connection survives it, so that no request can be read two ways.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "raw_connection.h"
#include "relay/request_body.h"
#include "relay_harness.h"
#include "support/test_env.h"
#include "support/test_files.h"
#include "test_origin.h"

namespace {

const std::string kStored = "the stored file's bytes\n";

std::string post(const std::string& extra_fields, const std::string& body) {
  return "POST /DownloadRequest HTTP/1.1\r\nHost: r\r\n" + extra_fields + "\r\n" + body;
}

std::string get(const std::string& target, const std::string& fields = "Host: r\r\n") {
  return "GET " + target + " HTTP/1.1\r\n" + fields + "\r\n";
}

struct FramingCase {
  const char* name;
  std::string request;
  std::vector<int> statuses;  // the replies expected, in order
  bool closed;                // the relay closes the connection after them
  std::string header = "";    // a header field the last reply must carry
  // Also refused as a later request on a kept-alive connection. Only the first head of a
  // connection is seen as raw bytes; later ones are checked over the fields libmicrohttpd
  // parsed, which has cut a value at a NUL, joined a folded line, and answers a bad
  // Content-Length or bytes that are not a request line itself.
  bool later_too = true;
};

std::vector<FramingCase> framing_cases() {
  const std::string body = download_request_body(std::string(40, 'a'), "10", "http://h/f");
  const std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
  // 35 bytes that would be read as a second request if the first were framed by its first
  // Content-Length.
  const std::string smuggled = "GET /healthz HTTP/1.1\r\nHost: s\r\n\r\n";
  std::string chunked_body;
  for (int i = 0; i < 5; ++i) chunked_body += "4000\r\n" + std::string(0x4000, 'x') + "\r\n";
  chunked_body += "0\r\n\r\n";
  const std::string client_hello("\x16\x03\x01\x00\xa5\x01\x00\x00\xa1\x03\x03\x5a\x11", 13);
  const std::string mirror = "/kxmirror/downloads/sha1/" + sha1_hex(kStored);
  return {
      // Good requests, kept alive.
      {"a POST with a length", post(length, body), {200}, false},
      {"a chunked POST",
       post("Transfer-Encoding: chunked\r\n",
            "10\r\n" + body.substr(0, 16) + "\r\n" +
                (std::stringstream() << std::hex << body.size() - 16).str() + "\r\n" +
                body.substr(16) + "\r\n0\r\n\r\n"),
       {200},
       false},
      {"two GETs on one connection", get(mirror) + get("/healthz"), {200, 200}, false},
      {"a GET of the stored file", get(mirror), {200}, false},
      // Framing that two readers could read two ways.
      {"two different lengths",
       post("Content-Length: 0\r\nContent-Length: 35\r\n", smuggled),
       {400},
       true},
      {"a length and chunked",
       post("Content-Length: 35\r\nTransfer-Encoding: chunked\r\n", smuggled),
       {400},
       true},
      {"white space before the colon", post("Content-Length : 35\r\n", smuggled), {400}, true},
      {"a negative length", post("Content-Length: -1\r\n", ""), {400}, true, "", false},
      {"an unknown transfer coding", post("Transfer-Encoding: foo\r\n", smuggled), {501}, true},
      {"chunked under another coding",
       post("Transfer-Encoding: gzip, chunked\r\n", smuggled),
       {501},
       true},
      // Fields.
      {"no Host", "GET /healthz HTTP/1.1\r\n\r\n", {400}, true},
      {"two Hosts", get("/healthz", "Host: a\r\nHost: b\r\n"), {400}, true},
      {"a NUL in a value",
       get("/healthz", std::string("Host: r\r\nX: a\0b\r\n", 18)),
       {400},
       true,
       "",
       false},
      {"a CR in a value", get("/healthz", "Host: r\r\nX: a\rb\r\n"), {400}, true},
      {"a folded value", get("/healthz", "Host: r\r\nX: a\r\n b\r\n"), {400}, true, "", false},
      // Bytes that are not HTTP.
      {"a TLS ClientHello", client_hello, {400}, true, "", false},
      {"binary", std::string("\x00\x01\x02\xff\xfe\r\n\r\n", 9), {400}, true, "", false},
      {"bare CR line ends", "GET /healthz HTTP/1.1\rHost: r\r\r", {400}, true, "", false},
      // Targets and methods.
      {"a NUL in the target", get(mirror + "%00.html"), {400}, true},
      {"DELETE of the download endpoint",
       "DELETE /DownloadRequest HTTP/1.1\r\nHost: r\r\n\r\n",
       {405},
       false,
       "Allow: POST"},
      {"GET of the download endpoint", get("/DownloadRequest"), {405}, false, "Allow: POST"},
      {"POST to the mirror",
       "POST " + mirror + " HTTP/1.1\r\nHost: r\r\nContent-Length: 0\r\n\r\n",
       {405},
       false,
       "Allow: GET, HEAD"},
      // Caps.
      {"a chunked body past the cap",
       post("Transfer-Encoding: chunked\r\n", chunked_body),
       {413},
       true},
  };
}

// Sends the case's request on a new connection and checks its replies and what becomes of the
// connection.
void expect_framing(int port, const FramingCase& c, bool later) {
  RawConnection connection(port, 3000);
  ASSERT_TRUE(connection.connected());
  std::vector<int> statuses = c.statuses;
  if (later) statuses.insert(statuses.begin(), 200);
  connection.send_bytes(later ? get("/healthz") + c.request : c.request);
  std::string last_head;
  for (int status : statuses) {
    std::optional<RawReply> reply = connection.read_reply();
    ASSERT_TRUE(reply) << "no reply";
    EXPECT_EQ(reply->status, status) << reply->head;
    last_head = reply->head;
  }
  if (!c.header.empty()) {
    EXPECT_NE(last_head.find("\r\n" + c.header + "\r\n"), std::string::npos) << last_head;
  }
  if (c.closed) {
    std::string after;
    EXPECT_TRUE(connection.closed_by_peer(&after)) << "still open";
    EXPECT_EQ(after, "") << "a second reply";
  } else {
    connection.send_bytes(get("/healthz"));
    std::optional<RawReply> next = connection.read_reply();
    ASSERT_TRUE(next) << "closed";
    EXPECT_EQ(next->status, 200);
  }
}

TEST(RelayFramingTest, EachRequestGetsItsStatusAndKeepsOrLosesItsConnection) {
  TempDir dir;
  TestOrigin origin;
  origin.serve("/stored", kStored);
  InProcessRelay relay(test_relay_config(dir.file("store")));
  httplib::Client client("127.0.0.1", relay.port());
  const std::string ask = download_request_body(sha1_hex(kStored), std::to_string(kStored.size()),
                                                origin.url("/stored"));
  client.Post("/DownloadRequest", ask, "text/plain");
  ASSERT_EQ(client.Post("/DownloadRequest", ask, "text/plain")->body,
            format_status_reply(RelayStatus::Available));
  for (const FramingCase& c : framing_cases()) {
    SCOPED_TRACE(c.name);
    expect_framing(relay.port(), c, false);
    if (c.later_too) {
      SCOPED_TRACE("after a first request on the connection");
      expect_framing(relay.port(), c, true);
    }
  }
}

}  // namespace
