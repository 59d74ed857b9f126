// The content-addressed store: every file under its SHA-1, and the same file under its SHA-256.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/atomic_file.h"
#include "platform/digest.h"

/// Owns one open file descriptor.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd();
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

/// A stored file opened for reading.
struct StoredFile {
  UniqueFd fd;
  uint64_t size = 0;
};

/// Layout under the root: "sha1/<40 hex>" holds each file, "sha256/<64 hex>" is a second name
/// (a hard link) of the same file. Digests are filed in lower case. A file appears under its
/// names only whole: it is written under a temporary name and renamed.
class Store {
 public:
  /// Creates the folders when missing, removes temporary files an interrupted run left, and
  /// gives a sha256 name to every stored file that lacks one (the relay stopped between the
  /// two steps of add()). Returns false with a reason in `err` when the folders are unusable.
  bool open(const std::string& root, std::string* err);

  const std::string& root() const { return root_; }

  /// The path a file of `hex` (lower case) has, or would have.
  std::string path_of(DigestKind kind, std::string_view hex) const;

  /// Opens the file stored under `hex`. Nothing when `hex` is not exactly a digest of `kind`
  /// (so no name can reach outside the store) or when no such file is stored.
  std::optional<StoredFile> open_file(DigestKind kind, std::string_view hex) const;

  /// Size of the file stored under `sha1`, when there is one.
  std::optional<uint64_t> stored_size(std::string_view sha1) const;

  /// True when the file stored under `sha1` is also the one named `sha256`.
  bool same_file(std::string_view sha1, std::string_view sha256) const;

  /// Moves the finished `file` (made for path_of(Sha1, sha1)) into place and links it under
  /// `sha256`. Returns false with a reason in `err`; the file then stays out of the store.
  bool add(AtomicFile& file, const std::string& sha1, const std::string& sha256, std::string* err);

 private:
  void remove_leftovers(const std::string& dir) const;
  void repair_sha256_names() const;

  std::string root_;
};
