// Quonfetch: fetches files through a caching relay.
#include <curl/curl.h>

#include "client/output/log.h"
#include "platform/arguments.h"
#include "platform/console.h"
#include "platform/env.h"
#include "platform/interrupt_cleanup.h"
#include "client/run/command_line.h"
#include "client/run/driver.h"
#include "client/run/list_file.h"

namespace {

// One whole run, in its fixed order: the options, the log file, the deadline, the requests,
// then the exchanges with the relay. Its state ends before libcurl is cleaned up.
void run(int argc, char** argv) {
  Env& env = system_env();
  RunState state(env);
  state.settings = parse_command_line(program_arguments(argc, argv));
  const Settings& settings = state.settings;
  refuse_log_over_list(settings);
  if (settings.log_path) {
    // Creates or empties the log; a log that cannot be made is not reported, and every message
    // still tries it again.
    FilePtr log = env.open_file(*settings.log_path, "wb");
  }
  state.deadline = deadline_after(env.now(), settings.timeout_minutes);
  read_requests(state);
  run_downloads(state);
}

}  // namespace

int main(int argc, char** argv) {
  if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) return 1;
  init_console();
  install_interrupt_cleanup();
  run(argc, argv);
  curl_global_cleanup();
  return 0;
}
