// The progress meter of a fetch: one line on standard error, redrawn in place, on terminals only.
#include "client/output/progress_meter.h"

#include <cmath>
#include <limits>

#include "client/output/log.h"
#include "platform/terminal.h"

namespace {

// The width assumed when a terminal does not tell its own.
constexpr int kDefaultColumns = 80;

// A byte count for people: whole bytes below 1 KiB, one decimal in the largest unit above.
std::string size_text(double bytes) {
  static const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) return format_text("%.0f B", bytes);
  size_t unit = 0;
  bytes /= 1024;
  while (bytes >= 1024 && unit + 1 < std::size(units)) {
    bytes /= 1024;
    ++unit;
  }
  return format_text("%.1f %s", bytes, units[unit]);
}

// A duration as m:ss, or h:mm:ss from one hour on.
std::string duration_text(uint64_t seconds) {
  if (seconds < 3600)
    return format_text("%u:%02u", static_cast<unsigned>(seconds / 60),
                       static_cast<unsigned>(seconds % 60));
  return format_text("%llu:%02u:%02u", static_cast<unsigned long long>(seconds / 3600),
                     static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60));
}

// The time the `left` bytes take at `rate` bytes a second.
std::string time_left_text(uint64_t left, double rate) {
  if (rate <= 0) return "--:-- left";
  return duration_text(static_cast<uint64_t>(std::ceil(static_cast<double>(left) / rate))) +
         " left";
}

}  // namespace

std::optional<uint64_t> expected_size_of(const std::optional<std::string>& size_text) {
  if (!size_text || size_text->empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : *size_text) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (value == 0) return std::nullopt;
  return value;
}

std::string progress_line(uint64_t bytes, std::optional<uint64_t> expected, int64_t elapsed_ms) {
  // A size the fetch has already passed was wrong: the meter then shows only what it knows.
  const uint64_t total = expected.value_or(0);
  const bool known = total > 0 && bytes <= total;
  const double rate =
      elapsed_ms > 0 ? static_cast<double>(bytes) * 1000 / static_cast<double>(elapsed_ms) : 0;
  std::string line = size_text(static_cast<double>(bytes));
  if (known)
    line += " of " + size_text(static_cast<double>(total)) +
            format_text(" %3d%%", static_cast<int>(static_cast<double>(bytes) * 100 /
                                                   static_cast<double>(total)));
  line += "  " + (elapsed_ms > 0 ? size_text(rate) : std::string("--")) + "/s";
  if (known) line += "  " + time_left_text(total - bytes, rate);
  return line;
}

ProgressMeter::ProgressMeter(std::optional<uint64_t> expected, int64_t start_ms)
    : ProgressMeter(stderr_is_terminal() ? stderr : nullptr,
                    terminal_columns() > 0 ? terminal_columns() : kDefaultColumns, expected,
                    start_ms) {}

ProgressMeter::ProgressMeter(FILE* out, int columns, std::optional<uint64_t> expected,
                             int64_t start_ms)
    : out_(out),
      width_(columns > 1 ? static_cast<size_t>(columns - 1) : 0),
      expected_(expected),
      start_ms_(start_ms),
      last_draw_ms_(start_ms) {}

ProgressMeter::~ProgressMeter() {
  clear();
}

void ProgressMeter::update(uint64_t bytes, int64_t now_ms, std::string_view prefix) {
  if (!out_ || now_ms - last_draw_ms_ < kRedrawMs) return;
  last_draw_ms_ = now_ms;
  std::string line(prefix);
  line += progress_line(bytes, expected_, now_ms - start_ms_);
  if (line.size() > width_) line.resize(width_);
  const size_t drawn = line.size();
  // A shorter line than the last one covers the rest of it with blanks.
  if (drawn < shown_) line.append(shown_ - drawn, ' ');
  write("\r" + line);
  shown_ = drawn;
}

void ProgressMeter::clear() {
  if (!out_ || shown_ == 0) return;
  // Blanks rather than an erase sequence: every terminal and console understands them. Written
  // without a string, as the destructor calls this and must not throw.
  fputc('\r', out_);
  for (size_t i = 0; i < shown_; ++i) fputc(' ', out_);
  fputc('\r', out_);
  fflush(out_);
  shown_ = 0;
}

void ProgressMeter::write(const std::string& text) {
  fwrite(text.data(), 1, text.size(), out_);  // a meter that cannot be drawn is not an error
  fflush(out_);
}

BatchMeter::BatchMeter(size_t files, std::optional<uint64_t> expected, int64_t start_ms)
    : meter_(expected, start_ms), files_(files) {
  if (meter_.active()) set_before_line([this] { meter_.clear(); });
}

BatchMeter::BatchMeter(FILE* out, int columns, size_t files, std::optional<uint64_t> expected,
                       int64_t start_ms)
    : meter_(out, columns, expected, start_ms), files_(files) {
  if (meter_.active()) set_before_line([this] { meter_.clear(); });
}

BatchMeter::~BatchMeter() {
  if (meter_.active()) set_before_line(nullptr);
}

void BatchMeter::add(int64_t bytes, int64_t now_ms) {
  bytes_ = bytes < 0 && static_cast<uint64_t>(-bytes) > bytes_
               ? 0
               : bytes_ + static_cast<uint64_t>(bytes);
  draw(now_ms);
}

void BatchMeter::file_ended(int64_t now_ms) {
  ++ended_;
  draw(now_ms);
}

void BatchMeter::draw(int64_t now_ms) {
  if (meter_.active())
    meter_.update(bytes_, now_ms, format_text("%zu of %zu files  ", ended_, files_));
}
