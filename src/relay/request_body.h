// The download request as it travels: the two-line body a client posts and the reply line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/relay_status.h"
#include "platform/status.h"

/// The fields of one download request, as sent (the url percent-decoded).
struct DownloadAsk {
  std::string sha1;
  std::string size;
  std::string url;
  std::optional<std::string> sha256;  ///< absent when the body had none or an empty one
};

/// Reads a body of the form "0\n" + "key=value,..." + "\n" (the last line feed may be missing).
/// The keys sha1, size and url are required; aid, index, sha256 and unknown keys are optional;
/// no key may appear twice. Anything else is refused with a one-line reason, the one the relay
/// sends back.
Status parse_request_body(std::string_view body, DownloadAsk* ask);

/// Decodes %XX escapes; returns nothing when a '%' is not followed by two hex digits.
std::optional<std::string> percent_decode(std::string_view text);

/// Escapes every byte but ASCII letters, digits, '-', '.', '_' and '~' as %XX (upper case).
std::string percent_encode(std::string_view text);

/// Why `ask` cannot be served although it is well formed (a sha1 that is not 40 hex digits, a
/// sha256 that is not 64, a scheme other than http, https or, when `allow_file` is set, file);
/// empty when it can.
std::string unusable_reason(const DownloadAsk& ask, bool allow_file);

/// The size to check a fetched file against: the size field when it is a decimal number that
/// fits in 64 bits, otherwise none (the relay then checks the digests only).
std::optional<uint64_t> numeric_size(std::string_view size);

/// The reply body: "0\naid=0,status=TOKEN\n" with the token of `status`, and ",reason=TEXT"
/// (TEXT percent-encoded) after the token when `reason` is not empty.
std::string format_status_reply(RelayStatus status, std::string_view reason = {});
