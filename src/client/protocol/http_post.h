// The POST of a download request to the relay, with retries and the move from http to https.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include <curl/curl.h>

#include "client/records/run_state.h"
#include "common/task.h"

/// What one relay POST came to: whether an attempt was answered, and the URL that the next
/// request must use (the https form once the call has moved there).
struct PostResult {
  bool ok = false;
  std::optional<std::string> url;
  /// The last attempt's transfer result and HTTP code (0 when no response came).
  CURLcode transfer_result = CURLE_OK;
  long response_code = 0;
};

/// Largest reply the relay may send to a download request (D6).
constexpr size_t kMaxReplyBytes = 1048576;
/// Longest status token kept in a record; a longer one is cut to this length.
constexpr size_t kMaxStatusLength = 127;

/// Collects one attempt's reply body.
struct MemorySink {
  std::string data;
};

/// libcurl write callback that appends to a MemorySink; returns 0 (failing the transfer) when
/// the reply would grow past kMaxReplyBytes or memory runs out.
size_t memory_sink_write(char* chunk, size_t size, size_t nmemb, void* sink);

/// The URL for the attempt after the `failures`-th failure: `url` moved from "http://" to
/// "https://" when `failures` equals `switch_at`, otherwise unchanged. An absent url gives "".
std::string retry_url(const std::optional<std::string>& url, int failures, int switch_at);

/// Posts `body` to `url` on the run's exchange loop, trying up to seven times in all (for
/// `failures` = 0) with 3 seconds between attempts (timers of the loop, on the run's clock) and
/// the move to https after the third failure; no retry starts at or past the run's deadline
/// (D26). An attempt is answered when the transfer
/// completes with a 2xx code and a reply that parse_status() accepts; the token then replaces
/// `download`'s status (when `download` is not null). With `run_url`, the URL every request of
/// the run starts from: it moves to https when this request does, and once it is there, this
/// request's next attempt moves there too.
Task<PostResult> http_post_with_retry(RunState& state, std::optional<std::string> url,
                                      Download* download, std::string body, int failures,
                                      std::optional<std::string>* run_url = nullptr);
