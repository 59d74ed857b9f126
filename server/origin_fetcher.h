// One fetch of a file from its origin into the store, with every check it must pass on the way.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "common/curl_handles.h"
#include "server/store.h"

/// Limits that keep a broken or hostile origin from holding a worker forever.
inline TransferLimits origin_fetch_limits() {
  TransferLimits limits;
  limits.max_redirects = 10;
  limits.low_speed_seconds = 60;
  limits.connect_timeout_seconds = 30;
  return limits;
}

/// What to fetch and what the file must turn out to be. Digests in lower case.
struct FetchJob {
  std::string sha1;
  std::optional<std::string> sha256;
  std::optional<uint64_t> size;
  std::string url;  ///< http or https; file only when allow_file is set
};

struct FetchResult {
  bool ok = false;
  std::string reason;  ///< why it failed: begins with "fetch", "size", "sha1", "sha256" or "store"
  uint64_t bytes = 0;  ///< bytes received from the origin
};

/// Streams `job.url` into a temporary file of `store`, hashing every byte with SHA-1 and SHA-256
/// as it arrives, and moves it under its digests only when the origin answered 200 (or the
/// file:// read succeeded), the size matched `job.size` when given, and the digests matched.
/// Certificates of https origins are verified; redirects go to http and https only. A set
/// `stopping` aborts the transfer. On any failure nothing is left in the store.
FetchResult fetch_from_origin(const FetchJob& job, Store& store, const TransferLimits& limits,
                              bool allow_file, const std::atomic<bool>& stopping);
