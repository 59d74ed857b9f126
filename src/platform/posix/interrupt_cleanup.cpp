// Removes the download in progress when the program is interrupted (SIGINT, SIGTERM, SIGHUP),
// so that a stopped run leaves no temporary file behind.
#include <csignal>
#include <cstring>

#include <unistd.h>

#include "platform/interrupt_cleanup.h"
#include "platform/posix/interrupts_deferred.h"

namespace {

// The one value a signal handler can reach must be process-wide. Written outside the handler
// only while the signals are blocked, so the handler never sees a half-copied path.
char pending_path[4096];

void on_interrupt(int signal_number) {
  if (pending_path[0] != '\0') unlink(pending_path);
  // Die of the same signal, so the parent sees how the run ended.
  std::signal(signal_number, SIG_DFL);
  raise(signal_number);
}

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t interrupt_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : kSignals) sigaddset(&set, s);
  return set;
}

}  // namespace

InterruptsDeferred::InterruptsDeferred() {
  sigset_t block = interrupt_signals();
  sigprocmask(SIG_BLOCK, &block, &previous_);
}

InterruptsDeferred::~InterruptsDeferred() {
  sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

void install_interrupt_cleanup() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  for (int s : kSignals) sigaction(s, &action, nullptr);
}

void remove_on_interrupt(const char* path) {
  InterruptsDeferred deferred;
  if (path && strlen(path) < sizeof pending_path)
    memcpy(pending_path, path, strlen(path) + 1);
  else
    pending_path[0] = '\0';
}
