// A scriptable relay for tests: an in-process HTTP or HTTPS server on 127.0.0.1 that records
// every request and answers download requests and mirror fetches from a script.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

/// One answer of the relay.
struct ScriptedReply {
  int code = 200;
  std::string body;
  std::string location;    ///< when set, sent as the Location header (pair with a 3xx code)
  size_t chunk_size = 0;   ///< when nonzero, the body leaves in pieces of this many bytes
  int delay_ms = 0;        ///< a wait before the answer
  long drop_after = -1;    ///< when >= 0, the connection is cut after this many body bytes
  int chunk_delay_ms = 0;  ///< a wait before each piece of the body
  /// When true, a request for "Range: bytes=N-" gets a 206 with the body from byte N and its
  /// Content-Range; otherwise a Range request gets the scripted reply whole, as from a server
  /// that ignores ranges.
  bool serve_ranges = false;
  /// When set, sent as the Content-Range header of the scripted reply as it stands.
  std::string content_range;
};

/// A reply to a download request with the given status token.
ScriptedReply status_reply(const std::string& token);

struct RecordedRequest {
  std::string method;
  std::string path;
  std::string body;
  httplib::Headers headers;
  int remote_port = 0;
};

class TestRelay {
 public:
  enum class Scheme { Http, Https };

  /// Starts listening on a free port of 127.0.0.1 and returns once the server runs. A nonzero
  /// `port` takes over the port of a relay that was just stopped (to change its scheme).
  explicit TestRelay(Scheme scheme = Scheme::Http, int port = 0);
  ~TestRelay();
  TestRelay(const TestRelay&) = delete;
  TestRelay& operator=(const TestRelay&) = delete;

  int port() const { return port_; }
  /// "http://127.0.0.1:PORT" (or https).
  std::string base_url() const;

  /// Answers to the download requests for `sha1`, in order; the last one repeats.
  void script_requests(const std::string& sha1, std::vector<ScriptedReply> replies);
  /// The answer to a download request for a sha1 without a script of its own.
  void set_default_request_reply(ScriptedReply reply);
  /// Answers to GET (and POST) requests for `path`, in order; the last one repeats. Takes
  /// precedence over the download-request script.
  void script_path(const std::string& path, std::vector<ScriptedReply> replies);
  /// Serves `content` with 200 at the sha1 mirror path of `sha1`.
  void serve_file(const std::string& sha1, const std::string& content);

  std::vector<RecordedRequest> requests() const;
  /// Requests whose path is `path`.
  std::vector<RecordedRequest> requests_to(const std::string& path) const;
  /// Number of different client connections seen so far.
  size_t connections_seen() const;
  /// Called (on the server's thread) for every request before it is answered.
  void on_request(std::function<void(const RecordedRequest&)> hook);

 private:
  void handle(const httplib::Request& request, httplib::Response& response);
  void answer(ScriptedReply reply, const httplib::Request& request, httplib::Response& response);
  ScriptedReply next_reply(std::vector<ScriptedReply>& replies, size_t& used);

  std::unique_ptr<httplib::Server> server_;
  std::string certificate_dir_;
  bool https_ = false;
  int port_ = 0;
  std::thread thread_;

  mutable std::mutex mutex_;
  struct Script {
    std::vector<ScriptedReply> replies;
    size_t used = 0;
  };
  std::map<std::string, Script> request_scripts_;
  std::map<std::string, Script> path_scripts_;
  ScriptedReply default_request_reply_;
  std::function<void(const RecordedRequest&)> hook_;
  std::vector<RecordedRequest> requests_;
};

/// Writes a throwaway self-signed certificate and its key as cert.pem and key.pem into `dir`.
void make_self_signed_certificate(const std::string& dir);
