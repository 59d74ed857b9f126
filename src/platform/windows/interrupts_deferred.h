// Holding the console's interrupt handler back for a moment, for the Windows platform files.
#pragma once

#include <mutex>

/// The lock that the console control handler (which Windows runs on a thread of its own) takes
/// before it removes the registered files. Recursive, so that remove_on_interrupt() can be called
/// while an InterruptsDeferred is held.
std::recursive_mutex& interrupt_cleanup_lock();

/// Names `file`, the open handle of `path` registered with remove_on_interrupt(); nullptr forgets
/// the handle and keeps the path. Windows removes an open file only once its last handle is
/// closed, which for a process ended at once may happen after its parent has seen it end; so the
/// handler closes this handle before it removes the file. Forget the handle before closing it
/// elsewhere. A path that is not registered is ignored.
void close_on_interrupt(const char* path, void* file);

/// Holds the interrupt handler back while it lives: one that arrives meanwhile waits for it.
/// Makes creating a file and naming it for removal one step.
class InterruptsDeferred {
 public:
  InterruptsDeferred() : lock_(interrupt_cleanup_lock()) {}

 private:
  std::lock_guard<std::recursive_mutex> lock_;
};
