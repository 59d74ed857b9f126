// The command line: options into Settings, validation and usage, the log file, the deadline and
// the requests of the run.
#pragma once

#include "run/state.h"

/// Reads the options of argv[1..argc-1] into `out`, without validating them or touching any
/// file. Unknown arguments and a value option standing last are skipped.
void read_options(int argc, const char* const* argv, Settings& out);

/// True when `options` name a relay and either a list file or the single download's sha1, size
/// and url.
bool options_sufficient(const Settings& options);

/// Fills `settings`, `deadline` and the request queue from the command line. Prints the usage
/// and exits with status 0 when the options are not enough for a run.
void parse_command_line(int argc, const char* const* argv);

/// Prints the usage text on standard output and exits with status 0.
[[noreturn]] void print_usage();
