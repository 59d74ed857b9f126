// The owner of one open file descriptor (the C runtime's, on Windows), closed when it goes.
#pragma once

/// Closes `fd` with the system's call; a failure goes unreported (nothing more can be done).
void close_descriptor(int fd);

/// Owns one open file descriptor.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  /// Gives up ownership: the caller closes the descriptor.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  /// Closes the descriptor held, if any, and takes `fd`.
  void reset(int fd = -1) {
    if (fd_ >= 0) close_descriptor(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};
