// The relay's log: one line per event on standard output, flushed at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/status.h"  // system_error_text, for the lines that carry a system error

#define RELAY_PRINTF(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))

/// Writes an RFC 3339 UTC timestamp, a space, the formatted text and a line feed to standard
/// output as one line, then flushes, so that a reader on a pipe sees every line as it happens.
/// The password of every URL in the text is shown as "***" (hide_passwords). Safe to call from
/// any thread.
void relay_log(const char* format, ...) RELAY_PRINTF(1, 2);

/// `text` fit for a log line: every URL's password shown as "***", then bytes below 0x20, 0x7f
/// and above, and '\' written as \xHH (a line feed as \n), cut to `max_length` bytes with "..."
/// after. Client bytes go through it.
std::string log_escape(std::string_view text, size_t max_length);

/// An RFC 3339 UTC timestamp with milliseconds, "2026-01-31T23:59:59.123Z", of `unix_millis`.
std::string rfc3339_utc(int64_t unix_millis);
