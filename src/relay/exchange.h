// One HTTP request on its way through the relay, from its first header to its log line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/mutex.h"
#include "relay/fetch_scheduler.h"

/// The endpoints, for the metrics.
enum class Endpoint { DownloadRequest, Mirror, Operations, Other, Count };
constexpr size_t kEndpointCount = static_cast<size_t>(Endpoint::Count);

/// The classes of the status of an answer, for the metrics: 1xx to 5xx, and any other.
enum class StatusClass {
  Informational,
  Success,
  Redirection,
  ClientError,
  ServerError,
  Other,
  Count,
};
constexpr size_t kStatusClassCount = static_cast<size_t>(StatusClass::Count);

/// The class of an HTTP status code.
constexpr StatusClass status_class(unsigned status) {
  return status >= 100 && status < 600 ? static_cast<StatusClass>(status / 100 - 1)
                                       : StatusClass::Other;
}

/// Made when libmicrohttpd first hands the relay a request, freed when the request completes.
struct Exchange {
  bool begun = false;           ///< the handler has seen the request's head
  bool target_has_nul = false;  ///< the target as received holds a NUL, raw or escaped
  Endpoint endpoint = Endpoint::Other;
  std::string url;       ///< as received (percent-decoded by the HTTP server)
  bool is_read = false;  ///< GET or HEAD
  bool is_post = false;
  std::string method;  ///< escaped for the log
  std::string path;    ///< escaped for the log
  /// The client's address, without the port: the peer's, or for a request through a trusted
  /// balancer the address it names in X-Forwarded-For. The log, --allow-client and each
  /// client's share of the fetches go by it.
  std::string client;
  int client_port = 0;   ///< the peer's port; unused when `via` is set
  std::string via;       ///< the trusted balancer's "ADDRESS:PORT"; empty for a direct client
  std::string body;      ///< the download request's body, up to the cap
  uint64_t dropped = 0;  ///< body bytes past the cap, read and dropped before the 413
  unsigned status = 0;
  std::string detail;       ///< what the log line adds after the status
  std::string served_sha1;  ///< the stored file a mirror reply is sent from, until it completes

  /// Taken before the scheduler's lock: the handler holds it from its question to the
  /// suspension, so a held request's reply cannot miss the suspended connection.
  Mutex mutex;
  bool suspended GUARDED_BY(mutex) = false;
  std::optional<StatusAnswer> answer GUARDED_BY(mutex);  ///< set by a held request's reply
};

struct MHD_Connection;

/// Queues a reply of `text` with `status` and the content type `type`: libmicrohttpd's MHD_YES,
/// or MHD_NO when it could not be queued.
int respond_text(MHD_Connection* connection, Exchange& exchange, unsigned status,
                 std::string_view text, const char* type = "text/plain");
