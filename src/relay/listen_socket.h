// The relay's listening socket, bound before the HTTP server starts so that a port in use is
// reported at once and plainly.
#pragma once

#include <string>

#include "relay/store.h"

/// Binds a TCP socket to `address` (numeric IPv4 or IPv6) and `port` (0: any free port) and
/// listens with `backlog`. On success returns the socket and sets `bound_port`; otherwise an
/// invalid UniqueFd and a one-line reason in `err` ("port 80 on 0.0.0.0 is already in use").
UniqueFd listen_on(const std::string& address, int port, int backlog, int* bound_port,
                   std::string* err);
