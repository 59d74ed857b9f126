// The relay's command line.
#include "server/options.h"

#include <charconv>

namespace {

bool parse_int(const std::string& text, int low, int high, int* value) {
  int parsed = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  if (parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

}  // namespace

ParseOutcome parse_relay_options(const std::vector<std::string>& args, RelayOptions* options,
                                 std::string* err) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help") return ParseOutcome::Help;
    if (arg == "--allow-file-origins") {
      options->allow_file_origins = true;
      continue;
    }
    const bool takes_value = arg == "--store" || arg == "--listen" || arg == "--port" ||
                             arg == "--tls-cert" || arg == "--tls-key" || arg == "--workers";
    if (!takes_value) {
      *err = "unknown option: " + arg;
      return ParseOutcome::Error;
    }
    if (i + 1 >= args.size()) {
      *err = arg + " needs a value";
      return ParseOutcome::Error;
    }
    const std::string& value = args[++i];
    if (value.empty()) {
      *err = arg + " needs a non-empty value";
      return ParseOutcome::Error;
    }
    if (arg == "--store") {
      options->store = value;
    } else if (arg == "--listen") {
      options->listen = value;
    } else if (arg == "--tls-cert") {
      options->tls_cert = value;
    } else if (arg == "--tls-key") {
      options->tls_key = value;
    } else if (arg == "--port") {
      if (!parse_int(value, 0, 65535, &options->port)) {
        *err = "--port needs a number from 0 to 65535, not: " + value;
        return ParseOutcome::Error;
      }
    } else if (!parse_int(value, 1, 256, &options->workers)) {
      *err = "--workers needs a number from 1 to 256, not: " + value;
      return ParseOutcome::Error;
    }
  }
  if (options->store.empty()) {
    *err = "--store is required";
    return ParseOutcome::Error;
  }
  if (options->tls_cert.empty() != options->tls_key.empty()) {
    *err = "--tls-cert and --tls-key go together";
    return ParseOutcome::Error;
  }
  return ParseOutcome::Run;
}

const char* relay_usage() {
  return "Usage: quonfetch-relay --store DIR [options]\n"
         "  --store DIR           content-addressed store (created when missing)\n"
         "  --listen ADDR         address to listen on (default 127.0.0.1)\n"
         "  --port N              port to listen on (default 52311; 0 picks a free port)\n"
         "  --tls-cert FILE       PEM certificate: serve HTTPS (needs --tls-key)\n"
         "  --tls-key FILE        PEM private key of the certificate\n"
         "  --workers N           origin fetches at once (default 4)\n"
         "  --allow-file-origins  accept file:// origin URLs\n"
         "  --help                show this text\n";
}
