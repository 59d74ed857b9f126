// A digest computed on a second thread beside a transfer, fed through a few fixed buffers.
#include "common/digest_pipeline.h"

#include <algorithm>
#include <cstring>

#include "common/hex.h"

DigestPipeline::DigestPipeline(DigestKind kind) : kind_(kind), digest_(kind) {}

DigestPipeline::~DigestPipeline() {
  stop_thread(true);
}

bool DigestPipeline::update(const void* data, size_t length) noexcept {
  if (broken_ || result_) return false;
  try {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (length > 0) {
      if (!filling_) take_buffer();
      size_t& used = lengths_[*filling_];
      const size_t n = std::min(length, kBufferSize - used);
      std::memcpy(buffers_[*filling_].get() + used, bytes, n);
      used += n;
      bytes += n;
      length -= n;
      if (used == kBufferSize) hand_over_filled();
    }
    return true;
  } catch (...) {
    // A buffer or the thread could not be had: the bytes already taken leave a gap, so no
    // digest of this stream can be right any more.
    broken_ = true;
    return false;
  }
}

std::string DigestPipeline::finish() {
  if (result_) return *result_;
  if (!broken_ && filling_ && lengths_[*filling_] > 0) {
    // A stream shorter than one buffer costs no thread: it is hashed here.
    if (thread_.joinable())
      hand_over_filled();
    else
      digest_.update(buffers_[*filling_].get(), lengths_[*filling_]);
  }
  stop_thread(broken_);
  result_ = broken_ ? std::string() : to_hex(digest_.finish());
  return *result_;
}

void DigestPipeline::take_buffer() {
  size_t index;
  {
    MutexLock lock(mutex_);
    while (full_count_ >= kBufferCount) emptied_.wait(mutex_);
    index = (first_full_ + full_count_) % kBufferCount;
  }
  // Allocated at first use, so that a short stream takes one buffer, not all of them.
  if (!buffers_[index])
    buffers_[index] = std::make_unique_for_overwrite<unsigned char[]>(kBufferSize);
  lengths_[index] = 0;
  filling_ = index;
}

void DigestPipeline::hand_over_filled() {
  if (!thread_.joinable()) thread_ = std::thread(&DigestPipeline::hash_blocks, this);
  {
    MutexLock lock(mutex_);
    ++full_count_;
  }
  filled_.signal();
  filling_.reset();
}

void DigestPipeline::hash_blocks() {
  MutexLock lock(mutex_);
  for (;;) {
    while (full_count_ == 0 && !closing_) filled_.wait(mutex_);
    if (abandoned_ || full_count_ == 0) return;
    const size_t index = first_full_;
    // The caller never touches a buffer between its hand-over and its return.
    lock.unlock();
    digest_.update(buffers_[index].get(), lengths_[index]);
    lock.lock();
    first_full_ = (first_full_ + 1) % kBufferCount;
    --full_count_;
    emptied_.signal();
  }
}

void DigestPipeline::stop_thread(bool abandon) {
  if (!thread_.joinable()) return;
  {
    MutexLock lock(mutex_);
    closing_ = true;
    abandoned_ = abandon;
  }
  filled_.signal();
  thread_.join();
}
