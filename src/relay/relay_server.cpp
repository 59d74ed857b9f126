// The relay: the download-request endpoint and the mirror, over HTTP or HTTPS. This file starts
// and stops it and receives each request from libmicrohttpd; request_handlers.cpp answers them.
#include "relay/relay_server.h"

#include <microhttpd.h>

#include <cstdarg>
#include <cstdio>
#include <thread>

#include "platform/listen_socket.h"
#include "relay/relay_log.h"

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

// Four per core: each has its own epoll set and takes its share of new connections, and with
// hundreds of connections more, smaller sets answered more requests per second than one per
// core (measured with wrk at 500 connections on 2 cores: 1 thread 18.8k/s, 2 23.8k/s, 8 30.1k/s).
unsigned http_threads() {
  unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 4 : std::min(4 * cores, 64u);
}

}  // namespace

struct HttpCallbacks {
  static MHD_Result request(void* cls, MHD_Connection* connection, const char* url,
                            const char* method, const char*, const char* upload_data,
                            size_t* upload_data_size, void** con_cls) {
    auto* relay = static_cast<RelayServer*>(cls);
    if (*con_cls == nullptr) {
      auto exchange = std::make_unique<Exchange>();
      exchange->method = log_escape(method, 16);
      exchange->path = log_escape(url, 200);
      const MHD_ConnectionInfo* info =
          MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
      if (info) socket_address_text(info->client_addr, &exchange->client, &exchange->client_port);
      *con_cls = exchange.release();
      return static_cast<MHD_Result>(
          relay->begin_request(connection, *static_cast<Exchange*>(*con_cls), url, method));
    }
    return static_cast<MHD_Result>(relay->continue_request(
        connection, *static_cast<Exchange*>(*con_cls), upload_data, upload_data_size));
  }

  static void completed(void* cls, MHD_Connection*, void** con_cls, MHD_RequestTerminationCode) {
    std::unique_ptr<Exchange> exchange(static_cast<Exchange*>(*con_cls));
    *con_cls = nullptr;
    if (!exchange) return;
    static_cast<RelayServer*>(cls)->finish_request(*exchange);
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
      client_policy_(config_.options.allow_clients) {
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
  status = start_http(listener.get());
  if (!status.ok()) return status;
  listener.release();  // the HTTP server closes it when it stops
  store_.set_max_size(options.max_store_size);
  return Status();
}

Status RelayServer::start_http(int listen_fd) {
  const RelayOptions& options = config_.options;
  set_non_blocking(listen_fd);
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME |
                   MHD_USE_TURBO | MHD_USE_ERROR_LOG;
  if (!tls_cert_pem_.empty()) flags |= MHD_USE_TLS;
  std::vector<MHD_OptionItem> items{
      {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&HttpCallbacks::log), nullptr},
      {MHD_OPTION_LISTEN_SOCKET, listen_fd, nullptr},
      {MHD_OPTION_THREAD_POOL_SIZE, static_cast<intptr_t>(http_threads()), nullptr},
      {MHD_OPTION_CONNECTION_LIMIT, options.max_connections, nullptr},
      {MHD_OPTION_PER_IP_CONNECTION_LIMIT, options.max_connections_per_client, nullptr},
      {MHD_OPTION_CONNECTION_TIMEOUT, options.connection_timeout_seconds, nullptr},
      {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(kHeaderMemory), nullptr},
      {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&HttpCallbacks::completed), this},
  };
  if (!tls_cert_pem_.empty()) {
    items.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, tls_cert_pem_.data()});
    items.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, tls_key_pem_.data()});
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
  std::lock_guard lock(stop_mutex_);
  daemon_ = daemon;
  return Status();
}

std::string RelayServer::url() const {
  const std::string& address = config_.options.listen;
  std::string host = address.find(':') != std::string::npos ? "[" + address + "]" : address;
  return std::string(config_.options.tls_cert.empty() ? "http" : "https") + "://" + host + ":" +
         std::to_string(port_);
}

bool RelayServer::serve() {
  std::unique_lock lock(stop_mutex_);
  if (!daemon_) return false;
  // Begun here rather than in start(), so that the log's first line is the listening address.
  store_.verify_in_background();
  serving_ = true;
  stop_changed_.wait(lock, [this] { return stop_requested_; });
  serving_ = false;
  return true;
}

void RelayServer::stop() {
  MHD_Daemon* daemon = nullptr;
  {
    std::lock_guard lock(stop_mutex_);
    stop_requested_ = true;
    daemon = daemon_;
    daemon_ = nullptr;
  }
  stop_changed_.notify_all();
  // Held requests are answered (and so resumed) before the HTTP threads stop: libmicrohttpd
  // must not be stopped with a connection still suspended.
  UniqueFd listener(daemon ? MHD_quiesce_daemon(daemon) : -1);  // handed back: now ours
  if (scheduler_) scheduler_->shutdown();
  if (daemon) MHD_stop_daemon(daemon);
}
