// The sockets of a server: the listening socket, bound before the HTTP server starts so that a
// port in use is reported at once and plainly, and the addresses of its peers. POSIX systems
// only: the relay is the one program that listens.
#pragma once

#include <string>

#include "platform/status.h"
#include "platform/unique_fd.h"

struct sockaddr;

/// Binds a TCP socket to `address` (numeric IPv4 or IPv6) and `port` (0: any free port) and
/// listens with `backlog`. On success sets `listener` to the socket and `bound_port`; otherwise
/// returns the failure with a one-line reason ("port 80 on 0.0.0.0 is already in use").
Status listen_on(const std::string& address, int port, int backlog, UniqueFd* listener,
                 int* bound_port);

/// Makes reads and writes on `fd` return at once instead of waiting. False when it cannot.
bool set_non_blocking(int fd);

/// A new socket, closed on exec; -1 with errno set when it cannot be made.
int open_socket(int family, int type, int protocol);

/// The numeric address ("?" for another family) and the port (0 then) of an IPv4 or IPv6 socket
/// address.
void socket_address_text(const sockaddr* address, std::string* ip, int* port);
