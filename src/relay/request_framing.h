// The rules a request's head keeps before the relay does any work for it: one way to tell where
// its body ends, one Host, and names and values that every reader splits the same way. Pure:
// the connection gate applies them to the bytes of a connection's first head, the request
// handler to the fields libmicrohttpd parsed from any later head.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

/// A refusal: the status to answer and why (for the log). Status 0 refuses nothing.
struct FramingVerdict {
  unsigned status = 0;
  const char* reason = "";
  bool refused() const { return status != 0; }
};

/// A header field: its name and its value, as received.
using HeaderField = std::pair<std::string_view, std::string_view>;

/// True when the field names `a` and `b` are the same, letters compared without case.
bool equals_caseless(std::string_view a, std::string_view b);

/// The rules over a head's fields (RFC 9112 §6, §3.2): names are tokens; values hold no NUL, CR
/// or LF; at most one Content-Length, of digits; no Content-Length beside a Transfer-Encoding;
/// the only transfer coding is a single `chunked` (501 otherwise); one Host, required in
/// HTTP/1.1.
FramingVerdict check_header_fields(const std::vector<HeaderField>& fields, bool http_1_1);

/// True when the target as received (before percent-decoding) holds a NUL, raw or as "%00".
bool target_has_nul(std::string_view raw_target);

/// How far the bytes at the start of a connection go toward a request head.
enum class HeadProgress { Incomplete, Complete, Refused };

struct HeadScan {
  HeadProgress progress = HeadProgress::Incomplete;
  size_t length = 0;       ///< Complete: the head's bytes, its empty line included
  FramingVerdict verdict;  ///< Refused: the answer
};

/// Reads `received`, the first bytes of a connection, as the start of an HTTP/1.x request head:
/// Refused as soon as a byte shows it is not one (a method of anything but token characters, a
/// NUL, a CR without LF, a folded or malformed field line, a target with controls or spaces, or
/// what check_header_fields() refuses); Complete once its empty line is in and every rule holds;
/// otherwise Incomplete. A head still incomplete at `max_head` bytes is Refused with 431.
HeadScan scan_request_head(std::string_view received, size_t max_head);
