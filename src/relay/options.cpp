// The relay's command line.
#include "relay/options.h"

#include <charconv>
#include <functional>
#include <map>

#include "common/version.h"
#include "relay/address_policy.h"

namespace {

template <typename Number>
bool parse_number(const std::string& text, Number low, Number high, Number* value) {
  Number parsed = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  if (parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

// Reads one option's value into its member; returns false with the reason in `err`.
using ValueReader = std::function<bool(RelayOptions*, const std::string&, std::string*)>;

ValueReader text(std::string RelayOptions::*member) {
  return [member](RelayOptions* options, const std::string& value, std::string*) {
    options->*member = value;
    return true;
  };
}

ValueReader range(std::vector<std::string> RelayOptions::*member, const char* name) {
  return [member, name](RelayOptions* options, const std::string& value, std::string* err) {
    Cidr cidr;
    if (!parse_cidr(value, &cidr)) {
      *err =
          std::string(name) + " needs an address range like 10.0.0.0/8 or fd00::/8, not: " + value;
      return false;
    }
    (options->*member).push_back(value);
    return true;
  };
}

template <typename Number>
ValueReader number(Number RelayOptions::*member, const char* name, Number low, Number high) {
  return [=](RelayOptions* options, const std::string& value, std::string* err) {
    if (parse_number(value, low, high, &(options->*member))) return true;
    *err = std::string(name) + " needs a number from " + std::to_string(low) + " to " +
           std::to_string(high) + ", not: " + value;
    return false;
  };
}

const std::map<std::string, ValueReader>& value_options() {
  constexpr uint64_t kMaxBytes = ~0ull >> 1;
  static const std::map<std::string, ValueReader> readers{
      {"--store", text(&RelayOptions::store)},
      {"--listen", text(&RelayOptions::listen)},
      {"--tls-cert", text(&RelayOptions::tls_cert)},
      {"--tls-key", text(&RelayOptions::tls_key)},
      {"--port", number(&RelayOptions::port, "--port", 0, 65535)},
      {"--max-fetches", number(&RelayOptions::max_fetches, "--max-fetches", 1, 1024)},
      {"--workers", number(&RelayOptions::max_fetches, "--workers", 1, 1024)},  // its old name
      {"--allow-origin", range(&RelayOptions::allow_origins, "--allow-origin")},
      {"--allow-client", range(&RelayOptions::allow_clients, "--allow-client")},
      {"--trusted-proxy", range(&RelayOptions::trusted_proxies, "--trusted-proxy")},
      {"--max-file-size",
       number<uint64_t>(&RelayOptions::max_file_size, "--max-file-size", 1, kMaxBytes)},
      {"--fetch-timeout",
       number(&RelayOptions::fetch_timeout_seconds, "--fetch-timeout", 1, 7 * 24 * 3600)},
      {"--max-queue", number(&RelayOptions::max_queue, "--max-queue", 1, 1000000)},
      {"--max-connections",
       number(&RelayOptions::max_connections, "--max-connections", 1, 1000000)},
      {"--max-connections-per-client", number(&RelayOptions::max_connections_per_client,
                                              "--max-connections-per-client", 1, 1000000)},
      {"--connection-timeout",
       number(&RelayOptions::connection_timeout_seconds, "--connection-timeout", 1, 3600)},
      {"--header-timeout",
       number(&RelayOptions::header_timeout_seconds, "--header-timeout", 1, 3600)},
      {"--max-store-size",
       number<uint64_t>(&RelayOptions::max_store_size, "--max-store-size", 0, kMaxBytes)},
  };
  return readers;
}

}  // namespace

ParseOutcome parse_relay_options(const std::vector<std::string>& args, RelayOptions* options,
                                 std::string* err) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help") return ParseOutcome::Help;
    if (arg == "--version") return ParseOutcome::Version;
    if (arg == "--allow-file-origins") {
      options->allow_file_origins = true;
      continue;
    }
    auto reader = value_options().find(arg);
    if (reader == value_options().end()) {
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
    if (!reader->second(options, value, err)) return ParseOutcome::Error;
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
         "  --max-fetches N       origin fetches at once, a quarter of them per client\n"
         "                        (default 64; --workers N is the same)\n"
         "  --allow-file-origins  accept file:// origin URLs\n"
         "  --allow-origin CIDR   fetch from origins in this range although it is loopback,\n"
         "                        private, link-local or otherwise refused (repeatable)\n"
         "  --allow-client CIDR   serve only clients in this range (repeatable; default anyone)\n"
         "  --trusted-proxy ADDR  a balancer (address or range) whose requests' client is the\n"
         "                        last address of their X-Forwarded-For; its connections have no\n"
         "                        per-client cap (repeatable; default none)\n"
         "  --max-file-size BYTES largest file a fetch may bring (default 17179869184)\n"
         "  --fetch-timeout SECS  longest a whole fetch may take (default 3600)\n"
         "  --max-queue N         fetches waiting to run (default 1000)\n"
         "  --max-connections N   client connections at once (default 4096)\n"
         "  --max-connections-per-client N\n"
         "                        client connections at once from one address (default 256)\n"
         "  --connection-timeout SECS\n"
         "                        close a client connection silent this long (default 30)\n"
         "  --header-timeout SECS close a connection whose request head is not whole this long\n"
         "                        after its first byte (default 30)\n"
         "  --max-store-size BYTES\n"
         "                        evict the least recently served files above this (default 0:\n"
         "                        no cap)\n"
         "  --version             show the version\n"
         "  --help                show this text\n";
}

const char* relay_version() {
  return kQuonfetchVersion;
}
