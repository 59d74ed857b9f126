// A raw TCP connection to the relay on 127.0.0.1, for tests that send bytes no HTTP client would:
// what comes back is read reply by reply, and whether the relay closed the connection is seen.
#pragma once

#include <optional>
#include <string>

/// One HTTP reply as it arrived.
struct RawReply {
  int status = 0;
  std::string head;  ///< status line and header fields, up to the empty line
  std::string body;  ///< Content-Length bytes of body
};

/// A TCP connection to 127.0.0.1:port, closed when it goes.
class RawConnection {
 public:
  /// Reads give up after `timeout_ms` of silence. `from`, a loopback IPv4 address, is the
  /// connection's source (the relay tells clients apart by theirs); empty: the system's choice.
  explicit RawConnection(int port, int timeout_ms = 10000, const std::string& from = "");
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool connected() const { return connected_; }
  /// Sends `bytes`; false once the peer has closed.
  bool send_bytes(const std::string& bytes);
  /// What arrives until it holds `text` and ends with a line feed (or the peer closes, or
  /// silence).
  std::string read_all_until(const std::string& text);
  /// Everything until the peer closes (or silence).
  std::string read_all();
  /// The next reply; nothing when the peer closes or falls silent before a whole one came.
  std::optional<RawReply> read_reply();
  /// True when the peer closes (or resets) the connection before a silence of the timeout; the
  /// bytes that came before the end are appended to `extra`.
  bool closed_by_peer(std::string* extra);
  /// Takes what has arrived without waiting; true once the peer has closed or reset.
  bool peer_has_closed();
  int fd() const { return fd_; }

 private:
  // Reads more into pending_; false at the end or on silence.
  bool receive_more();

  int fd_;
  bool connected_ = false;
  bool ended_ = false;  // the peer closed or reset
  std::string pending_;
};
