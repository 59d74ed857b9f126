// Console and log-file lines: every message the program shows passes through here.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "client/records/run_state.h"
#include "platform/status.h"

// mingw-w64's printf family follows C99 (%zu, %lld), not the Windows runtime's, and its headers
// name the format checks that match it.
#ifdef __MINGW_PRINTF_FORMAT
#define QF_PRINTF(format_index, first_arg) \
  __attribute__((format(__MINGW_PRINTF_FORMAT, format_index, first_arg)))
#else
#define QF_PRINTF(format_index, first_arg) __attribute__((format(printf, format_index, first_arg)))
#endif

/// Formats a printf-style text whole, whatever its length: no message is cut (D1).
std::string format_text(const char* format, ...) QF_PRINTF(1, 2);
std::string format_text_v(const char* format, va_list args) QF_PRINTF(1, 0);

/// Formats like snprintf into a buffer of `bound` bytes: at most `bound` - 1 characters are kept.
std::string format_bounded(size_t bound, const char* format, ...) QF_PRINTF(2, 3);

/// `text` with each control character (0x00-0x1F, 0x7F) written as \xHH, so that a name taken
/// from the input can neither drive a terminal nor start a line of its own.
std::string escape_control_characters(std::string_view text);

/// Writes the formatted text to the log file (when `settings` name one) and then to standard
/// output, each line ended as the platform ends lines and every URL's password shown as "***"
/// (D14). The log file is opened, appended to and closed for every call; standard output is
/// flushed after every call.
void log_write(const Settings& settings, const char* format, ...) QF_PRINTF(2, 3);

/// Names what must happen before every line of log_write() reaches standard output (a meter of
/// fetches running side by side wiping itself, so that no line is glued to it); an empty
/// function for nothing.
void set_before_line(std::function<void()> wipe);

/// Writes one message followed by one line end. '%' inside the arguments is printed as is.
void log_message(const Settings& settings, const char* format, ...) QF_PRINTF(2, 3);

/// As log_message, but only in verbose mode (-d); otherwise the format is not even evaluated.
void log_debug(const Settings& settings, const char* format, ...) QF_PRINTF(2, 3);

/// Writes one message and a line end to standard output only, never to the log file.
void console_message(const char* format, ...) QF_PRINTF(1, 2);

/// Writes the message like log_message and returns it as a Fatal status: the run cannot go on,
/// and main ends it with exit status 1 once the status has come back up to it.
[[nodiscard]] Status fatal_error(const Settings& settings, const char* format, ...) QF_PRINTF(2, 3);
