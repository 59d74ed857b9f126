// Removes the download in progress when the program is interrupted (SIGINT, SIGTERM, SIGHUP),
// so that a stopped run leaves no temporary file behind.
#pragma once

#include <csignal>

/// Installs the signal handlers. Call once, early in main.
void install_interrupt_cleanup();

/// Holds the interrupting signals back while it lives; one that arrives meanwhile is handled
/// when it ends. Makes creating a file and naming it for removal one step.
class InterruptsDeferred {
 public:
  InterruptsDeferred();
  ~InterruptsDeferred();
  InterruptsDeferred(const InterruptsDeferred&) = delete;
  InterruptsDeferred& operator=(const InterruptsDeferred&) = delete;

 private:
  sigset_t previous_;
};

/// Names the file to remove if a signal arrives now; nullptr forgets it. Paths longer than
/// 4095 bytes are not remembered.
void remove_on_interrupt(const char* path);
