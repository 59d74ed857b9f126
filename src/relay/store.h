// The content-addressed store: every file under its SHA-1, and the same file under its SHA-256.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/digest.h"
#include "platform/env.h"
#include "platform/unique_fd.h"

/// A stored file opened for reading.
struct StoredFile {
  UniqueFd fd;
  uint64_t size = 0;
  std::string sha1;  ///< its name in the store; pass it to finished_serving()
};

/// Files and bytes in the store, for the metrics.
struct StoreCounts {
  uint64_t files = 0;
  uint64_t bytes = 0;
  uint64_t evicted = 0;
  uint64_t corrupt = 0;
};

/// Layout under the root: "sha1/<40 hex>" holds each file, "sha256/<64 hex>" is a second name
/// (a hard link) of the same file, ".lock" keeps a second relay out. Digests are filed in lower
/// case. A file appears under its names only whole and on disk: it is written under a
/// temporary name, synced with its folder, and renamed.
///
/// Files found when the store is opened are served only once verified in this run (their
/// digests match their names): a background thread checks them, and a request for a file not
/// yet checked checks it first. A corrupt file is removed and logged, so the next request for
/// it fetches it again.
class Store {
 public:
  /// Every file and folder of the store is reached through `env`, which must outlive it.
  explicit Store(Env& env) : env_(env) {}
  /// Stops the verifier.
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  /// Creates the folders when missing, takes the store's lock (a failure when another relay holds
  /// it: then nothing in the store is touched), removes temporary files an interrupted run
  /// left, and lists the stored files (unverified). Returns the failure when one of these fails.
  Status open(const std::string& root);

  /// Starts checking the listed files on a thread of the store's own.
  void verify_in_background();
  /// Waits until every listed file has been checked (for tests and the log).
  void wait_until_verified();

  /// Above `bytes` (0: no cap), add() removes the least recently served files.
  void set_max_size(uint64_t bytes) { max_size_ = bytes; }

  const std::string& root() const { return root_; }
  Env& env() const { return env_; }

  /// The path a file of `hex` (lower case) has, or would have.
  std::string path_of(DigestKind kind, std::string_view hex) const;

  /// Opens the file stored under `hex`, verified, and counts it as being served (eviction
  /// passes it by) until finished_serving(). Nothing when `hex` is not exactly a digest of
  /// `kind` (so no name can reach outside the store) or when no such file is stored.
  std::optional<StoredFile> open_file(DigestKind kind, std::string_view hex);

  /// Ends one serving of the file open_file() returned as `sha1`.
  void finished_serving(const std::string& sha1);

  /// Size of the verified file stored under `sha1`, when there is one.
  std::optional<uint64_t> stored_size(std::string_view sha1);

  /// True when the file stored under `sha1` is also the one named `sha256`.
  bool same_file(std::string_view sha1, std::string_view sha256) const;

  /// Moves the finished `file` (made for path_of(Sha1, sha1), through env()) into place, synced
  /// to disk, and links it under `sha256`. On a failure, returned with its reason, the file
  /// stays out of the store, under neither name and not in the index.
  Status add(AtomicFile& file, const std::string& sha1, const std::string& sha256);

  StoreCounts counts() const;

 private:
  enum class Check { Unchecked, Checking, Verified };
  struct Entry {
    uint64_t size = 0;
    Check check = Check::Unchecked;
    uint64_t last_used = 0;  ///< tick of the last serve or add, for eviction
    int serving = 0;         ///< replies being sent from it: not evicted meanwhile
  };

  void remove_leftovers(const std::string& dir) const;
  void list_files();
  // Checks the file of `sha1` unless another thread does or did; true when it is verified.
  bool ensure_verified(const std::string& sha1);
  bool check_file(const std::string& sha1);  // reads the disk; no lock held
  void forget(const std::string& sha1);      // removes both names and the entry
  /// Takes out of the index every sha256 name of `sha1` and returns them. Call with mutex_ held.
  std::vector<std::string> take_sha256_names(const std::string& sha1);
  // After a failed add(): an entry of an earlier copy whose file is gone leaves the index too.
  void drop_if_gone(const std::string& sha1);
  void evict_over_cap();
  std::string sha1_of_name(DigestKind kind, std::string_view hex);

  Env& env_;
  std::string root_;
  std::atomic<uint64_t> max_size_{0};
  std::unique_ptr<FileLock> lock_;  // held while the store is open

  mutable std::mutex mutex_;
  std::condition_variable checked_;                  // signalled when a check ends
  std::map<std::string, Entry> entries_;             // guarded by mutex_; by sha1
  std::map<std::string, std::string> sha256_names_;  // guarded by mutex_; sha256 -> sha1
  uint64_t bytes_ = 0;                               // guarded by mutex_
  uint64_t tick_ = 0;                                // guarded by mutex_
  StoreCounts removed_;                              // guarded by mutex_ (evicted and corrupt)
  bool stopping_ = false;                            // guarded by mutex_
  std::thread verifier_;
};
