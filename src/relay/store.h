// The content-addressed store: every file under its SHA-1, and the same file under its SHA-256.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/digest.h"
#include "platform/env.h"
#include "platform/mutex.h"
#include "platform/unique_fd.h"

/// A stored file opened for reading.
struct StoredFile {
  UniqueFd fd;
  uint64_t size = 0;
  std::string sha1;  ///< its name in the store; pass it to finished_serving()
};

/// Whether the store holds a file, as a request finds it.
enum class Presence {
  Absent,
  /// Stored by an earlier run and not yet checked by the verifier (or being evicted): not to be
  /// served or answered Available yet, nor fetched again.
  Unverified,
  Verified,
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
/// digests match their names). Only the store's own verifier thread reads them to check them: a
/// request for a file not yet checked is told so at once (and moves the file to the front of the
/// verifier's queue), so no HTTP thread ever hashes a file. A corrupt file is removed and logged,
/// so the next request for it fetches it again.
///
/// Locks: `mutex_` guards the index; it is never held across a call to the Env.
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

  /// Starts checking the listed files on a thread of the store's own, those requests ask for
  /// first.
  void verify_in_background() EXCLUDES(mutex_);
  /// Waits until every listed file has been checked (for tests and the log).
  void wait_until_verified();

  /// Above `bytes` (0: no cap), add() removes the least recently served files.
  void set_max_size(uint64_t bytes) { max_size_ = bytes; }

  const std::string& root() const { return root_; }
  Env& env() const { return env_; }

  /// The path a file of `hex` (lower case) has, or would have.
  std::string path_of(DigestKind kind, std::string_view hex) const;

  /// Opens the verified file stored under `hex` into `file` and counts it as being served
  /// (eviction passes it by) until finished_serving(); the count is taken in the same hold of the
  /// lock that finds the file, so no eviction falls between the two. Absent when `hex` is not
  /// exactly a digest of `kind` (so no name can reach outside the store) or when no such file is
  /// stored; Unverified while the file waits for the verifier. Never reads the file's content.
  Presence open_file(DigestKind kind, std::string_view hex, StoredFile* file) EXCLUDES(mutex_);

  /// Ends one serving of the file open_file() returned as `sha1`.
  void finished_serving(const std::string& sha1) EXCLUDES(mutex_);

  /// Whether a file is stored under `sha1`, and its size when it is Verified; then the file counts
  /// as just used, so that eviction takes others first while its client comes for it. Never
  /// reads the disk and never waits for a check.
  Presence look_up(std::string_view sha1, uint64_t* size) EXCLUDES(mutex_);
  /// Size of the verified file stored under `sha1`, when there is one (look_up()).
  std::optional<uint64_t> stored_size(std::string_view sha1) EXCLUDES(mutex_);

  /// True when the file stored under `sha1` is also the one named `sha256`.
  bool same_file(std::string_view sha1, std::string_view sha256) const EXCLUDES(mutex_);

  /// Moves the finished `file` (made for path_of(Sha1, sha1), through env()) into place, synced
  /// to disk, and links it under `sha256`. On a failure, returned with its reason, the file
  /// stays out of the store, under neither name and not in the index.
  Status add(AtomicFile& file, const std::string& sha1, const std::string& sha256) EXCLUDES(mutex_);

  StoreCounts counts() const EXCLUDES(mutex_);

 private:
  // Checking: the verifier reads it, or eviction removes it; either way no request opens it,
  // eviction passes it by, and a failed add() leaves it to its owner.
  enum class Check { Unchecked, Checking, Verified };
  struct Entry {
    uint64_t size = 0;
    Check check = Check::Unchecked;
    uint64_t last_used = 0;  ///< tick of the last serve, Available answer or add, for eviction
    int serving = 0;         ///< replies being sent from it: not evicted meanwhile
    bool asked = false;      ///< moved to the front of to_verify_ once already
  };

  void remove_leftovers(const std::string& dir) const;
  void list_files() EXCLUDES(mutex_);
  void run_verifier() EXCLUDES(mutex_);
  // The next file for the verifier, marked Checking; false when none is left or the store stops.
  bool claim_next_unchecked(std::string* sha1) REQUIRES(mutex_);
  // Checks the file of `sha1`, claimed by claim_next_unchecked(); true when it is verified.
  bool verify_claimed(const std::string& sha1) EXCLUDES(mutex_);
  bool check_file(const std::string& sha1) EXCLUDES(mutex_);  // reads the disk
  void forget(const std::string& sha1) EXCLUDES(mutex_);      // removes both names
  // Takes out of the index every sha256 name of `sha1` and returns them.
  std::vector<std::string> take_sha256_names(const std::string& sha1) REQUIRES(mutex_);
  // After a failed add(): an entry of an earlier copy whose file is gone leaves the index too.
  void drop_if_gone(const std::string& sha1) EXCLUDES(mutex_);
  void evict_over_cap() EXCLUDES(mutex_);
  // The least recently used file that may go, marked Checking; empty when none may.
  std::string claim_eviction_victim() REQUIRES(mutex_);
  // The sha1 that `hex` (lower case) names, or empty.
  std::string sha1_of_name(DigestKind kind, const std::string& hex) const REQUIRES(mutex_);
  // Counts the file `sha1` as served (and used) when it is verified; says whether it is.
  Presence pin(const std::string& sha1) REQUIRES(mutex_);
  // Has the verifier check the Unchecked file of `entry` next; once per file, so that requests
  // for it cannot grow the queue.
  void verify_next(std::map<std::string, Entry>::iterator entry) REQUIRES(mutex_);

  Env& env_;
  std::string root_;
  std::atomic<uint64_t> max_size_{0};
  std::unique_ptr<FileLock> lock_;  // held while the store is open

  mutable Mutex mutex_;
  std::map<std::string, Entry> entries_ GUARDED_BY(mutex_);             // by sha1
  std::map<std::string, std::string> sha256_names_ GUARDED_BY(mutex_);  // sha256 -> sha1
  uint64_t bytes_ GUARDED_BY(mutex_) = 0;
  uint64_t tick_ GUARDED_BY(mutex_) = 0;
  StoreCounts removed_ GUARDED_BY(mutex_);  // evicted and corrupt
  bool stopping_ GUARDED_BY(mutex_) = false;
  // Unchecked files in the verifier's order; a request moves its file to the front. A name may
  // appear twice (at most); the second finds it checked and is skipped.
  std::deque<std::string> to_verify_ GUARDED_BY(mutex_);
  std::thread verifier_;
};
