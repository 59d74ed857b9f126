// The relay's command line.
#pragma once

#include <string>
#include <vector>

/// Everything the command line decides.
struct RelayOptions {
  std::string store;  ///< folder of the content-addressed store (required)
  std::string listen = "127.0.0.1";
  int port = 52311;      ///< 0 picks a free port
  std::string tls_cert;  ///< both set: serve HTTPS
  std::string tls_key;
  int workers = 4;                  ///< origin fetches at once
  bool allow_file_origins = false;  ///< accept file:// origin URLs
};

enum class ParseOutcome { Run, Help, Error };

/// Reads `args` (without the program name) into `options`. Returns Help for --help, Error with a
/// one-line reason in `err` for an unknown option, a missing or bad value, a missing --store, or
/// only one of --tls-cert and --tls-key.
ParseOutcome parse_relay_options(const std::vector<std::string>& args, RelayOptions* options,
                                 std::string* err);

/// The usage text, several lines, each ended by a line feed.
const char* relay_usage();
