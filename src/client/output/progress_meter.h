// The progress meter of a fetch: one line on standard error, redrawn in place, on terminals only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

/// The expected size of a fetch from a record's size text: its value when the text is a decimal
/// number above zero that fits 64 bits, none otherwise.
std::optional<uint64_t> expected_size_of(const std::optional<std::string>& size_text);

/// The meter's text after `bytes` arrived in `elapsed_ms`: the bytes so far, then (with an
/// `expected` size not yet exceeded) the expected size and the percentage of it, the average
/// rate, and (with that size) the time left at that rate. For example
/// "12.4 MiB of 200.0 MiB   6%  2.1 MiB/s  1:28 left".
std::string progress_line(uint64_t bytes, std::optional<uint64_t> expected, int64_t elapsed_ms);

/// The meter of one fetch. It draws its line over itself at most once per kRedrawMs, never
/// before the first kRedrawMs, and wipes it when it ends. While a meter lives nothing else may
/// be written to standard output, or a line would be glued to the meter's text.
class ProgressMeter {
 public:
  static constexpr int64_t kRedrawMs = 250;

  /// The meter on standard error when it is a terminal, cut to the terminal's width; a meter
  /// that never writes otherwise. `start_ms` is when the fetch began.
  ProgressMeter(std::optional<uint64_t> expected, int64_t start_ms);
  /// A meter drawing on `out` (null: never writes), each line cut to `columns` - 1 characters
  /// so that it never wraps.
  ProgressMeter(FILE* out, int columns, std::optional<uint64_t> expected, int64_t start_ms);
  /// Wipes the line.
  ~ProgressMeter();
  ProgressMeter(const ProgressMeter&) = delete;
  ProgressMeter& operator=(const ProgressMeter&) = delete;

  /// True when the meter writes anything at all.
  bool active() const { return out_ != nullptr; }
  /// Redraws the line for `bytes` received by `now_ms`, when its time has come, after `prefix`.
  void update(uint64_t bytes, int64_t now_ms, std::string_view prefix = {});
  /// Wipes the line and returns the cursor to its start; does nothing when nothing is shown.
  void clear();

 private:
  void write(const std::string& text);

  FILE* out_;
  size_t width_;  ///< the longest line that fits without wrapping
  std::optional<uint64_t> expected_;
  int64_t start_ms_;
  int64_t last_draw_ms_;
  size_t shown_ = 0;  ///< characters of the line now on the screen
};

/// The meter of the fetches of one pass that run side by side: one line for all of them, the
/// files ended of the pass's count, then the bytes of all as ProgressMeter shows them. Lines
/// written meanwhile wipe it first (set_before_line); it is drawn again on the next update.
class BatchMeter {
 public:
  BatchMeter(size_t files, std::optional<uint64_t> expected, int64_t start_ms);
  /// A meter drawing on `out` as ProgressMeter's does.
  BatchMeter(FILE* out, int columns, size_t files, std::optional<uint64_t> expected,
             int64_t start_ms);
  ~BatchMeter();
  BatchMeter(const BatchMeter&) = delete;
  BatchMeter& operator=(const BatchMeter&) = delete;

  bool active() const { return meter_.active(); }
  /// `bytes` more arrived by `now_ms`; a fetch that restarts takes back what it had counted.
  void add(int64_t bytes, int64_t now_ms);
  /// One more fetch of the pass has ended.
  void file_ended(int64_t now_ms);

 private:
  void draw(int64_t now_ms);

  ProgressMeter meter_;
  size_t files_;
  size_t ended_ = 0;
  uint64_t bytes_ = 0;
};
