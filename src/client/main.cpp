// Quonfetch: fetches files through a caching relay.
#include <cstdio>

#include <curl/curl.h>

#include "client/output/log.h"
#include "client/output/summary.h"
#include "client/run/command_line.h"
#include "client/run/driver.h"
#include "client/run/list_file.h"
#include "platform/arguments.h"
#include "platform/console.h"
#include "platform/env.h"
#include "platform/interrupt_cleanup.h"
#include "platform/terminal.h"

namespace {

// One whole run, in its fixed order: the options, the log file, the deadline, the requests,
// then the exchanges with the relay. Its state ends before libcurl is cleaned up. Returns the
// exit status: 1 when the run could not be carried out (its reason was shown), else 0.
int run(int argc, char** argv) {
  Env& env = system_env();
  RunState state(env);
  CommandLine command = parse_command_line(program_arguments(argc, argv));
  if (command.exit_status) return *command.exit_status;
  state.settings = std::move(command.settings);
  const Settings& settings = state.settings;
  if (refuse_log_over_list(settings)) return 1;
  if (settings.log_path) {
    // Creates or empties the log; a log that cannot be made is not reported, and every message
    // still tries it again.
    FilePtr log = env.open_file(*settings.log_path, "wb");
  }
  state.deadline = deadline_after(env.now(), settings.timeout_minutes);
  if (!read_requests(state).ok()) return 1;
  if (!run_downloads(state).ok()) return 1;
  // A person at a terminal is told which files did not arrive and why; a pipe and the log file
  // get the lines above and nothing more.
  if (stderr_is_terminal()) write_not_downloaded(state, stderr);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) return 1;
  init_console();
  install_interrupt_cleanup();
  const int status = run(argc, argv);
  curl_global_cleanup();
  return status;
}
