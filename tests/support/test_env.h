// Test helpers: running the client under test (this build's, or the one QUONFETCH_CLIENT names)
// and other programs as children, and digests of test data.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "support/test_files.h"

/// What a child process did.
struct ProgramRun {
  int exit_status = -1;  ///< -1 when it did not exit normally
  int signal = 0;        ///< the signal that ended it, if one did
  std::string out;       ///< everything it wrote to standard output
  std::string err;       ///< everything it wrote to standard error
};

/// Runs `program` with `args` in `cwd`, with no standard input, and waits for it. A nonzero
/// `file_size_limit` caps the size of any file the child writes (RLIMIT_FSIZE, with SIGXFSZ
/// ignored so that writes past it fail instead of killing the child), as on a full disk.
/// `on_started`, when given, is called with the child's pid as soon as it runs. With
/// `stdout_closed`, the child's standard output is a pipe nobody reads from any more, so every
/// write to it fails (as when the reader of a pipe has gone away).
ProgramRun run_program(const std::string& program, const std::vector<std::string>& args,
                       const std::string& cwd = ".", long file_size_limit = 0,
                       const std::function<void(int)>& on_started = nullptr,
                       bool stdout_closed = false);

/// The command that starts the client under test: the words of the environment variable
/// QUONFETCH_CLIENT when it is set (say, "wine build-windows/quonfetch.exe"), else the binary
/// of this build. Its first word is resolved on PATH.
const std::vector<std::string>& client_command();

/// True when the client under test is the Windows build (its command names a .exe).
bool client_is_windows();

/// The words of the environment variable QUONFETCH_CLIENT_ARGS (say, "-j 8"), put before the
/// arguments of every client run: a whole suite runs again under another setting, unchanged.
/// They go first because an option standing last without its value would swallow them.
const std::vector<std::string>& client_launch_args();

/// True when the launcher setting has the client run records side by side (a -j other than 1):
/// the lines of different records may then come in another order than at -j 1.
bool client_runs_side_by_side();

/// Runs the client under test with client_launch_args() and `args`, as run_program does, and hands
/// back its standard output and error as client_text() makes them.
ProgramRun run_client(const std::vector<std::string>& args, const std::string& cwd,
                      long file_size_limit = 0,
                      const std::function<void(int)>& on_started = nullptr,
                      bool stdout_closed = false);

/// What the Windows build writes differently by design, stated once for every test of the
/// binary. client_text: the client's text (standard output, its log file) with each line ending
/// turned into "\n"; a line that does not end as the client's platform ends lines (CR LF on
/// Windows) fails the test. client_path: a folder and a name joined as the client joins them.
std::string client_text(const std::string& text);
std::string client_path(const std::string& folder, const std::string& name);
/// True when the client run ended as an interrupted client ends: killed by SIGINT on Linux; on
/// Windows (where Wine turns SIGINT into Ctrl-C) with STATUS_CONTROL_C_EXIT, of which a Linux
/// parent sees the low byte.
bool ended_by_interrupt(const ProgramRun& run);
/// client_text() of the file at `path`.
std::string read_client_text(const std::string& path);

/// Lower-case hex SHA-1 / SHA-256 of `data`.
std::string sha1_hex(const std::string& data);
std::string sha256_hex(const std::string& data);
