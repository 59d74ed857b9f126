// A raw TCP connection to the relay on 127.0.0.1.
#include "raw_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

RawConnection::RawConnection(int port, int timeout_ms, const std::string& from)
    : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  if (!from.empty()) {
    sockaddr_in source{};
    source.sin_family = AF_INET;
    // Only a loopback source: a test's traffic stays on this machine.
    if (inet_pton(AF_INET, from.c_str(), &source.sin_addr) != 1 ||
        (ntohl(source.sin_addr.s_addr) >> 24) != 127 ||
        bind(fd_, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0)
      return;  // not connected
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

RawConnection::~RawConnection() {
  close(fd_);
}

bool RawConnection::send_bytes(const std::string& bytes) {
  return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

bool RawConnection::receive_more() {
  if (ended_) return false;
  char buffer[65536];
  const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
  if (got > 0) {
    pending_.append(buffer, static_cast<size_t>(got));
    return true;
  }
  // A timeout leaves the connection open; an end or a reset closes it.
  if (got == 0 || errno == ECONNRESET) ended_ = true;
  return false;
}

std::string RawConnection::read_all_until(const std::string& text) {
  while (pending_.find(text) == std::string::npos && receive_more()) {
  }
  // The reply's last line follows its status token.
  while (!pending_.ends_with("\n") && receive_more()) {
  }
  return std::exchange(pending_, std::string());
}

std::string RawConnection::read_all() {
  while (receive_more()) {
  }
  return std::exchange(pending_, std::string());
}

std::optional<RawReply> RawConnection::read_reply() {
  size_t end;
  while ((end = pending_.find("\r\n\r\n")) == std::string::npos)
    if (!receive_more()) return std::nullopt;
  RawReply reply;
  reply.head = pending_.substr(0, end + 2);
  if (!reply.head.starts_with("HTTP/1.")) return std::nullopt;
  reply.status = std::atoi(reply.head.c_str() + 9);
  size_t length = 0;
  for (const char* name : {"\r\nContent-Length: ", "\r\ncontent-length: "})
    if (size_t at = reply.head.find(name); at != std::string::npos)
      length = std::strtoul(reply.head.c_str() + at + 18, nullptr, 10);
  while (pending_.size() < end + 4 + length)
    if (!receive_more()) return std::nullopt;
  reply.body = pending_.substr(end + 4, length);
  pending_.erase(0, end + 4 + length);
  return reply;
}

bool RawConnection::closed_by_peer(std::string* extra) {
  while (receive_more()) {
  }
  extra->append(std::exchange(pending_, std::string()));
  return ended_;
}

bool RawConnection::peer_has_closed() {
  char buffer[4096];
  ssize_t got;
  while (!ended_ && (got = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) != -1) {
    if (got == 0) ended_ = true;
  }
  if (!ended_ && errno == ECONNRESET) ended_ = true;
  return ended_;
}
