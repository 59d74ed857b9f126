// The relay: the download-request endpoint and the mirror, over HTTP or HTTPS.
#include "server/relay_server.h"

#include <unistd.h>

#include <thread>
#include <vector>

#include "server/relay_log.h"
#include "server/request_body.h"

namespace {

// Requests waiting for a fetch hold a thread each, so there are more threads than cores.
constexpr size_t kServerThreads = 32;
constexpr size_t kMaxRequestBody = 64 * 1024;
constexpr size_t kMirrorChunk = 64 * 1024;

// The status line of a reply to a download request, for the log: its second line.
std::string reply_summary(const std::string& body) {
  size_t start = body.find('\n');
  std::string line = start == std::string::npos ? body : body.substr(start + 1);
  while (!line.empty() && line.back() == '\n') line.pop_back();
  return line;
}

// The sha1 a download request names, for the log; cut short when it is long.
std::string requested_sha1(const std::string& body) {
  size_t at = body.find("sha1=");
  if (at == std::string::npos) return "-";
  at += 5;
  size_t end = body.find_first_of(",\n", at);
  std::string sha1 = body.substr(at, end == std::string::npos ? std::string::npos : end - at);
  if (sha1.size() > 64) sha1 = sha1.substr(0, 64) + "...";
  return sha1.empty() ? "-" : sha1;
}

}  // namespace

RelayServer::RelayServer(RelayConfig config) : config_(std::move(config)) {
  config_.scheduler.workers = config_.options.workers;
  config_.scheduler.allow_file_origins = config_.options.allow_file_origins;
}

RelayServer::~RelayServer() {
  if (scheduler_) scheduler_->shutdown();
}

bool RelayServer::start(std::string* err) {
  if (!store_.open(config_.options.store, err)) return false;

  const RelayOptions& options = config_.options;
  if (!options.tls_cert.empty()) {
    server_ =
        std::make_unique<httplib::SSLServer>(options.tls_cert.c_str(), options.tls_key.c_str());
  } else {
    server_ = std::make_unique<httplib::Server>();
  }
  if (!server_->is_valid()) {
    *err = "cannot load the certificate " + options.tls_cert + " with the key " + options.tls_key;
    return false;
  }
  // httplib takes ownership of the pool it is handed.
  server_->new_task_queue = [] {
    return std::make_unique<httplib::ThreadPool>(kServerThreads).release();
  };
  server_->set_payload_max_length(kMaxRequestBody);
  server_->set_keep_alive_timeout(2);
  // A client asks about many files over one connection; the library's default closes it after
  // five requests.
  server_->set_keep_alive_max_count(100000);
  // A reply leaves as two writes (headers, then body); without this the body would wait for the
  // client's delayed acknowledgement of the headers, some 40 ms per request.
  server_->set_tcp_nodelay(true);
  server_->Post("/DownloadRequest",
                [this](const httplib::Request& request, httplib::Response& response) {
                  handle_download_request(request, response);
                });
  server_->Get("/kxmirror/downloads/sha1/(.*)",
               [this](const httplib::Request& request, httplib::Response& response) {
                 handle_mirror(DigestKind::Sha1, request, response);
               });
  server_->Get("/kxmirror/downloads/sha256/(.*)",
               [this](const httplib::Request& request, httplib::Response& response) {
                 handle_mirror(DigestKind::Sha256, request, response);
               });
  server_->set_logger([](const httplib::Request& request, const httplib::Response& response) {
    std::string detail;
    if (request.path == "/DownloadRequest")
      detail = " sha1=" + requested_sha1(request.body) + " " + reply_summary(response.body);
    relay_log("%s:%d %s %s %d%s", request.remote_addr.c_str(), request.remote_port,
              request.method.c_str(), request.path.c_str(), response.status, detail.c_str());
  });

  if (options.port == 0) {
    port_ = server_->bind_to_any_port(options.listen);
  } else if (server_->bind_to_port(options.listen, options.port)) {
    port_ = options.port;
  } else {
    port_ = -1;
  }
  if (port_ <= 0) {
    *err = "cannot listen on " + options.listen + " port " + std::to_string(options.port);
    return false;
  }
  scheduler_ = std::make_unique<FetchScheduler>(store_, config_.scheduler);
  return true;
}

std::string RelayServer::url() const {
  const std::string& address = config_.options.listen;
  std::string host = address.find(':') != std::string::npos ? "[" + address + "]" : address;
  return std::string(config_.options.tls_cert.empty() ? "http" : "https") + "://" + host + ":" +
         std::to_string(port_);
}

bool RelayServer::serve() {
  if (!server_) return false;
  serving_ = true;
  bool served = stop_requested_ ? true : server_->listen_after_bind();
  serving_ = false;
  return served;
}

void RelayServer::stop() {
  stop_requested_ = true;
  if (scheduler_) scheduler_->shutdown();
  if (!server_) return;
  // httplib ignores a stop that comes before its accept loop runs: wait for it to run.
  while (serving_ && !server_->is_running()) std::this_thread::yield();
  server_->stop();
}

void RelayServer::handle_download_request(const httplib::Request& request,
                                          httplib::Response& response) {
  DownloadAsk ask;
  std::string err;
  if (!parse_request_body(request.body, &ask, &err)) {
    response.status = 400;
    response.set_content(err + "\n", "text/plain");
    return;
  }
  std::string unusable = unusable_reason(ask, config_.options.allow_file_origins);
  if (!unusable.empty()) {
    response.set_content(format_status_reply(RelayStatus::Invalid, unusable), "text/plain");
    return;
  }
  StatusAnswer answer = scheduler_->ask(ask);
  response.set_content(format_status_reply(answer.status, answer.reason), "text/plain");
}

void RelayServer::handle_mirror(DigestKind kind, const httplib::Request& request,
                                httplib::Response& response) {
  std::optional<StoredFile> stored = store_.open_file(kind, request.matches[1].str());
  if (!stored) {
    response.status = 404;
    response.set_content("not in the store\n", "text/plain");
    return;
  }
  if (stored->size == 0) {
    response.set_content(std::string(), "application/octet-stream");
    return;
  }
  // The file stays open, and so keeps its bytes, however the store changes while it is sent.
  auto fd = std::make_shared<UniqueFd>(std::move(stored->fd));
  response.set_content_provider(stored->size, "application/octet-stream",
                                [fd](size_t offset, size_t length, httplib::DataSink& sink) {
                                  std::vector<char> buffer(std::min(length, kMirrorChunk));
                                  ssize_t got = pread(fd->get(), buffer.data(), buffer.size(),
                                                      static_cast<off_t>(offset));
                                  if (got <= 0)
                                    return false;  // the client sees a short body and keeps nothing
                                  return sink.write(buffer.data(), static_cast<size_t>(got));
                                });
}
