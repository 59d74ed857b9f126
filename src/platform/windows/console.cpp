// The console on Windows: lines end in CR LF, written as bytes, in UTF-8.
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "platform/console.h"

const char* line_ending() { return "\r\n"; }

void init_console() {
  // Windows has no signal for a reader that went away: writes to such a pipe simply fail.
  // The output layer writes the CR LF itself; a text-mode stream would add a second CR.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  // Paths and URLs are printed as UTF-8. The console keeps its code page after the program,
  // so the user's is given back at exit. Both fail harmlessly when there is no console.
  static const UINT previous = GetConsoleOutputCP();
  if (previous != 0 && previous != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
    atexit([] { SetConsoleOutputCP(previous); });
}
