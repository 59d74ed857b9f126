// The sockets of a server on POSIX systems.
#include "platform/listen_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <utility>

#include "platform/status.h"

Status listen_on(const std::string& address, int port, int backlog, UniqueFd* listener,
                 int* bound_port) {
  const std::string where = "port " + std::to_string(port) + " on " + address;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* found = nullptr;
  if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) {
    return Status::failure(Status::Code::Refused,
                           "cannot listen on " + address + ": not a numeric IPv4 or IPv6 address");
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> owner(found, freeaddrinfo);
  UniqueFd socket_fd(socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, 0));
  if (socket_fd.get() < 0) return Status::system_error("cannot listen on " + where, errno);
  // Lets a restarted relay bind while connections of the last one linger in TIME_WAIT; a
  // port another program listens on is still refused.
  int on = 1;
  setsockopt(socket_fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(socket_fd.get(), found->ai_addr, found->ai_addrlen) != 0) {
    const int error_number = errno;
    if (error_number == EADDRINUSE) {
      return Status::failure(Status::Code::SystemError, where + " is already in use", error_number);
    }
    return Status::system_error("cannot listen on " + where, error_number);
  }
  if (listen(socket_fd.get(), backlog) != 0) {
    return Status::system_error("cannot listen on " + where, errno);
  }
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  getsockname(socket_fd.get(), reinterpret_cast<sockaddr*>(&bound), &length);
  *bound_port =
      ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                        : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  *listener = std::move(socket_fd);
  return Status();
}

bool set_non_blocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

int open_socket(int family, int type, int protocol) {
  return socket(family, type | SOCK_CLOEXEC, protocol);
}

void socket_address_text(const sockaddr* address, std::string* ip, int* port) {
  char text[INET6_ADDRSTRLEN] = "?";
  *port = 0;
  if (address && address->sa_family == AF_INET) {
    auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    *port = ntohs(v4->sin_port);
  } else if (address && address->sa_family == AF_INET6) {
    auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    *port = ntohs(v6->sin6_port);
  }
  *ip = text;
}

bool accept_client(int listener, UniqueFd* client, PeerAddress* peer) {
  socklen_t length = sizeof peer->bytes;
  const int fd = accept4(listener, reinterpret_cast<sockaddr*>(peer->bytes), &length,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return false;
  peer->length = length;
  client->reset(fd);
  return true;
}

namespace {

Received outcome(ssize_t got, size_t* count) {
  if (got > 0) {
    if (count) *count = static_cast<size_t>(got);
    return Received::Bytes;
  }
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
    return Received::Nothing;
  return Received::End;
}

}  // namespace

Received peek_received(int fd, char* buffer, size_t size, size_t* count) {
  return outcome(recv(fd, buffer, size, MSG_PEEK | MSG_DONTWAIT), count);
}

Received discard_received(int fd, size_t size) {
  char buffer[16384];
  return outcome(recv(fd, buffer, std::min(size, sizeof buffer), MSG_DONTWAIT), nullptr);
}

void send_without_waiting(int fd, std::string_view bytes) {
  // What does not fit now is dropped: the reply is a refusal, and the connection ends anyway.
  (void)send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

void shut_down_sending(int fd) {
  shutdown(fd, SHUT_WR);
}

void shut_down_both(int fd) {
  shutdown(fd, SHUT_RDWR);
}

void set_receive_low_water(int fd, int bytes) {
  setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes);
}

void wait_for_readable(std::vector<SocketWatch>* watches, int timeout_ms) {
  std::vector<pollfd> polls(watches->size());
  for (size_t i = 0; i < polls.size(); ++i) polls[i] = pollfd{(*watches)[i].fd, POLLIN, 0};
  if (poll(polls.data(), polls.size(), timeout_ms) <= 0) return;
  for (size_t i = 0; i < polls.size(); ++i)
    (*watches)[i].ready = (polls[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

bool make_wake_pipe(UniqueFd* read_end, UniqueFd* write_end) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  read_end->reset(ends[0]);
  write_end->reset(ends[1]);
  return true;
}

void wake_pipe(int write_end) {
  const char byte = 1;
  // A full pipe already wakes the reader.
  (void)write(write_end, &byte, 1);
}

void drain_pipe(int read_end) {
  char buffer[64];
  while (read(read_end, buffer, sizeof buffer) > 0) {
  }
}
