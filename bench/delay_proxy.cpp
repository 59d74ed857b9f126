// A TCP forwarder on 127.0.0.1 that holds every chunk for a set delay in each direction, so that
// benchmarks on one machine pay a network's round trips.
//
//   delay_proxy --target PORT --delay-ms MS [--port PORT] [--log FILE]
//               [--cut-after BYTES | --cut-every BYTES]
//
// Listens on 127.0.0.1:PORT (default 0: a free port) and prints "Listening on 127.0.0.1:PORT" as
// its first line. Every connection is forwarded to 127.0.0.1 at the target port; a chunk read
// from either side leaves for the other side MS milliseconds later, in order, so that a delay of
// 10 ms is a round trip of 20 ms. A new connection also costs one round trip before the client's
// first byte moves, as the TCP handshake would on a network. Logs "connection N opened" for each
// connection and, on SIGTERM or SIGINT, a summary of connections and bytes, to FILE (appended)
// or to standard output.
//
// --cut-after BYTES cuts the first connection that carries BYTES bytes towards the client, and
// only that one; --cut-every BYTES cuts every connection that does. A cut connection is reset
// on both sides (SO_LINGER 0) once the client has taken in exactly BYTES bytes, and logged as
// "cut connection N after BYTES bytes to the client".
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "delay_queue.h"

