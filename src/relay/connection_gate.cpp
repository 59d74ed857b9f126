// The relay's door: accept, a look at the first bytes, and a deadline for every head.
#include "relay/connection_gate.h"

#include <algorithm>
#include <climits>

#include "relay/relay_log.h"

namespace {

// How long a refused connection is drained after its reply, so that bytes still arriving do not
// make the system reset the connection before the client has read the reply.
constexpr int64_t kLingerMs = 1000;
// The longest the gate sleeps: deadlines of connections handed on are looked at this often.
constexpr int64_t kTickMs = 100;
// Connections taken from the backlog in one turn.
constexpr int kAcceptBurst = 64;
// A TLS connection begins with a handshake record: type 22, version 3.x, two bytes of length.
constexpr unsigned char kTlsHandshake = 0x16;
constexpr size_t kTlsRecordHeader = 5;

enum class TlsStart { Partial, Complete, NotTls };

TlsStart tls_start(std::string_view bytes) {
  if (static_cast<unsigned char>(bytes[0]) != kTlsHandshake) return TlsStart::NotTls;
  if (bytes.size() >= 2 && bytes[1] != 0x03) return TlsStart::NotTls;
  if (bytes.size() < kTlsRecordHeader) return TlsStart::Partial;
  const size_t length = static_cast<size_t>(static_cast<unsigned char>(bytes[3])) << 8 |
                        static_cast<unsigned char>(bytes[4]);
  return bytes.size() >= kTlsRecordHeader + length ? TlsStart::Complete : TlsStart::Partial;
}

const char* reason_phrase(unsigned status) {
  switch (status) {
    case 413:
      return "Content Too Large";
    case 431:
      return "Request Header Fields Too Large";
    case 501:
      return "Not Implemented";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return "Bad Request";
  }
}

std::string refusal_reply(const FramingVerdict& verdict) {
  const std::string body = std::string(verdict.reason) + "\n";
  return "HTTP/1.1 " + std::to_string(verdict.status) + " " + reason_phrase(verdict.status) +
         "\r\nConnection: close\r\nContent-Type: text/plain\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace

struct ConnectionGate::Waiting {
  UniqueFd fd;
  PeerAddress peer;
  std::string client;
  int client_port = 0;
  int64_t silent_until = 0;          // the next byte must come by then
  int64_t head_until = INT64_MAX;    // the head must be whole by then, once begun
  size_t seen = 0;                   // bytes received so far (peeked, not taken)
  int64_t linger_until = INT64_MAX;  // refused: closed by then
  bool lingering = false;
  bool done = false;  // closed or handed on: to be dropped from the list
};

ConnectionGate::ConnectionGate(Env& env, GateSettings settings, Admit admit, HandOn hand_on)
    : env_(env), settings_(settings), admit_(std::move(admit)), hand_on_(std::move(hand_on)) {}

ConnectionGate::~ConnectionGate() {
  stop();
}

Status ConnectionGate::start(UniqueFd listener) {
  if (!make_wake_pipe(&wake_read_, &wake_write_))
    return Status::failure(Status::Code::SystemError, "cannot make the gate's wake-up pipe");
  listener_ = std::move(listener);
  thread_ = std::thread([this] { run(); });
  return Status();
}

void ConnectionGate::stop() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  wake_pipe(wake_write_.get());
  thread_.join();
  for (auto& waiting : waiting_)
    if (!waiting->done) close_waiting(*waiting, nullptr);
  waiting_.clear();
  listener_.reset();
}

void ConnectionGate::run() {
  while (!stopping_) {
    const int64_t now = env_.monotonic_milliseconds();
    const int64_t next = expire(now);
    std::vector<SocketWatch> watches{{wake_read_.get()}};
    for (auto& waiting : waiting_) watches.push_back({waiting->fd.get()});
    bool accepting;
    {
      MutexLock lock(mutex_);
      accepting = open_ < settings_.max_connections;
    }
    if (accepting) watches.push_back({listener_.get()});
    wait_for_readable(&watches, static_cast<int>(std::clamp(next - now, int64_t{0}, kTickMs)));
    const int64_t after = env_.monotonic_milliseconds();
    if (watches.front().ready) drain_pipe(wake_read_.get());
    for (size_t i = 0; i < waiting_.size(); ++i)
      if (watches[i + 1].ready) read_first_bytes(*waiting_[i], after);
    if (accepting && watches.back().ready) accept_new(after);
    std::erase_if(waiting_, [](const auto& waiting) { return waiting->done; });
  }
}

void ConnectionGate::accept_new(int64_t now) {
  for (int i = 0; i < kAcceptBurst; ++i) {
    auto waiting = std::make_unique<Waiting>();
    if (!accept_client(listener_.get(), &waiting->fd, &waiting->peer)) return;
    const Admission admission = admit_(waiting->peer.get());
    if (admission == Admission::Refused) continue;  // closed unanswered
    socket_address_text(waiting->peer.get(), &waiting->client, &waiting->client_port);
    {
      MutexLock lock(mutex_);
      // A descriptor handed on earlier and now given out again: that connection is gone.
      if (auto stale = handing_.find(waiting->fd.get()); stale != handing_.end()) {
        release(stale->second.client);
        handing_.erase(stale);
      }
      size_t& from_client = per_client_[waiting->client];
      // A balancer's connections carry many clients: only --max-connections bounds them.
      if (admission != Admission::SharedProxy &&
          from_client >= settings_.max_connections_per_client)
        continue;  // closed unanswered
      ++from_client;
      ++open_;
      if (open_ >= settings_.max_connections) i = kAcceptBurst;
    }
    waiting->silent_until = now + settings_.connection_timeout_ms;
    waiting_.push_back(std::move(waiting));
  }
}

void ConnectionGate::read_first_bytes(Waiting& waiting, int64_t now) {
  if (waiting.done) return;
  std::string bytes(waiting.lingering ? 1 : settings_.max_head, '\0');
  size_t count = 0;
  Received got = waiting.lingering
                     ? discard_received(waiting.fd.get(), settings_.max_head)
                     : peek_received(waiting.fd.get(), bytes.data(), bytes.size(), &count);
  if (got == Received::End) return close_waiting(waiting, nullptr);
  if (got == Received::Nothing || waiting.lingering || count <= waiting.seen) return;
  if (waiting.seen == 0) waiting.head_until = now + settings_.header_timeout_ms;
  waiting.seen = count;
  waiting.silent_until = now + settings_.connection_timeout_ms;
  if (settings_.tls) {
    // The ClientHello's record, whole, before the TLS library gets the connection: silence
    // within it is bounded here, like silence before a plain head.
    const TlsStart start = tls_start(std::string_view(bytes.data(), count));
    if (start == TlsStart::NotTls) return close_waiting(waiting, "not a TLS handshake");
    if (start == TlsStart::Complete) hand_on(waiting, waiting.head_until);
    return set_receive_low_water_unless_done(waiting, count);
  }
  HeadScan scan = scan_request_head(std::string_view(bytes.data(), count), settings_.max_head);
  if (scan.progress == HeadProgress::Refused) return refuse(waiting, scan.verdict, now);
  if (scan.progress == HeadProgress::Complete) hand_on(waiting, waiting.head_until);
  set_receive_low_water_unless_done(waiting, count);
}

void ConnectionGate::set_receive_low_water_unless_done(Waiting& waiting, size_t count) {
  // Readable again only once more bytes than these have come (or the end).
  if (!waiting.done) set_receive_low_water(waiting.fd.get(), static_cast<int>(count + 1));
}

void ConnectionGate::refuse(Waiting& waiting, const FramingVerdict& verdict, int64_t now) {
  relay_log("%s:%d refused: %u %s", waiting.client.c_str(), waiting.client_port, verdict.status,
            verdict.reason);
  set_receive_low_water(waiting.fd.get(), 1);
  // The bytes looked at are taken first: unread, they would make the close a reset.
  size_t left = waiting.seen;
  while (left > 0 && discard_received(waiting.fd.get(), left) == Received::Bytes)
    left -= std::min(left, size_t{16384});
  send_without_waiting(waiting.fd.get(), refusal_reply(verdict));
  shut_down_sending(waiting.fd.get());
  waiting.lingering = true;
  waiting.linger_until = now + kLingerMs;
}

void ConnectionGate::hand_on(Waiting& waiting, int64_t deadline) {
  set_receive_low_water(waiting.fd.get(), 1);
  const int fd = waiting.fd.release();
  {
    MutexLock lock(mutex_);
    handing_[fd] = Served{waiting.client, deadline};
  }
  waiting.done = true;
  if (hand_on_(fd, waiting.peer)) return;
  MutexLock lock(mutex_);  // refused, and closed by the HTTP server
  if (handing_.erase(fd) > 0) release(waiting.client);
}

void ConnectionGate::close_waiting(Waiting& waiting, const char* why) {
  if (why) relay_log("%s:%d closed: %s", waiting.client.c_str(), waiting.client_port, why);
  waiting.fd.reset();
  waiting.done = true;
  MutexLock lock(mutex_);
  release(waiting.client);
}

int64_t ConnectionGate::expire(int64_t now) {
  int64_t next = INT64_MAX;
  for (auto& waiting : waiting_) {
    if (waiting->lingering && now >= waiting->linger_until) {
      close_waiting(*waiting, nullptr);
    } else if (!waiting->lingering && now >= waiting->silent_until) {
      close_waiting(*waiting, waiting->seen == 0 ? "nothing sent" : "silent within its head");
    } else if (!waiting->lingering && now >= waiting->head_until) {
      close_waiting(*waiting, "request head not complete in time");
    }
    if (!waiting->done)
      next = std::min({next, waiting->silent_until, waiting->head_until, waiting->linger_until});
  }
  MutexLock lock(mutex_);
  for (auto& [fd, served] : served_) {
    if (served.deadline == 0 || now < served.deadline) continue;
    relay_log("%s closed: request head not complete in time", served.client.c_str());
    shut_down_both(fd);  // the HTTP server sees the end and closes it
    served.deadline = 0;
  }
  return next;
}

void ConnectionGate::release(const std::string& client) {
  --open_;
  auto found = per_client_.find(client);
  if (found != per_client_.end() && --found->second == 0) per_client_.erase(found);
  // The listener may be watched again.
  if (wake_write_.valid()) wake_pipe(wake_write_.get());
}

void ConnectionGate::connection_started(int fd) {
  MutexLock lock(mutex_);
  auto found = handing_.find(fd);
  if (found == handing_.end()) return;
  served_[fd] = std::move(found->second);
  handing_.erase(found);
}

void ConnectionGate::request_began(int fd) {
  MutexLock lock(mutex_);
  if (auto found = served_.find(fd); found != served_.end()) found->second.deadline = 0;
}

void ConnectionGate::request_ended(int fd) {
  const int64_t deadline =
      env_.monotonic_milliseconds() + settings_.connection_timeout_ms + settings_.header_timeout_ms;
  MutexLock lock(mutex_);
  if (auto found = served_.find(fd); found != served_.end()) found->second.deadline = deadline;
}

void ConnectionGate::connection_closed(int fd) {
  MutexLock lock(mutex_);
  auto found = served_.find(fd);
  if (found == served_.end()) return;
  release(found->second.client);
  served_.erase(found);
}
