// A child run of a program whose output the test reads while it runs, through pipes or a
// pseudo-terminal.
#pragma once

#include <string>
#include <vector>

#include "support/test_env.h"

/// Where the child's standard output and standard error go.
enum class ChildStreams {
  Pipes,     ///< one pipe each: the run's `out` and `err`
  Terminal,  ///< both onto one pseudo-terminal: the run's `out` holds what the terminal got
};

class ChildProgram {
 public:
  /// Starts `program` with `args` in `cwd`, with no standard input. A Terminal is `columns`
  /// wide.
  ChildProgram(const std::string& program, const std::vector<std::string>& args,
               const std::string& cwd, ChildStreams streams = ChildStreams::Pipes,
               int columns = 80);
  /// Kills and reaps a child still running.
  ~ChildProgram();
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;

  int pid() const { return pid_; }
  /// Reads until `text` is part of standard output, the child closes its streams, or
  /// `timeout_ms` pass. True when `text` arrived.
  bool read_until(const std::string& text, int timeout_ms);
  /// What standard output has brought so far.
  const std::string& out() const { return run_.out; }
  /// Reads to the end of the streams, reaps the child and returns what it did.
  ProgramRun finish();

 private:
  // One wait of at most `timeout_ms` for data; false when nothing arrived in that time.
  bool pump(int timeout_ms);

  int pid_ = -1;
  int fds_[2] = {-1, -1};  ///< standard output (or the terminal), standard error
  ProgramRun run_;
};