namespace {

constexpr size_t kReadBlock = 256 * 1024;
// Reading from a side stops while this much waits to leave in its direction.
constexpr size_t kMaxHeld = 64 << 20;
constexpr uint64_t kNoCut = std::numeric_limits<uint64_t>::max();
constexpr long kMaxCut = 1L << 50;
// How often a connection being cut looks whether the client has taken in its last bytes.
constexpr auto kCutPoll = std::chrono::milliseconds(1);

volatile sig_atomic_t stop_requested = 0;
void on_stop(int) {
  stop_requested = 1;
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

struct Options {
  int target_port = 0;
  int listen_port = 0;
  long delay_ms = -1;
  std::string log_path;
  uint64_t cut_after = kNoCut;  // the first connection that carries this many bytes is cut
  uint64_t cut_every = kNoCut;  // every connection that does is cut
};

struct Direction {
  DelayQueue queue;
  bool read_done = false;   // the source has sent its end
  bool write_done = false;  // that end has been passed on
};

struct Link {
  uint64_t number = 0;
  Fd client;
  Fd target;
  Direction up;    // client to target
  Direction down;  // target to client
  DelayClock::time_point handshake_done;
  uint64_t to_client = 0;  // bytes the client's socket accepted
  bool cutting = false;    // its last bytes are on their way; nothing more moves either way
  bool failed = false;
  bool done() const { return failed || (up.write_done && down.write_done); }
};

struct Totals {
  uint64_t connections = 0;
  uint64_t bytes_up = 0;
  uint64_t bytes_down = 0;
  uint64_t bytes_to_client = 0;
  uint64_t cuts = 0;
};

bool parse_number(const char* text, long low, long high, long* value) {
  char* end = nullptr;
  errno = 0;
  const long number = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || number < low || number > high) return false;
  *value = number;
  return true;
}

bool parse_options(int argc, char** argv, Options* options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    long value = 0;
    if (name == "--log") {
      options->log_path = argv[i + 1];
    } else if (name == "--target" && parse_number(argv[i + 1], 1, 65535, &value)) {
      options->target_port = static_cast<int>(value);
    } else if (name == "--port" && parse_number(argv[i + 1], 0, 65535, &value)) {
      options->listen_port = static_cast<int>(value);
    } else if (name == "--delay-ms" && parse_number(argv[i + 1], 0, 60000, &value)) {
      options->delay_ms = value;
    } else if (name == "--cut-after" && parse_number(argv[i + 1], 1, kMaxCut, &value)) {
      options->cut_after = static_cast<uint64_t>(value);
    } else if (name == "--cut-every" && parse_number(argv[i + 1], 1, kMaxCut, &value)) {
      options->cut_every = static_cast<uint64_t>(value);
    } else {
      return false;
    }
  }
  const bool one_cut = options->cut_after == kNoCut || options->cut_every == kNoCut;
  return argc % 2 == 1 && options->target_port != 0 && options->delay_ms >= 0 && one_cut;
}

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// Returns the listening socket and sets *port to the port it got; an invalid Fd on failure.
Fd listen_on_loopback(int wanted_port, int* port) {
  Fd listener(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (listener.get() < 0) return Fd();
  const int on = 1;
  setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address = loopback(wanted_port);
  socklen_t length = sizeof address;
  if (bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener.get(), 128) != 0 ||
      getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return Fd();
  *port = ntohs(address.sin_port);
  return listener;
}

// Both sockets send each chunk at once: the delay is ours to add, not Nagle's.
void no_delay(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Connects to the target on loopback, which completes at once, then makes the socket
// non-blocking. An invalid Fd when the target refuses.
Fd connect_to_target(int port) {
  Fd target(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (target.get() < 0) return Fd();
  sockaddr_in address = loopback(port);
  if (connect(target.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    return Fd();
  const int flags = fcntl(target.get(), F_GETFL);
  if (flags < 0 || fcntl(target.get(), F_SETFL, flags | O_NONBLOCK) != 0) return Fd();
  no_delay(target.get());
  return target;
}

class Proxy {
 public:
  Proxy(const Options& options, Fd listener, FILE* log)
      : options_(options),
        delay_(std::chrono::milliseconds(options.delay_ms)),
        listener_(std::move(listener)),
        log_(log) {}

  /// Forwards until SIGTERM or SIGINT arrives (they must be blocked outside ppoll()).
  void run(const sigset_t& wait_mask) {
    std::vector<pollfd> fds;
    while (!stop_requested) {
      DelayClock::time_point now = DelayClock::now();
      pass_on_due(now);
      fds.clear();
      fds.push_back(pollfd{listener_.get(), POLLIN, 0});
      for (const Link& link : links_) {
        if (link.cutting) {
          // Nothing more is read or sent on a connection being cut.
          fds.push_back(pollfd{-1, 0, 0});
          fds.push_back(pollfd{-1, 0, 0});
          continue;
        }
        fds.push_back(watch(link.client.get(), link.up, link.down, now));
        fds.push_back(watch(link.target.get(), link.down, link.up, now));
      }
      const auto wake = next_wake(now);
      timespec timeout{};
      if (wake) {
        const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(*wake - now);
        timeout.tv_sec = static_cast<time_t>(wait.count() / 1000000000);
        timeout.tv_nsec = static_cast<long>(wait.count() % 1000000000);
      }
      if (ppoll(fds.data(), fds.size(), wake ? &timeout : nullptr, &wait_mask) < 0) continue;
      now = DelayClock::now();
      // Links accepted now have no entry in fds: take in first.
      take_in_ready(fds, now);
      if (fds[0].revents & POLLIN) accept_all(now);
    }
  }

  void summary() const {
    std::fprintf(log_,
                 "connections opened: %" PRIu64 ", bytes to the target: %" PRIu64
                 ", bytes from the target: %" PRIu64 ", bytes to the client: %" PRIu64
                 ", connections cut: %" PRIu64 "\n",
                 totals_.connections, totals_.bytes_up, totals_.bytes_down, totals_.bytes_to_client,
                 totals_.cuts);
    std::fflush(log_);
  }

 private:
  // What to wait for on `fd`: bytes to read while its direction has room, room to write while
  // bytes bound for it are due. A socket with nothing to wait for is left out, so that its
  // hang-up does not wake the loop again and again.
  static pollfd watch(int fd, const Direction& from, const Direction& to,
                      DelayClock::time_point now) {
    short events = 0;
    if (!from.read_done && from.queue.held() < kMaxHeld) events |= POLLIN;
    if (!to.queue.ready(now).empty()) events |= POLLOUT;
    return pollfd{events ? fd : -1, events, 0};
  }

  // The earliest time a held chunk or end becomes due, if any is not due yet.
  std::optional<DelayClock::time_point> next_wake(DelayClock::time_point now) const {
    std::optional<DelayClock::time_point> wake;
    for (const Link& link : links_) {
      if (link.cutting) {
        // No event tells when the client has taken in the last bytes: look again soon.
        wake = wake ? std::min(*wake, now + kCutPoll) : now + kCutPoll;
        continue;
      }
      for (const Direction* direction : {&link.up, &link.down}) {
        const auto due = direction->queue.next_due();
        if (due && *due > now && (!wake || *due < *wake)) wake = due;
      }
    }
    return wake;
  }

  void accept_all(DelayClock::time_point now) {
    for (;;) {
      Fd client(accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
      if (client.get() < 0) return;
      Fd target = connect_to_target(options_.target_port);
      ++totals_.connections;
      std::fprintf(log_, "connection %" PRIu64 " opened%s\n", totals_.connections,
                   target.get() < 0 ? "; the target refused it" : "");
      std::fflush(log_);
      if (target.get() < 0) continue;
      no_delay(client.get());
      Link& link = links_.emplace_back();
      link.number = totals_.connections;
      link.client = std::move(client);
      link.target = std::move(target);
      link.handshake_done = now + 2 * delay_;
    }
  }

  void take_in_ready(const std::vector<pollfd>& fds, DelayClock::time_point now) {
    size_t index = 1;
    for (Link& link : links_) {
      const pollfd& client = fds[index++];
      const pollfd& target = fds[index++];
      // The client's bytes wait, besides the delay, for the handshake's round trip.
      if (client.events & POLLIN && client.revents & (POLLIN | POLLHUP | POLLERR))
        take_in(link, link.client.get(), link.up, std::max(now, link.handshake_done) + delay_,
                totals_.bytes_up);
      if (target.events & POLLIN && target.revents & (POLLIN | POLLHUP | POLLERR))
        take_in(link, link.target.get(), link.down, now + delay_, totals_.bytes_down);
    }
  }

  static void take_in(Link& link, int from, Direction& direction, DelayClock::time_point due,
                      uint64_t& total) {
    static char buffer[kReadBlock];
    const ssize_t count = recv(from, buffer, sizeof buffer, 0);
    if (count > 0) {
      direction.queue.push(std::string_view(buffer, static_cast<size_t>(count)), due);
      total += static_cast<uint64_t>(count);
    } else if (count == 0) {
      direction.queue.push_end(due);
      direction.read_done = true;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      link.failed = true;
    }
  }

  // Sends what is due on every link, up to a link's cut, and closes the links that are finished,
  // broken or cut.
  void pass_on_due(DelayClock::time_point now) {
    for (Link& link : links_) {
      if (link.cutting) {
        if (unsent(link.client.get()) == 0) cut(link);
        continue;
      }
      const uint64_t limit = cut_limit();
      uint64_t to_target = 0;
      const uint64_t before = link.to_client;
      if (!pass_on(link.target.get(), link.up, now, kNoCut, &to_target) ||
          !pass_on(link.client.get(), link.down, now, limit - link.to_client, &link.to_client))
        link.failed = true;
      totals_.bytes_to_client += link.to_client - before;
      if (link.to_client == limit && !link.failed) start_cut(link);
    }
    links_.remove_if([](const Link& link) { return link.done(); });
  }

  // The bytes towards the client after which a connection is cut now: kNoCut once the one cut
  // of --cut-after was made.
  uint64_t cut_limit() const {
    if (options_.cut_every != kNoCut) return options_.cut_every;
    return cut_after_made_ ? kNoCut : options_.cut_after;
  }

  // The link carried its share: it moves nothing more, and is reset once the client has them.
  void start_cut(Link& link) {
    link.cutting = true;
    if (options_.cut_every == kNoCut) cut_after_made_ = true;
    if (unsent(link.client.get()) == 0) cut(link);
  }

  // Resets both sockets: SO_LINGER with a zero time makes close() send a reset.
  void cut(Link& link) {
    const linger reset_on_close{1, 0};
    for (Fd* side : {&link.client, &link.target}) {
      // A refusal leaves an orderly close, which still ends the connection.
      setsockopt(side->get(), SOL_SOCKET, SO_LINGER, &reset_on_close, sizeof reset_on_close);
      *side = Fd();  // the swapped-out descriptor closes here
    }
    link.failed = true;
    ++totals_.cuts;
    std::fprintf(log_, "cut connection %" PRIu64 " after %" PRIu64 " bytes to the client\n",
                 link.number, link.to_client);
    std::fflush(log_);
  }

  // Bytes sent on `fd` that its peer has not acknowledged; 0 when that cannot be told.
  static int unsent(int fd) {
    int count = 0;
    return ioctl(fd, SIOCOUTQ, &count) == 0 ? count : 0;
  }

  // Sends what is due, at most `room` bytes, adding what it sent to *sent. False when the socket
  // failed.
  static bool pass_on(int to, Direction& direction, DelayClock::time_point now, uint64_t room,
                      uint64_t* sent_in_all) {
    for (std::string_view bytes; room > 0 && !(bytes = direction.queue.ready(now)).empty();) {
      const size_t wanted = static_cast<size_t>(std::min<uint64_t>(bytes.size(), room));
      const ssize_t sent = send(to, bytes.data(), wanted, MSG_NOSIGNAL);
      if (sent < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
      direction.queue.consume(static_cast<size_t>(sent));
      room -= static_cast<uint64_t>(sent);
      *sent_in_all += static_cast<uint64_t>(sent);
    }
    if (!direction.write_done && direction.queue.end_ready(now)) {
      // Failure here means the peer is gone, which the next send or read reports.
      shutdown(to, SHUT_WR);
      direction.write_done = true;
    }
    return true;
  }

  Options options_;
  DelayClock::duration delay_;
  Fd listener_;
  FILE* log_;
  std::list<Link> links_;
  Totals totals_;
  bool cut_after_made_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse_options(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: delay_proxy --target PORT --delay-ms MS [--port PORT] [--log FILE]\n"
                 "                   [--cut-after BYTES | --cut-every BYTES]\n");
    return 2;
  }
  FILE* log = stdout;
  if (!options.log_path.empty() && !(log = std::fopen(options.log_path.c_str(), "a"))) {
    std::fprintf(stderr, "delay_proxy: cannot open %s: %s\n", options.log_path.c_str(),
                 std::strerror(errno));
    return 1;
  }
  int port = 0;
  Fd listener = listen_on_loopback(options.listen_port, &port);
  if (listener.get() < 0) {
    std::fprintf(stderr, "delay_proxy: cannot listen: %s\n", std::strerror(errno));
    return 1;
  }
  // The stop signals are blocked except inside ppoll(), so that one arriving between the
  // loop's check and the wait still ends the wait.
  sigset_t stop_signals, wait_mask;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigprocmask(SIG_BLOCK, &stop_signals, &wait_mask);
  struct sigaction action {};
  action.sa_handler = on_stop;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::printf("Listening on 127.0.0.1:%d\n", port);
  std::fflush(stdout);
  Proxy proxy(options, std::move(listener), log);
  proxy.run(wait_mask);
  proxy.summary();
  if (log != stdout) std::fclose(log);
  return 0;
}
