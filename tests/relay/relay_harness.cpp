// Running the relay for tests: in this process on a thread, or as the quonfetch-relay program;
// and running the client against it.
#include "relay_harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <stdexcept>

#include <httplib.h>

#include "common/curl_handles.h"
#include "relay/request_body.h"

RelayConfig test_relay_config(const std::string& store, std::chrono::milliseconds hold) {
  RelayConfig config;
  config.options.store = store;
  config.options.port = 0;
  // The tests' origins listen on 127.0.0.1, an address the relay refuses by default.
  config.options.allow_origins = {"127.0.0.0/8"};
  config.scheduler.hold = hold;
  return config;
}

InProcessRelay::InProcessRelay(RelayConfig config, Env& env) : server_(std::move(config), env) {
  Status started = server_.start();
  if (!started.ok()) throw std::runtime_error("relay did not start: " + started.message());
  thread_ = std::thread([this] { server_.serve(); });
  while (!server_.is_running()) std::this_thread::yield();
}

InProcessRelay::~InProcessRelay() {
  server_.stop();
  thread_.join();
}

bool InProcessRelay::wait_for_waiting_requests(size_t count) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (server_.waiting_requests() < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

RelayProcess::RelayProcess(const std::vector<std::string>& args) {
  int out_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  // Made before the fork: the child may not allocate while other threads could hold locks.
  std::vector<char*> argv{const_cast<char*>(QUONFETCH_RELAY_BINARY)};
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out_pipe[1], 1);
    execv(QUONFETCH_RELAY_BINARY, argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  out_fd_ = out_pipe[0];
  // The first line is read here, the rest by a thread, so that the child never blocks on a
  // full pipe.
  char c;
  while (read(out_fd_, &c, 1) == 1 && c != '\n') first_line_.push_back(c);
  std::smatch match;
  static const std::regex listening(
      "[0-9-]+T[0-9:.]+Z Listening on https?://127\\.0\\.0\\.1:([0-9]+)");
  if (std::regex_match(first_line_, match, listening)) port_ = std::stoi(match[1].str());
  reader_ = std::thread([this] {
    char buffer[4096];
    ssize_t got;
    while ((got = read(out_fd_, buffer, sizeof buffer)) > 0) {
      std::lock_guard lock(mutex_);
      output_.append(buffer, static_cast<size_t>(got));
    }
  });
}

RelayProcess::~RelayProcess() {
  if (pid_ > 0) stop(SIGKILL);
}

int RelayProcess::stop(int signal_number) {
  if (pid_ <= 0) return -1;
  kill(pid_, signal_number);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  reader_.join();
  close(out_fd_);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void RelayProcess::signal(int signal_number) {
  if (pid_ > 0) kill(pid_, signal_number);
}

bool RelayProcess::wait_for_output(const std::string& text) const {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (output().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::string RelayProcess::output() const {
  std::lock_guard lock(mutex_);
  return output_;
}

std::string download_request_body(const std::string& sha1, const std::string& size,
                                  const std::string& url, const std::string& sha256) {
  std::string body =
      "0\naid=0,index=null,sha1=" + sha1 + ",size=" + size + ",url=" + percent_encode(url);
  if (!sha256.empty()) body += ",sha256=" + sha256;
  return body + "\n";
}

ProgramRun run_client(int relay_port, const std::string& sha1, size_t size, const std::string& url,
                      const std::string& out_dir, const std::string& sha256) {
  std::vector<std::string> args{"-r", "127.0.0.1", "-p", std::to_string(relay_port),
                                "-s", sha1,        "-z", std::to_string(size),
                                "-u", url,         "-o", out_dir,
                                "-t", "1",         "-d"};
  if (!sha256.empty()) {
    args.push_back("-q");
    args.push_back(sha256);
  }
  return run_program(QUONFETCH_BINARY, args);
}

std::vector<std::string> replies_in(const std::string& client_output) {
  std::vector<std::string> replies;
  static const std::regex reply_line("aid=0,(status=[^\n]*)");
  for (std::sregex_iterator it(client_output.begin(), client_output.end(), reply_line), end;
       it != end; ++it)
    replies.push_back(percent_decode((*it)[1].str()).value_or("(bad escape)"));
  return replies;
}

std::vector<std::string> store_entries(const TempDir& dir, const std::string& store) {
  std::vector<std::string> names;
  for (const char* sub : {"sha1", "sha256"})
    for (const auto& name : dir.entries(store + "/" + sub)) names.push_back(sub + ("/" + name));
  return names;
}

namespace {

size_t append_reply(char* data, size_t size, size_t count, void* reply) {
  static_cast<std::string*>(reply)->append(data, size * count);
  return size * count;
}

}  // namespace

std::string post_download_request(int relay_port, const std::string& body, const std::string& from,
                                  long timeout_seconds) {
  CurlEasy curl(curl_easy_init());
  if (!curl) return "no reply: curl_easy_init failed";
  const std::string url = "http://127.0.0.1:" + std::to_string(relay_port) + "/DownloadRequest";
  const std::string source = "host!" + from;
  std::string reply;
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_INTERFACE, source.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, timeout_seconds);
  curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, append_reply);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &reply);
  CURLcode code = curl_easy_perform(curl.get());
  if (code != CURLE_OK) return std::string("no reply: ") + curl_easy_strerror(code);
  const size_t at = reply.find("status=");
  if (at == std::string::npos) return "no status in: " + reply;
  return reply.substr(at + 7, reply.find_first_of(",\n", at) - at - 7);
}

long long relay_metric(int relay_port, const std::string& name) {
  httplib::Client client("127.0.0.1", relay_port);
  auto metrics = client.Get("/metrics");
  if (!metrics) return -1;
  const size_t at = metrics->body.find("\n" + name + " ");
  if (at == std::string::npos) return -1;
  return std::stoll(metrics->body.substr(at + name.size() + 2));
}
