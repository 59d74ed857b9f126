// The benchmarks' delay proxy as a process: it forwards both ways and passes each end on, cuts
// connections after a number of bytes when told to, logs every connection, and sums them up when
// stopped.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_env.h"

namespace {

class Socket {
 public:
  explicit Socket(int fd = -1) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

int connect_to(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Everything `fd` sends until its end.
std::string read_to_end(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<size_t>(got));
  return text;
}

bool send_all(int fd, const std::string& text) {
  return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

// How a connection's bytes towards the client ended.
struct Received {
  size_t bytes = 0;
  bool reset = false;  // a reset rather than an orderly end
};

Received read_until_closed(int fd) {
  Received received;
  char buffer[65536];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) {
      received.bytes += static_cast<size_t>(got);
    } else {
      received.reset = got < 0 && errno == ECONNRESET;
      return received;
    }
  }
}

// A listening socket on 127.0.0.1, on a free port.
class Target {
 public:
  Target() : socket_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        listen(socket_.get(), 4) == 0 &&
        getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0)
      port_ = ntohs(address.sin_port);
  }
  int get() const { return socket_.get(); }
  int port() const { return port_; }

 private:
  Socket socket_;
  int port_ = 0;
};

// The proxy as a child, its standard output on a pipe, stopped with SIGTERM at the end.
class ProxyProcess {
 public:
  ProxyProcess(int target_port, const std::string& log, const std::string& delay_ms = "2",
               const std::vector<std::string>& more = {}) {
    int out[2];
    if (pipe(out) != 0) return;
    std::vector<std::string> args = {QUONFETCH_DELAY_PROXY, "--target",
                                     std::to_string(target_port)};
    args.insert(args.end(), {"--delay-ms", delay_ms, "--log", log});
    args.insert(args.end(), more.begin(), more.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    stdout_ = fdopen(out[0], "r");
  }
  ~ProxyProcess() {
    if (pid_ > 0 && status_ < 0) stop();
    if (stdout_) fclose(stdout_);
  }
  /// The port from the first line, "Listening on 127.0.0.1:PORT"; 0 when there is none.
  int port() {
    int port = 0;
    return stdout_ && fscanf(stdout_, "Listening on 127.0.0.1:%d", &port) == 1 ? port : 0;
  }
  /// Sends SIGTERM and returns the exit status.
  int stop() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
  }

 private:
  pid_t pid_ = -1;
  FILE* stdout_ = nullptr;
  int status_ = -1;
};

TEST(DelayProxyTest, ForwardsBothWaysThenLogsTheConnections) {
  TempDir dir;
  Target target;
  ASSERT_NE(target.port(), 0);

  ProxyProcess proxy(target.port(), dir.file("proxy.log"));
  const int port = proxy.port();
  ASSERT_NE(port, 0);
  {
    Socket client(connect_to(port));
    Socket server(accept(target.get(), nullptr, nullptr));
    ASSERT_GE(server.get(), 0);
    ASSERT_TRUE(send_all(client.get(), "request"));
    shutdown(client.get(), SHUT_WR);
    EXPECT_EQ(read_to_end(server.get()), "request");  // its end comes after the bytes
    ASSERT_TRUE(send_all(server.get(), "reply"));
    shutdown(server.get(), SHUT_WR);
    EXPECT_EQ(read_to_end(client.get()), "reply");
  }
  {
    // A second connection, closed without a byte: it still counts.
    Socket client(connect_to(port));
    Socket server(accept(target.get(), nullptr, nullptr));
    ASSERT_GE(server.get(), 0);
  }
  EXPECT_EQ(proxy.stop(), 0);
  EXPECT_EQ(read_file(dir.file("proxy.log")),
            "connection 1 opened\n"
            "connection 2 opened\n"
            "connections opened: 2, bytes to the target: 7, bytes from the target: 5, bytes to "
            "the client: 5, connections cut: 0\n");
}

// One connection after another, each answered with a reply of its own size: what the client
// receives on each, and how each ends.
TEST(DelayProxyTest, CutsConnectionsAfterTheirBytes) {
  constexpr size_t kBig = 1 << 20;  // more than one read, and more than the sockets hold
  struct Case {
    const char* name;
    std::vector<std::string> options;
    const char* delay_ms;
    std::vector<size_t> replies;
    std::vector<Received> expected;
    const char* summary_tail;
  };
  const Case cases[] = {
      {"the first connection that reaches the count, only",
       {"--cut-after", "300001"},
       "0",
       {1000, kBig, kBig},
       {{1000, false}, {300001, true}, {kBig, false}},
       "bytes to the client: 1349577, connections cut: 1\n"},
      {"every connection that reaches it",
       {"--cut-every", "300001"},
       "2",
       {kBig, 1000, kBig},
       {{300001, true}, {1000, false}, {300001, true}},
       "bytes to the client: 601002, connections cut: 2\n"},
      {"a whole reply of that many bytes",
       {"--cut-every", "1000"},
       "0",
       {1000, 999},
       {{1000, true}, {999, false}},
       "bytes to the client: 1999, connections cut: 1\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    Target target;
    ASSERT_NE(target.port(), 0);
    ProxyProcess proxy(target.port(), dir.file("proxy.log"), c.delay_ms, c.options);
    const int port = proxy.port();
    ASSERT_NE(port, 0);
    for (size_t i = 0; i < c.replies.size(); ++i) {
      Socket client(connect_to(port));
      Socket server(accept(target.get(), nullptr, nullptr));
      ASSERT_GE(server.get(), 0);
      // The reply is written beside the reading: a cut connection stops taking it in.
      std::thread reply([&server, size = c.replies[i]] {
        if (send_all(server.get(), std::string(size, 'r'))) shutdown(server.get(), SHUT_WR);
      });
      const Received got = read_until_closed(client.get());
      reply.join();
      EXPECT_EQ(got.bytes, c.expected[i].bytes) << "connection " << i + 1;
      EXPECT_EQ(got.reset, c.expected[i].reset) << "connection " << i + 1;
    }
    EXPECT_EQ(proxy.stop(), 0);
    const std::string log = read_file(dir.file("proxy.log"));
    EXPECT_TRUE(log.ends_with(c.summary_tail)) << log;
  }
}

TEST(DelayProxyTest, RefusesIncompleteOptions) {
  for (const auto& args :
       {std::vector<std::string>{}, std::vector<std::string>{"--target", "80"},
        std::vector<std::string>{"--delay-ms", "10"},
        std::vector<std::string>{"--target", "0", "--delay-ms", "10"},
        std::vector<std::string>{"--target", "80", "--delay-ms", "-1"},
        std::vector<std::string>{"--target", "80", "--delay-ms", "10", "-x"},
        std::vector<std::string>{"--target", "80", "--delay-ms", "0", "--cut-after", "0"},
        std::vector<std::string>{"--target", "80", "--delay-ms", "0", "--cut-every", "1k"},
        std::vector<std::string>{"--target", "80", "--delay-ms", "0", "--cut-after", "10",
                                 "--cut-every", "10"}}) {
    ProgramRun run = run_program(QUONFETCH_DELAY_PROXY, args);
    EXPECT_EQ(run.exit_status, 2) << testing::PrintToString(args);
    EXPECT_EQ(run.err.rfind("usage: delay_proxy", 0), 0u) << run.err;
  }
}

}  // namespace
