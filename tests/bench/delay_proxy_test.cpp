// The benchmarks' delay proxy as a process: it forwards both ways and passes each end on, logs
// every connection, and sums them up when stopped.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

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

// The proxy as a child, its standard output on a pipe, stopped with SIGTERM at the end.
class ProxyProcess {
 public:
  ProxyProcess(int target_port, const std::string& log) {
    int out[2];
    if (pipe(out) != 0) return;
    const std::string target = std::to_string(target_port);
    const char* argv[] = {QUONFETCH_DELAY_PROXY, "--target", target.c_str(),
                          "--delay-ms",          "2",        "--log",
                          log.c_str(),           nullptr};
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      execv(argv[0], const_cast<char**>(argv));
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
  Socket target(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(target.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(target.get(), 4), 0);
  ASSERT_EQ(getsockname(target.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);

  ProxyProcess proxy(ntohs(address.sin_port), dir.file("proxy.log"));
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
            "connections opened: 2, bytes to the target: 7, bytes from the target: 5\n");
}

TEST(DelayProxyTest, RefusesIncompleteOptions) {
  for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"--target", "80"},
                           std::vector<std::string>{"--delay-ms", "10"},
                           std::vector<std::string>{"--target", "0", "--delay-ms", "10"},
                           std::vector<std::string>{"--target", "80", "--delay-ms", "-1"},
                           std::vector<std::string>{"--target", "80", "--delay-ms", "10", "-x"}}) {
    ProgramRun run = run_program(QUONFETCH_DELAY_PROXY, args);
    EXPECT_EQ(run.exit_status, 2) << testing::PrintToString(args);
    EXPECT_EQ(run.err.rfind("usage: delay_proxy", 0), 0u) << run.err;
  }
}

}  // namespace
