// The signals that stop a server (SIGINT, SIGTERM) or that it only notes (SIGHUP), taken by one
// thread of its own. POSIX systems only: the relay is built for them alone.
#pragma once

#include <memory>
#include <string>
#include <thread>

/// What a wait for a stop signal came to.
struct StopSignal {
  bool hangup = false;  ///< SIGHUP: noted, and the server goes on
  std::string name;     ///< "INT", "TERM", "HUP"
};

class StopSignals {
 public:
  /// Blocks the three signals in the calling thread and in every thread it starts from now on,
  /// so that only wait() takes them; a peer that hangs up mid-reply (SIGPIPE) ends nothing.
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  /// Waits for the next of the signals.
  StopSignal wait();
  /// Wakes `waiting`, a thread blocked in wait(), which then sees a SIGTERM.
  void wake(std::thread& waiting);

 private:
  struct Set;
  std::unique_ptr<Set> set_;
};
