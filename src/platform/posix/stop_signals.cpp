// The signals that stop a server, taken by one thread with sigwait.
#include "platform/stop_signals.h"

#include <pthread.h>
#include <signal.h>

#include <cstring>

struct StopSignals::Set {
  sigset_t signals;
};

StopSignals::StopSignals() : set_(std::make_unique<Set>()) {
  signal(SIGPIPE, SIG_IGN);
  // A shell starts background jobs with SIGINT ignored, and an ignored signal never reaches
  // sigwait, so each gets its default disposition back first.
  sigemptyset(&set_->signals);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    signal(signal_number, SIG_DFL);
    sigaddset(&set_->signals, signal_number);
  }
  pthread_sigmask(SIG_BLOCK, &set_->signals, nullptr);
}

StopSignals::~StopSignals() = default;

StopSignal StopSignals::wait() {
  int signal_number = 0;
  sigwait(&set_->signals, &signal_number);
  const char* name = sigabbrev_np(signal_number);
  return StopSignal{signal_number == SIGHUP, name ? name : std::to_string(signal_number)};
}

void StopSignals::wake(std::thread& waiting) {
  // The signal is blocked in every thread and taken only by sigwait: it wakes the waiting
  // thread and terminates nothing.
  pthread_kill(waiting.native_handle(), SIGTERM);  // NOLINT(bugprone-bad-signal-to-kill-thread)
}
