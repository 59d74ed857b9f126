// quonfetch-relay: the reference relay server. Parses the command line, serves until SIGINT or
// SIGTERM, and exits 0 once every fetch has been stopped and cleaned up.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>

#include "server/options.h"
#include "server/relay_log.h"
#include "server/relay_server.h"

namespace {

struct CurlGlobal {
  bool ok = curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK;
  ~CurlGlobal() {
    if (ok) curl_global_cleanup();
  }
};

}  // namespace

int main(int argc, char** argv) {
  RelayConfig config;
  std::string err;
  switch (
      parse_relay_options(std::vector<std::string>(argv + 1, argv + argc), &config.options, &err)) {
    case ParseOutcome::Help:
      fputs(relay_usage(), stdout);
      return 0;
    case ParseOutcome::Error:
      fprintf(stderr, "quonfetch-relay: %s\n%s", err.c_str(), relay_usage());
      return 2;
    case ParseOutcome::Run:
      break;
  }

  CurlGlobal curl_global;
  if (!curl_global.ok) {
    fprintf(stderr, "quonfetch-relay: cannot initialise libcurl\n");
    return 1;
  }
  // A peer that hangs up mid-reply must not end the relay.
  signal(SIGPIPE, SIG_IGN);
  // SIGINT and SIGTERM are taken by one thread with sigwait; every thread started from here on
  // inherits the blocked mask. A shell starts background jobs with SIGINT ignored, and an
  // ignored signal never reaches sigwait, so both get their default disposition back first.
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  RelayServer relay(config);
  if (!relay.start(&err)) {
    fprintf(stderr, "quonfetch-relay: %s\n", err.c_str());
    return 1;
  }
  relay_log("Listening on %s", relay.url().c_str());

  std::atomic<bool> served{false};
  std::thread signal_thread([&] {
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    if (served) return;  // woken by main after serve() ended on its own
    relay_log("Stopping (%s)", strsignal(signal_number));
    relay.stop();
  });

  bool ok = relay.serve();
  served = true;
  pthread_kill(signal_thread.native_handle(), SIGTERM);
  signal_thread.join();
  relay.stop();
  relay_log("Stopped");
  if (!ok) {
    fprintf(stderr, "quonfetch-relay: cannot serve on %s\n", relay.url().c_str());
    return 1;
  }
  return 0;
}
