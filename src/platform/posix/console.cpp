// The console on POSIX systems: lines end in a line feed.
#include <csignal>
#include <cstdio>

#include "platform/console.h"

const char* line_ending() {
  return "\n";
}

void init_console() {
  // A reader that goes away (a pipe into head) must not end the run: writes to standard
  // output then fail, are ignored, and the run and its log file go on (D17).
  signal(SIGPIPE, SIG_IGN);
}

void write_standard_output(std::string_view text) {
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
}

void restore_console() {}
