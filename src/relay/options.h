// The relay's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

/// Everything the command line decides. Every resource a stranger can make the relay spend has
/// a bound here with a default an operator can keep.
struct RelayOptions {
  std::string store;  ///< folder of the content-addressed store (required)
  std::string listen = "127.0.0.1";
  int port = 52311;      ///< 0 picks a free port
  std::string tls_cert;  ///< both set: serve HTTPS
  std::string tls_key;
  int max_fetches = 64;                    ///< origin fetches at once (--workers too)
  bool allow_file_origins = false;         ///< accept file:// origin URLs
  std::vector<std::string> allow_origins;  ///< CIDR ranges origins may be in despite the rules
  std::vector<std::string> allow_clients;  ///< CIDR ranges clients must be in; empty: anyone
  /// Balancers whose X-Forwarded-For names the client (CIDR ranges or addresses); empty: none
  std::vector<std::string> trusted_proxies;
  uint64_t max_file_size = 16ull << 30;  ///< bytes one fetched file may have
  int fetch_timeout_seconds = 3600;      ///< a whole fetch, from connect to last byte
  int max_queue = 1000;                  ///< fetches waiting to run
  int max_connections = 4096;            ///< client connections at once
  int max_connections_per_client = 256;  ///< client connections at once from one address
  int connection_timeout_seconds = 30;   ///< a client connection silent this long is closed
  int header_timeout_seconds = 30;       ///< a request head must be whole this long after it began
  uint64_t max_store_size = 0;           ///< bytes the store may hold; 0: no cap
};

enum class ParseOutcome { Run, Help, Version, Error };

/// Reads `args` (without the program name) into `options`. Returns Help for --help, Version for
/// --version, Error with a one-line reason in `err` for an unknown option, a missing or bad
/// value, a missing --store, or only one of --tls-cert and --tls-key.
ParseOutcome parse_relay_options(const std::vector<std::string>& args, RelayOptions* options,
                                 std::string* err);

/// The usage text, several lines, each ended by a line feed.
const char* relay_usage();

/// The relay's version, for --version and the metrics.
const char* relay_version();
