// A scriptable relay for tests: an in-process HTTP or HTTPS server on 127.0.0.1.
#include "support/test_relay.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <set>
#include <stdexcept>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace {

std::string field_of(const std::string& body, const std::string& key) {
  size_t at = body.find(key + "=");
  if (at == std::string::npos) return std::string();
  at += key.size() + 1;
  size_t end = body.find_first_of(",\n", at);
  return body.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct FileClose {
  void operator()(FILE* file) const { fclose(file); }
};

}  // namespace

void make_self_signed_certificate(const std::string& dir) {
  std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_EC_gen("P-256"));
  std::unique_ptr<X509, X509Free> cert(X509_new());
  if (!key || !cert) throw std::runtime_error("cannot make a key");
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0)
    throw std::runtime_error("cannot sign the certificate");
  std::unique_ptr<FILE, FileClose> cert_file(fopen((dir + "/cert.pem").c_str(), "wb"));
  std::unique_ptr<FILE, FileClose> key_file(fopen((dir + "/key.pem").c_str(), "wb"));
  if (!cert_file || !key_file) throw std::runtime_error("cannot write the certificate");
  PEM_write_X509(cert_file.get(), cert.get());
  PEM_write_PrivateKey(key_file.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
}

ScriptedReply status_reply(const std::string& token) {
  ScriptedReply reply;
  reply.body = "0\naid=0,status=" + token + "\n";
  return reply;
}

TestRelay::TestRelay(Scheme scheme, int port) : https_(scheme == Scheme::Https) {
  if (https_) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quonfetch-cert-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    certificate_dir_ = pattern;
    make_self_signed_certificate(certificate_dir_);
    server_ = std::make_unique<httplib::SSLServer>((certificate_dir_ + "/cert.pem").c_str(),
                                                   (certificate_dir_ + "/key.pem").c_str());
  } else {
    server_ = std::make_unique<httplib::Server>();
  }
  default_request_reply_ = status_reply("Available");
  server_->set_keep_alive_max_count(100000);
  // Short, so that stopping the relay does not wait long for an idle kept-alive connection.
  server_->set_keep_alive_timeout(1);
  // Headers and body leave in separate writes; without this each reply would wait for the
  // client's delayed acknowledgement.
  server_->set_tcp_nodelay(true);
  auto handler = [this](const httplib::Request& request, httplib::Response& response) {
    handle(request, response);
  };
  server_->Get(".*", handler);
  server_->Post(".*", handler);
  if (port == 0) {
    port_ = server_->bind_to_any_port("127.0.0.1");
  } else if (server_->bind_to_port("127.0.0.1", port)) {
    port_ = port;
  }
  if (port_ <= 0) throw std::runtime_error("cannot bind a port");
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  while (!server_->is_running()) std::this_thread::yield();
}

TestRelay::~TestRelay() {
  server_->stop();
  thread_.join();
  if (!certificate_dir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(certificate_dir_, ignored);
  }
}

