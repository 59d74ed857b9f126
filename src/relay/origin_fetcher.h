// One fetch of a file from its origin into the store, with every check it must pass on the way.
#pragma once

#include <atomic>
#include <cstdint>
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

/// Streams `job.url` into a temporary file of `store` (through its Env), hashing every byte with
/// SHA-1 and SHA-256 as it arrives, and moves it (synced to disk) under its digests only when the
/// origin answered 200 (or the file:// read succeeded), the size matched `job.size` when given, and
/// the digests matched. Certificates of https origins are verified; redirects go to http and https
/// only. A set `stopping` aborts the transfer. On any failure nothing is left in the store.
FetchResult fetch_from_origin(const FetchJob& job, Store& store, const FetchSettings& settings,
                              const std::atomic<bool>& stopping);
