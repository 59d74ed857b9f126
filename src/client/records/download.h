// Download records and the first-in-first-out work queues that carry them through a run.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

/// One requested file. Each text may be absent, and absent is not the same as empty.
struct Download {
  std::optional<std::string> sha1;
  std::optional<std::string> size;
  std::optional<std::string> url;
  std::optional<std::string> sha256;
  /// The last status token the relay returned; absent until a request was answered.
  std::optional<std::string> status;
  /// Why the file has not arrived, as far as the run knows: the relay's own reason, the last
  /// transfer's error, the mirror's answer, the system's refusal. Absent while nothing failed.
  std::optional<std::string> failure;
  /// True once the file arrived whole and took its name.
  bool stored = false;
};

/// The storage of every record of a run, in the order they were made. Records never move.
using DownloadRecords = std::deque<Download>;

/// A queue of references to records, oldest first. The slots form a ring, so taking the front
/// record costs the same however long the queue is. Capacity grows 0, 8, 16, 32, ...
struct DownloadQueue {
  std::unique_ptr<Download*[]> items;
  size_t head = 0;  ///< slot of the oldest record
  size_t count = 0;
  size_t capacity = 0;
};

/// Makes a record in `records` holding copies of the given texts; it lives as long as
/// `records`. Returns null when the record cannot be had. A text that cannot be copied is left
/// absent.
Download* new_download(DownloadRecords& records, std::optional<std::string_view> sha1,
                       std::optional<std::string_view> size, std::optional<std::string_view> url,
                       std::optional<std::string_view> sha256);

/// Appends `download` to the back of `queue`. False, with the queue unchanged, when it cannot
/// grow.
[[nodiscard]] bool queue_push(DownloadQueue& queue, Download* download);

/// Removes and returns the oldest record, or nullptr when the queue is empty.
Download* queue_pop_front(DownloadQueue& queue);

/// The record `index` places behind the front, without removing it. `index` < `count`.
Download* queue_at(const DownloadQueue& queue, size_t index);
