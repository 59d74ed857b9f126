// One fetch of a file from its origin into the store, with every check it must pass on the way.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/curl_handles.h"
#include "relay/address_policy.h"
#include "relay/store.h"

/// Limits that keep a broken or hostile origin from holding a worker for long: a trickle
/// slower than 1 KiB/s for 30 s ends the fetch like a broken connection.
inline TransferLimits origin_fetch_limits() {
  TransferLimits limits;
  limits.max_redirects = 10;
  limits.low_speed_bytes = 1024;
  limits.low_speed_seconds = 30;
  limits.connect_timeout_seconds = 30;
  return limits;
}

/// How every fetch is made.
struct FetchSettings {
  TransferLimits limits = origin_fetch_limits();
  bool allow_file = false;  ///< file:// origins are accepted
  OriginPolicy policy;      ///< checked on every address connected to, redirects included
  uint64_t max_file_size = 16ull << 30;
  long timeout_seconds = 3600;  ///< the whole fetch
};

/// What to fetch and what the file must turn out to be. Digests in lower case.
struct FetchJob {
  std::string sha1;
  std::optional<std::string> sha256;
  std::optional<uint64_t> size;
  std::string url;  ///< http or https; file only when allowed
};

/// How a fetch ended.
enum class OriginFetchEnd {
  Stored,          ///< the file is in the store under both digests
  Refused,         ///< the origin's address is one the policy keeps out
  OriginError,     ///< the origin answered, but not 200
  TransferError,   ///< no connection, or it broke, or it was too slow
  TimedOut,        ///< the whole fetch took longer than allowed
  TooLarge,        ///< more bytes than the size asked for or the relay's cap
  SizeMismatch,    ///< fewer bytes than the size asked for
  DigestMismatch,  ///< another sha1 or sha256 than asked for
  StoreError,      ///< the file could not be written or moved into the store
  Stopped,         ///< the relay is stopping
  Count,           ///< the number of ends, for counters by end
};

/// The name of `end` in the log and the metrics ("stored", "refused", ...).
std::string_view fetch_end_name(OriginFetchEnd end);

struct FetchResult {
  OriginFetchEnd end = OriginFetchEnd::StoreError;
  /// For the client: what it can act on, never what the origin sent (no received digest or
  /// size, no connect error, no origin status). Begins with "fetch", "size", "sha1",
  /// "sha256", "store" or "origin".
  std::string reason;
  std::string detail;  ///< for the log only: what was received, the transfer's error text
  uint64_t bytes = 0;  ///< bytes received from the origin

  bool ok() const { return end == OriginFetchEnd::Stored; }
};

/// One fetch of `job.url` into a temporary file of the store (through its Env), hashing every
/// byte with SHA-1 and SHA-256 as it arrives. A FetchEngine drives its easy handle with many
/// others; finish() then moves the file (synced to disk) under its digests only when the origin
/// answered 200 (or the file:// read succeeded), the size matched `job.size` when given, and the
/// digests matched. Certificates of https origins are verified; redirects go to http and https
/// only. On any failure, and when it is destroyed unfinished, nothing is left in the store.
/// Not movable: libcurl holds pointers to its members.
class OriginFetch {
 public:
  /// `store` and `settings` must outlive the fetch.
  OriginFetch(FetchJob job, Store& store, const FetchSettings& settings);
  OriginFetch(const OriginFetch&) = delete;
  OriginFetch& operator=(const OriginFetch&) = delete;

  /// Makes the temporary file and the easy handle with every option set. Returns the failure
  /// when one cannot be made; then easy() is not to be used.
  std::optional<FetchResult> prepare();
  /// The transfer, for a multi handle; null before prepare().
  CURL* easy() const { return handle_.get(); }
  const FetchJob& job() const { return job_; }
  /// Checks what arrived once libcurl ended the transfer with `code`, and stores the file when
  /// it is the one asked for.
  FetchResult finish(CURLcode code);
  /// The end of a fetch stopped before libcurl ended it (the relay stops, or another copy won).
  FetchResult stopped() const;

 private:
  // Where the bytes of the fetch go, and what was seen on the way.
  struct Sink {
    AtomicFile* file = nullptr;
    Digest sha1{DigestKind::Sha1};
    Digest sha256{DigestKind::Sha256};
    uint64_t limit = 0;  ///< more bytes than this cannot be the file asked for
    uint64_t bytes = 0;
    bool too_long = false;
    bool write_failed = false;
  };
  // What the open-socket callback decided about the addresses it was asked to connect to.
  struct AddressGuard {
    const OriginPolicy* policy = nullptr;
    std::string refused_rule;     ///< the rule of the last refused address
    std::string refused_address;  ///< for the log only
  };

  static size_t write_chunk(char* chunk, size_t size, size_t nmemb, void* data);
  static curl_socket_t open_checked_socket(void* data, curlsocktype purpose,
                                           curl_sockaddr* address);
  void set_options();
  std::optional<FetchResult> transfer_failure(CURLcode code) const;
  std::optional<FetchResult> content_failure(std::string* sha256);

  const FetchJob job_;
  Store& store_;
  const FetchSettings& settings_;
  std::unique_ptr<AtomicFile> file_;
  Sink sink_;
  AddressGuard guard_;
  char error_text_[CURL_ERROR_SIZE] = "";
  // Declared last: the handle, which points at the members above, goes first.
  CurlEasy handle_;
};
