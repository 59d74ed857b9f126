// A digest computed on a second thread beside a transfer, fed through a few fixed buffers.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/digest.h"
#include "platform/mutex.h"

/// Computes a digest of the bytes given to update() without hashing them on the caller's
/// thread. The bytes are copied into one of kBufferCount buffers of kBufferSize bytes; each full
/// buffer goes to a hashing thread, which hands it back once hashed. Memory stays within those
/// buffers whatever the length of the stream.
///
/// Threads: the caller's thread (update, finish, the destructor) fills one buffer at a time; the
/// hashing thread, started at the first full buffer, hashes full buffers in the order they were
/// filled and is woken by filled_. The caller waits (on emptied_) only when every buffer is full
/// and not yet hashed. A stream shorter than one buffer never starts the thread: finish() hashes
/// it on the caller's thread.
///
/// One instance serves one stream and one caller thread.
class DigestPipeline {
 public:
  static constexpr size_t kBufferCount = 4;
  static constexpr size_t kBufferSize = size_t{512} * 1024;

  /// Throws std::bad_alloc when the digest cannot be made.
  explicit DigestPipeline(DigestKind kind);
  /// Stops the hashing thread, dropping what it has not yet hashed, and joins it; also when
  /// finish() was never called (an aborted transfer).
  ~DigestPipeline();
  DigestPipeline(const DigestPipeline&) = delete;
  DigestPipeline& operator=(const DigestPipeline&) = delete;

  /// Adds `length` bytes to the stream; they are copied, so `data` may be reused at once. Blocks
  /// only while every buffer waits to be hashed. Never throws (it runs in libcurl's write
  /// callback): returns false when a buffer or the thread could not be had, or after finish();
  /// from then on the stream is broken and finish() returns an empty text.
  bool update(const void* data, size_t length) noexcept;

  /// Waits until every byte given has been hashed and returns the digest in lower-case hex, or
  /// an empty text when an update() failed. Later calls return the same text.
  std::string finish();

  DigestKind kind() const { return kind_; }

 private:
  /// Waits for a free buffer and makes it the one being filled. Throws std::bad_alloc.
  void take_buffer();
  /// Hands the buffer being filled to the hashing thread, starting the thread the first time.
  /// Throws std::system_error when the thread cannot start.
  void hand_over_filled();
  /// The hashing thread's loop.
  void hash_blocks();
  /// Lets the hashing thread finish (or, when `abandon`, drop) the buffers handed over, and
  /// joins it. Does nothing when it never started.
  void stop_thread(bool abandon);

  DigestKind kind_;
  /// Touched only by the caller's thread until the hashing thread starts, then only by that
  /// thread until it is joined.
  Digest digest_;
  std::array<std::unique_ptr<unsigned char[]>, kBufferCount> buffers_;
  /// Bytes in each buffer: written by the caller while it owns the buffer, read by the hashing
  /// thread after the hand-over (the mutex orders the two).
  std::array<size_t, kBufferCount> lengths_{};

  // Caller's thread only.
  std::optional<size_t> filling_;  ///< the buffer being filled, owned by the caller
  bool broken_ = false;
  std::optional<std::string> result_;

  Mutex mutex_;
  CondVar filled_{mutex_};                    ///< a buffer was handed over, or the thread must stop
  CondVar emptied_{mutex_};                   ///< a buffer was hashed and is free again
  size_t first_full_ GUARDED_BY(mutex_) = 0;  ///< next buffer to hash
  size_t full_count_ GUARDED_BY(mutex_) = 0;  ///< buffers handed over, not yet hashed
  bool closing_ GUARDED_BY(mutex_) = false;   ///< no more buffers will come
  bool abandoned_ GUARDED_BY(mutex_) = false;  ///< drop what is queued

  std::thread thread_;  ///< joined by finish() or the destructor
};
