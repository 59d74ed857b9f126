// Removes the downloads in progress when the program is interrupted (SIGINT, SIGTERM, SIGHUP),
// so that a stopped run leaves no temporary file behind.
#include <csignal>
#include <cstring>

#include <unistd.h>

#include "platform/interrupt_cleanup.h"
#include "platform/posix/interrupts_deferred.h"

namespace {

// The values a signal handler can reach must be process-wide. Written outside the handler only
// while the signals are blocked, so the handler never sees a half-copied path. An empty path is
// a free slot. Zero-filled until used, so the pages cost nothing until a download starts.
char pending_paths[kMaxFilesRemovedOnInterrupt][4096];

void on_interrupt(int signal_number) {
  for (char* path : pending_paths)
    if (path[0] != '\0') unlink(path);
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

// The slot holding `path`, or null. Call with the signals blocked.
char* slot_of(const char* path) {
  for (char* slot : pending_paths)
    if (slot[0] != '\0' && strcmp(slot, path) == 0) return slot;
  return nullptr;
}

char* free_slot() {
  for (char* slot : pending_paths)
    if (slot[0] == '\0') return slot;
  return nullptr;
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
  // A second interrupt waits for the first one's removals rather than cutting them short.
  action.sa_mask = interrupt_signals();
  for (int s : kSignals) sigaction(s, &action, nullptr);
}

bool remove_on_interrupt(const char* path) {
  const size_t length = strlen(path);
  if (length == 0 || length >= sizeof pending_paths[0]) return false;
  InterruptsDeferred deferred;
  if (slot_of(path)) return true;
  char* slot = free_slot();
  if (!slot) return false;
  memcpy(slot, path, length + 1);
  return true;
}

void forget_on_interrupt(const char* path) {
  InterruptsDeferred deferred;
  if (char* slot = slot_of(path)) slot[0] = '\0';
}
