// An origin for relay tests: an in-process HTTP server on 127.0.0.1 that serves scripted files,
// counts how often each is fetched, and can hold a reply until the test lets it go or trickle it.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <httplib.h>

struct OriginReply {
  enum class Hold { None, BeforeReply, MidBody, Trickle };
  int code = 200;
  std::string body;
  /// BeforeReply: nothing is sent until release(). MidBody: the first half of the body is
  /// sent, then the rest waits for release(). Trickle: 512 bytes every 250 ms (2 KiB/s, above
  /// the relay's floor of 1 KiB/s) until the body is sent or the origin stops.
  Hold hold = Hold::None;
};

class TestOrigin {
 public:
  TestOrigin();
  /// Releases held replies, then stops the server.
  ~TestOrigin();
  TestOrigin(const TestOrigin&) = delete;
  TestOrigin& operator=(const TestOrigin&) = delete;

  /// "http://127.0.0.1:PORT" + path.
  std::string url(const std::string& path) const;
  void serve(const std::string& path, OriginReply reply);
  void serve(const std::string& path, const std::string& body) {
    serve(path, OriginReply{200, body});
  }
  /// Answers `path` with a 302 to `location`.
  void redirect(const std::string& path, const std::string& location);
  /// Number of requests seen for `path`.
  int hits(const std::string& path) const;
  /// Lets every held reply go on, now and later.
  void release();
  /// Waits until a MidBody reply has sent its first half. False after 30 s.
  bool wait_for_partial_body();

 private:
  std::unique_ptr<httplib::Server> server_;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, OriginReply> replies_;
  std::map<std::string, int> hits_;
  std::map<std::string, std::string> redirects_;  ///< path -> Location
  bool released_ = false;
  bool partial_sent_ = false;
  bool stopping_ = false;  ///< ends the trickles
  std::thread thread_;     // last: it serves with everything above

  bool trickle(const std::string& body, size_t offset, httplib::DataSink& sink);
};
