// The relay: the download-request endpoint and the mirror, over HTTP or HTTPS.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include <httplib.h>

#include "server/fetch_scheduler.h"
#include "server/options.h"
#include "server/store.h"

struct RelayConfig {
  RelayOptions options;
  /// Settings of the fetches; `workers` and `allow_file_origins` are taken from `options`.
  SchedulerSettings scheduler;
};

class RelayServer {
 public:
  explicit RelayServer(RelayConfig config);
  ~RelayServer();
  RelayServer(const RelayServer&) = delete;
  RelayServer& operator=(const RelayServer&) = delete;

  /// Opens the store, loads the certificate when TLS is asked for, and binds the listening
  /// socket (connections queue from then on). Returns false with a reason in `err`.
  bool start(std::string* err);

  /// The bound port (the real one when 0 was asked for).
  int port() const { return port_; }
  /// "SCHEME://ADDR:PORT", with an IPv6 address in brackets.
  std::string url() const;

  /// Serves until stop(). Returns false when serving could not begin.
  bool serve();
  /// True once serve() accepts connections.
  bool is_running() const { return server_ && server_->is_running(); }

  /// Download requests waiting at this moment for a fetch to end.
  size_t waiting_requests() const { return scheduler_ ? scheduler_->waiting_requests() : 0; }

  /// Ends serve(): aborts the origin fetches (no partial file stays), answers the requests
  /// waiting for a fetch, then closes the listener. Safe to call from any thread, and before
  /// serve() begins (serve() then returns at once).
  void stop();

 private:
  void handle_download_request(const httplib::Request& request, httplib::Response& response);
  void handle_mirror(DigestKind kind, const httplib::Request& request, httplib::Response& response);

  RelayConfig config_;
  Store store_;
  int port_ = 0;
  std::atomic<bool> stop_requested_{false};
  std::atomic<bool> serving_{false};
  // The scheduler outlives the server whose handlers use it: declared first, destroyed last.
  std::unique_ptr<FetchScheduler> scheduler_;
  std::unique_ptr<httplib::Server> server_;
};
