// The console on POSIX systems: lines end in a line feed and need no preparation.
#include "platform/console.h"

const char* line_ending() { return "\n"; }

void init_console() {}
