// Download records and the first-in-first-out work queues that carry them through a run.
#include "client/records/download.h"

#include <new>

namespace {

// A text that cannot be copied stays absent; the record is still made.
std::optional<std::string> copy_text(std::optional<std::string_view> text) {
  if (!text) return std::nullopt;
  try {
    return std::string(*text);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace

Download* new_download(DownloadRecords& records, std::optional<std::string_view> sha1,
                       std::optional<std::string_view> size, std::optional<std::string_view> url,
                       std::optional<std::string_view> sha256) {
  Download* download = nullptr;
  try {
    download = &records.emplace_back();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  download->sha1 = copy_text(sha1);
  download->size = copy_text(size);
  download->url = copy_text(url);
  download->sha256 = copy_text(sha256);
  return download;
}

bool queue_push(DownloadQueue& queue, Download* download) {
  if (queue.count == queue.capacity) {
    size_t capacity = queue.capacity == 0 ? 8 : queue.capacity * 2;
    std::unique_ptr<Download*[]> items;
    try {
      items = std::make_unique_for_overwrite<Download*[]>(capacity);
    } catch (const std::bad_alloc&) {
      return false;
    }
    // Unroll the ring so that the oldest record sits in slot 0 of the new array.
    for (size_t i = 0; i < queue.count; ++i) items[i] = queue_at(queue, i);
    queue.items = std::move(items);
    queue.head = 0;
    queue.capacity = capacity;
  }
  queue.items[(queue.head + queue.count) % queue.capacity] = download;
  ++queue.count;
  return true;
}

Download* queue_pop_front(DownloadQueue& queue) {
  if (queue.count == 0) return nullptr;
  Download* front = queue.items[queue.head];
  queue.head = (queue.head + 1) % queue.capacity;
  --queue.count;
  return front;
}

Download* queue_at(const DownloadQueue& queue, size_t index) {
  return queue.items[(queue.head + index) % queue.capacity];
}
