// The relay's listening socket, bound before the HTTP server starts so that a port in use is
// reported at once and plainly.
#include "relay/listen_socket.h"

#include "relay/relay_log.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

UniqueFd listen_on(const std::string& address, int port, int backlog, int* bound_port,
                   std::string* err) {
  const std::string where = "port " + std::to_string(port) + " on " + address;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* found = nullptr;
  if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) {
    *err = "cannot listen on " + address + ": not a numeric IPv4 or IPv6 address";
    return UniqueFd();
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> owner(found, freeaddrinfo);
  UniqueFd socket_fd(socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, 0));
  if (socket_fd.get() < 0) {
    *err = "cannot listen on " + where + ": " + system_error_text(errno);
    return UniqueFd();
  }
  // Lets a restarted relay bind while connections of the last one linger in TIME_WAIT; a
  // port another program listens on is still refused.
  int on = 1;
  setsockopt(socket_fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(socket_fd.get(), found->ai_addr, found->ai_addrlen) != 0) {
    const int error_number = errno;
    *err = error_number == EADDRINUSE ? where + " is already in use"
                                      : "cannot listen on " + where + ": " +
                                            system_error_text(error_number);
    return UniqueFd();
  }
  if (listen(socket_fd.get(), backlog) != 0) {
    *err = "cannot listen on " + where + ": " + system_error_text(errno);
    return UniqueFd();
  }
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  getsockname(socket_fd.get(), reinterpret_cast<sockaddr*>(&bound), &length);
  *bound_port = ntohs(bound.ss_family == AF_INET6
                          ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                          : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  return socket_fd;
}
