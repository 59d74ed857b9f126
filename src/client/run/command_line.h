// The command line: options into Settings, their validation, and the usage text.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "client/records/run_state.h"

/// Reads the options of args[1..] into `out`, without validating them or touching any file.
/// Unknown arguments and a value option standing last are skipped.
void read_options(const std::vector<std::string>& args, Settings& out);

/// True when `options` name a relay and either a list file or the single download's sha1, size
/// and url.
bool options_sufficient(const Settings& options);

/// Where no path may hold a double quote (Windows), prints an error and returns true when the -o
/// value still holds one after its closing quote was dropped: that is what the command line
/// makes of -o "C:\dir\" -l ..., whose \" is a literal quote that swallows every option after
/// it (D24). The run then ends with exit status 1.
bool refuse_quote_in_output_folder(const Settings& options);

/// The bounds of -j.
constexpr int32_t kMinJobs = 1;
constexpr int32_t kMaxJobs = 64;

/// Checks the -j value read by read_options() into `options.jobs`. When it is not a number
/// from kMinJobs to kMaxJobs, prints "Error: -j takes a number from 1 to 64: %s" with the value
/// as given and returns true: the run then ends with exit status 1.
bool refuse_jobs(Settings& options);

/// True when the only argument after the program's name is --version. Anywhere else --version
/// is an unknown argument like any other, and skipped.
bool asks_for_version(const std::vector<std::string>& args);

/// What the command line asks for: a run with these settings, or, when `exit_status` is set,
/// an end with that status and nothing else done (the version or the usage text was printed,
/// status 0, or the -o value was refused, status 1).
struct CommandLine {
  Settings settings;
  std::optional<int> exit_status;
};
CommandLine parse_command_line(const std::vector<std::string>& args);

/// Prints "Error: the log file is the list file: %s" and returns true, before either file is
/// touched, when the log file and the list file are one file on disk (the log is emptied at
/// the start, so the list would be lost: D10). The run then ends with exit status 1.
bool refuse_log_over_list(const Settings& settings);

/// The deadline of a run started at `now` with a timeout of `timeout_minutes`, computed in 64
/// bits so that no timeout overflows (D3).
int64_t deadline_after(int64_t now, int32_t timeout_minutes);

/// Prints the usage text on standard output.
void print_usage();
