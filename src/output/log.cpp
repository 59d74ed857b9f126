// Console and log-file lines: every message the program shows passes through here.
#include "output/log.h"

#include <cstdio>
#include <cstdlib>

#include "platform/atomic_file.h"
#include "run/state.h"

std::string format_text_v(const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  int length = vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length <= 0) return std::string();
  std::string text(static_cast<size_t>(length), '\0');
  // vsnprintf writes the terminating NUL into the slot std::string keeps after its last byte.
  vsnprintf(text.data(), text.size() + 1, format, args);
  return text;
}

std::string format_text(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = format_text_v(format, args);
  va_end(args);
  return text;
}

std::string format_bounded(size_t bound, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = format_text_v(format, args);
  va_end(args);
  if (bound == 0) return std::string();
  if (text.size() > bound - 1) text.resize(bound - 1);
  return text;
}

void log_write(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = format_text_v(format, args);
  va_end(args);
  if (settings.log_enabled && settings.log_path) {
    // A log file that cannot be opened is skipped for this message; the console still gets it.
    FilePtr file(fopen(settings.log_path->c_str(), "ab"));
    if (file) fwrite(text.data(), 1, text.size(), file.get());  // short writes are not reported
  }
  fwrite(text.data(), 1, text.size(), stdout);
}

void log_message(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = format_text_v(format, args);
  va_end(args);
  log_write("%s\n", text.c_str());
}

void log_debug(const char* format, ...) {
  if (!settings.verbose) return;
  va_list args;
  va_start(args, format);
  std::string text = format_text_v(format, args);
  va_end(args);
  log_write("%s\n", text.c_str());
}

void fatal_error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = format_text_v(format, args);
  va_end(args);
  log_message("%s", text.c_str());
  exit(1);
}
