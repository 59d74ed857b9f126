// Holding the interrupting signals back for a moment, for the POSIX platform files.
#pragma once

#include <csignal>

/// Holds SIGINT, SIGTERM and SIGHUP back while it lives; one that arrives meanwhile is handled
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
