// The relay's log: one line per event on standard output, flushed at once.
#include "server/relay_log.h"

#include <cstdarg>
#include <cstdio>

void relay_log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  // The stream lock keeps lines of different threads whole.
  flockfile(stdout);
  vfprintf(stdout, format, args);
  fputc('\n', stdout);
  fflush(stdout);  // a failed write to a closed pipe is not worth stopping the relay for
  funlockfile(stdout);
  va_end(args);
}
