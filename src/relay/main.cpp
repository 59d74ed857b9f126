// quonfetch-relay: the reference relay server. Parses the command line, serves until SIGINT or
// SIGTERM, and exits 0 once every fetch has been stopped and cleaned up.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>

#include "platform/env.h"
#include "platform/stop_signals.h"
#include "relay/options.h"
#include "relay/relay_log.h"
#include "relay/relay_server.h"

namespace {

struct CurlGlobal {
  bool ok = curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK;
  ~CurlGlobal() {
    if (ok) curl_global_cleanup();
  }
};

// Reads the command line into `options`. Returns the exit status when the run ends here
// (help, version, a bad option), or -1 to go on.
int read_command_line(int argc, char** argv, RelayOptions* options) {
  std::string err;
  switch (parse_relay_options(std::vector<std::string>(argv + 1, argv + argc), options, &err)) {
    case ParseOutcome::Help:
      fputs(relay_usage(), stdout);
      return 0;
    case ParseOutcome::Version:
      printf("quonfetch-relay %s\n", relay_version());
      return 0;
    case ParseOutcome::Error:
      fprintf(stderr, "quonfetch-relay: %s\n%s", err.c_str(), relay_usage());
      return 2;
    case ParseOutcome::Run:
      break;
  }
  return -1;
}

// Serves until SIGINT or SIGTERM; SIGHUP is logged and changes nothing (there is no
// configuration file to read again).
void serve_until_signal(RelayServer& relay, StopSignals& signals) {
  std::atomic<bool> served{false};
  std::thread signal_thread([&] {
    for (;;) {
      StopSignal taken = signals.wait();
      if (served) return;  // woken by main after serve() ended on its own
      if (taken.hangup) {
        relay_log("SIGHUP received: nothing to reload, still serving");
        continue;
      }
      relay_log("Stopping (%s)", taken.name.c_str());
      relay.stop();
      return;
    }
  });
  relay.serve();
  served = true;
  signals.wake(signal_thread);
  signal_thread.join();
  relay.stop();
}

}  // namespace

int main(int argc, char** argv) {
  RelayConfig config;
  if (int status = read_command_line(argc, argv, &config.options); status >= 0) return status;
  CurlGlobal curl_global;
  if (!curl_global.ok) {
    fprintf(stderr, "quonfetch-relay: cannot initialise libcurl\n");
    return 1;
  }
  StopSignals signals;
  RelayServer relay(config, system_env());
  Status started = relay.start();
  if (!started.ok()) {
    fprintf(stderr, "quonfetch-relay: %s\n", started.message().c_str());
    return 1;
  }
  relay_log("Listening on %s", relay.url().c_str());
  serve_until_signal(relay, signals);
  relay_log("Stopped");
  return 0;
}