std::string TestRelay::base_url() const {
  return std::string(https_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

void TestRelay::script_requests(const std::string& sha1, std::vector<ScriptedReply> replies) {
  std::lock_guard lock(mutex_);
  request_scripts_[sha1] = Script{std::move(replies), 0};
}

void TestRelay::set_default_request_reply(ScriptedReply reply) {
  std::lock_guard lock(mutex_);
  default_request_reply_ = std::move(reply);
}

void TestRelay::script_path(const std::string& path, std::vector<ScriptedReply> replies) {
  std::lock_guard lock(mutex_);
  path_scripts_[path] = Script{std::move(replies), 0};
}

void TestRelay::serve_file(const std::string& sha1, const std::string& content) {
  ScriptedReply reply;
  reply.body = content;
  script_path("/kxmirror/downloads/sha1/" + sha1, {reply});
}

std::vector<RecordedRequest> TestRelay::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<RecordedRequest> TestRelay::requests_to(const std::string& path) const {
  std::vector<RecordedRequest> matching;
  for (auto& request : requests())
    if (request.path == path) matching.push_back(request);
  return matching;
}

size_t TestRelay::connections_seen() const {
  std::lock_guard lock(mutex_);
  std::set<int> ports;
  for (const auto& request : requests_) ports.insert(request.remote_port);
  return ports.size();
}

namespace {
ScriptedReply plain_reply(int code, std::string body) {
  ScriptedReply reply;
  reply.code = code;
  reply.body = std::move(body);
  return reply;
}
}  // namespace

ScriptedReply TestRelay::next_reply(std::vector<ScriptedReply>& replies, size_t& used) {
  if (replies.empty()) return plain_reply(404, "not scripted");
  ScriptedReply reply = replies[std::min(used, replies.size() - 1)];
  ++used;
  return reply;
}

void TestRelay::on_request(std::function<void(const RecordedRequest&)> hook) {
  std::lock_guard lock(mutex_);
  hook_ = std::move(hook);
}

void TestRelay::handle(const httplib::Request& request, httplib::Response& response) {
  ScriptedReply reply;
  RecordedRequest recorded{request.method, request.path, request.body, request.headers,
                           request.remote_port};
  std::function<void(const RecordedRequest&)> hook;
  {
    std::lock_guard lock(mutex_);
    hook = hook_;
  }
  if (hook) hook(recorded);
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(recorded);
    auto path_script = path_scripts_.find(request.path);
    if (path_script != path_scripts_.end()) {
      reply = next_reply(path_script->second.replies, path_script->second.used);
    } else if (request.method == "POST" && request.path == "/DownloadRequest") {
      auto script = request_scripts_.find(field_of(request.body, "sha1"));
      reply = script != request_scripts_.end()
                  ? next_reply(script->second.replies, script->second.used)
                  : default_request_reply_;
    } else {
      reply = plain_reply(404, "not found");
    }
  }
  answer(reply, request, response);
}

namespace {

// The first byte a "Range: bytes=N-" request asks for; none for any other request.
std::optional<size_t> range_start(const httplib::Request& request) {
  const std::string range = request.get_header_value("Range");
  size_t start = 0;
  if (sscanf(range.c_str(), "bytes=%zu-", &start) != 1) return std::nullopt;
  return start;
}

}  // namespace

void TestRelay::answer(ScriptedReply reply, const httplib::Request& request,
                       httplib::Response& response) {
  if (reply.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(reply.delay_ms));
  // The ranges are this relay's to serve, as the script says: the server library would
  // otherwise cut every body to the range asked for.
  const_cast<httplib::Request&>(request).ranges.clear();
  const std::optional<size_t> start = range_start(request);
  if (reply.serve_ranges && start && *start < reply.body.size() && reply.code == 200) {
    reply.content_range = "bytes " + std::to_string(*start) + "-" +
                          std::to_string(reply.body.size() - 1) + "/" +
                          std::to_string(reply.body.size());
    reply.body.erase(0, *start);
    reply.code = 206;
  }
  response.status = reply.code;
  if (!reply.content_range.empty()) response.set_header("Content-Range", reply.content_range);
  if (!reply.location.empty()) response.set_header("Location", reply.location);
  if (reply.chunk_size == 0 && reply.drop_after < 0 && reply.chunk_delay_ms == 0) {
    response.set_content(reply.body, "text/plain");
    return;
  }
  // Sent piece by piece with the full length announced; a cut leaves the client short.
  size_t chunk = reply.chunk_size ? reply.chunk_size : 65536;
  size_t limit = reply.drop_after >= 0 ? static_cast<size_t>(reply.drop_after) : reply.body.size();
  auto body = std::make_shared<std::string>(reply.body);
  int delay_ms = reply.chunk_delay_ms;
  response.set_content_provider(
      body->size(), "text/plain",
      [body, chunk, limit, delay_ms](size_t offset, size_t length, httplib::DataSink& sink) {
        if (offset >= limit) return false;
        if (delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        size_t n = std::min({chunk, length, limit - offset});
        sink.write(body->data() + offset, n);
        return true;
      });
}
