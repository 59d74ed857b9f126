// The sockets of a server: the listening socket, bound before the HTTP server starts so that a
// port in use is reported at once and plainly, and the addresses of its peers. POSIX systems
// only: the relay is the one program that listens.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

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

/// A peer's socket address as accept() gives it.
struct PeerAddress {
  alignas(8) unsigned char bytes[128] = {};
  unsigned length = 0;
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(bytes); }
};

/// Takes one connection waiting on the non-blocking `listener`, itself non-blocking and closed on
/// exec. False when none waits (or the system refuses one: it is then dropped).
bool accept_client(int listener, UniqueFd* client, PeerAddress* peer);

/// What a look at a socket's received bytes found.
enum class Received { Bytes, Nothing, End };

/// Copies up to `size` received bytes into `buffer` without taking them, and sets `count`:
/// Nothing while none has arrived, End once the peer has closed or reset the connection.
Received peek_received(int fd, char* buffer, size_t size, size_t* count);
/// Takes up to `size` received bytes and drops them; as peek_received() otherwise.
Received discard_received(int fd, size_t size);
/// Sends what the socket takes now, without waiting; the rest is dropped.
void send_without_waiting(int fd, std::string_view bytes);
/// Ends sending (the peer reads an end after the bytes sent), or both ways.
void shut_down_sending(int fd);
void shut_down_both(int fd);
/// Makes the socket count as readable only once `bytes` bytes wait in it (its end too).
void set_receive_low_water(int fd, int bytes);

/// One socket to wait on, and whether it was ready.
struct SocketWatch {
  int fd = -1;
  bool ready = false;  ///< set by wait_for_readable(): bytes, a connection or an end wait
};
/// Waits up to `timeout_ms` for one of `watches` to be readable; sets their `ready`.
void wait_for_readable(std::vector<SocketWatch>* watches, int timeout_ms);

/// A pipe whose read end wakes wait_for_readable() once wake_pipe() writes to its write end.
bool make_wake_pipe(UniqueFd* read_end, UniqueFd* write_end);
void wake_pipe(int write_end);
void drain_pipe(int read_end);
