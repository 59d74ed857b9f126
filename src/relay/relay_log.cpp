// The relay's log: one line per event on standard output, flushed at once.
#include "relay/relay_log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "common/passwords.h"
#include "platform/env.h"

namespace {

// The formatted text of one line, whatever its length.
RELAY_PRINTF(1, 0) std::string format_line(const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  char small[512];
  const int length = vsnprintf(small, sizeof small, format, args);
  std::string text;
  if (length < 0) {
    text = "(a log line that could not be formatted)";
  } else if (static_cast<size_t>(length) < sizeof small) {
    text.assign(small, static_cast<size_t>(length));
  } else {
    text.resize(static_cast<size_t>(length) + 1);
    vsnprintf(text.data(), text.size(), format, again);
    text.resize(static_cast<size_t>(length));
  }
  va_end(again);
  return text;
}

}  // namespace

void relay_log(const char* format, ...) {
  // The stamp is the time of day of the process, also when a test runs the relay on another
  // clock: the log is read by a person, beside other programs' logs.
  const std::string stamp = rfc3339_utc(system_env().wall_milliseconds());
  va_list args;
  va_start(args, format);
  // Every line, whoever writes it, shows the URLs it names without their passwords.
  const std::string text = hide_passwords(format_line(format, args));
  va_end(args);
  // The stream lock keeps lines of different threads whole.
  flockfile(stdout);
  fputs(stamp.c_str(), stdout);
  fputc(' ', stdout);
  fwrite(text.data(), 1, text.size(), stdout);
  fputc('\n', stdout);
  fflush(stdout);  // a failed write to a closed pipe is not worth stopping the relay for
  funlockfile(stdout);
}

std::string log_escape(std::string_view whole, size_t max_length) {
  static const char digits[] = "0123456789abcdef";
  // Hidden before the cut: a password cut short loses the '@' that marks it as one.
  const std::string shown = hide_passwords(whole);
  std::string_view text = shown;
  std::string escaped;
  const bool cut = text.size() > max_length;
  if (cut) text = text.substr(0, max_length);
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\n') {
      escaped += "\\n";
    } else if (c < 0x20 || c >= 0x7f || c == '\\') {
      escaped += "\\x";
      escaped.push_back(digits[c >> 4]);
      escaped.push_back(digits[c & 15]);
    } else {
      escaped.push_back(static_cast<char>(c));
    }
  }
  if (cut) escaped += "...";
  return escaped;
}

std::string rfc3339_utc(int64_t unix_millis) {
  const time_t seconds = static_cast<time_t>(unix_millis / 1000);
  tm parts{};
  gmtime_r(&seconds, &parts);
  char text[96];
  snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
           parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
           static_cast<int>(unix_millis % 1000));
  return text;
}
