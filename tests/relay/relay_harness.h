// Running the relay for tests: in this process on a thread, or as the quonfetch-relay program;
// and running the client against it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "relay/relay_server.h"
#include "support/test_env.h"

/// A relay configuration for tests: 127.0.0.1, a free port, the store at `store`, origins on
/// 127.0.0.0/8 allowed.
RelayConfig test_relay_config(const std::string& store,
                              std::chrono::milliseconds hold = std::chrono::seconds(10));

/// A RelayServer serving on a thread of this process.
class InProcessRelay {
 public:
  /// Starts the relay over `env` (which must outlive it).
  explicit InProcessRelay(RelayConfig config, Env& env = system_env());
  ~InProcessRelay();
  InProcessRelay(const InProcessRelay&) = delete;
  InProcessRelay& operator=(const InProcessRelay&) = delete;

  RelayServer& server() { return server_; }
  int port() const { return server_.port(); }
  /// Waits until `count` requests wait for a fetch. False after 30 s.
  bool wait_for_waiting_requests(size_t count);

 private:
  RelayServer server_;
  std::thread thread_;
};

/// The quonfetch-relay program as a child process with its standard output on a pipe.
class RelayProcess {
 public:
  /// Starts the program with `args` and reads its first line. port() is 0 when that line is not
  /// "TIMESTAMP Listening on http(s)://127.0.0.1:PORT".
  explicit RelayProcess(const std::vector<std::string>& args);
  /// Kills the child if it still runs.
  ~RelayProcess();
  RelayProcess(const RelayProcess&) = delete;
  RelayProcess& operator=(const RelayProcess&) = delete;

  int port() const { return port_; }
  const std::string& first_line() const { return first_line_; }
  /// Sends `signal_number`, waits for the exit, and returns the exit status (-1 when the child
  /// did not exit normally).
  int stop(int signal_number);
  /// Sends `signal_number` and goes on.
  void signal(int signal_number);
  /// Waits until the output holds `text`. False after 10 s.
  bool wait_for_output(const std::string& text) const;
  /// Everything written to standard output so far (complete after stop()).
  std::string output() const;

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int port_ = 0;
  std::string first_line_;
  mutable std::mutex mutex_;
  std::string output_;
  std::thread reader_;
};

/// A download request's body as a client posts it: "0\naid=0,index=null,sha1=...,size=...,url=..."
/// with the url percent-encoded, and ",sha256=..." when `sha256` is not empty.
std::string download_request_body(const std::string& sha1, const std::string& size,
                                  const std::string& url, const std::string& sha256 = "");

/// Posts `body` to the relay's /DownloadRequest from the source address `from` (a loopback
/// address: the relay tells clients apart by theirs) and returns the reply's status
/// ("InProcess", "Available", "Failed", ...), or "no reply: " and libcurl's reason after
/// `timeout_seconds`.
std::string post_download_request(int relay_port, const std::string& body,
                                  const std::string& from = "127.0.0.1", long timeout_seconds = 20);

/// The value of the sample `name` (with its labels) in the relay's /metrics; -1 when absent.
long long relay_metric(int relay_port, const std::string& name);

/// Runs the client for one file with debug output, saving into `out_dir`.
ProgramRun run_client(int relay_port, const std::string& sha1, size_t size, const std::string& url,
                      const std::string& out_dir, const std::string& sha256 = "");

/// The relay's replies to download requests in a client's debug output, decoded, in order: the
/// text after "aid=0," on each reply line ("status=InProcess", "status=Failed,reason=...").
std::vector<std::string> replies_in(const std::string& client_output);

/// Every entry of the store's two folders, as "sha1/NAME" and "sha256/NAME", sorted.
std::vector<std::string> store_entries(const TempDir& dir, const std::string& store = "store");
