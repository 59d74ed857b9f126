// The bytes of one direction of a delayed TCP link, each chunk held until its time comes.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

using DelayClock = std::chrono::steady_clock;

/// A first-in, first-out queue of chunks, and at most one end-of-stream mark, each with the time
/// it may leave. Callers give non-decreasing times, so the first item is always the next due.
class DelayQueue {
 public:
  /// Holds a copy of `bytes` until `due`.
  void push(std::string_view bytes, DelayClock::time_point due) {
    if (bytes.empty()) return;
    items_.push_back(Item{due, std::string(bytes), 0, false});
    held_ += bytes.size();
  }
  /// Marks the end of the stream, due at `due`, after every chunk pushed before.
  void push_end(DelayClock::time_point due) { items_.push_back(Item{due, {}, 0, true}); }

  /// When the first item may leave; nothing when the queue is empty.
  std::optional<DelayClock::time_point> next_due() const {
    if (items_.empty()) return std::nullopt;
    return items_.front().due;
  }
  /// The unsent bytes of the first chunk when it is due at `now`; empty otherwise.
  std::string_view ready(DelayClock::time_point now) const {
    if (items_.empty() || items_.front().end || items_.front().due > now) return {};
    const Item& first = items_.front();
    return std::string_view(first.bytes).substr(first.sent);
  }
  /// Records that `count` bytes of ready() were sent; drops the chunk once all of it was.
  void consume(size_t count) {
    Item& first = items_.front();
    first.sent += count;
    held_ -= count;
    if (first.sent == first.bytes.size()) items_.pop_front();
  }
  /// True when the end of the stream is first and due at `now`; it stays in the queue.
  bool end_ready(DelayClock::time_point now) const {
    return !items_.empty() && items_.front().end && items_.front().due <= now;
  }
  /// Bytes pushed and not yet consumed.
  size_t held() const { return held_; }

 private:
  struct Item {
    DelayClock::time_point due;
    std::string bytes;
    size_t sent;
    bool end;
  };
  std::deque<Item> items_;
  size_t held_ = 0;
};
