// Console and log-file lines: every message the program shows passes through here.
#include "client/output/log.h"

#include <cstdio>
#include <cstdlib>
#include <functional>

#include "common/passwords.h"
#include "platform/console.h"
#include "platform/files.h"

namespace {

// The text with every line feed written as the platform ends lines.
std::string with_line_endings(std::string text) {
  const std::string ending = line_ending();
  if (ending == "\n") return text;
  std::string converted;
  converted.reserve(text.size() + text.size() / 16);
  for (char c : text) {
    if (c == '\n')
      converted += ending;
    else
      converted += c;
  }
  return converted;
}

// Wipes the meter of the fetches running side by side before a line is written; empty when
// none is on the screen.
std::function<void()>& before_line() {
  static std::function<void()> wipe;
  return wipe;
}

}  // namespace

void set_before_line(std::function<void()> wipe) {
  before_line() = std::move(wipe);
}

std::string escape_control_characters(std::string_view text) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string escaped;
  escaped.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != 0x7F) {
      escaped += static_cast<char>(c);
      continue;
    }
    escaped += "\\x";
    escaped += kDigits[c >> 4];
    escaped += kDigits[c & 0xF];
  }
  return escaped;
}

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

void log_write(const Settings& settings, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = with_line_endings(hide_passwords(format_text_v(format, args)));
  va_end(args);
  if (settings.log_enabled()) {
    // A log file that cannot be opened is skipped for this message; the console still gets it.
    FilePtr file = open_file(*settings.log_path, "ab");
    if (file) fwrite(text.data(), 1, text.size(), file.get());  // short writes are not reported
  }
  // Each line leaves at once and whole, also into a pipe: whoever reads it (tee, cron, a
  // journal) sees it when it happens, and an interrupt that ends the run loses none.
  if (before_line()) before_line()();
  write_standard_output(text);
}

void console_message(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = with_line_endings(hide_passwords(format_text_v(format, args) + "\n"));
  va_end(args);
  write_standard_output(text);
}

void log_message(const Settings& settings, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = format_text_v(format, args);
  va_end(args);
  log_write(settings, "%s\n", text.c_str());
}

void log_debug(const Settings& settings, const char* format, ...) {
  if (!settings.verbose) return;
  va_list args;
  va_start(args, format);
  std::string text = format_text_v(format, args);
  va_end(args);
  log_write(settings, "%s\n", text.c_str());
}

Status fatal_error(const Settings& settings, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = format_text_v(format, args);
  va_end(args);
  log_message(settings, "%s", text.c_str());
  return Status::failure(Status::Code::Fatal, text);
}
