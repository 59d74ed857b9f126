// Holding the console's interrupt handler back for a moment, for the Windows platform files.
#pragma once

#include <mutex>

/// The lock that the console control handler (which Windows runs on a thread of its own) takes
/// before it removes the registered file. Recursive, so that remove_on_interrupt() can be called
/// while an InterruptsDeferred is held.
std::recursive_mutex& interrupt_cleanup_lock();

/// Holds the interrupt handler back while it lives: one that arrives meanwhile waits for it.
/// Makes creating a file and naming it for removal one step.
class InterruptsDeferred {
 public:
  InterruptsDeferred() : lock_(interrupt_cleanup_lock()) {}

 private:
  std::lock_guard<std::recursive_mutex> lock_;
};
