// The download request: announcing one record to the relay and filing it by the relay's answer.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "run/download.h"

/// The two-line request body for `download`, with its origin URL percent-encoded. Ends the run
/// when the URL cannot be encoded.
std::string build_request_body(const Download& download);

/// Announces `download` to the relay at `url` and files it on the available or in-process
/// queue by the answered status (or on neither). Returns the URL the next request must use.
std::optional<std::string> send_download_request(const std::optional<std::string>& url,
                                                 Download* download);

/// Reads the status token out of a relay reply: the reply must begin with "0\n" and hold
/// "aid=" and "status=" somewhere; the token is the run of letters, digits and '_' after the
/// first "status=". Stores up to `token_size` - 1 bytes of it and a NUL in `token` and returns
/// 1; returns 0, leaving `token` untouched, when the reply holds no token.
int parse_status(const char* reply, char* token, size_t token_size);
