// One HTTP request on its way through the relay, from its first header to its log line.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "relay/fetch_scheduler.h"

/// The endpoints, for the metrics.
enum class Endpoint { DownloadRequest, Mirror, Operations, Other };

/// Made when libmicrohttpd first hands the relay a request, freed when the request completes.
struct Exchange {
  Endpoint endpoint = Endpoint::Other;
  std::string url;     ///< as received (percent-decoded by the HTTP server)
  bool is_read = false;  ///< GET or HEAD
  bool is_post = false;
  std::string method;  ///< escaped for the log
  std::string path;    ///< escaped for the log
  std::string client;  ///< the client's address, without the port
  int client_port = 0;
  std::string body;  ///< the download request's body, up to the cap
  unsigned status = 0;
  std::string detail;  ///< what the log line adds after the status
  std::string served_sha1;  ///< the stored file a mirror reply is sent from, until it completes

  std::mutex mutex;
  bool suspended = false;              // guarded by mutex
  std::optional<StatusAnswer> answer;  // guarded by mutex; set by a held request's reply
};

struct sockaddr;

/// The numeric address and the port of an IPv4 or IPv6 socket address ("?" and 0 otherwise).
void client_address(const sockaddr* address, std::string* ip, int* port);
