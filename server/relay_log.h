// The relay's log: one line per event on standard output, flushed at once.
#pragma once

#define RELAY_PRINTF(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))

/// Writes the formatted text and a line feed to standard output as one line, then flushes, so
/// that a reader on a pipe sees every line as it happens. Safe to call from any thread.
void relay_log(const char* format, ...) RELAY_PRINTF(1, 2);
