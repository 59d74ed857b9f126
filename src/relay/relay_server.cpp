// The relay: the download-request endpoint and the mirror, over HTTP or HTTPS. This file starts
// and stops it and receives each request from libmicrohttpd; request_handlers.cpp answers them.
#include "relay/relay_server.h"

#include <microhttpd.h>

#include <cstdarg>
#include <cstdio>
#include <thread>

#include "platform/listen_socket.h"
#include "relay/relay_log.h"
#include "relay/request_framing.h"

namespace {

constexpr int kListenBacklog = 1024;
// Request line, headers and the read buffer of one connection: headers beyond it are refused.
constexpr size_t kHeaderMemory = size_t{32} * 1024;

bool read_whole_file(Env& env, const std::string& path, std::string* text) {
  FilePtr file = env.open_file(path, "rb");
  if (!file) return false;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, file.get())) > 0) text->append(buffer, got);
  return !ferror(file.get());
}

// TLS 1.2 and 1.3 only, with GnuTLS's usual choice of ciphers and groups.
constexpr const char* kTlsPriorities = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";

int connection_fd(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  return info ? info->connect_fd : -1;
}

// Four per core: each has its own epoll set and takes its share of new connections, and with
// hundreds of connections more, smaller sets answered more requests per second than one per
// core (measured with wrk at 500 connections on 2 cores: 1 thread 18.8k/s, 2 23.8k/s, 8 30.1k/s).
unsigned http_threads() {
  unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 4 : std::min(4 * cores, 64u);
}

}  // namespace

struct HttpCallbacks {
  // The request line has arrived: its target is looked at here, before it is percent-decoded.
  static void* request_line(void*, const char* uri, MHD_Connection*) {
    auto exchange = std::make_unique<Exchange>();
    exchange->target_has_nul = target_has_nul(uri);
    return exchange.release();
  }

  static MHD_Result request(void* cls, MHD_Connection* connection, const char* url,
                            const char* method, const char* version, const char* upload_data,
                            size_t* upload_data_size, void** con_cls) {
    auto* relay = static_cast<RelayServer*>(cls);
    auto* exchange = static_cast<Exchange*>(*con_cls);
    if (!exchange->begun) {
      exchange->begun = true;
      exchange->method = log_escape(method, 16);
      exchange->path = log_escape(url, 200);
      const MHD_ConnectionInfo* info =
          MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
      relay->gate_->request_began(connection_fd(connection));
      // A forwarded client --allow-client does not serve is closed unanswered, as a client
      // refused at its connection is.
      if (info && !relay->attribute_client(connection, info->client_addr, *exchange)) return MHD_NO;
      if (!relay->tls_cert_pem_.empty())
        MHD_set_connection_option(
            connection, MHD_CONNECTION_OPTION_TIMEOUT,
            static_cast<unsigned>(relay->config_.options.connection_timeout_seconds));
      return static_cast<MHD_Result>(
          relay->begin_request(connection, *exchange, url, method, version));
    }
    return static_cast<MHD_Result>(
        relay->continue_request(connection, *exchange, upload_data, upload_data_size));
  }

  static void completed(void* cls, MHD_Connection* connection, void** con_cls,
                        MHD_RequestTerminationCode) {
    std::unique_ptr<Exchange> exchange(static_cast<Exchange*>(*con_cls));
    *con_cls = nullptr;
    auto* relay = static_cast<RelayServer*>(cls);
    relay->gate_->request_ended(connection_fd(connection));
    if (exchange && exchange->begun) relay->finish_request(*exchange);
  }

