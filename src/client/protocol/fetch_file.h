// Where a fetch's bytes wait until its body has passed its check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/atomic_file.h"
#include "platform/env.h"
#include "platform/status.h"

/// The file a fetch writes: a temporary file beside the target, removed unless it takes the
/// target's name and removed by an interrupt (D4); or, with -c, the record's part file, which
/// keeps a cut fetch's bytes for the next run. Either takes the target's name only through
/// commit(), which the caller makes only once the digest has matched.
class FetchFile {
 public:
  /// Opens a temporary file for `target`, or, with `part` (a path in the target's folder), that
  /// part file for appending, created when missing; a temporary file when the part file cannot
  /// be opened. is_open() tells whether that worked.
  FetchFile(Env& env, std::string target, std::optional<std::string> part);
  /// A part file is closed and kept with its bytes (removed when it has none); a temporary file
  /// is removed.
  ~FetchFile();
  FetchFile(const FetchFile&) = delete;
  FetchFile& operator=(const FetchFile&) = delete;

  bool is_open() const;
  bool is_part() const { return part_path_.has_value(); }
  const std::optional<std::string>& part_path() const { return part_path_; }
  /// The bytes the file holds: a part file's earlier bytes and those written since.
  uint64_t size() const { return size_; }
  /// The last failure of the file (its creation, a write, a restart or the commit).
  Status failure() const { return failure_; }

  /// Writes all `length` bytes at the end. False when any could not be written.
  bool write(const char* data, size_t length);
  /// Drops every byte the file holds; false when it cannot be made empty again.
  bool restart();
  /// Closes the file and gives it the target's name. On failure nothing is left.
  Status commit();
  /// Removes the file and its bytes.
  void discard();

 private:
  bool open_part();

  Env& env_;
  std::string target_;
  std::optional<std::string> part_path_;
  std::optional<AtomicFile> temporary_;
  std::unique_ptr<WritableFile> part_;
  uint64_t size_ = 0;
  Status failure_;
};

/// The part file of a record whose sha1 is `sha1` (40 hex digits) in the folder of `target`:
/// ".quonfetch-<sha1 in lower case>.part". None for any other sha1.
std::optional<std::string> part_file_path(const std::string& target,
                                          const std::optional<std::string>& sha1);
