// The relay's door: it accepts every client connection itself, looks at the first bytes before
// the HTTP server gets them, and bounds each connection in time from accept to its last request.
//
// A new connection waits here, without a thread of its own, until its first request head has
// arrived whole (plain HTTP) or its ClientHello record (HTTPS). A head that breaks the framing
// rules (relay/request_framing.h), or bytes that are not HTTP, are answered here and the connection
// closed at once; a good one is handed on to libmicrohttpd, which reads the head again from the
// socket (the gate only peeks). From then on the gate keeps one deadline per connection: the
// first head (or the TLS handshake with it) within --header-timeout of its first byte, and every
// later head on a kept-alive connection within --connection-timeout plus --header-timeout of the
// end of the reply before it (libmicrohttpd tells the start of a request's head only once the
// head is complete, so the idle wait before it counts in this bound). A connection past its
// deadline is shut down; libmicrohttpd then sees its end and closes it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/env.h"
#include "platform/listen_socket.h"
#include "platform/mutex.h"
#include "platform/unique_fd.h"
#include "relay/request_framing.h"

struct GateSettings {
  bool tls = false;
  int64_t connection_timeout_ms = 30000;  ///< silence before a first byte, or within a head
  int64_t header_timeout_ms = 30000;      ///< a whole head, from its first byte
  size_t max_connections = 4096;          ///< open at once, waiting here or served
  size_t max_connections_per_client = 256;
  size_t max_head = size_t{32} * 1024;  ///< request line and fields
};

class ConnectionGate {
 public:
  /// Whether a peer's address may connect at all, and whether it is a balancer many clients
  /// share, whose connections --max-connections-per-client does not bound.
  enum class Admission { Refused, Client, SharedProxy };
  using Admit = std::function<Admission(const sockaddr*)>;
  /// Gives a connection to the HTTP server, which owns `fd` from then on (and closes it when it
  /// refuses it). False when it refused it.
  using HandOn = std::function<bool(int fd, const PeerAddress& peer)>;

  ConnectionGate(Env& env, GateSettings settings, Admit admit, HandOn hand_on);
  ~ConnectionGate();
  ConnectionGate(const ConnectionGate&) = delete;
  ConnectionGate& operator=(const ConnectionGate&) = delete;

  /// Starts accepting on `listener` (non-blocking) on the gate's thread.
  Status start(UniqueFd listener);
  /// Stops accepting and closes the connections still waiting here; those handed on stay the
  /// HTTP server's. Safe to call more than once.
  void stop();

  // What the HTTP server reports of the connections handed on, by descriptor. Each is called on
  // the HTTP thread that owns the connection.
  /// The connection became the HTTP server's.
  void connection_started(int fd) EXCLUDES(mutex_);
  /// A request's head is complete: no deadline until its reply has been sent.
  void request_began(int fd) EXCLUDES(mutex_);
  /// A reply was sent: the next head has its deadline.
  void request_ended(int fd) EXCLUDES(mutex_);
  /// The HTTP server is about to close the descriptor.
  void connection_closed(int fd) EXCLUDES(mutex_);

 private:
  struct Waiting;

  void run();
  void accept_new(int64_t now) EXCLUDES(mutex_);
  void read_first_bytes(Waiting& waiting, int64_t now);
  void set_receive_low_water_unless_done(Waiting& waiting, size_t count);
  void refuse(Waiting& waiting, const FramingVerdict& verdict, int64_t now);
  void hand_on(Waiting& waiting, int64_t deadline) EXCLUDES(mutex_);
  void close_waiting(Waiting& waiting, const char* why) EXCLUDES(mutex_);
  // Closes what is past its deadline; returns the earliest deadline of those waiting here.
  int64_t expire(int64_t now) EXCLUDES(mutex_);
  void release(const std::string& client) REQUIRES(mutex_);

  Env& env_;
  const GateSettings settings_;
  const Admit admit_;
  const HandOn hand_on_;
  UniqueFd listener_;
  UniqueFd wake_read_;
  UniqueFd wake_write_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  // The connections waiting here: the gate thread's own.
  std::vector<std::unique_ptr<Waiting>> waiting_;

  Mutex mutex_;
  size_t open_ GUARDED_BY(mutex_) = 0;  // waiting here or served
  std::map<std::string, size_t> per_client_ GUARDED_BY(mutex_);
  struct Served {
    std::string client;
    int64_t deadline = 0;  // when its head must be complete; 0: no bound now
  };
  // Handed on, until the HTTP server reports it started (or the descriptor is seen again).
  std::map<int, Served> handing_ GUARDED_BY(mutex_);
  // The HTTP server's, until it closes them.
  std::map<int, Served> served_ GUARDED_BY(mutex_);
};