  static void connection(void* cls, MHD_Connection* connection, void**,
                         MHD_ConnectionNotificationCode code) {
    ConnectionGate& gate = *static_cast<RelayServer*>(cls)->gate_;
    if (code == MHD_CONNECTION_NOTIFY_STARTED) gate.connection_started(connection_fd(connection));
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) gate.connection_closed(connection_fd(connection));
  }

  static MHD_Result accept(void* cls, const sockaddr* address, socklen_t) {
    return static_cast<RelayServer*>(cls)->client_policy_.allows(address) ? MHD_YES : MHD_NO;
  }

  static void log(void*, const char* format, va_list args) {
    char text[512];
    // The HTTP library's own message: its format comes with its arguments.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    vsnprintf(text, sizeof text, format, args);
#pragma GCC diagnostic pop
    std::string line = log_escape(text, sizeof text);
    while (line.ends_with("\\n")) line.resize(line.size() - 2);
    relay_log("HTTP server: %s", line.c_str());
  }
};

RelayServer::RelayServer(RelayConfig config, Env& env)
    : config_(std::move(config)),
      env_(env),
      store_(env),
      client_policy_(config_.options.allow_clients),
      trusted_proxies_(config_.options.trusted_proxies) {
  config_.scheduler.max_fetches = static_cast<size_t>(config_.options.max_fetches);
  config_.scheduler.max_queued = static_cast<size_t>(config_.options.max_queue);
}

RelayServer::~RelayServer() {
  stop();
}

Status RelayServer::start() {
  const RelayOptions& options = config_.options;
  if (!options.tls_cert.empty() && (!read_whole_file(env_, options.tls_cert, &tls_cert_pem_) ||
                                    !read_whole_file(env_, options.tls_key, &tls_key_pem_))) {
    return Status::failure(
        Status::Code::SystemError,
        "cannot load the certificate " + options.tls_cert + " with the key " + options.tls_key);
  }
  // The port first: a relay that cannot listen must leave the store as it found it.
  UniqueFd listener;
  Status status = listen_on(options.listen, options.port, kListenBacklog, &listener, &port_);
  if (!status.ok()) return status;
  status = store_.open(options.store);
  if (!status.ok()) return status;

  FetchSettings fetch;
  fetch.allow_file = options.allow_file_origins;
  fetch.policy = OriginPolicy(options.allow_origins);
  fetch.max_file_size = options.max_file_size;
  fetch.timeout_seconds = options.fetch_timeout_seconds;
  engine_ = std::make_unique<FetchEngine>(store_, std::move(fetch));
  if (!engine_->ready())
    return Status::failure(Status::Code::SystemError,
                           "cannot start the origin fetches: curl_multi_init failed");
  scheduler_ = std::make_unique<FetchScheduler>(env_, store_, config_.scheduler, *engine_);
  GateSettings gate;
  gate.tls = !tls_cert_pem_.empty();
  gate.connection_timeout_ms = int64_t{options.connection_timeout_seconds} * 1000;
  gate.header_timeout_ms = int64_t{options.header_timeout_seconds} * 1000;
  gate.max_connections = static_cast<size_t>(options.max_connections);
  gate.max_connections_per_client = static_cast<size_t>(options.max_connections_per_client);
  gate.max_head = kHeaderMemory;
  gate_ = std::make_unique<ConnectionGate>(
      env_, gate,
      [this](const sockaddr* address) {
        // A balancer must be allowed itself; the clients it forwards are checked by request.
        if (!client_policy_.allows(address)) return ConnectionGate::Admission::Refused;
        return trusted_proxies_.trusts(address) ? ConnectionGate::Admission::SharedProxy
                                                : ConnectionGate::Admission::Client;
      },
      [this](int fd, const PeerAddress& peer) { return add_connection(fd, peer); });
  status = start_http();
  if (!status.ok()) return status;
  set_non_blocking(listener.get());
  status = gate_->start(std::move(listener));
  if (!status.ok()) return status;
  store_.set_max_size(options.max_store_size);
  return Status();
}

