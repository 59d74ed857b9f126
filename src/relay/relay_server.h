// The relay: the download-request endpoint and the mirror, over HTTP or HTTPS.
//
// Threads, what each owns, which lock guards what, and why a download request may wait:
// src/relay/README.md. In short: libmicrohttpd's HTTP threads (four per core) never wait; a
// download request for a file being fetched is suspended without a thread and resumed by the
// scheduler's reply; one fetch thread drives every origin transfer (--max-fetches of them at
// once), one hold timer and one store verifier do the rest.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "platform/env.h"
#include "platform/mutex.h"
#include "relay/address_policy.h"
#include "relay/connection_gate.h"
#include "relay/exchange.h"
#include "relay/fetch_engine.h"
#include "relay/fetch_scheduler.h"
#include "relay/options.h"
#include "relay/store.h"

struct MHD_Daemon;
struct MHD_Connection;

struct RelayConfig {
  RelayOptions options;
  /// Settings of the scheduler; `max_fetches` and `max_queued` are taken from `options`.
  SchedulerSettings scheduler;
  /// Tests only: called by a download request held for a fetch, between the scheduler's answer
  /// and the connection's suspension, so that a test can end the fetch in exactly that window.
  std::function<void()> between_ask_and_suspend;
};

/// Counters of what the relay served, for the metrics. Atomic: every HTTP thread adds to them.
struct ServedCounts {
  /// By endpoint and status class.
  std::atomic<uint64_t> requests[kEndpointCount][kStatusClassCount]{};
  std::atomic<uint64_t> bytes_served{0};
};

class RelayServer {
 public:
  /// Every file, folder and clock the relay uses is reached through `env`, which must outlive
  /// the server.
  RelayServer(RelayConfig config, Env& env);
  ~RelayServer();
  RelayServer(const RelayServer&) = delete;
  RelayServer& operator=(const RelayServer&) = delete;

  /// Opens the store, binds the listening socket, and starts the HTTP threads and the fetch
  /// engine: requests are served from then on. Returns the failure, with its reason, when one
  /// of these cannot be done.
  Status start();

  /// The bound port (the real one when 0 was asked for).
  int port() const { return port_; }
  /// "SCHEME://ADDR:PORT", with an IPv6 address in brackets.
  std::string url() const;

  /// Starts verifying the store's files in the background, and blocks until stop(). Returns
  /// false when start() had not succeeded.
  bool serve() EXCLUDES(stop_mutex_);
  /// True once serve() runs.
  bool is_running() const { return serving_; }

  /// Waits until the store's verifier, begun by serve(), has checked every file an earlier run
  /// left (for tests). Call once serve() runs, from one thread.
  void wait_until_store_verified() { store_.wait_until_verified(); }

  /// Download requests held at this moment for a fetch to end.
  size_t waiting_requests() const { return scheduler_ ? scheduler_->waiting_requests() : 0; }

  /// Ends serve(): aborts the origin fetches (no partial file stays), answers the held
  /// requests, then stops the HTTP threads. Safe to call from any thread, more than once, and
  /// before serve() begins (serve() then returns at once).
  void stop() EXCLUDES(stop_mutex_);

 private:
  friend struct HttpCallbacks;  // libmicrohttpd's entry points, in relay_server.cpp

  Status start_http() EXCLUDES(stop_mutex_);
  void wait_for_stop_request() REQUIRES(stop_mutex_);
  // Hands a connection the gate let through to libmicrohttpd.
  bool add_connection(int fd, const PeerAddress& peer) EXCLUDES(stop_mutex_);
  // Names the request's client: the peer, or the address a trusted balancer forwarded it for.
  // False when that forwarded address is not one --allow-client serves.
  bool attribute_client(MHD_Connection* connection, const sockaddr* peer, Exchange& exchange);
  // The first call for a request, with its headers: answers what needs no body. Returns
  // libmicrohttpd's MHD_YES or MHD_NO.
  int begin_request(MHD_Connection* connection, Exchange& exchange, std::string_view url,
                    std::string_view method, std::string_view version);
  // The later calls: body bytes, the end of the body, the resumption of a held request.
  int continue_request(MHD_Connection* connection, Exchange& exchange, const char* upload_data,
                       size_t* upload_data_size);
  // Once the request is over: its log line and its count.
  void finish_request(const Exchange& exchange);
  // The end of the request: every body byte is in.
  int answer(MHD_Connection* connection, Exchange& exchange);
  int answer_download_request(MHD_Connection* connection, Exchange& exchange);
  int answer_mirror(MHD_Connection* connection, Exchange& exchange, DigestKind kind,
                    std::string_view hex);
  int answer_metrics(MHD_Connection* connection, Exchange& exchange);
  int answer_healthz(MHD_Connection* connection, Exchange& exchange);

  RelayConfig config_;
  Env& env_;
  Store store_;
  ClientPolicy client_policy_;
  TrustedProxies trusted_proxies_;
  int port_ = 0;
  ServedCounts served_;
  std::atomic<bool> serving_{false};

  Mutex stop_mutex_;
  CondVar stop_changed_{stop_mutex_};
  bool stop_requested_ GUARDED_BY(stop_mutex_) = false;

  // The scheduler outlives the HTTP threads whose handlers use it: declared first, destroyed
  // last; the engine it runs fetches on outlives it.
  std::unique_ptr<FetchEngine> engine_;
  std::unique_ptr<FetchScheduler> scheduler_;
  // Outlives the HTTP threads, which report each connection's requests and end to it.
  std::unique_ptr<ConnectionGate> gate_;
  std::string tls_cert_pem_;  // read by the HTTP threads' TLS library while they run
  std::string tls_key_pem_;
  MHD_Daemon* daemon_ GUARDED_BY(stop_mutex_) = nullptr;
};