Status RelayServer::start_http() {
  const RelayOptions& options = config_.options;
  // The gate accepts the connections and hands them on (add_connection).
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME |
                   MHD_USE_TURBO | MHD_USE_ERROR_LOG | MHD_USE_NO_LISTEN_SOCKET | MHD_USE_ITC;
  if (!tls_cert_pem_.empty()) flags |= MHD_USE_TLS;
  std::vector<MHD_OptionItem> items{
      {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&HttpCallbacks::log), nullptr},
      {MHD_OPTION_THREAD_POOL_SIZE, static_cast<intptr_t>(http_threads()), nullptr},
      // The gate holds the connections to --max-connections and --max-connections-per-client.
      // Above that, this limit only keeps libmicrohttpd from refusing one the gate let through:
      // its count falls a moment after the gate's, and each thread has its share of it.
      {MHD_OPTION_CONNECTION_LIMIT,
       static_cast<intptr_t>(options.max_connections) + 4 * static_cast<intptr_t>(http_threads()),
       nullptr},
      // Over TLS the library's own timeout would end a connection still in its handshake
      // without ever freeing it: the gate bounds the handshake, and each connection gets this
      // timeout once its first head is in (HttpCallbacks::request).
      {MHD_OPTION_CONNECTION_TIMEOUT,
       tls_cert_pem_.empty() ? options.connection_timeout_seconds : 0, nullptr},
      {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(kHeaderMemory), nullptr},
      {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&HttpCallbacks::completed), this},
      {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&HttpCallbacks::connection), this},
      {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&HttpCallbacks::request_line), this},
  };
  if (!tls_cert_pem_.empty()) {
    items.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, tls_cert_pem_.data()});
    items.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, tls_key_pem_.data()});
    items.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(kTlsPriorities)});
  }
  items.push_back({MHD_OPTION_END, 0, nullptr});
  MHD_Daemon* daemon =
      MHD_start_daemon(flags, 0, &HttpCallbacks::accept, this, &HttpCallbacks::request, this,
                       MHD_OPTION_ARRAY, items.data(), MHD_OPTION_END);
  if (!daemon) {
    const std::string why = tls_cert_pem_.empty()
                                ? "cannot start the HTTP server"
                                : "cannot load the certificate " + options.tls_cert +
                                      " with the key " + options.tls_key;
    return Status::failure(Status::Code::SystemError, why);
  }
  MutexLock lock(stop_mutex_);
  daemon_ = daemon;
  return Status();
}

bool RelayServer::add_connection(int fd, const PeerAddress& peer) {
  MHD_Daemon* daemon;
  {
    MutexLock lock(stop_mutex_);
    daemon = daemon_;
  }
  if (!daemon) {
    close_descriptor(fd);
    return false;
  }
  return MHD_add_connection(daemon, fd, peer.get(), peer.length) == MHD_YES;
}

std::string RelayServer::url() const {
  const std::string& address = config_.options.listen;
  std::string host = address.find(':') != std::string::npos ? "[" + address + "]" : address;
  return std::string(config_.options.tls_cert.empty() ? "http" : "https") + "://" + host + ":" +
         std::to_string(port_);
}

bool RelayServer::serve() {
  MutexLock lock(stop_mutex_);
  if (!daemon_) return false;
  // Begun here rather than in start(), so that the log's first line is the listening address.
  store_.verify_in_background();
  serving_ = true;
  wait_for_stop_request();
  serving_ = false;
  return true;
}

// Not analysed: CondVar::wait() requires the CondVar's own reference to the mutex, which the
// analysis cannot tell is stop_mutex_; the caller's lock is checked by REQUIRES.
void RelayServer::wait_for_stop_request() NO_THREAD_SAFETY_ANALYSIS {
  while (!stop_requested_) stop_changed_.wait();
}

void RelayServer::stop() {
  MHD_Daemon* daemon = nullptr;
  {
    MutexLock lock(stop_mutex_);
    stop_requested_ = true;
    daemon = daemon_;
    daemon_ = nullptr;
  }
  stop_changed_.signal_all();
  // No connection is accepted from here on.
  if (gate_) gate_->stop();
  // Held requests are answered (and so resumed) before the HTTP threads stop: libmicrohttpd
  // must not be stopped with a connection still suspended.
  if (scheduler_) scheduler_->shutdown();
  if (daemon) MHD_stop_daemon(daemon);
}
